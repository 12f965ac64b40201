#pragma once
// The number rules of the spin edit, without widgets, so that a form without widgets (the
// command line's) reads and clamps its spin values exactly as the window's spin edits do.

#include <QString>

#include <limits>

namespace xv4::spin {

// The characters of a signed decimal number: the only ones that can be typed.
inline bool IsNumberChar(QChar c) {
  return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') ||
         c == QLatin1Char('-');
}

// The text as a decimal integer with an optional sign; false when it is not one (or does not
// fit in an int).
inline bool ParseValue(const QString& text, int* value) {
  qsizetype i = 0;
  bool negative = false;
  if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))) {
    negative = text[0] == QLatin1Char('-');
    i = 1;
  }
  if (i >= text.size())
    return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c < QLatin1Char('0') || c > QLatin1Char('9'))
      return false;
    v = v * 10 + (c.unicode() - '0');
    if (v > static_cast<long long>(std::numeric_limits<int>::max()) + 1)
      return false;
  }
  if (negative)
    v = -v;
  if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min())
    return false;
  *value = static_cast<int>(v);
  return true;
}

// What the control reports: the text as a number, or the minimum when it is not one. The typed
// value is not clamped here.
inline int ValueOf(const QString& text, int minValue) {
  int v = 0;
  return ParseValue(text, &v) ? v : minValue;
}

// A value brought into the limits; equal limits mean no limits.
inline int CheckValue(int value, int minValue, int maxValue) {
  if (minValue == maxValue)
    return value;
  if (value < minValue)
    return minValue;
  if (value > maxValue)
    return maxValue;
  return value;
}

}  // namespace xv4::spin
