#pragma once
// TSpinEdit: a number field with up/down arrows and value limits.
//
// Only the characters of a signed decimal number can be typed. Value() is the text read as a
// decimal integer, or the minimum when the text is not one (typed text is never corrected while
// the focus stays in the field). SetValue() and leaving the field bring the value into
// [MinValue, MaxValue] (no limits when they are equal). UI thread only.

#include <QAbstractSpinBox>

#include <functional>

namespace xv4 {

class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  int MinValue() const { return min_; }
  int MaxValue() const { return max_; }
  void SetLimits(int minValue, int maxValue);

  // Maximum number of characters that can be typed; 0 means no limit.
  int MaxLength() const { return maxLength_; }
  void SetMaxLength(int length) { maxLength_ = length; }

  int Value() const;
  void SetValue(int value);
  // Sets the text as it is (as typing would, without the character check).
  void SetText(const QString& text);
  // Value brought into the limits.
  int CheckValue(int value) const;

  // Runs when the text changes (typing, arrows, SetValue).
  std::function<void(QObject* sender)> OnChange;

  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;
  void stepBy(int steps) override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  int min_ = 0;
  int max_ = 0;
  int maxLength_ = 0;
};

}  // namespace xv4
