// The device session over the real link and serial port, against the simulated printer on a
// pseudo-terminal: everything between the session and the bytes on the line is the real code.
#include "protocol/ValdMBus.h"

#include "link/MdmLnk.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"
#include "tests/support/FakeCommBackend.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace xv4 {
namespace {

class SerialSessionOverPty : public ::testing::Test {
 protected:
  void Start(const sim::SerialOptions& options, TBaudRate baud) {
    engine_.SetInfo(sim::PrinterInfo{});
    server_.StartPty(options);
    session_ = std::make_unique<TValdMBusComm>(nullptr, nullptr, 0);
    test::GuardLoopback(session_->Endpoint());
    session_->SetMode(tmRS232);
    session_->SetCommName(QString::fromStdString(server_.Path()));
    session_->SetBaudRate(baud);
    session_->SetisModem(false);
    session_->SetRetryCount(3);
    session_->SetRetryInterval(300);
    session_->MachineNo = 1234;
    session_->SetActive(true);
    ASSERT_TRUE(session_->isActive());
  }
  void TearDown() override {
    if (session_)
      session_->SetActive(false);
    session_.reset();
    server_.Stop();
  }

  test::TempAppDir dir_;
  sim::PrinterEngine engine_;
  sim::SerialServer server_{engine_};
  std::unique_ptr<TValdMBusComm> session_;
};

TEST_F(SerialSessionOverPty, HandshakeWalksTheLineSpeedsUntilThePrinterUnderstands) {
  sim::SerialOptions options;
  options.printerBps = 38400;
  Start(options, tbr115200);
  EXPECT_TRUE(session_->Handshake(1234, 0));
  // 115200 first, then 9600, 19200 and 38400, where the printer answers.
  const sim::SerialStats stats = server_.Stats();
  EXPECT_EQ(stats.frames, 4u);
  EXPECT_EQ(stats.wrongSpeed, 3u);
  EXPECT_EQ(server_.CurrentLineSpeed(), 115200) << "the line goes back to the session's speed";
}

TEST_F(SerialSessionOverPty, ExchangesSurviveRefusalsBrokenRepliesAndLineNoise) {
  Start({}, tbr460800);
  sim::FaultConfig faults;
  faults.nakFirst = 2;          // the handshake and the first write are refused once each
  faults.corruptFirst = 1;      // the first reply record answers another request
  faults.badChecksumFirst = 2;  // ... and the next one fails its checksum
  faults.garbageBytes = 9;      // stray bytes before every answer
  faults.falseStart = true;     // a start byte that leads nowhere before every frame
  faults.splitAt = {1, 150, 290};
  faults.splitGapMs = 3;
  engine_.SetFaults(faults);

  ASSERT_TRUE(session_->Connect(1234, 0, false));
  EXPECT_EQ(session_->DataBlock, engine_.InfoData());

  std::vector<sim::DataBytes> written;
  for (std::uint16_t word : {124, 0, 1, 2}) {
    for (std::size_t i = 0; i < session_->DataBlock.size(); ++i)
      session_->DataBlock[i] = static_cast<std::uint8_t>(word * 31 + i);
    written.push_back(session_->DataBlock);
    ASSERT_TRUE(session_->WriteRecord(63, word)) << "word " << word;
  }
  EXPECT_TRUE(session_->ReadDeviceInfo(1234));
  EXPECT_TRUE(session_->EndSession(1234, 0));

  const sim::EngineStats stats = engine_.Stats();
  EXPECT_EQ(stats.naks, 2);
  EXPECT_EQ(stats.corrupted, 1);
  EXPECT_GE(server_.Stats().discardedBytes, 9u);

  // Each record reached the printer whole; a refused write came twice.
  std::vector<sim::DataBytes> received;
  for (const sim::CapturedRecord& r : engine_.Captured()) {
    if (r.command == 63 && (received.empty() || received.back() != r.data))
      received.push_back(r.data);
  }
  EXPECT_EQ(received, written);
}

TEST_F(SerialSessionOverPty, SilentPrinterFailsTheWriteAfterItsBudget) {
  Start({}, tbr460800);
  ASSERT_TRUE(session_->Handshake(1234, 0));
  sim::FaultConfig faults;
  faults.silentAfter = 1;
  engine_.SetFaults(faults);
  EXPECT_TRUE(session_->WriteRecord(63, 5));
  EXPECT_FALSE(session_->WriteRecord(63, 6));
  EXPECT_TRUE(session_->Failed());
  EXPECT_EQ(engine_.Stats().unanswered, 4) << "RetryCount 3: four sends";
}

TEST_F(SerialSessionOverPty, PrinterGoneFromTheLineFailsTheWriteInsteadOfHanging) {
  Start({}, tbr460800);
  ASSERT_TRUE(session_->Handshake(1234, 0));
  server_.Stop();  // the far end of the line closes: the port hangs up
  session_->SetRetryCount(1);
  EXPECT_FALSE(session_->WriteRecord(63, 5));
  EXPECT_TRUE(session_->Failed());
}

// The real link on an in-memory port, where the test decides what the port reads and when.
class SerialSessionOnAFakePort : public ::testing::Test {
 protected:
  SerialSessionOnAFakePort() {
    auto link = std::make_unique<TMdmLnk>();
    auto device = std::make_unique<test::FakeCommBackend>();
    port_ = device.get();
    link->Comm()->SetBackend(std::move(device));
    session_ = std::make_unique<TValdMBusComm>(nullptr, std::move(link), 0);
    test::GuardLoopback(session_->Endpoint());
    session_->SetCommName(QStringLiteral("COM3"));
    session_->SetisModem(false);
    session_->SetRetryCount(0);
    session_->SetRetryInterval(200);
    session_->SetActive(true);
  }
  ~SerialSessionOnAFakePort() override { session_->SetActive(false); }

  // The port reads bytes (the read thread has taken them) while nobody handles events.
  void ReadWithoutDelivering(const QByteArray& bytes) {
    const std::uint64_t before = TComm::ReadSequence();
    port_->Inject(bytes);
    ASSERT_TRUE(port_->WaitFor([&] { return TComm::ReadSequence() > before; }));
  }

  test::TempAppDir dir_;
  test::FakeCommBackend* port_ = nullptr;
  std::unique_ptr<TValdMBusComm> session_;
};

// An acknowledgement carries no record number. One that the port read before a record went out
// (the printer acknowledged the record before twice) is no answer to it, even though its event
// comes after the send; one read after the send counts, even before the drain report.
TEST_F(SerialSessionOnAFakePort, OnlyWhatThePortReadAfterTheSendAnswersIt) {
  // Record 10: the line holds the frame back; the acknowledgement comes before the drain report.
  port_->SetOutputLingers(true);
  port_->HoldDrains(true);
  std::jthread printer([this] {
    if (port_->WaitFor([&] { return port_->Written().size() >= kFrameWithTrailer; })) {
      const std::uint64_t before = TComm::ReadSequence();
      port_->Inject(QByteArray(1, AckByte));
      port_->WaitFor([&] { return TComm::ReadSequence() > before; });
    }
    port_->HoldDrains(false);
  });
  EXPECT_TRUE(session_->WriteRecord(63, 10));
  printer.join();

  // Record 11: a second acknowledgement of record 10 has been read when it leaves; the printer
  // never answers it.
  port_->SetOutputLingers(false);
  ReadWithoutDelivering(QByteArray(1, AckByte));
  EXPECT_FALSE(session_->WriteRecord(63, 11));
  EXPECT_EQ(port_->Written().size(), 2 * kFrameWithTrailer);
}

// A port that hangs up (an adapter pulled out): every try fails at once instead of waiting for a
// drain that never comes, and the session says why.
TEST_F(SerialSessionOnAFakePort, HungUpPortFailsAHandshakeAtOnce) {
  port_->HangUp();
  ASSERT_TRUE(port_->WaitFor([&] { return port_->HangupsReported() > 0; }));
  const std::uint32_t start = platform::GetTickCount();
  EXPECT_FALSE(session_->Handshake(1234, 0));
  EXPECT_LT(platform::GetTickCount() - start, 1500u) << "eleven tries on a dead port";
  EXPECT_EQ(session_->LastFailure(), QStringLiteral("serial port COM3 hung up"));
}

}  // namespace
}  // namespace xv4
