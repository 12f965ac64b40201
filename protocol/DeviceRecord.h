#pragma once
// The device record, its checksum, the 7-bit-safe serial frame and the number encodings that
// fill records.
//
// Everything said to a printer, and every record it answers with, is one 259-byte record:
// command, 16-bit little-endian word, 256 data bytes. Over UDP it travels as it is. Over RS232 it
// travels with a 16-bit checksum inside a 301-byte frame whose bytes 1..299 all have bit 7 set,
// so that the start byte 0x03 and the end byte 0x04 can only stand at the ends; a 0xFF trailer
// follows each frame that the tool sends.
//
// Pure functions; any thread.

#include <QString>

#include <array>
#include <cstdint>
#include <span>

namespace xv4 {

constexpr int kDataSize = 256;            // DataBlock
constexpr int kRecordSize = 259;          // command, word, data
constexpr int kRecordWithChecksum = 261;  // record + checksum low, high
constexpr int kFrameSize = 301;           // SerialFrame
constexpr int kFrameWithTrailer = 302;    // SerialFrame + 0xFF

constexpr std::uint8_t AckByte = 0x02;  // the printer accepted the record
constexpr std::uint8_t NakByte = 0x55;  // the printer refused it
constexpr std::uint8_t kFrameStart = 0x03;
constexpr std::uint8_t kFrameEnd = 0x04;
constexpr std::uint8_t kFrameTrailer = 0xFF;

using RecordBytes = std::span<const std::uint8_t, kRecordSize>;
using RecordWithChecksum = std::span<std::uint8_t, kRecordWithChecksum>;
using ConstRecordWithChecksum = std::span<const std::uint8_t, kRecordWithChecksum>;
using FrameBytes = std::span<std::uint8_t, kFrameSize>;
using ConstFrameBytes = std::span<const std::uint8_t, kFrameSize>;

// Sum of the 259 record bytes modulo 65536.
std::uint16_t RecordChecksum(RecordBytes record);

// Stores RecordChecksum(record) after the record, low byte first.
void StoreChecksum(RecordWithChecksum area);

// Wraps a record and its stored checksum (261 bytes) into a 301-byte frame. The checksum is taken
// as stored, not computed.
void PackFrame(ConstRecordWithChecksum area, FrameBytes frame);

// Decodes a frame into the record and the received checksum (261 bytes). Returns true when the
// checksum of the decoded record matches the received one. Bit 7 of the group bytes and bits
// 2..7 of the checksum's high-bit byte are ignored.
bool UnpackFrame(ConstFrameBytes frame, RecordWithChecksum area);

// Last two decimal digits as packed BCD: 59 gives 0x59, 2026 gives 0x26.
std::uint8_t ByteToBcd(std::uint16_t value);

// The machine number's last eight decimal digits as four packed-BCD bytes B0..B3 (B0 the most
// significant pair). Division truncates toward zero, so a negative number gives the BCD of its
// digits with the sign carried into each nibble, modulo 256. Records hold the bytes in the order
// B3, B2, B1, B0.
std::array<std::uint8_t, 4> EncodeMachineNo(std::int32_t value);

// Writes EncodeMachineNo(value) as B3, B2, B1, B0 (least significant pair first).
void PutMachineNo(std::span<std::uint8_t, 4> out, std::int32_t value);

// Dotted IPv4 text to a 32-bit number, first group most significant (dotted true), or a decimal
// text of at most 8 characters to its value (dotted false). Throws std::invalid_argument with the
// message "Invalid S/N" on malformed text.
std::uint32_t AddressToNumber(const QString& text, bool dotted);

// The reverse: "a.b.c.d" (dotted true) or the unsigned decimal value (dotted false).
QString NumberToAddress(std::uint32_t number, bool dotted);

}  // namespace xv4
