#pragma once
// TEdit: a one-line edit whose MaxLength counts bytes of the system code page.
//
// The printer's fields have byte sizes, and a Chinese character takes two bytes in code page
// 936, so typing stops at the byte limit rather than at a number of characters. Texts set in
// code (restored settings) are not limited, as with any edit control. A text check, when set,
// refuses an edit as well and says why in a warning message box. UI thread only.

#include <QLineEdit>

#include <functional>

namespace xv4 {

class TEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TEdit(QWidget* parent = nullptr);

  // 0: no limit.
  int MaxLength() const { return maxBytes_; }
  void SetMaxLength(int bytes);

  // Gives a message for a text the field must not take, or an empty string. An edit that would
  // make such a text is refused and the message shown (once the edit's event has been handled).
  void SetTextCheck(std::function<QString(const QString& text)> check);

  // Key events of the control: OnKeyPress before the key is processed (with the typed text, or
  // the key code for backspace), OnKeyUp after a key is released, OnExit when the focus leaves.
  std::function<void(QObject* sender, int key, const QString& text)> OnKeyPress;
  std::function<void(QObject* sender, int key)> OnKeyUp;
  std::function<void(QObject* sender)> OnExit;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  friend class EditValidator;
  void UpdateValidator();
  // Shows the refusal after the key event (a message box inside the edit would nest in it).
  void Refuse(const QString& message);

  int maxBytes_ = 0;
  std::function<QString(const QString&)> textCheck_;
  bool refusalPending_ = false;
};

}  // namespace xv4
