#include "sim/SerialServer.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>

namespace xv4::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;
using test::Clock;
using test::FrameOf;
using test::MakeRecord;
using test::PtyClient;

constexpr milliseconds kQuiet{300};

Bytes WithTrailer(const Record& r) {
  Bytes b = FrameOf(r);
  b.push_back(kFrameTrailer);
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

class SerialServerTest : public ::testing::Test {
 protected:
  void StartWith(const FaultConfig& faults = {}, const SerialOptions& options = {}) {
    engine.SetFaults(faults);
    server.StartPty(options);
    client = std::make_unique<PtyClient>(server.Path());
  }

  PrinterEngine engine;
  SerialServer server{engine};
  std::unique_ptr<PtyClient> client;
};

TEST_F(SerialServerTest, AcknowledgesAFramedWrite) {
  StartWith();
  EXPECT_EQ(server.Path().rfind("/dev/pts/", 0), 0u);
  client->Write(WithTrailer(MakeRecord(63, 124)));
  EXPECT_EQ(client->Read(1), Bytes{AckByte});
  const auto captured = engine.Captured();
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].transport, Transport::kSerial);
  EXPECT_EQ(captured[0].word, 124);
}

TEST_F(SerialServerTest, InformationReadGetsAReplyFrameWithTheInfoRecord) {
  StartWith();
  client->Write(WithTrailer(MakeRecord(14, 16, {0, 0, 16})));
  bool checksumOk = false;
  Bytes raw;
  const auto reply = client->ReadReplyRecord(&checksumOk, &raw);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(checksumOk);
  EXPECT_EQ(raw.size(), static_cast<std::size_t>(kFrameSize)) << "no stray bytes, no trailer";
  const Record& r = *reply;
  EXPECT_EQ((Bytes{r[0], r[1], r[2]}), (Bytes{0x0E, 0x10, 0x00}));
  const DataBytes info = engine.InfoData();
  EXPECT_TRUE(std::equal(info.begin(), info.end(), r.begin() + 3));
  EXPECT_EQ((Bytes{r[3 + 4], r[3 + 5], r[3 + 6], r[3 + 7]}), (Bytes{0x00, 0x00, 0x04, 0xD2}));
}

struct StreamCase {
  const char* what;
  std::vector<Bytes> writes;
  int acks;
};

TEST_F(SerialServerTest, FindsFramesInTheByteStream) {
  StartWith();
  const Bytes a = WithTrailer(MakeRecord(63, 0));
  const Bytes b = WithTrailer(MakeRecord(63, 1));
  const StreamCase cases[] = {
      {"garbage before the frame", {Concat({Bytes{0x00, 0x41, 0x99, 0x04, 0xFF}, a})}, 1},
      {"false start", {Concat({Bytes{0x03, 0x8F, 0x80, 0x80}, a})}, 1},
      {"split across writes",
       {Bytes(a.begin(), a.begin() + 7), Bytes(a.begin() + 7, a.begin() + 200),
        Bytes(a.begin() + 200, a.end())},
       1},
      {"two frames in one write", {Concat({a, b})}, 2},
  };
  int expectedRequests = 0;
  for (const StreamCase& c : cases) {
    for (const Bytes& w : c.writes)
      client->Write(w);
    expectedRequests += c.acks;
    EXPECT_EQ(client->Read(static_cast<std::size_t>(c.acks)),
              Bytes(static_cast<std::size_t>(c.acks), AckByte))
        << c.what;
    EXPECT_EQ(engine.Stats().requests, expectedRequests) << c.what;
  }
  EXPECT_EQ(server.Stats().badChecksum, 0u);
}

TEST_F(SerialServerTest, FrameWithBadChecksumIsNotAnswered) {
  StartWith();
  Bytes bad = FrameOf(MakeRecord(63, 5), /*breakChecksum=*/true);
  client->Write(bad);
  client->Write(WithTrailer(MakeRecord(14, 16)));
  // Had the bad write been acknowledged, an 0x02 would come before the reply frame.
  Bytes raw;
  ASSERT_TRUE(client->ReadReplyRecord(nullptr, &raw));
  EXPECT_EQ(raw.front(), kFrameStart);
  EXPECT_EQ(server.Stats().badChecksum, 1u);
  EXPECT_EQ(engine.Stats().requests, 1);
}

TEST_F(SerialServerTest, GarbageAndFalseStartPrecedeTheReply) {
  FaultConfig f;
  f.garbageBytes = 25;
  f.falseStart = true;
  StartWith(f);
  client->Write(WithTrailer(MakeRecord(63, 124)));
  const Bytes ack = client->Read(26);
  ASSERT_EQ(ack.size(), 26u);
  EXPECT_EQ(ack.back(), AckByte);
  EXPECT_EQ(std::count(ack.begin(), ack.end(), AckByte), 1);

  client->Write(WithTrailer(MakeRecord(14, 16)));
  Bytes raw;
  bool checksumOk = false;
  const auto reply = client->ReadReplyRecord(&checksumOk, &raw);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(checksumOk);
  EXPECT_EQ((*reply)[0], 0x0E);
  ASSERT_EQ(raw.size(), 25u + 3u + kFrameSize);
  EXPECT_EQ(raw[25], kFrameStart);
  EXPECT_EQ(raw[28], kFrameStart);
}

TEST_F(SerialServerTest, FirstReplyFramesCarryABadChecksumWhenTold) {
  FaultConfig f;
  f.badChecksumFirst = 1;
  StartWith(f);
  bool ok = true;
  client->Write(WithTrailer(MakeRecord(14, 16)));
  ASSERT_TRUE(client->ReadReplyRecord(&ok));
  EXPECT_FALSE(ok);
  client->Write(WithTrailer(MakeRecord(14, 16)));
  ASSERT_TRUE(client->ReadReplyRecord(&ok));
  EXPECT_TRUE(ok);
}

TEST_F(SerialServerTest, SplitReplyIsWrittenInPartsAfterTheGap) {
  FaultConfig f;
  f.splitAt = {100};
  f.splitGapMs = 400;
  StartWith(f);
  const auto sent = Clock::now();
  client->Write(WithTrailer(MakeRecord(14, 16)));
  bool ok = false;
  ASSERT_TRUE(client->ReadReplyRecord(&ok));
  EXPECT_TRUE(ok);
  EXPECT_GE(Clock::now() - sent, milliseconds(400));
}

TEST_F(SerialServerTest, PacedReplyTakesItsLineTime) {
  SerialOptions options;
  options.pace = true;
  StartWith({}, options);
  client->SetSpeed(B9600);
  const auto sent = Clock::now();
  client->Write(WithTrailer(MakeRecord(14, 16)));
  ASSERT_TRUE(client->ReadReplyRecord());
  // 301 bytes at 9600 bit/s are 313 ms of line time.
  EXPECT_GE(Clock::now() - sent, milliseconds(300));
}

TEST_F(SerialServerTest, ReportsTheLineSpeedTheToolSet) {
  StartWith();
  for (const auto& [constant, bps] : {std::pair{B1200, 1200}, std::pair{B115200, 115200},
                                      std::pair{B460800, 460800}, std::pair{B9600, 9600}}) {
    client->SetSpeed(constant);
    EXPECT_EQ(server.CurrentLineSpeed(), bps);
  }
}

TEST_F(SerialServerTest, PrinterAtAFixedSpeedIgnoresFramesAtOtherSpeeds) {
  SerialOptions options;
  options.printerBps = 19200;
  StartWith({}, options);
  client->SetSpeed(B9600);
  client->Write(WithTrailer(MakeRecord(14, 16)));
  // The printer judges a frame by the speed at the moment it takes it.
  ASSERT_TRUE(server.WaitForFrames(1, test::kPatience));
  client->SetSpeed(B19200);
  client->Write(WithTrailer(MakeRecord(14, 1)));
  // The handshake's acknowledgement is the first byte back: the read at 9600 was not understood.
  EXPECT_EQ(client->Read(1), Bytes{AckByte});
  EXPECT_EQ(server.Stats().wrongSpeed, 1u);
  EXPECT_FALSE(client->ReadReplyRecord(nullptr, nullptr, kQuiet));
}

TEST_F(SerialServerTest, LineStaysUsableWhenTheToolClosesAndReopens) {
  StartWith();
  client->Write(WithTrailer(MakeRecord(14, 1)));
  EXPECT_EQ(client->Read(1), Bytes{AckByte});
  client->SetSpeed(B57600);
  client.reset();
  EXPECT_EQ(server.CurrentLineSpeed(), 57600) << "the settings outlive the tool's descriptor";
  PtyClient again(server.Path());
  again.Write(WithTrailer(MakeRecord(14, 2)));
  EXPECT_EQ(again.Read(1), Bytes{AckByte});
}

TEST_F(SerialServerTest, StopReturnsWithRepliesPendingAndRemovesTheTerminal) {
  FaultConfig f;
  f.delayMs = 60'000;
  StartWith(f);
  client->Write(WithTrailer(MakeRecord(63, 3)));
  ASSERT_TRUE(engine.WaitForRequests(1, test::kPatience));
  const std::string path = server.Path();
  client.reset();
  const auto stopping = Clock::now();
  server.Stop();
  EXPECT_LT(Clock::now() - stopping, milliseconds(30'000));
  EXPECT_FALSE(server.Running());
  EXPECT_EQ(server.CurrentLineSpeed(), 0);
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0) << path << " should be gone";
}

TEST(SerialServer, AnswersOnAnExistingTerminalDeviceAtTheGivenSpeed) {
  // The device is the slave of a pseudo-terminal pair made here; the test talks on the master.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string device = ::ptsname(master);
  {
    // Holds the slave open so that the line stays up whatever the server does with its own.
    PtyClient hold(device);
    PrinterEngine engine;
    SerialServer server(engine);
    SerialOptions options;
    options.printerBps = 19200;
    server.StartDevice(device, options);
    EXPECT_EQ(server.Path(), device);
    EXPECT_EQ(server.CurrentLineSpeed(), 19200);
    const Bytes frame = WithTrailer(MakeRecord(63, 124));
    ASSERT_EQ(::write(master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    pollfd p{master, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(test::kPatience.count())), 1);
    std::uint8_t reply = 0;
    EXPECT_EQ(::read(master, &reply, 1), 1);
    EXPECT_EQ(reply, AckByte);
  }
  ::close(master);
}

TEST(SerialServer, DeviceThatIsNotATerminalIsRefused) {
  PrinterEngine engine;
  SerialServer server(engine);
  EXPECT_THROW(server.StartDevice("/dev/null"), std::runtime_error);
  EXPECT_THROW(server.StartDevice("/nonexistent/tty"), std::runtime_error);
  EXPECT_FALSE(server.Running());
}

// Line noise of every kind (stray start and end bytes, half frames, frames with a broken
// checksum), cut into writes of any size, never keeps a good frame from being answered.
TEST_F(SerialServerTest, GoodFramesInRandomNoiseAreEachAnsweredOnce) {
  StartWith();
  std::mt19937 rng(9600);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Bytes stream;
  int good = 0;
  for (int part = 0; part < 60; ++part) {
    switch (pick(4)) {
      case 0: {
        Bytes noise(static_cast<std::size_t>(pick(700)));
        for (std::uint8_t& b : noise) {
          const int kind = pick(10);
          b = kind == 0 ? kFrameStart : kind == 1 ? kFrameEnd : static_cast<std::uint8_t>(rng());
        }
        stream.insert(stream.end(), noise.begin(), noise.end());
        break;
      }
      case 1: {
        const Bytes half = FrameOf(MakeRecord(63, static_cast<std::uint16_t>(part)));
        stream.insert(stream.end(), half.begin(), half.begin() + 1 + pick(kFrameSize - 1));
        break;
      }
      case 2: {
        const Bytes bad = FrameOf(MakeRecord(63, static_cast<std::uint16_t>(part)), true);
        stream.insert(stream.end(), bad.begin(), bad.end());
        break;
      }
      default: {
        const Bytes frame = WithTrailer(MakeRecord(63, static_cast<std::uint16_t>(part)));
        stream.insert(stream.end(), frame.begin(), frame.end());
        ++good;
        break;
      }
    }
  }
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(stream.size() - at, static_cast<std::size_t>(1 + pick(900)));
    client->Write(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + n)));
    at += n;
  }
  EXPECT_EQ(client->Read(static_cast<std::size_t>(good)),
            Bytes(static_cast<std::size_t>(good), AckByte));
  EXPECT_TRUE(client->Read(1, kQuiet).empty());
  EXPECT_EQ(engine.Stats().requests, good);
}

}  // namespace
}  // namespace xv4::sim
