#include "widgets/Form.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

namespace xv4 {

TForm::TForm(QWidget* parent) : QWidget(parent) {}

TForm::~TForm() {
  if (keyPreview_)
    qApp->removeEventFilter(this);
}

void TForm::Adopt(QObject* component, const char* name) {
  component->setObjectName(QString::fromLatin1(name));
  components_.emplace_back(component);
}

QObject* TForm::Component(const QString& name) const {
  for (const QPointer<QObject>& c : components_) {
    if (c && c->objectName() == name)
      return c.data();
  }
  return nullptr;
}

void TForm::SetClientSize(int width, int height) {
  setFixedSize(width, height);
}

void TForm::SetKeyPreview(bool on) {
  if (on == keyPreview_)
    return;
  keyPreview_ = on;
  if (on)
    qApp->installEventFilter(this);
  else
    qApp->removeEventFilter(this);
}

bool TForm::OwnVisible(const QWidget* w) {
  return !(w->testAttribute(Qt::WA_WState_ExplicitShowHide) &&
           w->testAttribute(Qt::WA_WState_Hidden));
}

bool TForm::OwnEnabled(const QWidget* w) {
  return !w->testAttribute(Qt::WA_ForceDisabled);
}

void TForm::CenterOnScreen() {
  const QScreen* s = screen();
  if (s == nullptr)
    return;
  const QRect area = s->availableGeometry();
  move(area.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
}

bool TForm::FormKeyDown(int, Qt::KeyboardModifiers) {
  return false;
}

bool TForm::eventFilter(QObject* watched, QEvent* event) {
  // The application filter sees a key once for the focused widget and again for each parent it
  // propagates to; only the first delivery counts. The handler may have moved the focus (an
  // operation disables the window, which leaves no widget focused), so the focus test alone
  // would take the key again when it reaches the form: the event already handled is remembered
  // until any other event passes, which ends its propagation.
  if (event == previewed_.event && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->timestamp() == previewed_.timestamp) {
    return false;
  }
  previewed_ = {};
  if (event->type() != QEvent::KeyPress || !isEnabled())
    return false;
  auto* w = qobject_cast<QWidget*>(watched);
  if (w == nullptr || (w != this && !isAncestorOf(w)))
    return false;
  QWidget* focus = QApplication::focusWidget();
  if (w != focus && !(focus == nullptr && w == this))
    return false;
  auto* key = static_cast<QKeyEvent*>(event);
  const bool handled = FormKeyDown(key->key(), key->modifiers());
  if (!handled)
    previewed_ = {event, key->timestamp()};
  return handled;
}

}  // namespace xv4
