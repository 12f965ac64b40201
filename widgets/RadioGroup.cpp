#include "widgets/RadioGroup.h"

#include <QRadioButton>

namespace xv4 {

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent) {}

void TRadioGroup::SetItems(const QStringList& items) {
  const int keep = ItemIndex();
  for (QRadioButton* b : buttons_)
    delete b;
  buttons_.clear();
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i], this);
    button->setAutoExclusive(true);
    connect(button, &QRadioButton::clicked, this, [this] {
      if (OnClick)
        OnClick(this);
    });
    buttons_.push_back(button);
    button->show();
  }
  SetItemIndex(keep < static_cast<int>(buttons_.size()) ? keep : -1);
  PlaceButtons();
}

QStringList TRadioGroup::Items() const {
  QStringList items;
  for (QRadioButton* b : buttons_)
    items << b->text();
  return items;
}

int TRadioGroup::ItemIndex() const {
  for (size_t i = 0; i < buttons_.size(); ++i) {
    if (buttons_[i]->isChecked())
      return static_cast<int>(i);
  }
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < static_cast<int>(buttons_.size())) {
    buttons_[index]->setChecked(true);
    return;
  }
  // Exclusive buttons refuse to be all unchecked; lift that for a moment.
  for (QRadioButton* b : buttons_) {
    b->setAutoExclusive(false);
    b->setChecked(false);
    b->setAutoExclusive(true);
  }
}

QRadioButton* TRadioGroup::Button(int index) const {
  return index >= 0 && index < static_cast<int>(buttons_.size()) ? buttons_[index] : nullptr;
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
  QGroupBox::resizeEvent(event);
  PlaceButtons();
}

void TRadioGroup::PlaceButtons() {
  if (buttons_.empty())
    return;
  // The items share the space below the title evenly, as a one-column radio group does.
  const int top = fontMetrics().height() + 2;
  const int rowHeight = std::max(1, (height() - top - 4) / static_cast<int>(buttons_.size()));
  for (size_t i = 0; i < buttons_.size(); ++i) {
    const int y = top + static_cast<int>(i) * rowHeight;
    const QSize hint = buttons_[i]->sizeHint();
    buttons_[i]->setGeometry(8, y + (rowHeight - hint.height()) / 2,
                             std::min(hint.width(), width() - 16), hint.height());
  }
}

}  // namespace xv4
