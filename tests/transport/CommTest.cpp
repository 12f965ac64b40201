#include "transport/Comm.h"
#include "transport/SerialPorts.h"

#include "tests/support/FakeCommBackend.h"
#include "tests/support/SerialTestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace xv4 {
namespace {

using test::FakeCommBackend;
using test::PtyPair;
using test::WaitEvents;

// Records what a port reports.
struct Recorder {
  explicit Recorder(TComm& comm) {
    comm.OnReceiveData = [this](QObject*, const std::uint8_t* b, std::uint16_t n) {
      chunks.emplace_back(reinterpret_cast<const char*>(b), n);
      received.append(reinterpret_cast<const char*>(b), n);
      terminatedAfterLast = terminatedAfterLast && b[n] == 0;
    };
    comm.OnSendDataEmpty = [this](QObject*) { ++empties; };
    comm.OnRequestHangup = [this](QObject*) { ++hangups; };
    comm.OnReceiveError = [this](QObject*, std::uint32_t e) { errors.push_back(e); };
    comm.OnModemStateChange = [this](QObject*, std::uint32_t e) { modemEvents.push_back(e); };
  }
  std::vector<QByteArray> chunks;
  QByteArray received;
  bool terminatedAfterLast = true;
  int empties = 0;
  int hangups = 0;
  std::vector<std::uint32_t> errors;
  std::vector<std::uint32_t> modemEvents;
};

// A port on a pty, set up for binary data (XON/XOFF would swallow DC1/DC3 bytes).
void UseForBinary(TComm& comm, const PtyPair& pty) {
  comm.SetCommName(pty.SlavePath());
  comm.SetOutx_XonXoffFlow(false);
  comm.SetInx_XonXoffFlow(false);
}

TEST(Comm, BytesTravelBothWaysOverAPty) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  Recorder rec(comm);
  comm.OpenPort();
  ASSERT_TRUE(comm.IsOpen());

  const QByteArray out = test::Pattern(300);
  ASSERT_TRUE(comm.SendData(out.constData(), static_cast<std::uint16_t>(out.size())));
  EXPECT_EQ(pty.Read(out.size()), out);

  const QByteArray in = test::Pattern(500, 3);
  ASSERT_TRUE(pty.Write(in));
  EXPECT_TRUE(WaitEvents([&] { return rec.received.size() >= in.size(); }));
  EXPECT_EQ(rec.received, in);
  EXPECT_TRUE(rec.terminatedAfterLast);
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
}

TEST(Comm, LargeBurstArrivesInChunksOfAtMost2048Bytes) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  Recorder rec(comm);
  comm.OpenPort();
  const QByteArray burst = test::Pattern(20000, 11);
  ASSERT_TRUE(pty.Write(burst));
  EXPECT_TRUE(WaitEvents([&] { return rec.received.size() >= burst.size(); }));
  EXPECT_EQ(rec.received, burst);
  EXPECT_GE(rec.chunks.size(), 10u);
  for (const QByteArray& c : rec.chunks) {
    EXPECT_GT(c.size(), 0);
    EXPECT_LE(c.size(), 2048);
  }
  comm.ClosePort();
}

TEST(Comm, SendDataEmptyAfterOpenAndAfterEachDrainedBurst) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  Recorder rec(comm);
  comm.OpenPort();
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 1; }));

  ASSERT_TRUE(comm.SendData("first", 5));
  EXPECT_EQ(pty.Read(5), QByteArray("first"));
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 2; }));

  ASSERT_TRUE(comm.SendData("second", 6));
  EXPECT_EQ(pty.Read(6), QByteArray("second"));
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 3; }));
  platform::DelayMs(50);
  EXPECT_EQ(rec.empties, 3) << "one report per drained burst";
  comm.ClosePort();
}

TEST(Comm, TwoSendDataAreWrittenWholeAndInOrder) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  Recorder rec(comm);
  comm.OpenPort();
  const QByteArray a = test::Pattern(3000, 1);
  const QByteArray b = test::Pattern(3000, 2);
  ASSERT_TRUE(comm.SendData(a.constData(), static_cast<std::uint16_t>(a.size())));
  ASSERT_TRUE(comm.SendData(b.constData(), static_cast<std::uint16_t>(b.size())));
  EXPECT_EQ(pty.Read(a.size() + b.size()), a + b);
  // Both blocks were queued before any report was handled: the reports made on the way (after
  // open, between the blocks) are stale, and only the one after the second block counts.
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 1; }));
  platform::DelayMs(50);
  EXPECT_EQ(rec.empties, 1);
  comm.ClosePort();
}

TEST(Comm, SendDataRefusesAClosedPortAndAnEmptyBlock) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  EXPECT_FALSE(comm.SendData("x", 1));
  comm.OpenPort();
  EXPECT_FALSE(comm.SendData("x", 0));
  EXPECT_FALSE(comm.SendData(nullptr, 4));
  comm.ClosePort();
  EXPECT_FALSE(comm.SendData("x", 1));
}

TEST(Comm, APortOpenElsewhereCannotBeOpenedUntilItIsClosed) {
  PtyPair pty;
  TComm first;
  TComm second;
  first.SetCommName(pty.SlavePath());
  second.SetCommName(pty.SlavePath());
  first.OpenPort();
  try {
    second.OpenPort();
    FAIL() << "a port in use was opened twice";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
  }
  EXPECT_FALSE(second.IsOpen());
  first.ClosePort();
  EXPECT_NO_THROW(second.OpenPort());
  EXPECT_TRUE(second.IsOpen());
  second.ClosePort();
}

TEST(Comm, OpenFailuresRaiseTheirMessageAndLeaveThePortClosed) {
  QTemporaryDir dir;
  const QString plainFile = dir.path() + "/not-a-port";
  {
    QFile f(plainFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  struct Case {
    QString name;
    const char* message;
  } cases[] = {
      {plainFile, "File handle is not a comm handle "},
      {dir.path() + "/ttyMissing", "Error opening serial port"},
      {QStringLiteral("COM200"), "Error opening serial port"},  // no /dev/ttyS199
  };
  for (const Case& c : cases) {
    TComm comm;
    comm.SetCommName(c.name);
    try {
      comm.OpenPort();
      ADD_FAILURE() << c.name.toStdString() << " opened";
    } catch (const ECommsError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.name.toStdString();
    }
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(comm.SendData("x", 1));
  }
}

TEST(Comm, BackendOpenFailuresMapToTheirMessages) {
  struct Case {
    CommOpenResult result;
    const char* message;
  } cases[] = {
      {CommOpenResult::CannotOpen, "Error opening serial port"},
      {CommOpenResult::NotATty, "File handle is not a comm handle "},
      {CommOpenResult::BufferSetupFailed, "Cannot setup comm buffer"},
      {CommOpenResult::EventFailed, "Unable to create event"},
  };
  for (const Case& c : cases) {
    auto owned = std::make_unique<FakeCommBackend>();
    FakeCommBackend* fake = owned.get();
    fake->ScriptOpenResults({c.result});
    TComm comm(nullptr, std::move(owned));
    try {
      comm.OpenPort();
      ADD_FAILURE() << "opened";
    } catch (const ECommsError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(fake->IsOpen());
    EXPECT_NO_THROW(comm.OpenPort());  // the next try may succeed
    EXPECT_TRUE(comm.IsOpen());
    comm.ClosePort();
  }
}

TEST(Comm, CommNamesMapToDevicePaths) {
  EXPECT_EQ(TComm::DevicePathOf("COM1"), "/dev/ttyS0");
  EXPECT_EQ(TComm::DevicePathOf("com10"), "/dev/ttyS9");
  EXPECT_EQ(TComm::DevicePathOf("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TComm::DevicePathOf("COM0"), "COM0");
  EXPECT_EQ(TComm::DevicePathOf("COM"), "COM");
  EXPECT_EQ(TComm::DevicePathOf("COM1x"), "COM1x");

  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.SetCommName("COM3");
  comm.OpenPort();
  EXPECT_EQ(fake->LastPath(), "/dev/ttyS2");
  comm.ClosePort();
}

// A made-up /dev and tty class directory: ttyS0 has a UART, ttyS1 is a slot without one.
TEST(SerialPorts, PresentPortsAndWhyOneCannotOpen) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString dev = root.path() + "/dev";
  const QString sys = root.path() + "/class";
  auto touch = [](const QString& path, const QByteArray& content = {}) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(content);
  };
  ASSERT_TRUE(QDir().mkpath(dev + "/serial/by-id"));
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB10", "ttyUSB2", "ttyACM0", "tty0"})
    touch(dev + "/" + name);
  for (const auto& [name, type] : {std::pair{"ttyS0", "4\n"}, std::pair{"ttyS1", "0\n"}}) {
    ASSERT_TRUE(QDir().mkpath(sys + "/" + name));
    touch(sys + "/" + name + "/type", type);
  }
  ASSERT_TRUE(QFile::link("../../ttyUSB2", dev + "/serial/by-id/usb-Maker_Adapter_A1-port0"));

  const SerialPortDirs dirs{dev, sys};
  std::vector<std::string> found;
  for (const SerialPortInfo& p : FindSerialPorts(dirs)) {
    found.push_back(
        QString("%1 %2 %3 %4")
            .arg(p.kind)
            .arg(QFileInfo(p.path).fileName(), p.comName, QFileInfo(p.target).fileName())
            .trimmed()
            .toStdString());
  }
  EXPECT_EQ(found, (std::vector<std::string>{"0 ttyS0 COM1", "2 ttyACM0", "1 ttyUSB2", "1 ttyUSB10",
                                             "3 usb-Maker_Adapter_A1-port0  ttyUSB2"}));

  EXPECT_TRUE(SerialOpenFailureReason(dev + "/ttyUSB7", dirs).startsWith("no such device"));
  EXPECT_TRUE(SerialOpenFailureReason(dev + "/ttyS1", dirs).startsWith("no UART behind it"));
  EXPECT_EQ(SerialOpenFailureReason(dev + "/ttyUSB2", dirs),
            "in use by another program, or not a serial port");
}

TEST(Comm, SettersReapplyOnlyWhenAValueChangesOnAnOpenPort) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.SetBaudRate(19200);  // closed: stored only
  comm.SetReadIntervalTimeout(7);
  EXPECT_EQ(fake->LineApplies(), 0);
  comm.OpenPort();
  EXPECT_EQ(fake->LineApplies(), 1);
  EXPECT_EQ(fake->TimeoutApplies(), 1);
  EXPECT_EQ(fake->LastSettings().baudRate, 19200u);
  EXPECT_EQ(fake->LastTimeouts().readInterval, 7u);

  comm.SetBaudRate(19200);
  comm.SetParity(TParity::None);
  comm.SetDtrControl(TDtrControl::DtrEnable);
  comm.SetReadIntervalTimeout(7);
  EXPECT_EQ(fake->LineApplies(), 1);
  EXPECT_EQ(fake->TimeoutApplies(), 1);

  comm.SetParity(TParity::Mark);
  comm.SetStopBits(TStopBits::_2);
  comm.SetWriteTotalTimeoutConstant(50);
  EXPECT_EQ(fake->LineApplies(), 3);
  EXPECT_EQ(fake->TimeoutApplies(), 2);
  const CommLineSettings s = fake->LastSettings();
  EXPECT_EQ(s.parity, TParity::Mark);
  EXPECT_EQ(s.stopBits, TStopBits::_2);
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(fake->LastTimeouts().writeTotalConstant, 50u);
  comm.ClosePort();
}

TEST(Comm, OtherSideClosingReportsOneHangupWithoutSpinning) {
  PtyPair pty;
  TComm comm;
  UseForBinary(comm, pty);
  Recorder rec(comm);
  comm.OpenPort();
  ASSERT_TRUE(WaitEvents([&] { return rec.empties == 1; }));
  pty.CloseSlave();
  pty.CloseMaster();
  EXPECT_TRUE(WaitEvents([&] { return rec.hangups == 1; }));

  const double cpu = test::CpuMsDuring([] { platform::DelayMs(500); });
  EXPECT_LT(cpu, test::SpinLimitMs(500))
      << "the port used " << cpu << " ms of CPU in 500 ms after the hang-up";

  comm.SendData("late", 4);  // the write side fails too; still reported only once
  platform::DelayMs(100);
  EXPECT_EQ(rec.hangups, 1);
  EXPECT_TRUE(comm.IsOpen()) << "the owner decides when to close";
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
}

TEST(Comm, LineEventsAndModemBitsReachTheOwner) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  Recorder rec(comm);
  comm.OpenPort();

  fake->SetModemStatus(kModemStatusCts | kModemStatusRlsd);
  std::uint32_t bits = 0;
  EXPECT_TRUE(comm.GetModemStatus(&bits));
  EXPECT_EQ(bits, kModemStatusCts | kModemStatusRlsd);

  fake->InjectLineEvents({kModemEventRing, 0});
  fake->InjectLineEvents({kModemEventRlsd, 0});
  fake->InjectLineEvents({0, kLineErrorFrame | kLineErrorOverrun});
  fake->InjectLineEvents({kModemEventRing | kModemEventRlsd, kLineErrorParity});
  EXPECT_TRUE(WaitEvents([&] { return rec.modemEvents.size() == 3 && rec.errors.size() == 2; }));
  EXPECT_EQ(rec.modemEvents, (std::vector<std::uint32_t>{4, 8, kModemEventRing | kModemEventRlsd}));
  EXPECT_EQ(rec.errors,
            (std::vector<std::uint32_t>{kLineErrorFrame | kLineErrorOverrun, kLineErrorParity}));
  EXPECT_EQ(rec.hangups, 0);

  // Bytes still flow after line events.
  fake->Inject("ok");
  EXPECT_TRUE(WaitEvents([&] { return rec.received == "ok"; }));

  EXPECT_TRUE(comm.SetDtrLine(false));
  EXPECT_TRUE(comm.SetDtrLine(true));
  EXPECT_EQ(fake->DtrSwitches(), (std::vector<bool>{false, true}));

  // A wake-up that reports nothing it was asked for means the device is gone.
  fake->InjectLineEvents({0, 0});
  EXPECT_TRUE(WaitEvents([&] { return rec.hangups == 1; }));
  comm.ClosePort();
  EXPECT_FALSE(comm.GetModemStatus(&bits));
  EXPECT_FALSE(comm.SetDtrLine(true));
}

TEST(Comm, ReadIntervalCutsTheStreamIntoChunks) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.SetReadIntervalTimeout(500);
  Recorder rec(comm);
  comm.OpenPort();
  fake->Inject("abc");
  fake->Inject("def");  // well within the interval: same chunk
  EXPECT_TRUE(WaitEvents([&] { return rec.chunks.size() == 1; }));
  EXPECT_EQ(rec.chunks[0], "abcdef");

  comm.SetReadIntervalTimeout(20);
  fake->Inject("gh");
  EXPECT_TRUE(WaitEvents([&] { return rec.chunks.size() == 2; }));
  fake->Inject("ij");  // the previous chunk has been delivered: a new one
  EXPECT_TRUE(WaitEvents([&] { return rec.chunks.size() == 3; }));
  EXPECT_EQ(rec.chunks[1], "gh");
  EXPECT_EQ(rec.chunks[2], "ij");
  comm.ClosePort();
}

TEST(Comm, IgnoreNullCharDropsNulBytes) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.SetReadIntervalTimeout(0);
  Recorder rec(comm);
  comm.OpenPort();
  fake->Inject(QByteArray("a\0b", 3));
  EXPECT_TRUE(WaitEvents([&] { return rec.received.size() == 3; }));
  comm.SetIgnoreNullChar(true);
  fake->Inject(QByteArray("\0c\0\0d", 5));
  fake->Inject(QByteArray("\0", 1));
  fake->Inject("e");
  EXPECT_TRUE(WaitEvents([&] { return rec.received.endsWith("e"); }));
  EXPECT_EQ(rec.received, QByteArray("a\0bcde", 6));
  comm.ClosePort();
}

// A write-drained report that was on its way before a new block was queued must not be taken
// for that block's completion.
TEST(Comm, SendDataEmptyComesOnlyAfterTheNewBlockHasDrained) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  Recorder rec(comm);
  fake->HoldWrites(true);
  comm.OpenPort();
  // The initial report is posted but not yet delivered (no events processed so far).
  ASSERT_TRUE(fake->WaitFor([&] { return fake->Drains() == 1; }));
  ASSERT_TRUE(comm.SendData("frame", 5));
  platform::DelayMs(100);
  EXPECT_EQ(rec.empties, 0) << "reported drained while the block was still held";
  fake->HoldWrites(false);
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 1; }));
  EXPECT_EQ(fake->Written(), "frame");
  comm.ClosePort();
}

// An idle port writes from the sending thread. A device that has the bytes out at once gets its
// report without a drain; one that still holds them (a UART), or that took only part of them,
// leaves the rest to the write thread, and the report comes after the drain. Either way there is
// exactly one report, as an event after SendData has returned.
TEST(Comm, IdlePortWritesFromTheSenderAndReportsOnceAfterTheBytesAreOut) {
  struct Case {
    const char* name;
    bool lingers;  // the device keeps written bytes until drained
    int nowLimit;  // bytes the device takes without waiting (-1: all)
    std::vector<std::string> takenNow;
    std::vector<std::string> log;  // write side after the open's drain
  } cases[] = {
      {"pseudo-terminal", false, -1, {"frame"}, {"W:frame"}},
      {"uart", true, -1, {"frame"}, {"W:frame", "D"}},
      {"nearly full queue", false, 2, {"fr"}, {"W:fr", "W:ame", "D"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto owned = std::make_unique<FakeCommBackend>();
    FakeCommBackend* fake = owned.get();
    TComm comm(nullptr, std::move(owned));
    Recorder rec(comm);
    comm.OpenPort();
    ASSERT_TRUE(WaitEvents([&] { return rec.empties == 1; }));
    fake->SetOutputLingers(c.lingers);
    fake->LimitWriteNow(c.nowLimit);
    const bool drains = c.log.back() == "D";
    fake->HoldDrains(drains);

    ASSERT_TRUE(comm.SendData("frame", 5));
    EXPECT_EQ(fake->WrittenNow(), c.takenNow);
    EXPECT_EQ(rec.empties, 1) << "reported inside SendData";
    if (drains) {
      ASSERT_TRUE(fake->WaitFor([&] { return fake->DrainsStarted() == 2; }));
      platform::DelayMs(50);
      EXPECT_EQ(rec.empties, 1) << "reported before the drain";
      fake->HoldDrains(false);
    }
    EXPECT_TRUE(WaitEvents([&] { return rec.empties == 2; }));
    platform::DelayMs(50);
    EXPECT_EQ(rec.empties, 2);
    std::vector<std::string> log = fake->WriteLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "D") << "the open's drain";
    log.erase(log.begin());
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(fake->Written(), "frame");
    comm.ClosePort();
  }
}

// While the first block is still going out, or the write thread is stuck in a write, a new block
// goes to the write thread: never written beside a drain or a write, in order, and only the
// report after its own drain counts.
TEST(Comm, SendDataWhileTheFirstIsGoingOutFollowsThroughTheWriteThread) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  Recorder rec(comm);
  comm.OpenPort();
  ASSERT_TRUE(WaitEvents([&] { return rec.empties == 1; }));
  fake->SetOutputLingers(true);
  fake->HoldDrains(true);

  ASSERT_TRUE(comm.SendData("first", 5));
  ASSERT_TRUE(comm.SendData("second", 6));
  EXPECT_EQ(fake->WrittenNow(), (std::vector<std::string>{"first"}));
  ASSERT_TRUE(fake->WaitFor([&] { return fake->DrainsStarted() == 2; }));
  platform::DelayMs(50);
  EXPECT_EQ(rec.empties, 1) << "reported while bytes were still going out";
  fake->HoldDrains(false);
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 2; }));
  platform::DelayMs(50);
  EXPECT_EQ(rec.empties, 2) << "the first block's report was taken for the second's";
  EXPECT_EQ(fake->Written(), "firstsecond");
  // The write thread drains between the two or only after both; the report follows "second".
  const std::vector<std::string> log = fake->WriteLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "W:second");
  EXPECT_EQ(log.back(), "D");

  fake->SetOutputLingers(false);
  fake->HoldWrites(true);
  ASSERT_TRUE(comm.SendData("c", 1));  // the device takes nothing now: the write thread waits
  ASSERT_TRUE(fake->WaitFor([&] { return fake->WritesStarted() == 2; }));
  ASSERT_TRUE(comm.SendData("d", 1));
  fake->HoldWrites(false);
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 3; }));
  EXPECT_EQ(fake->Written(), "firstsecondcd");

  // Two direct writes before any event is handled: the first report is overtaken.
  ASSERT_TRUE(comm.SendData("e", 1));
  ASSERT_TRUE(comm.SendData("f", 1));
  EXPECT_EQ(fake->WrittenNow(), (std::vector<std::string>{"first", "e", "f"}));
  EXPECT_TRUE(WaitEvents([&] { return rec.empties == 4; }));
  platform::DelayMs(50);
  EXPECT_EQ(rec.empties, 4);
  EXPECT_EQ(fake->OverlappingWrites(), 0);
  comm.ClosePort();
}

// Two threads sending at once, on a device that takes only part of each block without waiting:
// the direct writes and the write thread never write beside each other, every block arrives
// whole, and each thread's blocks keep their order.
TEST(Comm, SendersOnTwoThreadsNeverWriteAtOnce) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.OpenPort();
  fake->LimitWriteNow(3);
  constexpr int kBlocks = 300;
  auto block = [](char who, int i) { return QByteArray(1, who) + QByteArray::number(i) + ';'; };
  std::thread other([&] {
    for (int i = 0; i < kBlocks; ++i) {
      const QByteArray b = block('B', i);
      comm.SendData(b.constData(), static_cast<std::uint16_t>(b.size()));
    }
  });
  for (int i = 0; i < kBlocks; ++i) {
    const QByteArray b = block('A', i);
    ASSERT_TRUE(comm.SendData(b.constData(), static_cast<std::uint16_t>(b.size())));
    if (i == kBlocks / 2)
      fake->SetOutputLingers(true);  // the rest also goes through drains
  }
  other.join();
  ASSERT_TRUE(fake->WaitFor([&] { return fake->Written().count(';') == 2 * kBlocks; }));
  int next[2] = {0, 0};
  for (const QByteArray& b : fake->Written().split(';')) {
    if (b.isEmpty())
      continue;
    ASSERT_TRUE(b[0] == 'A' || b[0] == 'B') << b.constData();
    int& expected = next[b[0] == 'B'];
    EXPECT_EQ(b.mid(1).toInt(), expected) << b.constData();
    expected = b.mid(1).toInt() + 1;
  }
  EXPECT_EQ(next[0], kBlocks);
  EXPECT_EQ(next[1], kBlocks);
  EXPECT_EQ(fake->OverlappingWrites(), 0);
  comm.ClosePort();
}

TEST(Comm, ClosePortEndsAWriteThatCannotProceed) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.OpenPort();
  fake->HoldWrites(true);
  ASSERT_TRUE(comm.SendData("stuck", 5));
  ASSERT_TRUE(comm.SendData("queued", 6));
  comm.ClosePort();  // must return although the write never completes
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(fake->Closes(), 1);
  EXPECT_TRUE(fake->Written().isEmpty());

  // Queued blocks are dropped; a reopened port starts clean.
  fake->HoldWrites(false);
  comm.OpenPort();
  ASSERT_TRUE(comm.SendData("fresh", 5));
  EXPECT_TRUE(fake->WaitFor([&] { return fake->Written() == "fresh"; }));
  comm.ClosePort();
}

// A device call that ignores the close's wake-up (a driver's drain that never returns) cannot
// hold the close: the thread is left behind with its device and ends on its own later; the port
// opens again on another device.
TEST(Comm, CloseIsBoundedEvenWhenADeviceCallNeverReturns) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* stuck = owned.get();
  stuck->StallDrains(true);
  TComm comm(nullptr, std::move(owned));
  comm.SetCloseLimit(std::chrono::milliseconds(300));
  comm.OpenPort();
  ASSERT_TRUE(stuck->WaitFor([&] { return stuck->DrainsStarted() == 1; }));

  // Should the close hang after all, this ends the stall so that the test fails instead.
  std::mutex m;
  std::condition_variable wake;
  bool closed = false;
  std::thread failSafe([&] {
    std::unique_lock lock(m);
    if (!wake.wait_for(lock, std::chrono::seconds(10), [&] { return closed; }))
      stuck->StallDrains(false);
  });
  const std::uint32_t start = platform::GetTickCount();
  comm.ClosePort();
  const std::uint32_t took = platform::GetTickCount() - start;
  {
    std::lock_guard lock(m);
    closed = true;
  }
  wake.notify_all();
  failSafe.join();
  EXPECT_LT(took, 5000u);
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.ThreadsLeftBehind(), 1);

  EXPECT_THROW(comm.OpenPort(), ECommsError) << "the device is still busy";
  auto next = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fresh = next.get();
  comm.SetBackend(std::move(next));
  comm.OpenPort();
  EXPECT_TRUE(comm.SendData("a", 1));
  EXPECT_TRUE(fresh->WaitFor([&] { return fresh->Written() == "a"; }));
  comm.ClosePort();

  stuck->StallDrains(false);  // the thread ends and frees its device: not to be touched again
  EXPECT_TRUE(WaitEvents([&] { return comm.ThreadsLeftBehind() == 0; }));
}

TEST(Comm, OpenAndCloseAreIdempotent) {
  auto owned = std::make_unique<FakeCommBackend>();
  FakeCommBackend* fake = owned.get();
  TComm comm(nullptr, std::move(owned));
  comm.ClosePort();
  comm.OpenPort();
  comm.OpenPort();
  EXPECT_EQ(fake->Opens(), 1);
  comm.ClosePort();
  comm.ClosePort();
  EXPECT_EQ(fake->Closes(), 1);
}

}  // namespace
}  // namespace xv4
