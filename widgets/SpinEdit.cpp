#include "widgets/SpinEdit.h"

#include "widgets/SpinValue.h"

#include <QLineEdit>

#include <limits>

namespace xv4 {

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  setKeyboardTracking(true);
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
  lineEdit()->setText(QStringLiteral("0"));
  connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
    if (OnChange)
      OnChange(this);
  });
}

void TSpinEdit::SetLimits(int minValue, int maxValue) {
  min_ = minValue;
  max_ = maxValue;
}

int TSpinEdit::Value() const {
  return spin::ValueOf(text(), min_);
}

int TSpinEdit::CheckValue(int value) const {
  return spin::CheckValue(value, min_, max_);
}

void TSpinEdit::SetValue(int value) {
  lineEdit()->setText(QString::number(CheckValue(value)));
}

void TSpinEdit::SetText(const QString& text) {
  lineEdit()->setText(text);
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
  if (maxLength_ > 0 && input.size() > maxLength_)
    return QValidator::Invalid;
  for (QChar c : input) {
    if (!spin::IsNumberChar(c))
      return QValidator::Invalid;
  }
  return QValidator::Acceptable;
}

void TSpinEdit::fixup(QString&) const {}

void TSpinEdit::stepBy(int steps) {
  const long long next = static_cast<long long>(Value()) + steps;
  const long long bounded = std::min<long long>(
      std::max<long long>(next, std::numeric_limits<int>::min()), std::numeric_limits<int>::max());
  SetValue(static_cast<int>(bounded));
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  return StepUpEnabled | StepDownEnabled;
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusOutEvent(event);
  // A text that is not a number reads as the minimum, which is within the limits: it stays.
  const int v = Value();
  if (CheckValue(v) != v)
    SetValue(v);
}

}  // namespace xv4
