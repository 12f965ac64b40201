// The device session in RS232 mode, against a serial link double that plays the printer.
#include "protocol/ValdMBus.h"

#include "platform/MessageBox.h"
#include "platform/Time.h"
#include "tests/support/FakeSerialLink.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/UdpPeer.h"

#include <QTimer>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::FakeSerialLink;
using Bytes = std::vector<std::uint8_t>;
using Chunks = std::vector<FakeSerialLink::Chunk>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The 301-byte frame of a 259-byte record, with its checksum (optionally spoiled).
Bytes FrameOf(const Bytes& record, bool spoilChecksum = false) {
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  std::copy(record.begin(), record.end(), area.begin());
  StoreChecksum(area);
  if (spoilChecksum)
    area[kRecordSize] ^= 0x01;
  std::array<std::uint8_t, kFrameSize> frame{};
  PackFrame(area, frame);
  return Bytes(frame.begin(), frame.end());
}

// The record inside a frame the session sent (302 bytes with the trailer).
Bytes RecordOf(const Bytes& sent) {
  EXPECT_EQ(sent.size(), static_cast<size_t>(kFrameWithTrailer));
  EXPECT_EQ(sent.back(), kFrameTrailer);
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  EXPECT_TRUE(UnpackFrame(ConstFrameBytes(sent.data(), kFrameSize), area));
  return Bytes(area.begin(), area.begin() + kRecordSize);
}

// A printer reply record to a sent request frame: the request's header, data fill, fill+1, ...
Bytes ReplyTo(const Bytes& sent, std::uint8_t fill) {
  Bytes record = RecordOf(sent);
  for (int i = 3; i < kRecordSize; ++i)
    record[i] = static_cast<std::uint8_t>(fill + i);
  return record;
}

Bytes DataOfRecord(const Bytes& record) {
  return Bytes(record.begin() + 3, record.end());
}

Bytes DataOf(const TValdMBusComm& s) {
  return Bytes(s.DataBlock.begin(), s.DataBlock.end());
}

Chunks Reply(Bytes bytes, int delayMs = 1) {
  return {FakeSerialLink::Chunk{std::move(bytes), delayMs}};
}

class SerialSession : public ::testing::Test {
 protected:
  SerialSession() {
    auto link = std::make_unique<FakeSerialLink>();
    link_ = link.get();
    session_ = std::make_unique<TValdMBusComm>(nullptr, std::move(link), 0);
    test::GuardLoopback(session_->Endpoint());
    session_->Clock = test::FixedMoment;
    session_->SetCommName(QStringLiteral("COM3"));
    session_->SetisModem(false);
    session_->SetRetryCount(3);
    session_->SetRetryInterval(30);
    session_->MachineNo = 1234;
  }
  ~SerialSession() override { platform::SetMessageBoxHandler({}); }

  std::vector<TBaudRate> SentBauds() const {
    std::vector<TBaudRate> bauds;
    for (const auto& s : link_->sent)
      bauds.push_back(s.baud);
    return bauds;
  }

  test::TempAppDir dir_;
  FakeSerialLink* link_ = nullptr;
  std::unique_ptr<TValdMBusComm> session_;
};

TEST_F(SerialSession, HandshakeFrameIsByteExactOnTheLine) {
  session_->SetBaudRate(tbr115200);
  link_->script = [](int, const Bytes&) { return Reply({0x02}); };
  EXPECT_TRUE(session_->Handshake(1234, 0));
  ASSERT_EQ(link_->sent.size(), 1u);
  const Bytes expected = Concat({{0x03, 0x8E, 0x81, 0x80, 0xB4, 0x92, 0x80, 0x80, 0x80, 0xA6, 0x92,
                                  0x86, 0xA1, 0xC0, 0xB2, 0x84, 0x80, 0x81},
                                 Bytes(279, 0x80),
                                 {0xAB, 0x81, 0x80, 0x04, 0xFF}});
  EXPECT_EQ(link_->sent[0].bytes, expected);
  EXPECT_EQ(link_->sent[0].baud, tbr115200);
}

TEST_F(SerialSession, HandshakeCarriesTheBaudIndexAndTheArgumentFlag) {
  struct Case {
    TBaudRate rate;
    std::uint8_t argument;
    std::uint8_t index;
    std::uint8_t flag;
  };
  const Case cases[] = {{tbr115200, 0, 4, 1},
                        {tbr2400, 1, 0, 0},
                        {tbr9600, 0, 0, 1},
                        {tbr57600, 2, 3, 0},
                        {tbr460800, 0, 5, 1}};
  link_->script = [](int, const Bytes&) { return Reply({0x02}); };
  for (const Case& c : cases) {
    link_->sent.clear();
    session_->SetBaudRate(c.rate);
    EXPECT_TRUE(session_->Handshake(99999999, c.argument));
    ASSERT_EQ(link_->sent.size(), 1u);
    const Bytes record = RecordOf(link_->sent[0].bytes);
    EXPECT_EQ(Bytes(record.begin() + 3, record.begin() + 7), (Bytes{0x99, 0x99, 0x99, 0x99}));
    EXPECT_EQ(record[13], c.index) << c.rate;
    EXPECT_EQ(record[14], c.flag) << c.rate;
  }
}

TEST_F(SerialSession, HandshakeWalksTheLineSpeedsUntilThePrinterAnswers) {
  const std::vector<TBaudRate> walk = {tbr2400,   tbr9600, tbr19200, tbr38400, tbr57600, tbr115200,
                                       tbr460800, tbr9600, tbr19200, tbr38400, tbr57600};
  struct Case {
    int answeredOn;  // 1-based send the printer acknowledges; 0: never
    bool modem;
    TBaudRate lineAfter;
  };
  const Case cases[] = {
      {0, false, tbr57600}, {3, false, tbr2400}, {11, false, tbr2400}, {0, true, tbr2400}};
  for (const Case& c : cases) {
    link_->sent.clear();
    session_->SetBaudRate(tbr2400);
    session_->SetisModem(c.modem);
    session_->SetRetryInterval(20);
    session_->SetRetryCount(0);  // the handshake has its own budget
    session_->LogTraffic = true;
    session_->TrafficLog.clear();
    link_->baudChanges.clear();
    link_->script = [&c](int i, const Bytes&) {
      return i + 1 == c.answeredOn ? Reply({0x02}) : Chunks{};
    };
    EXPECT_EQ(session_->Handshake(1234, 0), c.answeredOn != 0) << c.answeredOn;
    const size_t sends = c.answeredOn != 0 ? static_cast<size_t>(c.answeredOn) : 11u;
    ASSERT_EQ(link_->sent.size(), sends) << c.answeredOn;
    if (c.modem) {
      EXPECT_TRUE(link_->baudChanges.empty());
      EXPECT_EQ(SentBauds(), std::vector<TBaudRate>(sends, tbr2400));
    } else {
      EXPECT_EQ(SentBauds(), std::vector<TBaudRate>(walk.begin(), walk.begin() + sends));
    }
    EXPECT_EQ(link_->baud, c.lineAfter) << c.answeredOn;
    // Every send holds the same record, with the baud index of BaudRate.
    for (const auto& s : link_->sent)
      EXPECT_EQ(s.bytes, link_->sent[0].bytes);
    EXPECT_EQ(session_->TrafficLog.count(QStringLiteral(">>>>>>Send data<<<<<<<<")),
              static_cast<qsizetype>(sends));
    EXPECT_EQ(session_->TrafficLog.contains(QStringLiteral("Retry:10")), sends == 11);
  }
}

TEST_F(SerialSession, WriteIsAcknowledgedByTheFirstAckOrNakInAChunk) {
  struct Case {
    const char* name;
    Bytes chunk;
    int retryCount;
    bool result;
    int sends;
  };
  const Case cases[] = {
      {"garbage, ack, nak", {0x11, 0x03, 0x80, 0x02, 0x55}, 3, true, 1},
      {"nak, ack", {0x55, 0x02}, 1, false, 2},
      {"no retries, acknowledged", {0x02}, 0, true, 1},
      {"noise only", {0x00, 0x01, 0x03, 0x04, 0xFF}, 1, false, 2},
  };
  for (const Case& c : cases) {
    link_->sent.clear();
    session_->SetRetryCount(c.retryCount);
    link_->script = [&c](int, const Bytes&) { return Reply(c.chunk); };
    EXPECT_EQ(session_->WriteRecord(63, 124), c.result) << c.name;
    EXPECT_EQ(link_->sent.size(), static_cast<size_t>(c.sends)) << c.name;
  }
}

TEST_F(SerialSession, WriteRecordFramesCommandWordDataAndChecksum) {
  link_->script = [](int, const Bytes&) { return Reply({0x02}); };
  for (int i = 0; i < kDataSize; ++i)
    session_->DataBlock[i] = static_cast<std::uint8_t>(i * 3);
  EXPECT_TRUE(session_->WriteRecord(15, 0x0203));
  ASSERT_EQ(link_->sent.size(), 1u);
  EXPECT_EQ(RecordOf(link_->sent[0].bytes), Concat({{15, 0x03, 0x02}, DataOf(*session_)}));
}

TEST_F(SerialSession, ReadReplyFrameIsFoundInTheByteStream) {
  struct Case {
    const char* name;
    std::function<Chunks(const Bytes& reply, const Bytes& other)> chunks;
  };
  const Case cases[] = {
      {"one chunk", [](const Bytes& f, const Bytes&) { return Reply(f); }},
      {"stray bytes and a false start first",
       [](const Bytes& f, const Bytes&) {
         return Reply(Concat({{0x41, 0xFF, 0x04, 0x03, 0x8F, 0x20}, f}));
       }},
      {"a start byte inside a broken frame restarts it",
       [](const Bytes& f, const Bytes&) {
         return Reply(Concat({Bytes(f.begin(), f.begin() + 120), f}));
       }},
      {"split over three chunks",
       [](const Bytes& f, const Bytes&) {
         return Chunks{{Bytes(f.begin(), f.begin() + 1), 1},
                       {Bytes(f.begin() + 1, f.begin() + 151), 3},
                       {Bytes(f.begin() + 151, f.end()), 5}};
       }},
      {"a second frame in the same chunk is ignored",
       [](const Bytes& f, const Bytes& other) {
         return Reply(Concat({f, {0xFF}, other}));
       }},
      {"a frame for another request first",
       [](const Bytes& f, const Bytes&) {
         Bytes otherHeader = f;
         otherHeader[2] ^= 0x01;
         return Chunks{{otherHeader, 1}, {f, 4}};
       }},
  };
  for (const Case& c : cases) {
    link_->sent.clear();
    link_->script = [&](int, const Bytes& sent) {
      return c.chunks(FrameOf(ReplyTo(sent, 0x30)), FrameOf(ReplyTo(sent, 0x70)));
    };
    session_->DataBlock.fill(0x11);
    EXPECT_TRUE(session_->ReadRecord(63, 5)) << c.name;
    ASSERT_EQ(link_->sent.size(), 1u) << c.name;
    EXPECT_EQ(RecordOf(link_->sent[0].bytes), Concat({{63, 5, 0}, Bytes(256, 0x11)})) << c.name;
    EXPECT_EQ(DataOf(*session_), DataOfRecord(ReplyTo(link_->sent[0].bytes, 0x30))) << c.name;
  }
}

TEST_F(SerialSession, ChecksumErrorRepeatsTheRequest) {
  link_->script = [](int i, const Bytes& sent) {
    return Reply(FrameOf(ReplyTo(sent, 0x50), i == 0));
  };
  EXPECT_TRUE(session_->ReadRecord(14, 16));
  EXPECT_EQ(link_->sent.size(), 2u);
  EXPECT_FALSE(session_->ChecksumError());
  EXPECT_EQ(DataOf(*session_), DataOfRecord(ReplyTo(link_->sent[0].bytes, 0x50)));

  link_->sent.clear();
  link_->script = [](int, const Bytes& sent) { return Reply(FrameOf(ReplyTo(sent, 0), true)); };
  session_->SetRetryCount(2);
  EXPECT_FALSE(session_->ReadRecord(14, 16));
  EXPECT_EQ(link_->sent.size(), 3u);
  EXPECT_TRUE(session_->ChecksumError());
}

TEST_F(SerialSession, ReplyTimeStartsWhenTheLinkHasSentEverything) {
  link_->sendDoneDelayMs = 300;
  session_->SetRetryInterval(100);
  session_->SetRetryCount(0);
  for (int ackAt : {350, 50}) {
    link_->sent.clear();
    link_->script = [ackAt](int, const Bytes&) { return Reply({0x02}, ackAt); };
    EXPECT_TRUE(session_->WriteRecord(63, 124)) << ackAt;
    EXPECT_EQ(link_->sent.size(), 1u);
  }
}

TEST_F(SerialSession, WhatArrivesWhileTheLinkWaitsToSendBelongsToTheEarlierWrite) {
  // The first request goes unanswered in time; its late reply and drain report arrive while the
  // link waits to send the repeat. The repeat goes out whole, and its reply time starts only
  // when it has drained itself.
  session_->SetRetryInterval(100);
  link_->sendDoneDelayMs = 300;
  link_->whileWaiting = [this](int index) {
    if (index != 1)
      return;
    const Bytes late = FrameOf(ReplyTo(link_->sent[0].bytes, 0x70));
    link_->OnReceiveNewData(nullptr, late.data(), static_cast<std::uint16_t>(late.size()));
    link_->OnSendBufEmpty(nullptr);
  };
  link_->script = [](int i, const Bytes& sent) {
    return i == 0 ? Chunks{} : Reply(FrameOf(ReplyTo(sent, 0x30)), 350);
  };
  session_->DataBlock.fill(0x11);
  EXPECT_TRUE(session_->ReadRecord(63, 5));
  ASSERT_EQ(link_->sent.size(), 2u);
  EXPECT_EQ(link_->sent[1].bytes, link_->sent[0].bytes);
  EXPECT_EQ(DataOf(*session_), DataOfRecord(ReplyTo(link_->sent[1].bytes, 0x30)));
}

TEST_F(SerialSession, AbortEndsAWaitForASendThatNeverDrains) {
  link_->sendDoneDelayMs = -1;
  QTimer::singleShot(50, [this] { session_->Abort(); });
  EXPECT_FALSE(session_->WriteRecord(63, 124));
  EXPECT_EQ(link_->sent.size(), 1u);
  EXPECT_TRUE(session_->Failed());
}

TEST_F(SerialSession, SendThatNeverDrainsFailsTheExchangeInsteadOfHanging) {
  link_->sendDoneDelayMs = -1;  // the port hung up: nothing reports the write drained
  session_->SetRetryCount(0);
  for (bool broadcast : {false, true}) {
    link_->sent.clear();
    session_->SetBroadCast(broadcast);
    const std::uint32_t start = platform::GetTickCount();
    EXPECT_FALSE(session_->WriteRecord(63, 124)) << "a dead line is no success, broadcast or not";
    EXPECT_TRUE(session_->Failed());
    EXPECT_EQ(link_->sent.size(), 1u);
    const std::uint32_t took = platform::GetTickCount() - start;
    EXPECT_GE(took, 2000u) << "a slow line gets its time";
    EXPECT_LT(took, 30000u);
  }
}

// The UDP socket stays bound in RS232 mode, and a serial line may still deliver in TCP/IP mode:
// an answer counts only on the transport of the mode.
TEST_F(SerialSession, AnswersCountOnlyOnTheTransportOfTheMode) {
  session_->SetRetryCount(0);
  session_->SetRetryInterval(300);
  test::LoopbackSocket stray;
  const auto local = static_cast<std::uint16_t>(session_->Endpoint().BoundPort());
  link_->script = [&](int, const Bytes&) {
    stray.SendTo(local, {AckByte});
    return Chunks{};
  };
  EXPECT_FALSE(session_->WriteRecord(63, 124)) << "a datagram in RS232 mode";

  test::UdpPeer silent;
  session_->SetMode(tmTCPIP);
  session_->SetRemoteHost(QStringLiteral("127.0.0.1"));
  session_->SetRemotePort(silent.Port());
  QTimer::singleShot(20, [this] {
    const std::uint8_t ack = AckByte;
    link_->OnReceiveNewData(nullptr, &ack, 1);
  });
  EXPECT_FALSE(session_->WriteRecord(63, 124)) << "serial bytes in TCP/IP mode";
  EXPECT_EQ(silent.ReceivedCount(), 1);
}

TEST_F(SerialSession, BroadcastWritesGoOutOnceAndOnlyARefusalFails) {
  session_->SetBroadCast(true);
  session_->SetBroadCastInterval(40);
  struct Case {
    const char* name;
    Bytes chunk;
    bool result;
  };
  const Case cases[] = {
      {"silent", {}, true}, {"acknowledged", {0x02}, true}, {"refused", {0x55}, false}};
  for (const Case& c : cases) {
    link_->sent.clear();
    link_->script = [&c](int, const Bytes&) { return c.chunk.empty() ? Chunks{} : Reply(c.chunk); };
    EXPECT_EQ(session_->WriteRecord(63, 1), c.result) << c.name;
    EXPECT_EQ(link_->sent.size(), 1u) << c.name;
    EXPECT_EQ(session_->Failed(), !c.result) << c.name;
  }
  EXPECT_EQ(session_->WaitReply(20), TValdMBusComm::WaitAcknowledged);
}

TEST_F(SerialSession, BroadcastHandshakeCarriesTheStationList) {
  session_->SetBroadCast(true);
  session_->SetBroadCastInterval(20);
  session_->SetBaudRate(tbr19200);
  for (int i = 0; i < TValdMBusComm::kBroadcastStations; ++i)
    session_->BroadcastList[i] = {i * 1000 + 7, 9};
  struct Case {
    TBroadCastScaleType scale;
    std::uint8_t scaleByte;
    bool handshake;
  };
  for (const Case& c : {Case{tbs5120, 0xA5, true}, Case{tbs1024, 0x5A, false}}) {
    link_->sent.clear();
    session_->SetBroadCastScaleType(c.scale);
    link_->SetBaudRate(tbr460800);
    EXPECT_TRUE(c.handshake ? session_->Handshake(1234, 0) : session_->ReadDeviceInfo(1234));
    ASSERT_EQ(link_->sent.size(), 1u);
    EXPECT_EQ(link_->baud, tbr19200);
    const Bytes record = RecordOf(link_->sent[0].bytes);
    EXPECT_EQ(record[1], c.handshake ? 1 : 16);
    EXPECT_EQ(Bytes(record.begin() + 3, record.begin() + 7), Bytes(4, 0));
    EXPECT_EQ(record[13], c.handshake ? 1 : 0);
    EXPECT_EQ(record[14], c.scaleByte);
    for (int i = 0; i < TValdMBusComm::kBroadcastStations; ++i) {
      std::array<std::uint8_t, 4> expected{};
      PutMachineNo(expected, i * 1000 + 7);
      EXPECT_EQ(Bytes(record.begin() + 35 + 4 * i, record.begin() + 39 + 4 * i),
                Bytes(expected.begin(), expected.end()))
          << i;
      EXPECT_EQ(session_->BroadcastList[i].Status, 0) << i;
      session_->BroadcastList[i].Status = 9;
    }
  }
}

TEST_F(SerialSession, EndSessionTriesThreeTimesAndNeverFails) {
  struct Case {
    const char* name;
    Bytes chunk;
    size_t sends;
  };
  const Case cases[] = {{"silent", {}, 3}, {"refused", {0x55}, 3}, {"acknowledged", {0x02}, 1}};
  for (const Case& c : cases) {
    link_->sent.clear();
    link_->baudChanges.clear();
    link_->script = [&c](int, const Bytes&) { return c.chunk.empty() ? Chunks{} : Reply(c.chunk); };
    session_->LogTraffic = true;
    session_->TrafficLog.clear();
    EXPECT_TRUE(session_->EndSession(1234, 7)) << c.name;
    ASSERT_EQ(link_->sent.size(), c.sends) << c.name;
    EXPECT_EQ(RecordOf(link_->sent[0].bytes),
              Concat({{0x0E, 0x02, 0x00, 0x34, 0x12, 0x00, 0x00, 0x07}, Bytes(251, 0)}));
    for (size_t i = 1; i < c.sends; ++i) {
      // A silent printer gets 100 ms per send; a refusal is answered by the next send at once.
      if (c.chunk.empty()) {
        EXPECT_GE(link_->sent[i].tick - link_->sent[i - 1].tick, 95u) << c.name;
      }
      EXPECT_EQ(link_->sent[i].bytes, link_->sent[0].bytes);
    }
    EXPECT_TRUE(link_->baudChanges.empty());
    EXPECT_FALSE(session_->TrafficLog.join(QLatin1Char('\n')).contains(QStringLiteral("Retry:")));
  }
}

TEST_F(SerialSession, ReadDeviceInfoKeepsTheDataOfTheLastRead) {
  link_->script = [](int, const Bytes& sent) { return Reply(FrameOf(ReplyTo(sent, 0x40))); };
  ASSERT_TRUE(session_->ReadModelInfo());
  const Bytes modelRequest = RecordOf(link_->sent[0].bytes);
  EXPECT_EQ(modelRequest, Concat({{0x0E, 0x10, 0x00, 0x00, 0x00, 0x10}, Bytes(253, 0)}));
  const Bytes model = DataOf(*session_);
  EXPECT_EQ(model, DataOfRecord(ReplyTo(link_->sent[0].bytes, 0x40)));

  link_->sent.clear();
  link_->script = [](int, const Bytes& sent) { return Reply(FrameOf(ReplyTo(sent, 0x90))); };
  EXPECT_TRUE(session_->ReadDeviceInfo(-1));
  ASSERT_EQ(link_->sent.size(), 1u);
  EXPECT_EQ(RecordOf(link_->sent[0].bytes), Concat({{0x0E, 0x10, 0x00}, Bytes(256, 0)}));
  EXPECT_EQ(DataOf(*session_), model);
}

TEST_F(SerialSession, ReadDeviceInfoBeforeAnyReadRequestRecognisesNoReply) {
  session_->SetRetryInterval(15);
  link_->script = [](int, const Bytes& sent) { return Reply(FrameOf(ReplyTo(sent, 0x90))); };
  EXPECT_FALSE(session_->ReadDeviceInfo(1234));
  EXPECT_EQ(link_->sent.size(), 11u);
}

TEST_F(SerialSession, ConnectAlwaysReadsTheModelOnRS232) {
  link_->script = [](int i, const Bytes& sent) {
    return i == 0 ? Reply({0x02}) : Reply(FrameOf(ReplyTo(sent, 0x10)));
  };
  EXPECT_TRUE(session_->Connect(1234, 0, false));
  EXPECT_EQ(link_->sent.size(), 2u);
}

TEST_F(SerialSession, OpeningHandsTheSettingsToTheLinkAndInitialisesAModem) {
  for (bool modem : {false, true}) {
    link_->activations.clear();
    link_->modemCommands.clear();
    link_->savedOptions.clear();
    session_->SetisModem(modem);
    session_->TrafficLog << QStringLiteral("stale");
    session_->SetActive(true);
    EXPECT_TRUE(session_->isActive());
    EXPECT_EQ(link_->commName, QStringLiteral("COM3"));
    EXPECT_EQ(link_->savedOptions, std::vector<int>{0});
    EXPECT_TRUE(link_->flgCreateThd);
    EXPECT_FALSE(link_->waitForCall);
    EXPECT_EQ(link_->activations, std::vector<bool>{true});
    EXPECT_EQ(link_->modemCommands, modem ? QStringList{QStringLiteral("INITIAL")} : QStringList{});
    EXPECT_TRUE(session_->TrafficLog.isEmpty());
    // Opening an open session closes the port first.
    session_->SetActive(true);
    EXPECT_EQ(link_->activations, (std::vector<bool>{true, false, true}));
    session_->SetActive(false);
    EXPECT_FALSE(session_->isActive());
    EXPECT_EQ(link_->activations.back(), false);
  }
}

TEST_F(SerialSession, PortThatCannotBeOpenedShowsOneMessageAndRaises) {
  std::vector<std::pair<platform::MessageKind, QString>> shown;
  platform::SetMessageBoxHandler(
      [&](platform::MessageKind kind, const QString& text) { shown.emplace_back(kind, text); });
  link_->failOpen = true;
  EXPECT_THROW(session_->SetActive(true), std::runtime_error);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, platform::MessageKind::Error);
  EXPECT_EQ(shown[0].second, QStringLiteral("Error opening COM3!\r\nplease select other ports."));
  EXPECT_FALSE(session_->isActive());

  link_->failOpen = false;
  session_->SetActive(true);
  link_->failOpen = true;
  EXPECT_THROW(session_->SetActive(true), std::runtime_error);
  EXPECT_EQ(shown.size(), 2u);
  EXPECT_TRUE(session_->isActive());
}

}  // namespace
}  // namespace xv4
