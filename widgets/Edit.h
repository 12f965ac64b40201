#pragma once
// TEdit: a one-line edit whose MaxLength counts bytes of the system code page.
//
// The printer's fields have byte sizes, and a Chinese character takes two bytes in code page
// 936, so typing stops at the byte limit rather than at a number of characters. Texts set in
// code (restored settings) are not limited, as with any edit control. UI thread only.

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
  int maxBytes_ = 0;
};

}  // namespace xv4
