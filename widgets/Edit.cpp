#include "widgets/Edit.h"

#include "platform/CodePage.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QValidator>

namespace xv4 {
namespace {

// Refuses an edit that would make the text longer than the limit in system code-page bytes.
class ByteLimit : public QValidator {
 public:
  ByteLimit(int bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
  State validate(QString& input, int&) const override {
    return platform::ToAnsi(input).size() > bytes_ ? Invalid : Acceptable;
  }

 private:
  int bytes_;
};

}  // namespace

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {}

void TEdit::SetMaxLength(int bytes) {
  maxBytes_ = bytes;
  delete validator();
  setValidator(bytes > 0 ? new ByteLimit(bytes, this) : nullptr);
}

void TEdit::keyPressEvent(QKeyEvent* event) {
  if (OnKeyPress && (!event->text().isEmpty() || event->key() == Qt::Key_Backspace))
    OnKeyPress(this, event->key(), event->text());
  QLineEdit::keyPressEvent(event);
}

void TEdit::keyReleaseEvent(QKeyEvent* event) {
  QLineEdit::keyReleaseEvent(event);
  if (OnKeyUp)
    OnKeyUp(this, event->key());
}

void TEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // Leaving the field for another control, not the whole window losing the focus.
  const Qt::FocusReason reason = event->reason();
  if (OnExit && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
    OnExit(this);
}

}  // namespace xv4
