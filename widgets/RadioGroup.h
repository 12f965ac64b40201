#pragma once
// TRadioGroup: a titled group of radio buttons with one item index.
//
// The buttons are laid out in one column in item order. ItemIndex is -1 when no button is
// checked. OnClick runs when the user checks a button (not when ItemIndex is set in code).
// UI thread only.

#include <QGroupBox>
#include <QStringList>

#include <functional>
#include <vector>

class QRadioButton;

namespace xv4 {

class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  explicit TRadioGroup(QWidget* parent = nullptr);

  void SetItems(const QStringList& items);
  QStringList Items() const;
  int ItemIndex() const;
  void SetItemIndex(int index);
  QRadioButton* Button(int index) const;

  std::function<void(QObject* sender)> OnClick;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlaceButtons();
  std::vector<QRadioButton*> buttons_;
};

}  // namespace xv4
