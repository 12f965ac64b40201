// The operations against the printer simulator on 127.0.0.1: the records on the wire, the texts
// shown, the files written, and every way out (failure, refusal, Cancel).
#include "appcore/Operations.h"

#include "appcore/LanguageTexts.h"
#include "appcore/ParamBlocks.h"
#include "link/MdmLnk.h"
#include "platform/EventLoop.h"
#include "platform/MessageBox.h"
#include "platform/Time.h"
#include "protocol/ValdMBus.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"
#include "sim/UdpServer.h"
#include "support/AppSettings.h"
#include "support/FakeCommBackend.h"
#include "support/LoopbackTcp.h"
#include "support/RecordingUi.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::Bytes;
using test::PatternFile;

struct Wire {
  std::uint8_t command;
  std::uint16_t word;
  bool operator==(const Wire&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Wire& w) {
  return os << int(w.command) << "/" << w.word;
}

bool OwnerOnly(const QString& path) {
  const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                          QFileDevice::ReadOther | QFileDevice::WriteOther;
  return (QFileInfo(path).permissions() & others) == 0;
}

// Content of record i of a test file: every record different, so a misplaced record shows.
std::vector<std::uint8_t> FileRecord(const QByteArray& f, int i) {
  return Bytes(f, i * 256, 256);
}

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLanguageTexts();
    server_.Start("127.0.0.1", 0);
    comm_.SetRetryCount(3);
    comm_.SetRetryInterval(150);
    s_ = test::DesignSettings();
    s_.ipPort = QString::number(server_.Port());
    platform::SetMessageBoxHandler(
        [this](platform::MessageKind, const QString& text) { sessionMessages_ << text; });
  }
  void TearDown() override { platform::SetMessageBoxHandler({}); }

  std::vector<Wire> WireLog() const {
    std::vector<Wire> w;
    for (const auto& r : engine_.Captured())
      w.push_back({r.command, r.word});
    return w;
  }
  std::vector<sim::CapturedRecord> Captured() const { return engine_.Captured(); }
  void WriteDataFile(const QByteArray& content, const QString& name = "zk16.hex") {
    ASSERT_TRUE(dir_.Write(name, content));
  }
  // Makes a file of the given size without writing its bytes (sparse).
  QString SparseFile(const QString& name, qint64 size) {
    QFile f(dir_.File(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    EXPECT_TRUE(f.resize(size));
    return dir_.File(name);
  }
  // Cancel as the dialog's button does it: from an event handled inside the session's wait.
  void CancelDuringNextWait() {
    QTimer::singleShot(0, [this] {
      ui_.PressCancel();
      ops_.Abort();
    });
  }

  test::TempAppDir dir_;
  sim::PrinterEngine engine_;
  sim::UdpServer server_{engine_};
  TValdMBusComm comm_{nullptr, nullptr, 0};
  test::RecordingUi ui_;
  Operations ops_{comm_, ui_};
  OperationSettings s_;
  QStringList sessionMessages_;
};

const Wire kHandshake{14, 1}, kInfo{14, 16}, kTestRecord{63, 124}, kEnd{14, 2};

// ---- Communication test ----

TEST_F(OperationsTest, CommTestSucceeds) {
  const OpResult r = ops_.CommTest(s_);
  EXPECT_EQ(r.status, OpStatus::Success);
  EXPECT_EQ(WireLog(), (std::vector<Wire>{kHandshake, kInfo, kTestRecord, kEnd}));
  EXPECT_EQ(Bytes(Captured()[2].data, 0, 256), std::vector<std::uint8_t>(256, 0x00));
  EXPECT_EQ(ui_.statuses, (QStringList{"连接...", "通讯测试...", "通讯测试成功!", "断开..."}));
  EXPECT_TRUE(ui_.finals.isEmpty());
  EXPECT_TRUE(ui_.messages.isEmpty()) << "a successful test shows no message box";
  EXPECT_EQ(ui_.closes, 1);
  EXPECT_TRUE(ops_.CommTested());
  // The handshake carries the printer's address as its machine number: 127.0.0.1.
  EXPECT_EQ(comm_.MachineNo, 0x7F000001);
}

TEST_F(OperationsTest, TestRecordUnansweredFailsWithItsText) {
  sim::FaultConfig f;
  f.silentAfter = 2;  // handshake and model read answered
  engine_.SetFaults(f);
  const OpResult r = ops_.CommTest(s_);
  EXPECT_EQ(r.status, OpStatus::Failed);
  EXPECT_EQ(ui_.statuses, (QStringList{"连接...", "通讯测试..."}));
  EXPECT_EQ(ui_.finals, QStringList{"通讯测试...失败!"});
  // RetryCount 3: up to four sends of the test record.
  EXPECT_EQ(WireLog(), (std::vector<Wire>{kHandshake, kInfo, kTestRecord, kTestRecord, kTestRecord,
                                          kTestRecord}));
  EXPECT_FALSE(ops_.CommTested());
}

TEST_F(OperationsTest, SilentPrinterFailsToConnect) {
  sim::FaultConfig f;
  f.silentAfter = 0;
  f.dropEvery = 1;
  engine_.SetFaults(f);
  comm_.SetRetryCount(1);
  const OpResult r = ops_.CommTest(s_);
  EXPECT_EQ(r.status, OpStatus::Failed);
  EXPECT_EQ(r.text, "连接...失败!");
  EXPECT_EQ(ui_.finals, QStringList{"连接...失败!"});
}

TEST_F(OperationsTest, RefusalsAreRetried) {
  sim::FaultConfig f;
  f.nakFirst = 2;
  engine_.SetFaults(f);
  EXPECT_EQ(ops_.CommTest(s_).status, OpStatus::Success);
  EXPECT_EQ(WireLog(),
            (std::vector<Wire>{kHandshake, kHandshake, kHandshake, kInfo, kTestRecord, kEnd}));
}

TEST_F(OperationsTest, FailedTestKeepsAnEarlierSuccess) {
  ASSERT_EQ(ops_.CommTest(s_).status, OpStatus::Success);
  sim::FaultConfig f;
  f.dropEvery = 1;
  engine_.SetFaults(f);
  comm_.SetRetryCount(1);
  EXPECT_EQ(ops_.CommTest(s_).status, OpStatus::Failed);
  EXPECT_TRUE(ops_.CommTested());
}

TEST_F(OperationsTest, MalformedPrinterAddressSendsNothing) {
  for (const char* address : {"127.0.0", "127.0.0.1x", "", "1.2.3.4", "127.0.0.257"}) {
    s_.ipAddress = QString::fromLatin1(address);
    for (auto run : {&Operations::CommTest}) {
      const OpResult r = (ops_.*run)(s_);
      EXPECT_EQ(r.status, OpStatus::BadInput) << address;
      EXPECT_EQ(r.text, "Invalid S/N");
    }
    EXPECT_EQ(ops_.DownloadParams(s_).status, OpStatus::BadInput);
    EXPECT_EQ(ops_.DownloadData(s_).status, OpStatus::BadInput);
    EXPECT_EQ(ops_.DownloadProgram(s_, dir_.File("x")).status, OpStatus::BadInput);
  }
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.shows, 0) << "no progress dialog for refused input";
  EXPECT_EQ(ui_.messages.count("Invalid S/N"), 20);
}

TEST_F(OperationsTest, PortOutsideTheUdpRangeSendsNothing) {
  // The simulator's port plus 65536 would land on the simulator if it were cut to 16 bits.
  const int port = server_.Port();
  for (const QString& text :
       {QString::number(port + 65536), QStringLiteral("0"), QStringLiteral("-1")}) {
    s_.ipPort = text;
    const OpResult r = ops_.CommTest(s_);
    EXPECT_EQ(r.status, OpStatus::BadInput) << text.toStdString();
    EXPECT_TRUE(r.text.startsWith("Invalid port")) << r.text.toStdString();
    EXPECT_EQ(ops_.DownloadParams(s_).status, OpStatus::BadInput);
    EXPECT_EQ(ops_.DownloadProgram(s_, dir_.File("x")).status, OpStatus::BadInput);
  }
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.shows, 0);
  s_.ipPort = QString::number(port);
  EXPECT_EQ(ops_.CommTest(s_).status, OpStatus::Success);
}

TEST_F(OperationsTest, CancelledTestShowsNoFailure) {
  sim::FaultConfig f;
  f.delayMs = 100;
  engine_.SetFaults(f);
  CancelDuringNextWait();
  const OpResult r = ops_.CommTest(s_);
  EXPECT_EQ(r.status, OpStatus::Cancelled);
  EXPECT_TRUE(ui_.finals.isEmpty());
  // The handshake was on its way when Cancel came; nothing followed it.
  EXPECT_TRUE(engine_.WaitForRequests(1, std::chrono::seconds(5)));
  EXPECT_EQ(WireLog(), std::vector<Wire>{kHandshake});
}

TEST_F(OperationsTest, TrafficLogIsWrittenWhenSwitchedOn) {
  comm_.LogTraffic = true;
  ASSERT_EQ(ops_.CommTest(s_).status, OpStatus::Success);
  const QStringList logs = QDir(dir_.File("LOG")).entryList({"*.LOG"}, QDir::Files);
  ASSERT_EQ(logs.size(), 1);
  const QByteArray text = dir_.Read("LOG/" + logs.first());
  EXPECT_TRUE(text.contains(">>>>>>Send data<<<<<<<<"));
  EXPECT_TRUE(text.contains("3F 7C 00 00 "));
  // The records carry the WiFi settings: the log is its owner's only.
  EXPECT_TRUE(OwnerOnly(dir_.File("LOG/" + logs.first())));

  // A log that cannot be written is reported, not lost in silence.
  ASSERT_TRUE(QDir(dir_.File("LOG")).removeRecursively());
  ASSERT_TRUE(dir_.Write("LOG", "a file where the folder goes"));
  ASSERT_EQ(ops_.CommTest(s_).status, OpStatus::Success);
  ASSERT_EQ(sessionMessages_.size(), 1);
  EXPECT_TRUE(sessionMessages_[0].startsWith("Cannot write the traffic log"))
      << sessionMessages_[0].toStdString();
}

// ---- Cash drawer ----

TEST_F(OperationsTest, DrawerOverTcpSendsFiveBytesAndLeavesTheSessionAlone) {
  test::LoopbackListener printer;
  ops_.SetDrawerPort(printer.Port());
  s_.ipAddress = QStringLiteral("  127.0.0.1 ");  // blanks around the address are trimmed
  const OpResult r = ops_.OpenDrawer(s_);
  EXPECT_EQ(r.status, OpStatus::Success);
  bool closed = false;
  EXPECT_EQ(printer.AcceptAndReadAll(5000, &closed), QByteArray("\x1B\x70\x00\x18\x18", 5));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.shows, 0);
  EXPECT_TRUE(ui_.messages.isEmpty());
}

TEST_F(OperationsTest, DrawerRefusedShowsTheSocketError) {
  test::RefusingPort port;
  ops_.SetDrawerPort(port.Port());
  const OpResult r = ops_.OpenDrawer(s_);
  EXPECT_EQ(r.status, OpStatus::Failed);
  EXPECT_EQ(ui_.messages, QStringList{QStringLiteral("Socket Error # 111\nConnection refused.")});
}

TEST_F(OperationsTest, DrawerConnectTimesOutAfterTwoSecondsTwice) {
  test::LoopbackListener printer(0);
  ASSERT_TRUE(printer.FillBacklog());
  ops_.SetDrawerPort(printer.Port());
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(ops_.OpenDrawer(s_).status, OpStatus::Failed);
    const std::uint32_t took = platform::GetTickCount() - start;
    EXPECT_GE(took, 1990u);
    EXPECT_LT(took, 10000u);
  }
  EXPECT_EQ(ui_.messages, (QStringList{"Connect timed out.", "Connect timed out."}));
  EXPECT_EQ(ui_.details.value(0),
            QStringLiteral("Cash drawer: 127.0.0.1:%1 did not take the connection within 2.0 s "
                           "(is the printer on, and is the address right?)")
                .arg(printer.Port()));
}

TEST_F(OperationsTest, SerialModeSetsIsModemFalseInEveryOperation) {
  s_.commMode = 1;
  s_.portName = dir_.File("no-such-port");
  for (int op = 0; op < 3; ++op) {
    comm_.SetisModem(true);
    WriteDataFile(PatternFile(40960));
    const OpResult r = op == 0   ? ops_.CommTest(s_)
                       : op == 1 ? ops_.DownloadParams(s_)
                                 : ops_.DownloadData(s_);
    EXPECT_EQ(r.status, OpStatus::LinkNotOpened) << op;
    EXPECT_FALSE(comm_.isModem()) << op;
    EXPECT_EQ(comm_.Mode(), tmRS232);
    EXPECT_EQ(comm_.MachineNo, 1234);
  }
  EXPECT_EQ(ui_.shows, 0);
  EXPECT_EQ(sessionMessages_.size(), 3) << "the session shows why the port did not open";
}

TEST_F(OperationsTest, SerialDrawerTestsFirstThenSendsEvenWhenTheTestFailed) {
  s_.commMode = 1;
  s_.portName = dir_.File("no-such-port");
  const OpResult r = ops_.OpenDrawer(s_);
  EXPECT_EQ(r.status, OpStatus::LinkNotOpened);
  // The test's open and the drawer's own open both failed.
  EXPECT_EQ(sessionMessages_.size(), 2);
  EXPECT_FALSE(comm_.isModem());
}

TEST_F(OperationsTest, DrawerOverTcpTakesOnlyADottedAddress) {
  test::LoopbackListener printer;
  ops_.SetDrawerPort(printer.Port());
  for (const char* address : {"127.1", "localhost", "127.0.0.1.5"}) {
    s_.ipAddress = QString::fromLatin1(address);
    const OpResult r = ops_.OpenDrawer(s_);
    EXPECT_EQ(r.status, OpStatus::BadInput) << address;
    EXPECT_EQ(r.text, "Invalid S/N") << address;
  }
  EXPECT_EQ(ui_.messages, QStringList(3, "Invalid S/N"));
  EXPECT_EQ(printer.AcceptAndReadAll(0), QByteArray()) << "nobody connected";
}

// Over a serial line: the simulator on a pseudo-terminal.
class SerialOperationsTest : public OperationsTest {
 protected:
  void SetUp() override {
    OperationsTest::SetUp();
    serial_.StartPty();
    s_.commMode = 1;
    s_.portName = QString::fromStdString(serial_.Path());
    s_.baudIndex = 6;  // "115200"
  }
  sim::SerialServer serial_{engine_};
};

TEST_F(SerialOperationsTest, CommTestOverRs232WithoutModem) {
  comm_.SetisModem(true);  // the session's own default
  const OpResult r = ops_.CommTest(s_);
  ASSERT_EQ(r.status, OpStatus::Success) << r.text.toStdString();
  EXPECT_FALSE(comm_.isModem());
  EXPECT_EQ(comm_.BaudRate(), tbr115200);
  EXPECT_FALSE(comm_.isActive()) << "the port is closed again";
  EXPECT_EQ(WireLog(), (std::vector<Wire>{kHandshake, kInfo, kTestRecord, kEnd}));
}

TEST_F(SerialOperationsTest, ParamDownloadOverRs232ReachesThePrinterFirstTime) {
  // Without a communication test first: the download itself switches the modem off.
  comm_.SetisModem(true);
  WriteDataFile(PatternFile(40960));
  const OpResult r = ops_.DownloadParams(s_);
  ASSERT_EQ(r.status, OpStatus::Success) << r.text.toStdString();
  EXPECT_EQ(Captured().size(), 5u + 128u + 1u);
}

// A test over TCP/IP earlier in the run must not take the drawer command off the serial line.
TEST_F(SerialOperationsTest, DrawerGoesToTheSerialPortInTheWindow) {
  OperationSettings tcp = s_;
  tcp.commMode = 0;
  tcp.ipAddress = QStringLiteral("127.0.0.1");
  tcp.ipPort = QString::number(server_.Port());
  ASSERT_EQ(ops_.CommTest(tcp).status, OpStatus::Success);
  const std::uint64_t ignored = server_.IgnoredDatagrams();

  ASSERT_EQ(ops_.OpenDrawer(s_).status, OpStatus::Success);
  EXPECT_EQ(comm_.Mode(), tmRS232);
  const platform::Deadline deadline = platform::Deadline::In(5000);
  while (serial_.Stats().discardedBytes < 5 && !deadline.Expired())
    platform::DelayMs(10);
  EXPECT_EQ(serial_.Stats().discardedBytes, 5u) << "the five command bytes, outside any frame";
  EXPECT_EQ(server_.IgnoredDatagrams(), ignored) << "no datagram to the TCP/IP printer";
}

TEST_F(SerialOperationsTest, DrawerCommandLeavesThePortBeforeItCloses) {
  ASSERT_EQ(ops_.OpenDrawer(s_).status, OpStatus::Success);  // with the test first
  ASSERT_TRUE(ops_.CommTested());
  ASSERT_EQ(engine_.Captured().size(), 4u);
  // Outside frames the printer sees the four frame trailers (0xFF) and the command bytes.
  auto waitForDiscarded = [&](std::uint64_t n) {
    const platform::Deadline deadline = platform::Deadline::In(5000);
    while (serial_.Stats().discardedBytes < n && !deadline.Expired())
      platform::DelayMs(10);
    return serial_.Stats().discardedBytes;
  };
  EXPECT_EQ(waitForDiscarded(4 + 5), 4u + 5u);
  const std::uint64_t frames = serial_.Stats().frames;
  // Second press: no test, no dialog; five raw bytes that are no frame.
  const int shows = ui_.shows;
  ASSERT_EQ(ops_.OpenDrawer(s_).status, OpStatus::Success);
  EXPECT_EQ(ui_.shows, shows);
  EXPECT_EQ(waitForDiscarded(4 + 5 + 5), 4u + 5u + 5u);
  EXPECT_EQ(serial_.Stats().frames, frames);
  EXPECT_FALSE(comm_.isActive());
}

// A serial adapter that is gone as soon as its port opens: the test fails at once, not after a
// drain wait for each of the handshake's eleven tries, and says why in the line under its text;
// the drawer command after it is not reported as sent.
TEST_F(OperationsTest, HungUpSerialPortFailsAtOnceAndSaysWhy) {
  auto link = std::make_unique<TMdmLnk>();
  auto device = std::make_unique<test::FakeCommBackend>();
  device->HangUpAtOpen(true);
  link->Comm()->SetBackend(std::move(device));
  TValdMBusComm comm(nullptr, std::move(link), 0);
  Operations ops(comm, ui_);
  s_.commMode = 1;
  s_.portName = QStringLiteral("COM3");
  const std::uint32_t start = platform::GetTickCount();
  const OpResult r = ops.CommTest(s_);
  EXPECT_LT(platform::GetTickCount() - start, 1500u);
  EXPECT_EQ(r.status, OpStatus::Failed);
  EXPECT_EQ(r.text, QStringLiteral("连接...失败!"));
  EXPECT_EQ(ui_.finals, QStringList{r.text});
  EXPECT_TRUE(r.detail.contains(QStringLiteral(": serial port COM3 hung up")))
      << r.detail.toStdString();

  // The drawer command goes out after a failed test, but not through a port that is gone: that
  // is no success.
  const OpResult drawer = ops.OpenDrawer(s_);
  EXPECT_EQ(drawer.status, OpStatus::Failed);
  EXPECT_EQ(drawer.text, QStringLiteral("serial port COM3 hung up"));
  EXPECT_TRUE(drawer.detail.startsWith(QStringLiteral("Cash drawer: the command to COM3")))
      << drawer.detail.toStdString();
}

// ---- Parameter download ----

TEST_F(OperationsTest, ParamDownloadWorkedExample) {
  const QByteArray file = PatternFile(40960);
  WriteDataFile(file);
  s_.alertIndex = 0;
  s_.defBaudIndex = -1;
  std::vector<int> progress;
  ui_.onProgress = [&](int n) { progress.push_back(n); };

  const OpResult r = ops_.DownloadParams(s_);
  ASSERT_EQ(r.status, OpStatus::Success) << r.text.toStdString();

  const auto c = Captured();
  ASSERT_EQ(c.size(), 5u + 128u + 1u);
  EXPECT_EQ((std::vector<Wire>{{c[0].command, c[0].word},
                               {c[1].command, c[1].word},
                               {c[2].command, c[2].word},
                               {c[3].command, c[3].word},
                               {c[4].command, c[4].word}}),
            (std::vector<Wire>{kHandshake, kInfo, kTestRecord, kInfo, kInfo}));
  // The machine-number read: F9 01 00, then 0xFF.
  EXPECT_EQ(Bytes(c[3].data, 0, 4), Bytes({0xF9, 0x01, 0x00, 0xFF}));
  EXPECT_EQ(Bytes(c[4].data, 0, 256), std::vector<std::uint8_t>(256, 0x00));
  for (int i = 0; i < 128; ++i) {
    const auto& rec = c[5 + i];
    ASSERT_EQ(rec.command, 63);
    ASSERT_EQ(rec.word, i);
    if (i < 121 || i > 123) {
      EXPECT_EQ(Bytes(rec.data, 0, 256), FileRecord(file, i)) << "record " << i;
    }
  }
  EXPECT_EQ((Wire{c.back().command, c.back().word}), kEnd);

  const sim::DataBytes info = engine_.InfoData();
  const auto& a = c[5 + 121].data;
  EXPECT_EQ(Bytes(a, 4, 4), Bytes({0x00, 0x00, 0x04, 0xD2})) << "device's machine number 1234";
  EXPECT_EQ(a[13], 0);
  EXPECT_EQ(Bytes(a, 64, 5), Bytes({0xFF, 0x00, 0xD2, 160, 0xFF}));
  EXPECT_EQ(Bytes(a, 70, 3), Bytes({3, 0x00, 0x32}));
  EXPECT_EQ(Bytes(a, 80, 2), Bytes({0x00, 1}));
  EXPECT_EQ(Bytes(a, 102, 4), Bytes(info, 102, 4));
  EXPECT_EQ(a[106], 0xFF);
  EXPECT_EQ(Bytes(a, 112, 31), Bytes(info, 112, 31));
  EXPECT_EQ(Bytes(a, 160, 12), Bytes(info, 160, 12));
  EXPECT_EQ(Bytes(a, 254, 2), Bytes({0x55, 0x55}));

  const auto& b = c[5 + 122].data;
  EXPECT_EQ(Bytes(b, 0, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA}));
  EXPECT_EQ(b[16], 0x01);
  EXPECT_EQ(Bytes(b, 17, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 1}));
  EXPECT_EQ(Bytes(b, 22, 45), std::vector<std::uint8_t>(45, 0x00));
  EXPECT_EQ(Bytes(c[5 + 123].data, 0, 256), std::vector<std::uint8_t>(256, 0xFF));

  const QByteArray log = dir_.Read("log.hex");
  ASSERT_EQ(log.size(), 512);
  EXPECT_TRUE(OwnerOnly(dir_.File("log.hex"))) << "block B holds the WiFi password";
  EXPECT_EQ(Bytes(log, 0, 256), Bytes(a, 0, 256));
  EXPECT_EQ(Bytes(log, 256, 256), Bytes(b, 0, 256));

  EXPECT_EQ(ui_.statuses, (QStringList{"连接...", "下载参数...", "断开..."}));
  EXPECT_EQ(ui_.margin, 128);
  ASSERT_EQ(progress.size(), 128u);
  EXPECT_EQ(progress.front(), 1);
  EXPECT_EQ(progress.back(), 128);
  EXPECT_EQ(ui_.successes, QStringList{"下载参数成功！请重新启动打印机。"});
  EXPECT_EQ(ui_.closes, 1);
}

TEST_F(OperationsTest, ParamDownloadWithRevealedMachineNumberSkipsTheRead) {
  WriteDataFile(PatternFile(300 * 256));
  s_.machineNoRowVisible = true;
  s_.btChecked = true;
  s_.btName = QStringLiteral("ABC");
  ASSERT_EQ(ops_.DownloadParams(s_).status, OpStatus::Success);
  const auto c = Captured();
  ASSERT_EQ(c.size(), 4u + 128u + 1u) << "no machine-number read; only records 0..127";
  EXPECT_EQ(ui_.margin, 128);
  const auto& a = c[4 + 121].data;
  EXPECT_EQ(Bytes(a, 4, 4), Bytes({0x00, 0xBC, 0x61, 0x4E}));
  EXPECT_EQ(Bytes(a, 112, 4), Bytes({0x41, 0x42, 0x43, 0x00}));
}

TEST_F(OperationsTest, ParamDownloadRefusesAFileWithoutTheParameterRecords) {
  for (int records : {0, 1, 121, 122}) {
    WriteDataFile(PatternFile(records * 256));
    dir_.Write("log.hex", "old");
    const OpResult r = ops_.DownloadParams(s_);
    EXPECT_EQ(r.status, OpStatus::BadInput) << records;
    EXPECT_TRUE(r.text.contains("at least 123 records")) << r.text.toStdString();
    EXPECT_TRUE(ui_.successes.isEmpty());
    EXPECT_EQ(dir_.Read("log.hex"), QByteArray()) << "log.hex is written empty";
  }
  // A partial 123rd record is enough: records 121 and 122 are replaced anyway.
  WriteDataFile(PatternFile(122 * 256 + 1));
  EXPECT_EQ(ops_.DownloadParams(s_).status, OpStatus::Success);
  EXPECT_EQ(dir_.Read("log.hex").size(), 512);
  EXPECT_EQ(Captured().size(), 5u + 123u + 1u);
}

TEST_F(OperationsTest, ParamDownloadRefusesBadFieldsBeforeConnecting) {
  WriteDataFile(PatternFile(40960));
  const struct {
    const char* name;
    void (*change)(OperationSettings&);
    const char* message;
  } cases[] = {
      {"new address", [](OperationSettings& s) { s.newIpAddress = "192.168.1"; }, "Invalid S/N"},
      {"wifi address", [](OperationSettings& s) { s.wifiIp = "a.b.c.d"; }, "Invalid S/N"},
      {"wireless address",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.wirelessPrinterIp = "192.168.1.";
       },
       "Invalid S/N"},
      {"base address",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.baseStationIp = "x";
       },
       "Invalid S/N"},
      {"wireless number",
       [](OperationSettings& s) {
         s.radioChecked = true;
         s.wirelessPrinterId = "12.5";
       },
       "'12.5' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    OperationSettings s = s_;
    c.change(s);
    ui_.messages.clear();
    dir_.Write("log.hex", "old");
    const OpResult r = ops_.DownloadParams(s);
    EXPECT_EQ(r.status, OpStatus::BadInput) << c.name;
    EXPECT_EQ(ui_.messages, QStringList{QString::fromUtf8(c.message)}) << c.name;
    EXPECT_EQ(dir_.Read("log.hex"), QByteArray()) << c.name;
  }
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.shows, 0);
}

TEST_F(OperationsTest, ParamDownloadRefusesALongBluetoothNameWithoutLog) {
  WriteDataFile(PatternFile(40960));
  s_.btChecked = true;
  s_.btName = QString(32, QLatin1Char('n'));
  const OpResult r = ops_.DownloadParams(s_);
  EXPECT_EQ(r.status, OpStatus::BadInput);
  EXPECT_EQ(ui_.messages, QStringList{"Length > 31"});
  EXPECT_FALSE(QFile::exists(dir_.File("log.hex")));
  EXPECT_TRUE(Captured().empty());
}

TEST_F(OperationsTest, ParamDownloadFailureKeepsTheBlocksSentSoFar) {
  const struct {
    int answered;  // requests answered before the printer falls silent
    int logSize;
  } cases[] = {
      {5 + 60, 0},     // fails at record 60
      {5 + 121, 256},  // fails at record 121, after its block was logged
      {5 + 122, 512},  // fails at record 122 after its block was logged
  };
  WriteDataFile(PatternFile(40960));
  comm_.SetRetryCount(1);
  for (const auto& c : cases) {
    sim::FaultConfig f;
    f.silentAfter = c.answered;
    engine_.SetFaults(f);
    ui_.finals.clear();
    const OpResult r = ops_.DownloadParams(s_);
    EXPECT_EQ(r.status, OpStatus::Failed) << c.answered;
    EXPECT_EQ(ui_.finals, QStringList{"上载信息...失败!"}) << c.answered;
    EXPECT_EQ(dir_.Read("log.hex").size(), c.logSize) << c.answered;
    EXPECT_TRUE(ui_.successes.isEmpty());
  }
}

TEST_F(OperationsTest, ParamDownloadStepFailuresShowTheirTexts) {
  WriteDataFile(PatternFile(40960));
  comm_.SetRetryCount(1);
  const struct {
    int answered;
    const char* text;
  } cases[] = {
      {0, "连接...失败!"},       {2, "下载参数...失败!"},  // test record
      {3, "下载参数...失败!"},                             // machine-number read
      {4, "上载信息...失败!"},                             // information read
      {5 + 128, "断开...失败!"},
  };
  for (const auto& c : cases) {
    sim::FaultConfig f;
    f.silentAfter = c.answered;
    f.dropEvery = c.answered == 0 ? 1 : 0;
    engine_.SetFaults(f);
    ui_.finals.clear();
    EXPECT_EQ(ops_.DownloadParams(s_).status, OpStatus::Failed) << c.answered;
    EXPECT_EQ(ui_.finals, QStringList{QString::fromUtf8(c.text)}) << c.answered;
  }
}

TEST_F(OperationsTest, ParamDownloadAskForTheFileWhenZk16IsMissing) {
  const OpResult cancelled = ops_.DownloadParams(s_);
  EXPECT_EQ(cancelled.status, OpStatus::Cancelled);
  EXPECT_EQ(ui_.dialogTitles, QStringList{"打开字库文件"});
  EXPECT_EQ(dir_.Read("log.hex"), QByteArray());
  EXPECT_TRUE(QFile::exists(dir_.File("log.hex")));
  EXPECT_TRUE(Captured().empty());

  WriteDataFile(PatternFile(40960), "font.bin");
  ui_.chosenFile = dir_.File("font.bin");
  EXPECT_EQ(ops_.DownloadParams(s_).status, OpStatus::Success);
  EXPECT_EQ(Captured().size(), 5u + 128u + 1u);
}

TEST_F(OperationsTest, ParamDownloadCancelledMidway) {
  WriteDataFile(PatternFile(40960));
  ui_.onProgress = [this](int n) {
    if (n == 50)
      CancelDuringNextWait();
  };
  const OpResult r = ops_.DownloadParams(s_);
  EXPECT_EQ(r.status, OpStatus::Cancelled);
  EXPECT_TRUE(ui_.finals.isEmpty()) << "the failure text after Cancel is dropped";
  EXPECT_TRUE(ui_.successes.isEmpty());
  EXPECT_LE(Captured().size(), 5u + 52u);
  EXPECT_TRUE(QFile::exists(dir_.File("log.hex")));
}

// ---- Data download ----

TEST_F(OperationsTest, DataDownloadWorkedExample) {
  const QByteArray file = PatternFile(40960);
  WriteDataFile(file);
  s_.radioChecked = true;
  const OpResult r = ops_.DownloadData(s_);
  ASSERT_EQ(r.status, OpStatus::Success) << r.text.toStdString();
  const auto c = Captured();
  ASSERT_EQ(c.size(), 5u + 160u + 1u);
  for (int i = 0; i < 160; ++i) {
    ASSERT_EQ(c[5 + i].command, 63);
    ASSERT_EQ(c[5 + i].word, i);
    if (i < 121 || i > 123) {
      EXPECT_EQ(Bytes(c[5 + i].data, 0, 256), FileRecord(file, i)) << i;
    }
  }
  const auto& a = c[5 + 121].data;
  EXPECT_EQ(Bytes(a, 70, 3), Bytes({0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(a[106], 0xFF);
  EXPECT_EQ(Bytes(a, 160, 4), Bytes({0xC0, 0xA8, 0x01, 0x09}));
  EXPECT_EQ(Bytes(c[5 + 122].data, 0, 21),
            Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0xA8,
                   0x01, 0x09, 0xC0, 0xA8, 0x01, 0x0A, 0xD2, 0x04, 0x00, 0x00}));
  EXPECT_EQ(Bytes(c[5 + 122].data, 21, 235), std::vector<std::uint8_t>(235, 0xFF));
  EXPECT_EQ(Bytes(c[5 + 123].data, 0, 256), std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_EQ((Wire{c.back().command, c.back().word}), kEnd);
  EXPECT_EQ(ui_.statuses, (QStringList{"连接...", "下载数据...", "断开..."}));
  EXPECT_EQ(ui_.margin, 160);
  EXPECT_EQ(ui_.successes, QStringList{"下载数据成功！请重新启动打印机。"});
  EXPECT_FALSE(QFile::exists(dir_.File("log.hex"))) << "the data download writes no log";
}

TEST_F(OperationsTest, DataDownloadKeepsPrinterNameWhenUnchecked) {
  WriteDataFile(PatternFile(40960));
  ASSERT_EQ(ops_.DownloadData(s_).status, OpStatus::Success);
  EXPECT_EQ(Bytes(Captured()[5 + 121].data, 112, 31), Bytes(engine_.InfoData(), 112, 31));
}

TEST_F(OperationsTest, DataDownloadSendsShortFontFiles) {
  const QByteArray file = PatternFile(10 * 256 - 100);
  WriteDataFile(file, "font.hex");
  ASSERT_EQ(ops_.DownloadData(s_, dir_.File("font.hex")).status, OpStatus::Success);
  const auto c = Captured();
  ASSERT_EQ(c.size(), 5u + 10u + 1u);
  // The last record holds the file's last 156 bytes; the rest keeps the previous record's bytes.
  EXPECT_EQ(Bytes(c[5 + 9].data, 0, 156), Bytes(file, 9 * 256, 156));
  EXPECT_EQ(Bytes(c[5 + 9].data, 156, 100), Bytes(file, 8 * 256 + 156, 100));
}

TEST_F(OperationsTest, DataDownloadMachineNumberReadHasItsFixedText) {
  WriteDataFile(PatternFile(40960));
  comm_.SetRetryCount(1);
  sim::FaultConfig f;
  f.silentAfter = 3;
  engine_.SetFaults(f);
  EXPECT_EQ(ops_.DownloadData(s_).status, OpStatus::Failed);
  EXPECT_EQ(ui_.finals, QStringList{"Download Data err"});
}

TEST_F(OperationsTest, DataDownloadRefusesEmptyMissingAndOversizedFiles) {
  WriteDataFile(QByteArray(), "empty.hex");
  const QString huge = SparseFile("huge.hex", 65537LL * 256);
  const QString exact = SparseFile("exact.hex", 65536LL * 256 + 1);
  for (const QString& path : {dir_.File("empty.hex"), dir_.File("missing.hex"), huge, exact}) {
    const OpResult r = ops_.DownloadData(s_, path);
    EXPECT_EQ(r.status, OpStatus::BadInput) << path.toStdString();
    EXPECT_EQ(ui_.messages.size(), 1);
    ui_.messages.clear();
  }
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.shows, 0);
}

// ---- Program download ----

TEST_F(OperationsTest, ProgramDownloadSendsRecordZeroTwiceAndNoEndOfSession) {
  const QByteArray file = PatternFile(1000);
  WriteDataFile(file, "fw.bin");
  std::vector<int> progress;
  ui_.onProgress = [&](int n) { progress.push_back(n); };
  const OpResult r = ops_.DownloadProgram(s_, dir_.File("fw.bin"));
  ASSERT_EQ(r.status, OpStatus::Success);
  EXPECT_EQ(WireLog(),
            (std::vector<Wire>{kHandshake, kInfo, {15, 0}, {15, 0}, {15, 1}, {15, 2}, {15, 3}}));
  const auto c = Captured();
  EXPECT_EQ(Bytes(c[2].data, 0, 256), FileRecord(file, 0));
  EXPECT_EQ(Bytes(c[3].data, 0, 256), FileRecord(file, 0));
  EXPECT_EQ(Bytes(c[6].data, 0, 232), Bytes(file, 768, 232));
  EXPECT_EQ(ui_.margin, 4);
  EXPECT_EQ(progress, (std::vector<int>{1, 1, 2, 3, 4}));
  EXPECT_EQ(ui_.statuses, (QStringList{"连接...", "升级程序,不可关电..."}));
  EXPECT_EQ(ui_.successes, QStringList{"升级程序成功!"});
}

TEST_F(OperationsTest, ProgramDialogKeepsTheTitleOfAnEarlierDownload) {
  ui_.chosenFile.reset();
  EXPECT_EQ(ops_.DownloadProgram(s_).status, OpStatus::Cancelled);
  EXPECT_EQ(ops_.DownloadData(s_).status, OpStatus::Cancelled);  // zk16.hex missing
  EXPECT_EQ(ops_.DownloadProgram(s_).status, OpStatus::Cancelled);
  EXPECT_EQ(ui_.dialogTitles, (QStringList{"", "打开字库文件", "打开字库文件"}));
  EXPECT_TRUE(Captured().empty());
}

TEST_F(OperationsTest, ProgramDownloadRefusesEmptyAndOversizedFiles) {
  WriteDataFile(QByteArray(), "empty.bin");
  const QString huge = SparseFile("huge.bin", 65536LL * 256 + 1);
  EXPECT_EQ(ops_.DownloadProgram(s_, dir_.File("empty.bin")).status, OpStatus::BadInput);
  EXPECT_EQ(ops_.DownloadProgram(s_, huge).status, OpStatus::BadInput);
  EXPECT_EQ(ops_.DownloadProgram(s_, dir_.File("nope.bin")).status, OpStatus::BadInput);
  EXPECT_TRUE(Captured().empty());
  EXPECT_EQ(ui_.messages.size(), 3);
  EXPECT_TRUE(ui_.messages[0].contains("empty"));
  EXPECT_TRUE(ui_.messages[1].contains("65536"));
}

TEST_F(OperationsTest, ProgramDownloadOfExactly65536Records) {
  const QString path = SparseFile("max.bin", 65536LL * 256);
  sim::FaultConfig f;
  f.silentAfter = 2 + 3;  // enough to see the run start; the size was accepted
  engine_.SetFaults(f);
  comm_.SetRetryCount(1);
  EXPECT_EQ(ops_.DownloadProgram(s_, path).status, OpStatus::Failed);
  EXPECT_EQ(ui_.margin, 65536);
  EXPECT_EQ(ui_.finals, QStringList{"升级程序...失败!"});
}

TEST_F(OperationsTest, ProgramDownloadCancelledShowsNothing) {
  WriteDataFile(PatternFile(64 * 256), "fw.bin");
  ui_.onProgress = [this](int n) {
    if (n == 10)
      CancelDuringNextWait();
  };
  const OpResult r = ops_.DownloadProgram(s_, dir_.File("fw.bin"));
  EXPECT_EQ(r.status, OpStatus::Cancelled);
  EXPECT_TRUE(ui_.finals.isEmpty());
  EXPECT_TRUE(ui_.successes.isEmpty());
  EXPECT_LT(Captured().size(), 20u);
}

}  // namespace
}  // namespace xv4
