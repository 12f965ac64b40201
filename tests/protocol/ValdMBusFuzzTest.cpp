// Randomized input to both receive parsers: chunks and datagrams of any size and content must
// never reach outside the session's buffers (run under AddressSanitizer), must leave the
// receiver in a consistent state, and must not hide a valid reply that follows the noise.
#include "protocol/ValdMBus.h"

#include "tests/support/FakeSerialLink.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace xv4 {
namespace {

using Access = TValdMBusCommTestAccess;
using Bytes = std::vector<std::uint8_t>;
using Header = std::array<std::uint8_t, 3>;

class Noise {
 public:
  explicit Noise(std::uint32_t seed) : rng_(seed) {}

  int Below(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
  bool OneIn(int n) { return Below(n) == 0; }

  // Bytes biased toward what the parsers look for: start and end bytes, acknowledgements, the
  // expected header, bytes with bit 7 set.
  std::uint8_t Byte(const Header& header, bool allowEnd = true) {
    std::uint8_t b = 0;
    switch (Below(8)) {
      case 0:
        b = kFrameStart;
        break;
      case 1:
        b = kFrameEnd;
        break;
      case 2:
        b = static_cast<std::uint8_t>(Below(2) ? AckByte : NakByte);
        break;
      case 3:
        b = header[static_cast<size_t>(Below(3))];
        break;
      case 4:
      case 5:
        b = static_cast<std::uint8_t>(0x80 | Below(128));
        break;
      default:
        b = static_cast<std::uint8_t>(Below(256));
    }
    return (!allowEnd && b == kFrameEnd) ? 0x80 : b;
  }
  Bytes Run(int length, const Header& header, bool allowEnd = true) {
    Bytes b(static_cast<size_t>(length));
    for (auto& x : b)
      x = Byte(header, allowEnd);
    return b;
  }
  // Lengths from empty to well beyond every buffer, mostly small.
  int Length() {
    switch (Below(10)) {
      case 0:
        return 0;
      case 1:
        return 2000 + Below(4000);
      case 2:
        return 250 + Below(60);
      default:
        return Below(120);
    }
  }

 private:
  std::mt19937 rng_;
};

bool ValidFrameIn(std::span<const std::uint8_t> f, const Header& header) {
  if (f[0] != kFrameStart || f[kFrameSize - 1] != kFrameEnd)
    return false;
  if (f[1] != header[0] || f[2] != header[1] || f[3] != header[2])
    return false;
  return std::all_of(f.begin() + 4, f.begin() + kFrameSize - 1, [](auto b) { return b & 0x80; });
}

TEST(ReceiveParserFuzz, SerialChunksOfAnySizeStayInsideTheFrame) {
  TValdMBusComm session(nullptr, std::make_unique<test::FakeSerialLink>(), 0);
  Noise noise(20261206);
  for (int round = 0; round < 4000; ++round) {
    // Reply headers are framed bytes: bit 7 is always set.
    const Header header = {static_cast<std::uint8_t>(0x80 | noise.Below(128)),
                           static_cast<std::uint8_t>(0x80 | noise.Below(128)),
                           static_cast<std::uint8_t>(0x80 | noise.Below(128))};
    const bool expectRecord = !noise.OneIn(4);
    Access::BeginWait(session, expectRecord, header);

    // Noise, then (sometimes) a valid reply frame, then more noise. The noise before the frame
    // holds no end byte, so that only the planted frame can complete.
    const bool planted = expectRecord && noise.OneIn(2);
    Bytes frame;
    if (planted) {
      std::array<std::uint8_t, kRecordWithChecksum> area{};
      for (int i = 0; i < kRecordSize; ++i)
        area[i] = static_cast<std::uint8_t>(noise.Below(256));
      area[0] = header[0] & 0x7F;
      area[1] = header[1] & 0x7F;
      area[2] = header[2] & 0x7F;
      StoreChecksum(area);
      std::array<std::uint8_t, kFrameSize> f{};
      PackFrame(area, f);
      frame.assign(f.begin(), f.end());
    }
    Bytes stream = noise.Run(noise.Length(), header, !planted);
    stream.insert(stream.end(), frame.begin(), frame.end());
    const Bytes tail = noise.Run(noise.Length(), header);
    stream.insert(stream.end(), tail.begin(), tail.end());

    Bytes completedFrame;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t size =
          std::min(stream.size() - at,
                   static_cast<size_t>(noise.OneIn(5) ? noise.Below(65536) : noise.Below(400)));
      session.LinkDataReceived(nullptr, stream.data() + at, static_cast<std::uint16_t>(size));
      at += size;
      ASSERT_GE(session.ReceiveState(), 0);
      ASSERT_LE(session.ReceiveState(), 1);
      ASSERT_GE(session.ReceivePos(), 0);
      ASSERT_LT(session.ReceivePos(), kFrameSize);
      if (session.ReceiveState() == 1 && expectRecord) {
        const auto fb = session.FrameBuffer();
        ASSERT_TRUE(ValidFrameIn(fb, header)) << "round " << round;
        // A completed reply is never touched by what follows it.
        if (completedFrame.empty())
          completedFrame.assign(fb.begin(), fb.begin() + kFrameSize);
        ASSERT_TRUE(std::equal(completedFrame.begin(), completedFrame.end(), fb.begin()));
      }
    }
    if (planted) {
      ASSERT_EQ(session.ReceiveState(), 1) << "round " << round;
      ASSERT_EQ(completedFrame, frame) << "round " << round;
    }
    if (!expectRecord) {
      const auto first = std::find_if(stream.begin(), stream.end(),
                                      [](auto b) { return b == AckByte || b == NakByte; });
      if (first == stream.end()) {
        ASSERT_NE(session.ReceiveState(), 1);
      } else {
        ASSERT_EQ(session.ReceiveState(), 1);
        ASSERT_EQ(session.ReplyByte(), *first);
      }
    }
  }
  session.LinkDataReceived(nullptr, nullptr, 100);
}

TEST(ReceiveParserFuzz, DatagramsOfAnySizeStayInsideTheRecord) {
  TValdMBusComm session(nullptr, std::make_unique<test::FakeSerialLink>(), 0);
  session.SetMode(tmTCPIP);
  int delivered = 0;
  const auto parse = session.Endpoint().OnDataReceived;
  session.Endpoint().OnDataReceived = [&](QObject* s, int n, const QString& ip, int port) {
    parse(s, n, ip, port);
    ++delivered;
  };
  test::LoopbackSocket printer;
  const auto port = static_cast<std::uint16_t>(session.Endpoint().BoundPort());
  Noise noise(5001);
  for (int round = 0; round < 400; ++round) {
    const Header header = {static_cast<std::uint8_t>(noise.Below(256)),
                           static_cast<std::uint8_t>(noise.Below(256)),
                           static_cast<std::uint8_t>(noise.Below(256))};
    const bool expectRecord = !noise.OneIn(4);
    Access::BeginWait(session, expectRecord, header);

    std::vector<Bytes> datagrams;
    const bool planted = expectRecord && noise.OneIn(2);
    // Noise first. When a reply is planted, noise datagrams do not begin with the header's first
    // byte (a record can only start a datagram), except the oversized ones: those are never
    // delivered, whatever they hold.
    const int noiseCount = noise.Below(5);
    for (int i = 0; i < noiseCount; ++i) {
      Bytes d = noise.Run(noise.Length(), header);
      if (planted && !d.empty() && d.size() <= TUdpEndpoint::kReceiveBufferSize &&
          d[0] == header[0])
        d[0] = static_cast<std::uint8_t>(header[0] + 1);
      if (planted && d.size() > TUdpEndpoint::kReceiveBufferSize)
        std::copy(header.begin(), header.end(), d.begin());
      datagrams.push_back(d);
    }
    Bytes record;
    if (planted) {
      record = noise.Run(kRecordSize, header);
      std::copy(header.begin(), header.end(), record.begin());
      // The record in pieces; the last may carry extra bytes, which are dropped.
      size_t at = 0;
      while (at < record.size()) {
        const size_t size = std::min(record.size() - at, static_cast<size_t>(1 + noise.Below(300)));
        datagrams.emplace_back(record.begin() + at, record.begin() + at + size);
        at += size;
      }
      if (noise.OneIn(2)) {
        const Bytes extra = noise.Run(noise.Below(100), header);
        datagrams.back().insert(datagrams.back().end(), extra.begin(), extra.end());
      }
    }
    for (int i = noise.Below(3); i > 0; --i)
      datagrams.push_back(noise.Run(noise.Length(), header));

    Bytes completed;
    for (const Bytes& d : datagrams) {
      const int before = delivered;
      printer.SendTo(port, d);
      ASSERT_TRUE(test::WaitFor([&] { return delivered > before; })) << "round " << round;
      ASSERT_GE(session.ReceivePos(), 0);
      ASSERT_LT(session.ReceivePos(), kRecordSize);
      if (session.ReceiveState() == 1 && expectRecord) {
        const auto fb = session.FrameBuffer();
        ASSERT_TRUE(std::equal(header.begin(), header.end(), fb.begin())) << "round " << round;
        if (completed.empty())
          completed.assign(fb.begin(), fb.begin() + kRecordSize);
        ASSERT_TRUE(std::equal(completed.begin(), completed.end(), fb.begin()));
      }
    }
    if (planted) {
      ASSERT_EQ(session.ReceiveState(), 1) << "round " << round;
      ASSERT_EQ(completed, record) << "round " << round;
    }
  }
  // A byte count that overstates what the endpoint holds reads no more than it holds.
  Access::BeginWait(session, true, {1, 2, 3});
  session.DatagramReceived(nullptr, 1 << 30, QString(), 0);
  session.DatagramReceived(nullptr, -1, QString(), 0);
  EXPECT_LT(session.ReceivePos(), kRecordSize);
}

}  // namespace
}  // namespace xv4
