#include "sim/ReplyShaper.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

namespace xv4::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using test::Bytes;

Answer RecordAnswer() {
  Answer a;
  a.kind = Answer::Kind::kRecord;
  a.record = test::MakeRecord(14, 16, {1, 2, 3});
  a.record[200] = 0xC5;
  return a;
}

Answer ByteAnswer(std::uint8_t b) {
  Answer a;
  a.kind = Answer::Kind::kByte;
  a.byte = b;
  return a;
}

Bytes Joined(const std::vector<TimedPiece>& pieces) {
  Bytes all;
  for (const TimedPiece& p : pieces)
    all.insert(all.end(), p.bytes.begin(), p.bytes.end());
  return all;
}

TEST(ReplyShaper, UdpRecordIsOneDatagramAfterTheDelay) {
  std::mt19937 rng(1);
  Answer a = RecordAnswer();
  a.delivery.delayMs = 250;
  const auto pieces = ShapeAnswer(a, Transport::kUdp, 0, rng);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].at, milliseconds(250));
  EXPECT_EQ(pieces[0].bytes, Bytes(a.record.begin(), a.record.end()));
  EXPECT_TRUE(ShapeAnswer(Answer{}, Transport::kUdp, 0, rng).empty());
}

TEST(ReplyShaper, SplitPointsCutTheAnswerAndSpaceThePartsByTheGap) {
  std::mt19937 rng(1);
  Answer a = RecordAnswer();
  // 0, a point that does not ascend and one past the end are ignored.
  a.delivery.splitAt = {100, 0, 50, 300};
  a.delivery.splitGapMs = 20;
  const auto pieces = ShapeAnswer(a, Transport::kUdp, 0, rng);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].bytes.size(), 100u);
  EXPECT_EQ(pieces[1].bytes.size(), 159u);
  EXPECT_EQ(pieces[1].at - pieces[0].at, milliseconds(20));
  EXPECT_EQ(Joined(pieces), Bytes(a.record.begin(), a.record.end()));
}

TEST(ReplyShaper, SerialReplyIsADecodableFrameWithoutTrailer) {
  std::mt19937 rng(1);
  const Answer a = RecordAnswer();
  const Bytes bytes = AnswerBytes(a, Transport::kSerial, rng);
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kFrameSize));
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  EXPECT_TRUE(UnpackFrame(ConstFrameBytes(bytes.data(), kFrameSize), area));
  EXPECT_TRUE(std::equal(a.record.begin(), a.record.end(), area.begin()));
}

TEST(ReplyShaper, SerialFaultsSurroundTheFrameAsDescribed) {
  std::mt19937 rng(1);
  Answer a = RecordAnswer();
  a.delivery.garbageBytes = 40;
  a.delivery.falseStart = true;
  a.delivery.badChecksum = true;
  const Bytes bytes = AnswerBytes(a, Transport::kSerial, rng);
  ASSERT_EQ(bytes.size(), 40u + 3u + kFrameSize);
  for (int i = 0; i < 40; ++i) {
    EXPECT_NE(bytes[i], AckByte);
    EXPECT_NE(bytes[i], NakByte);
    EXPECT_NE(bytes[i], kFrameStart);
  }
  const Bytes frame(bytes.end() - kFrameSize, bytes.end());
  EXPECT_EQ(bytes[40], kFrameStart);
  EXPECT_NE(bytes[41], frame[1]);  // does not continue as the reply's header
  EXPECT_NE(bytes[41] & 0x80, 0);
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  EXPECT_FALSE(UnpackFrame(ConstFrameBytes(frame.data(), kFrameSize), area));
  EXPECT_TRUE(std::equal(a.record.begin(), a.record.end(), area.begin()));
}

TEST(ReplyShaper, GarbageBeforeAnAcknowledgementNeverLooksLikeOne) {
  std::mt19937 rng(3);
  Answer a = ByteAnswer(AckByte);
  a.delivery.garbageBytes = 2000;
  a.delivery.falseStart = true;  // applies to frames only
  const Bytes bytes = AnswerBytes(a, Transport::kSerial, rng);
  ASSERT_EQ(bytes.size(), 2001u);
  EXPECT_EQ(std::find(bytes.begin(), bytes.end(), AckByte), bytes.end() - 1);
  EXPECT_EQ(std::find(bytes.begin(), bytes.end(), NakByte), bytes.end());
  EXPECT_EQ(std::find(bytes.begin(), bytes.end(), kFrameStart), bytes.end());
}

TEST(ReplyShaper, PacingSpreadsAFrameOverItsLineTime) {
  std::mt19937 rng(1);
  const auto pieces = ShapeAnswer(RecordAnswer(), Transport::kSerial, 9600, rng);
  ASSERT_GT(pieces.size(), 10u);
  EXPECT_EQ(Joined(pieces).size(), static_cast<std::size_t>(kFrameSize));
  // 301 bytes at 9600 bit/s, 10 bit times each: the last byte is through after 313.5 ms.
  EXPECT_EQ(pieces.back().at, microseconds(301LL * 10'000'000 / 9600));
  for (std::size_t i = 1; i < pieces.size(); ++i)
    EXPECT_GT(pieces[i].at, pieces[i - 1].at);
  // Pacing is for the serial line only.
  EXPECT_EQ(ShapeAnswer(RecordAnswer(), Transport::kUdp, 9600, rng).size(), 1u);
}

}  // namespace
}  // namespace xv4::sim
