#include "widgets/Edit.h"

#include "platform/CodePage.h"
#include "platform/MessageBox.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QValidator>

namespace xv4 {

// Refuses an edit that would make the text longer than the limit in system code-page bytes, or
// that the edit's text check refuses.
class EditValidator : public QValidator {
 public:
  explicit EditValidator(TEdit* edit) : QValidator(edit), edit_(edit) {}
  State validate(QString& input, int&) const override {
    if (edit_->textCheck_) {
      if (const QString message = edit_->textCheck_(input); !message.isEmpty()) {
        edit_->Refuse(message);
        return Invalid;
      }
    }
    if (edit_->maxBytes_ > 0 && platform::ToAnsi(input).size() > edit_->maxBytes_)
      return Invalid;
    return Acceptable;
  }

 private:
  TEdit* edit_;
};

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {}

void TEdit::SetMaxLength(int bytes) {
  maxBytes_ = bytes;
  UpdateValidator();
}

void TEdit::SetTextCheck(std::function<QString(const QString& text)> check) {
  textCheck_ = std::move(check);
  UpdateValidator();
}

void TEdit::UpdateValidator() {
  delete validator();
  setValidator(maxBytes_ > 0 || textCheck_ ? new EditValidator(this) : nullptr);
}

void TEdit::Refuse(const QString& message) {
  if (refusalPending_)
    return;
  refusalPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this, message] {
        refusalPending_ = false;
        platform::ShowMessageBox(platform::MessageKind::Warning, message);
      },
      Qt::QueuedConnection);
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
