#include "protocol/DeviceRecord.h"

#include <QStringList>

#include <stdexcept>

namespace xv4 {
namespace {

constexpr int kGroups = kRecordSize / 7;  // 37 groups of 7 bytes, no remainder
static_assert(kGroups * 7 == kRecordSize);
constexpr int kChecksumLow = 297;
constexpr int kChecksumHigh = 298;
constexpr int kChecksumBits = 299;

[[noreturn]] void InvalidSerialNumber() {
  throw std::invalid_argument("Invalid S/N");
}

// An optional sign and one or more decimal digits, nothing else.
bool ToInteger(QStringView text, qint64* value) {
  if (text.isEmpty())
    return false;
  qsizetype i = 0;
  bool negative = false;
  if (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-')) {
    negative = text[0] == QLatin1Char('-');
    i = 1;
  }
  if (i == text.size())
    return false;
  qint64 n = 0;
  for (; i < text.size(); ++i) {
    if (text[i].unicode() < '0' || text[i].unicode() > '9')
      return false;
    n = n * 10 + (text[i].unicode() - '0');
  }
  *value = negative ? -n : n;
  return true;
}

}  // namespace

std::uint16_t RecordChecksum(RecordBytes record) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : record)
    sum += b;
  return static_cast<std::uint16_t>(sum);
}

void StoreChecksum(RecordWithChecksum area) {
  std::uint16_t sum = RecordChecksum(RecordBytes(area.first<kRecordSize>()));
  area[kRecordSize] = static_cast<std::uint8_t>(sum & 0xFF);
  area[kRecordSize + 1] = static_cast<std::uint8_t>(sum >> 8);
}

void PackFrame(ConstRecordWithChecksum area, FrameBytes frame) {
  std::fill(frame.begin(), frame.end(), 0);
  frame[0] = kFrameStart;
  frame[kFrameSize - 1] = kFrameEnd;
  for (int i = 0; i < kRecordSize; ++i) {
    const int g = i / 7;
    const int r = i % 7;
    frame[1 + 8 * g + r] = area[i] & 0x7F;
    if (area[i] & 0x80)
      frame[8 + 8 * g] |= static_cast<std::uint8_t>(1u << r);
  }
  frame[kChecksumLow] = area[kRecordSize] & 0x7F;
  frame[kChecksumHigh] = area[kRecordSize + 1] & 0x7F;
  if (area[kRecordSize] & 0x80)
    frame[kChecksumBits] |= 0x01;
  if (area[kRecordSize + 1] & 0x80)
    frame[kChecksumBits] |= 0x02;
  for (int i = 1; i < kFrameSize - 1; ++i)
    frame[i] |= 0x80;
}

bool UnpackFrame(ConstFrameBytes frame, RecordWithChecksum area) {
  for (int i = 0; i < kRecordSize; ++i) {
    const int g = i / 7;
    const int r = i % 7;
    std::uint8_t b = frame[1 + 8 * g + r] & 0x7F;
    if (frame[8 + 8 * g] & (1u << r))
      b |= 0x80;
    area[i] = b;
  }
  area[kRecordSize] = static_cast<std::uint8_t>((frame[kChecksumLow] & 0x7F) |
                                                ((frame[kChecksumBits] & 0x01) ? 0x80 : 0));
  area[kRecordSize + 1] = static_cast<std::uint8_t>((frame[kChecksumHigh] & 0x7F) |
                                                    ((frame[kChecksumBits] & 0x02) ? 0x80 : 0));
  const std::uint16_t sum = RecordChecksum(RecordBytes(area.first<kRecordSize>()));
  return area[kRecordSize] == (sum & 0xFF) && area[kRecordSize + 1] == (sum >> 8);
}

std::uint8_t ByteToBcd(std::uint16_t value) {
  return static_cast<std::uint8_t>(16 * ((value / 10) % 10) + value % 10);
}

std::array<std::uint8_t, 4> EncodeMachineNo(std::int32_t value) {
  std::array<std::uint8_t, 4> b{};
  std::int32_t v = value;
  for (int i = 3; i >= 0; --i) {
    // C++ division truncates toward zero and the remainder takes the sign of v, so a negative
    // number yields negative digits that wrap modulo 256.
    b[i] = static_cast<std::uint8_t>(16 * ((v / 10) % 10) + v % 10);
    v /= 100;
  }
  return b;
}

void PutMachineNo(std::span<std::uint8_t, 4> out, std::int32_t value) {
  const auto b = EncodeMachineNo(value);
  out[0] = b[3];
  out[1] = b[2];
  out[2] = b[1];
  out[3] = b[0];
}

std::uint32_t AddressToNumber(const QString& text, bool dotted) {
  qint64 value = 0;
  if (!dotted) {
    if (text.size() > 8 || !ToInteger(text, &value))
      InvalidSerialNumber();
    return static_cast<std::uint32_t>(value);
  }
  if (text.size() < 8 || text.size() > 16)
    InvalidSerialNumber();
  QString rest = text + QLatin1Char('.');
  quint64 result = 0;
  for (int group = 0; group < 4; ++group) {
    // Each group holds 1 to 3 characters before its ".".
    const qsizetype dot = rest.indexOf(QLatin1Char('.'));
    if (dot < 1 || dot > 3)
      InvalidSerialNumber();
    qint64 n = 0;
    if (!ToInteger(QStringView(rest).first(dot), &n))
      InvalidSerialNumber();
    // A group above 255 spills into the next byte, as the printer's tools always did.
    result = result * 256 + static_cast<quint64>(n);
    rest.remove(0, dot + 1);
  }
  return static_cast<std::uint32_t>(result);
}

QString NumberToAddress(std::uint32_t number, bool dotted) {
  if (!dotted)
    return QString::number(number);
  return QStringLiteral("%1.%2.%3.%4")
      .arg(number >> 24)
      .arg((number >> 16) & 0xFF)
      .arg((number >> 8) & 0xFF)
      .arg(number & 0xFF);
}

}  // namespace xv4
