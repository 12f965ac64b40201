#pragma once
// Numbers given on the command line of the programs, read strictly, and the message that names
// the option when one is refused.

#include <QString>

#include <optional>

namespace xv4::platform {

// A decimal integer: an optional '-' and digits; no '+', blanks or other characters.
std::optional<int> ParseInt(const QString& text);

// Reads `text` into *out when it is a number from low to high; otherwise the message
// "OPTION wants a number from LOW to HIGH, not 'TEXT'" (and *out is unchanged).
std::optional<QString> NumberInRange(const QString& option, const QString& text, int low, int high,
                                     int* out);

}  // namespace xv4::platform
