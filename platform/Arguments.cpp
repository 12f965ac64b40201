#include "platform/Arguments.h"

namespace xv4::platform {

std::optional<int> ParseInt(const QString& text) {
  bool ok = false;
  const int v = text.toInt(&ok, 10);
  if (!ok || text.startsWith(QLatin1Char('+')) || text.contains(QLatin1Char(' ')))
    return std::nullopt;
  return v;
}

std::optional<QString> NumberInRange(const QString& option, const QString& text, int low, int high,
                                     int* out) {
  const std::optional<int> v = ParseInt(text);
  if (!v || *v < low || *v > high) {
    return QStringLiteral("%1 wants a number from %2 to %3, not '%4'")
        .arg(option)
        .arg(low)
        .arg(high)
        .arg(text);
  }
  *out = *v;
  return std::nullopt;
}

}  // namespace xv4::platform
