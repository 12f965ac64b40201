#include "protocol/DeviceRecord.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <stdexcept>
#include <vector>

namespace xv4 {
namespace {

using Area = std::array<std::uint8_t, kRecordWithChecksum>;
using Frame = std::array<std::uint8_t, kFrameSize>;

Area RecordOf(std::initializer_list<std::uint8_t> head, std::uint8_t fill = 0) {
  Area a{};
  a.fill(fill);
  std::copy(head.begin(), head.end(), a.begin());
  StoreChecksum(a);
  return a;
}

Frame Pack(const Area& a) {
  Frame f{};
  PackFrame(a, f);
  return f;
}

TEST(SerialFrame, HighBitsOfAGroupGoToItsEighthByte) {
  const Frame f = Pack(RecordOf({0x0E, 0x01, 0x00, 0x34, 0x12, 0x85, 0x26}));
  const std::vector<std::uint8_t> head(f.begin(), f.begin() + 9);
  EXPECT_EQ(head,
            (std::vector<std::uint8_t>{0x03, 0x8E, 0x81, 0x80, 0xB4, 0x92, 0x85, 0xA6, 0xA0}));
  EXPECT_EQ(f[300], 0x04);
}

TEST(SerialFrame, ChecksumWrapsAndItsHighBitsGoToByte299) {
  const Area a = RecordOf({}, 0xFF);
  EXPECT_EQ(RecordChecksum(std::span<const std::uint8_t, kRecordSize>(a.data(), kRecordSize)),
            0x01FD);
  const Frame f = Pack(a);
  EXPECT_EQ(f[297], 0xFD);
  EXPECT_EQ(f[298], 0x81);
  EXPECT_EQ(f[299], 0x81);
  EXPECT_EQ(f[300], 0x04);
}

TEST(SerialFrame, SerialHandshakeRecordIsFramedByteExact) {
  // MachineNo 1234, 2026-12-06 21:40:32, tbr115200 (index 4), handshake argument 0 (flag 1).
  const Area a = RecordOf(
      {0x0E, 0x01, 0x00, 0x34, 0x12, 0x00, 0x00, 0x26, 0x12, 0x06, 0x21, 0x40, 0x32, 0x04, 0x01});
  EXPECT_EQ(a[259] | (a[260] << 8), 0x012B);
  const Frame f = Pack(a);
  const std::vector<std::uint8_t> head(f.begin(), f.begin() + 18);
  EXPECT_EQ(head,
            (std::vector<std::uint8_t>{0x03, 0x8E, 0x81, 0x80, 0xB4, 0x92, 0x80, 0x80, 0x80, 0xA6,
                                       0x92, 0x86, 0xA1, 0xC0, 0xB2, 0x84, 0x80, 0x81}));
  for (int i = 18; i <= 296; ++i)
    ASSERT_EQ(f[i], 0x80) << "frame index " << i;
  EXPECT_EQ(f[297], 0xAB);
  EXPECT_EQ(f[298], 0x81);
  EXPECT_EQ(f[299], 0x80);
  EXPECT_EQ(f[300], 0x04);
}

TEST(SerialFrame, SevenBitRecordHasPlainGroupBytes) {
  Area a{};
  for (int i = 0; i < kRecordSize; ++i)
    a[i] = static_cast<std::uint8_t>(i % 0x80);
  a[259] = 0x11;  // a checksum below 0x80 in both bytes, stored as is
  a[260] = 0x22;
  const Frame f = Pack(a);
  for (int g = 0; g < 37; ++g)
    EXPECT_EQ(f[8 + 8 * g], 0x80) << "group " << g;
  EXPECT_EQ(f[299], 0x80);
  for (int i = 1; i < 300; ++i)
    ASSERT_TRUE(f[i] & 0x80) << "index " << i;
}

TEST(SerialFrame, RandomRecordsRoundTrip) {
  std::mt19937 rng(42);
  for (int n = 0; n < 200; ++n) {
    Area a{};
    for (int i = 0; i < kRecordSize; ++i)
      a[i] = static_cast<std::uint8_t>(rng());
    StoreChecksum(a);
    Area back{};
    back.fill(0xCC);
    ASSERT_TRUE(UnpackFrame(Pack(a), back));
    ASSERT_EQ(back, a);
  }
}

TEST(SerialFrame, EveryCorruptedPayloadBitIsNoticedAndOnlyThose) {
  std::mt19937 rng(7);
  Area a{};
  for (int i = 0; i < kRecordSize; ++i)
    a[i] = static_cast<std::uint8_t>(rng());
  StoreChecksum(a);
  const Frame good = Pack(a);
  Area out{};
  for (int index = 1; index <= 298; ++index) {
    for (int bit = 0; bit < 7; ++bit) {
      Frame f = good;
      f[index] ^= static_cast<std::uint8_t>(1u << bit);
      ASSERT_FALSE(UnpackFrame(f, out)) << "index " << index << " bit " << bit;
    }
  }
  for (int bit : {0, 1}) {
    Frame f = good;
    f[299] ^= static_cast<std::uint8_t>(1u << bit);
    EXPECT_FALSE(UnpackFrame(f, out)) << "checksum high-bit flag " << bit;
  }
  // Bits that carry nothing: bit 7 of a group byte, bits 2..7 of byte 299.
  for (int g = 0; g < 37; ++g) {
    Frame f = good;
    f[8 + 8 * g] ^= 0x80;
    EXPECT_TRUE(UnpackFrame(f, out)) << "group " << g;
  }
  for (int bit = 2; bit < 8; ++bit) {
    Frame f = good;
    f[299] ^= static_cast<std::uint8_t>(1u << bit);
    EXPECT_TRUE(UnpackFrame(f, out)) << "byte 299 bit " << bit;
  }
}

std::array<std::uint8_t, 4> InRecordOrder(std::int32_t v) {
  std::array<std::uint8_t, 4> out{};
  PutMachineNo(out, v);
  return out;
}

TEST(Encodings, MachineNumberIsPackedBcdLeastSignificantPairFirst) {
  using B = std::array<std::uint8_t, 4>;
  EXPECT_EQ(InRecordOrder(0), (B{0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(InRecordOrder(99999999), (B{0x99, 0x99, 0x99, 0x99}));
  EXPECT_EQ(InRecordOrder(12345678), (B{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(InRecordOrder(1234), (B{0x34, 0x12, 0x00, 0x00}));
  EXPECT_EQ(InRecordOrder(123456789), (B{0x89, 0x67, 0x45, 0x23}));  // leading digit lost
  // Network machine numbers are addresses; 192.168.1.7 is negative as a signed number.
  EXPECT_EQ(InRecordOrder(-1062731513), (B{0xED, 0xEB, 0x8D, 0x9E}));
  EXPECT_EQ(InRecordOrder(167772161), (B{0x61, 0x21, 0x77, 0x67}));   // 10.0.0.1
  EXPECT_EQ(EncodeMachineNo(12345678), (B{0x12, 0x34, 0x56, 0x78}));  // B0..B3
}

TEST(Encodings, ByteToBcdKeepsTheLastTwoDigits) {
  EXPECT_EQ(ByteToBcd(7), 0x07);
  EXPECT_EQ(ByteToBcd(12), 0x12);
  EXPECT_EQ(ByteToBcd(59), 0x59);
  EXPECT_EQ(ByteToBcd(2026), 0x26);
  EXPECT_EQ(ByteToBcd(0), 0x00);
}

TEST(Addresses, DottedTextsBecomeNumbersFirstGroupMostSignificant) {
  EXPECT_EQ(AddressToNumber("192.168.1.7", true), 0xC0A80107u);
  EXPECT_EQ(AddressToNumber("10.0.0.1", true), (10u << 24) + 1);
  EXPECT_EQ(AddressToNumber("10.0.0.1.99", true), (10u << 24) + 1);  // text after group 4 ignored
  EXPECT_EQ(AddressToNumber("127.0.0.1", true), 0x7F000001u);
  EXPECT_EQ(AddressToNumber("1.2.3.256", true), 0x01020400u);  // a big group spills over
  EXPECT_EQ(AddressToNumber("12345678", false), 12345678u);
  EXPECT_EQ(NumberToAddress(0xC0A80107u, true), "192.168.1.7");
  EXPECT_EQ(NumberToAddress(0xC0A80107u, false), "3232235783");
}

TEST(Addresses, MalformedTextsRaiseInvalidSerialNumber) {
  const std::pair<const char*, bool> bad[] = {
      {"1000.0.0.1", true},         // first group of 4 characters
      {"10..0.1.5", true},          // empty group
      {"1.2.3.4", true},            // 7 characters
      {"100.100.100.1000", false},  // not decimal either
      {"100.100.100.10000", true},  // 17 characters
      {"abc.def.ghi.jkl", true},
      {"10.0.0.x1", true},
      {"", true},
      {"123456789", false},  // 9 digits
      {"", false},
      {"12a", false},
  };
  for (const auto& [text, dotted] : bad) {
    try {
      AddressToNumber(text, dotted);
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid S/N") << text;
    }
  }
}

}  // namespace
}  // namespace xv4
