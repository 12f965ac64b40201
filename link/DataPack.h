#pragma once
// Data packs: the binary frames two stations exchange over the link, and their CRC.
//
//   offset  size  field
//   0       1     start byte 0xAA
//   1       2     address (two bytes of the address text)
//   3       4     command (four bytes of the command text; byte 3 is the command byte)
//   7       1     value (low byte)
//   8       2     data length N, big-endian
//   10      1     header checksum: sum of bytes 0..9, modulo 256
//   11      N     data
//   11+N    2     CRC-16/XMODEM of the data, high byte first; only when N > 0
//
// Packs are named by texts of hexadecimal byte tokens ("00 01", "f0 00 00 2a"); the upper-case
// text of a file data pack is its identity in acknowledgements.
//
// Plain functions and a value-type parser: no threads, no I/O. The parser takes any byte sequence
// and never writes past its buffers; what it cannot accept is reported, never thrown.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace xv4 {

inline constexpr std::uint8_t kPackStart = 0xAA;
inline constexpr std::size_t kPackHeaderSize = 11;
// The buffer a pack is built in: header, data and CRC together.
inline constexpr std::size_t kPackBufferSize = 4096;
// Most data bytes a pack may carry when it is sent: N + 13 must fit the pack buffer.
inline constexpr int kMaxPackData = static_cast<int>(kPackBufferSize - kPackHeaderSize - 2);
// Most data bytes a received pack may announce: its data and CRC fill the 4099-byte receive area.
inline constexpr int kMaxReceivedPackData = 4097;

// Command bytes (header byte 3).
inline constexpr std::uint8_t kPackFileData = 0xF0;
inline constexpr std::uint8_t kPackText = 0xF1;

// CRC-16/XMODEM: polynomial 0x1021, initial 0, most significant bit first, no reflection, no
// final XOR. Crc16Update folds one byte into crc.
std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte);
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);

// The bytes of a pack text: the trimmed text split at blanks, each token hexadecimal, the low 8
// bits kept. Runs of blanks separate like one. Nothing when a token is not a hexadecimal number.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(QStringView text);

// A whole pack (11 bytes, or length + 13), or nothing when the command text has fewer than four
// bytes, a token is not hexadecimal, or length is outside 0..kMaxPackData. An address text with
// fewer than two bytes gives address 00 00.
std::optional<QByteArray> BuildDataPack(QStringView address, QStringView command,
                                        std::uint16_t value, const std::uint8_t* data, int length);

// The text naming file data pack `number`: "f0 00 hh ll".
QString FileDataPackText(std::uint16_t number);
// The identity of a received pack in acknowledgements: "F0 hh hh hh" from header bytes 3 to 6.
QString PackIdentity(const std::array<std::uint8_t, kPackHeaderSize>& header);

// Receives packs byte by byte. Start() is called with the start byte when a pack begins (the
// caller decides when a 0xAA starts one); Feed() takes the following bytes until a result comes
// back, after which the parser is idle again. A lost byte is made up by the next ones and the
// pack then fails its checksum or CRC: there is no resynchronisation inside a pack.
class DataPackParser {
 public:
  enum class Result {
    More,         // the pack is not complete yet
    Pack,         // a good pack: Header() and Data() hold it
    BadChecksum,  // the header checksum failed: Header() holds the 11 bytes, Data() is empty
    BadCrc,       // the data CRC failed: Header() and Data() hold the pack, with both CRCs
    Oversized,    // the header announced more than kMaxReceivedPackData bytes; dropped
  };

  bool Active() const { return active_; }
  void Start(std::uint8_t startByte);
  Result Feed(std::uint8_t byte);
  // Back to idle, dropping a pack in progress.
  void Reset();

  const std::array<std::uint8_t, kPackHeaderSize>& Header() const { return header_; }
  const std::uint8_t* Data() const { return data_.data(); }
  int DataLength() const { return announced_; }
  std::uint8_t Command() const { return header_[3]; }
  std::uint16_t ComputedCrc() const { return computedCrc_; }
  std::uint16_t ReceivedCrc() const { return receivedCrc_; }

 private:
  Result HeaderDone();
  Result DataDone();

  bool active_ = false;
  bool inData_ = false;
  std::size_t headerPos_ = 0;
  int dataPos_ = 0;
  int announced_ = 0;
  std::uint16_t computedCrc_ = 0;
  std::uint16_t receivedCrc_ = 0;
  std::array<std::uint8_t, kPackHeaderSize> header_{};
  std::array<std::uint8_t, kMaxReceivedPackData + 2> data_{};  // data, then the two CRC bytes
};

}  // namespace xv4
