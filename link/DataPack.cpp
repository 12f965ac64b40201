#include "link/DataPack.h"

#include <QList>

#include <algorithm>

namespace xv4 {

std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte) {
  std::uint16_t b = static_cast<std::uint16_t>(byte) << 8;
  for (int bit = 0; bit < 8; ++bit) {
    crc = ((crc ^ b) & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                    : static_cast<std::uint16_t>(crc << 1);
    b = static_cast<std::uint16_t>(b << 1);
  }
  return crc;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < length; ++i)
    crc = Crc16Update(crc, data[i]);
  return crc;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(QStringView text) {
  std::vector<std::uint8_t> bytes;
  for (QStringView token : text.trimmed().split(u' ', Qt::SkipEmptyParts)) {
    bool ok = false;
    const qulonglong value = token.toULongLong(&ok, 16);
    if (!ok)
      return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  }
  return bytes;
}

std::optional<QByteArray> BuildDataPack(QStringView address, QStringView command,
                                        std::uint16_t value, const std::uint8_t* data, int length) {
  if (length < 0 || length > kMaxPackData || (length > 0 && data == nullptr))
    return std::nullopt;
  const auto addr = ParseHexBytes(address);
  const auto cmd = ParseHexBytes(command);
  if (!addr || !cmd || cmd->size() < 4)
    return std::nullopt;

  QByteArray pack(static_cast<qsizetype>(kPackHeaderSize) + (length > 0 ? length + 2 : 0), '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(pack.data());
  p[0] = kPackStart;
  if (addr->size() >= 2) {
    p[1] = (*addr)[0];
    p[2] = (*addr)[1];
  }
  std::copy_n(cmd->begin(), 4, p + 3);
  p[7] = static_cast<std::uint8_t>(value & 0xFF);
  p[8] = static_cast<std::uint8_t>(length >> 8);
  p[9] = static_cast<std::uint8_t>(length & 0xFF);
  unsigned sum = 0;
  for (std::size_t i = 0; i < 10; ++i)
    sum += p[i];
  p[10] = static_cast<std::uint8_t>(sum & 0xFF);
  if (length > 0) {
    std::copy_n(data, length, p + kPackHeaderSize);
    const std::uint16_t crc = Crc16(data, static_cast<std::size_t>(length));
    p[kPackHeaderSize + length] = static_cast<std::uint8_t>(crc >> 8);
    p[kPackHeaderSize + length + 1] = static_cast<std::uint8_t>(crc & 0xFF);
  }
  return pack;
}

QString FileDataPackText(std::uint16_t number) {
  return QString::asprintf("f0 00 %2.2x %2.2x", number >> 8, number & 0xFF);
}

QString PackIdentity(const std::array<std::uint8_t, kPackHeaderSize>& header) {
  return QString::asprintf("F0 %2.2X %2.2X %2.2X", header[4], header[5], header[6]);
}

void DataPackParser::Start(std::uint8_t startByte) {
  Reset();
  active_ = true;
  header_[0] = startByte;
  headerPos_ = 1;
}

void DataPackParser::Reset() {
  active_ = false;
  inData_ = false;
  headerPos_ = 0;
  dataPos_ = 0;
  announced_ = 0;
  computedCrc_ = 0;
  receivedCrc_ = 0;
}

DataPackParser::Result DataPackParser::Feed(std::uint8_t byte) {
  if (!active_)
    return Result::More;
  if (!inData_) {
    header_[headerPos_++] = byte;
    return headerPos_ < kPackHeaderSize ? Result::More : HeaderDone();
  }
  data_[static_cast<std::size_t>(dataPos_++)] = byte;
  return dataPos_ < announced_ + 2 ? Result::More : DataDone();
}

DataPackParser::Result DataPackParser::HeaderDone() {
  unsigned sum = 0;
  for (std::size_t i = 0; i < 10; ++i)
    sum += header_[i];
  const int announced = header_[8] * 256 + header_[9];
  if ((sum & 0xFF) != header_[10]) {
    Reset();
    return Result::BadChecksum;
  }
  if (announced > kMaxReceivedPackData) {
    Reset();
    announced_ = announced;
    return Result::Oversized;
  }
  announced_ = announced;
  if (announced == 0) {
    active_ = false;
    return Result::Pack;
  }
  inData_ = true;
  dataPos_ = 0;
  return Result::More;
}

DataPackParser::Result DataPackParser::DataDone() {
  const auto n = static_cast<std::size_t>(announced_);
  computedCrc_ = Crc16(data_.data(), n);
  receivedCrc_ = static_cast<std::uint16_t>(data_[n] << 8 | data_[n + 1]);
  active_ = false;
  inData_ = false;
  return computedCrc_ == receivedCrc_ ? Result::Pack : Result::BadCrc;
}

}  // namespace xv4
