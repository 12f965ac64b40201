#include "link/MdmLnk.h"

#include "link/LinkFactory.h"
#include "platform/AppDir.h"
#include "tests/support/FakeCommBackend.h"
#include "tests/support/SerialTestUtil.h"
#include "tests/support/TempDir.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace xv4 {
namespace {

using test::FakeCommBackend;
using test::PtyPair;
using test::WaitEvents;

// Every test gets its own application directory: the link writes Option.ini and debug files.
class MdmLnkTest : public ::testing::Test {
 protected:
  // Puts an in-memory device under the link's port.
  static FakeCommBackend* UseFake(TMdmLnk& link) {
    auto owned = std::make_unique<FakeCommBackend>();
    FakeCommBackend* fake = owned.get();
    link.Comm()->SetBackend(std::move(owned));
    return fake;
  }
  QStringList DebugFiles() const {
    return QDir(dir_.Path() + "debug").entryList(QDir::Files, QDir::Name);
  }
  static int CountLines(const QStringList& lines, const QString& suffix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const QString& l) { return l.endsWith(suffix); }));
  }

  test::TempAppDir dir_;
};

TEST_F(MdmLnkTest, FreshLinkHasItsDefaultsAndConfiguresThePort) {
  TMdmLnk link;
  EXPECT_EQ(link.BaudRate(), tbr460800);
  EXPECT_EQ(link.CommName(), "COM2");
  EXPECT_EQ(link.Tag(), 2);
  EXPECT_EQ(link.OptionFile(), "Option.ini");
  EXPECT_TRUE(link.WaitForCall());
  EXPECT_TRUE(link.FlgCreateThd());
  EXPECT_TRUE(link.FlgAutoWriteDebugFile());
  EXPECT_FALSE(link.IsModem());
  EXPECT_FALSE(link.LoadFTCP());
  EXPECT_FALSE(link.IsDebug());
  EXPECT_FALSE(link.WantedToShake());
  EXPECT_FALSE(link.PortOpen());
  EXPECT_TRUE(link.SendIdle());
  EXPECT_EQ(link.LinkState(), 0);

  const TComm& port = *link.Comm();
  EXPECT_EQ(port.BaudRate(), 460800u);
  EXPECT_EQ(port.DtrControl(), TDtrControl::DtrEnable);
  EXPECT_EQ(port.RtsControl(), TRtsControl::RtsEnable);
  EXPECT_FALSE(port.Outx_XonXoffFlow());
  EXPECT_FALSE(port.TxContinueOnXoff());
  EXPECT_FALSE(port.IgnoreNullChar());
  EXPECT_EQ(port.ByteSize(), TByteSize::_8);
  EXPECT_EQ(port.Parity(), TParity::None);
  EXPECT_EQ(port.StopBits(), TStopBits::_1);
  EXPECT_EQ(port.ReadIntervalTimeout(), 0u);
}

TEST_F(MdmLnkTest, CommNameSetsTagFromALeadingComNumberUpTo130) {
  struct Case {
    const char* name;
    int tag;  // expected afterwards; every case starts from tag 5
  } cases[] = {
      {"COM7", 7},         {"com7", 7}, {"Com130", 130},       {"COM131", 5},
      {"COM200", 5},       {"COM", 5},  {"COMX", 5},           {"COM1x", 5},
      {"/dev/ttyUSB0", 5}, {"COM0", 0}, {"COM99999999999", 5}, {"", 5},
  };
  for (const Case& c : cases) {
    TMdmLnk link;
    link.SetTag(5);
    EXPECT_NO_THROW(link.SetCommName(c.name)) << c.name;
    EXPECT_EQ(link.CommName(), c.name);
    EXPECT_EQ(link.Tag(), c.tag) << c.name;
  }
}

TEST_F(MdmLnkTest, BaudRateReachesThePortAtOnce) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.SetBaudRate(tbr9600);
  EXPECT_EQ(link.Comm()->BaudRate(), 9600u);
  link.Activate(true);
  EXPECT_EQ(fake->LastSettings().baudRate, 9600u);
  link.SetBaudRate(tbr115200);
  EXPECT_EQ(fake->LastSettings().baudRate, 115200u) << "an open port applies it immediately";
  link.Activate(false);
}

TEST_F(MdmLnkTest, SaveOptionsWritesOptionIniNextToTheProgram) {
  TMdmLnk link;
  link.SetCommName("COM5");
  link.SetPhoneNumber("0123");
  link.SetRingCount(3);
  link.SetTFMode(1);
  link.SetFilePackSize(512);
  link.SetIsDebug(true);
  link.SetOptionFile("   ");
  link.SaveOptions(nullptr, 0);
  EXPECT_EQ(link.OptionFile(), "Option.ini");
  EXPECT_EQ(dir_.Read("Option.ini"), QByteArray("[Option]\r\n"
                                                "Port=COM5\r\n"
                                                "BaudRate=8\r\n"
                                                "IsModem=0\r\n"
                                                "LoadFTCP=0\r\n"
                                                "IsDebug=1\r\n"
                                                "FlgCreateThd=1\r\n"
                                                "FlgAutoWriteDebugFile=1\r\n"
                                                "WaitForCall=1\r\n"
                                                "WantedToShake=0\r\n"
                                                "PhoneNumber=0123\r\n"
                                                "TFMode=1\r\n"
                                                "RingCount=3\r\n"
                                                "FilePackSize=512\r\n"
                                                "[Window]\r\n"
                                                "HWnd=0\r\n"));

  // Rewritten in place on the next open of the session.
  link.SetBaudRate(tbr1200);
  link.SaveOptions(nullptr, 77);
  const QByteArray again = dir_.Read("Option.ini");
  EXPECT_TRUE(again.contains("\r\nBaudRate=0\r\n"));
  EXPECT_TRUE(again.endsWith("[Window]\r\nHWnd=77\r\n"));
  EXPECT_EQ(again.count("BaudRate="), 1);
}

TEST_F(MdmLnkTest, OpenSucceedsOnTheSecondTryWithOneOkLine) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  fake->ScriptOpenResults({CommOpenResult::CannotOpen});
  link.Activate(true);
  EXPECT_TRUE(link.PortOpen());
  EXPECT_TRUE(link.WorkerRunning());
  const QStringList lines = link.DebugLines();
  EXPECT_EQ(CountLines(lines, " err!"), 0);
  ASSERT_EQ(CountLines(lines, " OK!"), 1);
  EXPECT_EQ(lines.back(), platform::ExecutablePath() + " Open COM2 OK!");
  link.Activate(false);
  EXPECT_FALSE(link.WorkerRunning());
  EXPECT_EQ(link.DebugLines().back(), platform::ExecutablePath() + " Close COM2 OK!");
}

TEST_F(MdmLnkTest, OpenFailingTwiceRaisesAndStartsNoWorker) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  fake->ScriptOpenResults({CommOpenResult::CannotOpen, CommOpenResult::CannotOpen});
  try {
    link.Activate(true);
    FAIL() << "opened";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
  }
  EXPECT_FALSE(link.PortOpen());
  EXPECT_FALSE(link.WorkerRunning());
  EXPECT_EQ(link.DebugLines(), QStringList{platform::ExecutablePath() + " Open COM2 err!"});
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("x"), 1);  // closed: nothing happens
  EXPECT_TRUE(fake->Written().isEmpty());
}

TEST_F(MdmLnkTest, ReceivedBytesReachTheOwnerAtOnceWithoutAModem) {
  PtyPair pty;
  TMdmLnk link;
  link.SetCommName(pty.SlavePath());
  QByteArray forwarded;
  QObject* sender = nullptr;
  link.OnReceiveNewData = [&](QObject* s, const std::uint8_t* b, std::uint16_t n) {
    sender = s;
    forwarded.append(reinterpret_cast<const char*>(b), n);
  };
  link.Activate(true);
  const QByteArray bytes = test::Pattern(5000, 9);
  ASSERT_TRUE(pty.Write(bytes));
  EXPECT_TRUE(WaitEvents([&] { return forwarded.size() >= bytes.size(); }));
  EXPECT_EQ(forwarded, bytes);
  EXPECT_EQ(sender, link.Comm());

  // With a modem and no connection, the bytes are the modem's and stay in the link.
  link.SetIsModem(true);
  forwarded.clear();
  ASSERT_TRUE(pty.Write("RING\r\n"));
  const std::uint64_t target = link.ParsedByteCount() + 6;
  EXPECT_TRUE(WaitEvents([&] { return link.ParsedByteCount() >= target; }));
  EXPECT_TRUE(forwarded.isEmpty());
  link.Activate(false);
}

TEST_F(MdmLnkTest, LinkWritesToThePortAndReportsTheDrain) {
  PtyPair pty;
  TMdmLnk link;
  link.SetCommName(pty.SlavePath());
  int drained = 0;
  link.OnSendBufEmpty = [&](QObject* s) {
    EXPECT_EQ(s, link.Comm());
    ++drained;
  };
  link.Activate(true);
  const QByteArray frame = test::Pattern(302, 4);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>(frame.constData()), 302);
  EXPECT_EQ(pty.Read(302), frame);
  EXPECT_TRUE(WaitEvents([&] { return link.SendIdle() && drained >= 1; }));
  link.Activate(false);
}

// Many chunks arrive while the worker keeps swapping its buffers: every byte is parsed once, in
// order.
TEST_F(MdmLnkTest, FloodOfBytesIsParsedExactlyOnceInOrder) {
  PtyPair pty;
  TMdmLnk link;
  link.SetCommName(pty.SlavePath());
  QByteArray parsed;
  std::mutex parsedMutex;
  link.SetParseTap([&](const std::uint8_t* b, std::size_t n) {
    std::lock_guard lock(parsedMutex);
    parsed.append(reinterpret_cast<const char*>(b), static_cast<qsizetype>(n));
  });
  link.Activate(true);
  QByteArray sent;
  for (int i = 0; i < 200; ++i) {
    const QByteArray piece = test::Pattern(1 + (i * 37) % 1500, i);
    ASSERT_TRUE(pty.Write(piece));
    sent += piece;
    if (i % 20 == 0)
      platform::ProcessMessages();
  }
  EXPECT_TRUE(WaitEvents([&] { return link.ParsedByteCount() >= std::uint64_t(sent.size()); }));
  link.Activate(false);
  EXPECT_EQ(link.ParsedByteCount(), std::uint64_t(sent.size()));
  std::lock_guard lock(parsedMutex);
  EXPECT_EQ(parsed, sent);
}

TEST_F(MdmLnkTest, SecondSendBytesWaitsUntilTheFirstHasDrained) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.Activate(true);
  ASSERT_TRUE(WaitEvents([&] { return fake->Drains() >= 1; }));
  fake->HoldDrains(true);

  std::atomic<bool> secondWrittenEarly{false};
  std::thread releaser([&] {
    // The first write is out; the port has not drained it yet.
    fake->WaitFor([&] { return fake->Written() == "first" && fake->DrainsStarted() >= 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    secondWrittenEarly = fake->Written() != "first";
    fake->HoldDrains(false);
  });
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("first"), 5);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("second"), 6);  // waits for the drain
  releaser.join();
  EXPECT_FALSE(secondWrittenEarly);
  EXPECT_TRUE(fake->WaitFor([&] { return fake->Written() == "firstsecond"; }));
  const std::vector<std::string> log = fake->WriteLog();
  const auto first = std::find(log.begin(), log.end(), "W:first");
  const auto second = std::find(log.begin(), log.end(), "W:second");
  ASSERT_NE(first, log.end());
  ASSERT_NE(second, log.end());
  EXPECT_NE(std::find(first, second, "D"), second) << "second written before the first drained";
  link.Activate(false);
}

TEST_F(MdmLnkTest, PortThatNeverDrainsDropsTheNextWriteInsteadOfHanging) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.Activate(true);
  ASSERT_TRUE(WaitEvents([&] { return fake->Drains() >= 1; }));
  fake->HoldDrains(true);  // a wedged adapter: no drain, no hang-up

  const std::uint32_t start = platform::GetTickCount();  // before the first write's time starts
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("first"), 5);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("second"), 6);
  const std::uint32_t waited = platform::GetTickCount() - start;
  EXPECT_GE(waited, 1900u) << "the first write gets its time";
  EXPECT_LT(waited, 30000u);
  EXPECT_TRUE(
      link.DebugLines().contains("Send dropped (6 bytes): the previous write has not drained"));

  fake->HoldDrains(false);  // the port recovers: writing goes on
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("third"), 5);
  EXPECT_TRUE(fake->WaitFor([&] { return fake->Written() == "firstthird"; }));
  link.Activate(false);
}

TEST_F(MdmLnkTest, WorkerCanSendAndIsStoppedEvenWhileWaitingToSend) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  std::atomic<int> passes{0};
  QObject* workerSender = nullptr;
  std::atomic<bool> senderSeen{false};
  link.OnDoExFunc = [&](QObject* s) {
    if (!senderSeen.exchange(true))
      workerSender = s;
    if (++passes <= 3)
      link.SendBytes(reinterpret_cast<const std::uint8_t*>("w"), 1);
  };
  link.Activate(true);
  // Passes 2 and 3 wait on the worker until the UI thread has handled the drained reports.
  EXPECT_TRUE(WaitEvents([&] { return fake->Written() == "www" && passes > 3; }));
  EXPECT_NE(workerSender, nullptr);
  EXPECT_NE(workerSender, &link);

  // A worker stuck waiting for a drain must not block closing.
  fake->HoldDrains(true);
  passes = 0;
  EXPECT_TRUE(WaitEvents([&] { return passes >= 2; }));
  link.Activate(false);
  EXPECT_FALSE(link.WorkerRunning());
}

// A write that was still on its way when the port closed must not leave the link thinking it is
// outstanding, and a reopened port has DTR raised again.
TEST_F(MdmLnkTest, ReopenedLinkWritesAgainWithDtrRaised) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.Activate(true);
  EXPECT_EQ(fake->LastSettings().dtrControl, TDtrControl::DtrEnable);
  fake->HoldDrains(true);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("a"), 1);
  EXPECT_FALSE(link.SendIdle());
  link.Activate(false);
  EXPECT_EQ(fake->LastSettings().dtrControl, TDtrControl::DtrDisable) << "closing drops DTR";
  fake->HoldDrains(false);

  link.Activate(true);
  EXPECT_EQ(fake->LastSettings().dtrControl, TDtrControl::DtrEnable);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("b"), 1);  // must not wait for "a"
  EXPECT_TRUE(fake->WaitFor([&] { return fake->Written().endsWith("b"); }));
  link.Activate(false);
}

TEST_F(MdmLnkTest, HangupFreesAWaitingSender) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.Activate(true);
  fake->HoldDrains(true);
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("a"), 1);
  ASSERT_TRUE(fake->WaitFor([&] { return fake->Written() == "a"; }));
  fake->HangUp();
  link.SendBytes(reinterpret_cast<const std::uint8_t*>("b"), 1);  // returns after the hang-up
  EXPECT_EQ(fake->Written(), "a");
  EXPECT_EQ(CountLines(link.DebugLines(), " hung up"), 1);
  fake->HoldDrains(false);
  link.Activate(false);
}

// A hang-up that an earlier open reported, delivered only after the port was opened again, says
// nothing about the new open: the reopened link writes.
TEST_F(MdmLnkTest, HangupOfAnEarlierOpenDoesNotDisableTheReopenedLink) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.Activate(true);
  fake->HangUp();
  ASSERT_TRUE(fake->WaitFor([&] { return fake->HangupsReported() > 0; }));
  link.Activate(false);  // its report is still queued
  link.Activate(true);   // handles events: the old report arrives now
  EXPECT_EQ(link.SendBytes(reinterpret_cast<const std::uint8_t*>("x"), 1), LinkSend::Taken);
  EXPECT_TRUE(fake->WaitFor([&] { return fake->Written() == "x"; }));
  link.Activate(false);
}

// Nothing the port read under an earlier open is parsed as part of what the next open reads.
TEST_F(MdmLnkTest, ReopenedLinkParsesOnlyWhatItReadSinceTheOpen) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  std::mutex m;
  QByteArray parsed;
  link.SetParseTap([&](const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(m);
    parsed.append(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(count));
  });
  int chunks = 0;
  link.OnReceiveNewData = [&](QObject*, const std::uint8_t*, std::uint16_t) { ++chunks; };
  link.SetFlgCreateThd(false);  // no worker: what is read stays queued
  link.Activate(true);
  fake->Inject("OLD");
  ASSERT_TRUE(WaitEvents([&] { return chunks == 1; }));
  link.Activate(false);
  link.SetFlgCreateThd(true);
  link.Activate(true);
  fake->Inject("NEW");
  EXPECT_TRUE(WaitEvents([&] {
    std::lock_guard lock(m);
    return parsed.size() >= 3;
  }));
  link.Activate(false);
  std::lock_guard lock(m);
  EXPECT_EQ(parsed, "NEW");
}

// A handler on the worker that closes the link: the worker cannot stop itself, so the close is
// made on the link's own thread, and this pass is the worker's last.
TEST_F(MdmLnkTest, HandlerOnTheWorkerMayCloseTheLink) {
  TMdmLnk link;
  UseFake(link);
  std::atomic<int> passes{0};
  link.OnDoExFunc = [&](QObject*) {
    if (++passes == 2)
      link.Activate(false);
  };
  link.Activate(true);
  EXPECT_TRUE(WaitEvents([&] { return !link.PortOpen() && !link.WorkerRunning(); }));
  EXPECT_EQ(passes, 2);
}

TEST_F(MdmLnkTest, DebugListRollsOverIntoOneFileAfter10001Lines) {
  TMdmLnk link;
  int cleared = 0;
  link.OnMsgListClear = [&](QObject* s) {
    EXPECT_EQ(s, &link);
    ++cleared;
  };
  QByteArray expected;
  for (int i = 0; i < 10001; ++i) {
    const QString line = QStringLiteral("line %1").arg(i);
    link.AddDebugMessage(line);
    expected += line.toLatin1() + "\r\n";
  }
  EXPECT_TRUE(DebugFiles().isEmpty());
  EXPECT_EQ(cleared, 0);
  link.AddDebugMessage("next");
  EXPECT_EQ(cleared, 1);
  EXPECT_EQ(link.DebugLines(), QStringList{"next"});
  const QStringList files = DebugFiles();
  ASSERT_EQ(files.size(), 1);
  EXPECT_TRUE(QRegularExpression("^\\d{10}\\.txt$").match(files[0]).hasMatch())
      << files[0].toStdString();
  EXPECT_EQ(dir_.Read("debug/" + files[0]), expected);
}

TEST_F(MdmLnkTest, WithoutAutoWriteTheDebugListJustGrows) {
  {
    TMdmLnk link;
    link.SetFlgAutoWriteDebugFile(false);
    for (int i = 0; i < 10100; ++i)
      link.AddDebugMessage("x");
    EXPECT_EQ(link.DebugLines().size(), 10100);
  }
  EXPECT_TRUE(DebugFiles().isEmpty()) << "nothing saved at destruction either";
}

TEST_F(MdmLnkTest, DebugListIsSavedAtDestruction) {
  {
    TMdmLnk link;
    UseFake(link);
    link.AddDebugMessage("before");
    link.Activate(true);
  }
  const QStringList files = DebugFiles();
  ASSERT_EQ(files.size(), 1);
  const QString exeBase = QFileInfo(platform::ExecutablePath()).fileName().section('.', 0, 0);
  EXPECT_TRUE(QRegularExpression("^" + exeBase + "_\\d{10}\\.txt$").match(files[0]).hasMatch())
      << files[0].toStdString();
  const QByteArray text = dir_.Read("debug/" + files[0]);
  EXPECT_TRUE(text.startsWith("before\r\n"));
  EXPECT_TRUE(text.endsWith(" Open COM2 OK!\r\n")) << "the close line comes after the save";
}

// Destroying the link waits for the last write to drain, but a wedged adapter (no drain, no
// hang-up) must not keep the program from ending.
TEST_F(MdmLnkTest, DestructionWaitsForTheLastWriteButNotForAPortThatNeverDrains) {
  auto link = std::make_unique<TMdmLnk>();
  FakeCommBackend* fake = UseFake(*link);
  link->Activate(true);
  ASSERT_TRUE(WaitEvents([&] { return fake->Drains() >= 1; }));
  fake->HoldDrains(true);
  const std::uint32_t start = platform::GetTickCount();  // before the write's time starts
  link->SendBytes(reinterpret_cast<const std::uint8_t*>("last"), 4);
  ASSERT_FALSE(link->SendIdle());

  // Should the wait not end by itself, the drain is let through late (while the destructor still
  // waits, so the device is still there), and the test fails instead of hanging.
  std::mutex mutex;
  std::condition_variable wake;
  bool destroyed = false;
  std::thread rescuer([&] {
    std::unique_lock lock(mutex);
    if (!wake.wait_for(lock, std::chrono::seconds(20), [&] { return destroyed; }))
      fake->HoldDrains(false);
  });
  link.reset();
  const std::uint32_t waited = platform::GetTickCount() - start;
  {
    std::lock_guard lock(mutex);
    destroyed = true;
  }
  wake.notify_all();
  rescuer.join();
  EXPECT_GE(waited, 1900u) << "the write gets the time it should take to drain";
  EXPECT_LT(waited, 15000u) << "waited for a port that never drains";
}

TEST_F(MdmLnkTest, DebugLinesFromBothThreadsAreAllKept) {
  TMdmLnk link;
  UseFake(link);
  link.SetFlgAutoWriteDebugFile(true);
  std::atomic<int> workerLines{0};
  link.OnDoExFunc = [&](QObject*) {
    for (int i = 0; i < 2000 && workerLines < 12000; ++i, ++workerLines)
      link.AddDebugMessage("worker");
  };
  link.Activate(true);
  for (int i = 0; i < 12000; ++i)
    link.AddDebugMessage("ui");
  EXPECT_TRUE(WaitEvents([&] { return workerLines >= 12000; }));
  link.Activate(false);

  // Everything added is in the rolled-over files or still in the list.
  QByteArray all;
  for (const QString& f : DebugFiles())
    all += dir_.Read("debug/" + f);
  for (const QString& l : link.DebugLines())
    all += l.toLatin1() + "\r\n";
  EXPECT_EQ(all.count("ui\r\n"), 12000);
  EXPECT_EQ(all.count("worker\r\n"), 12000);
}

TEST_F(MdmLnkTest, IsDebugLogsReceivedBytesAsHex) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.SetIsDebug(true);
  link.Activate(true);
  fake->Inject(QByteArray("\x0e\xff\x02", 3));
  EXPECT_TRUE(WaitEvents([&] { return link.DebugLines().contains("In: Data(len=3)[0E FF 02 ]"); }));
  link.Activate(false);
}

// Whatever arrives, with every parser switched on, stays inside the buffers.
TEST_F(MdmLnkTest, GarbageOfAnyLengthIsParsedWithinBounds) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  link.SetIsModem(true);
  link.SetLoadFTCP(true);
  link.Activate(true);
  QRandomGenerator rng(1234);
  std::uint64_t total = 0;
  for (int round = 0; round < 60; ++round) {
    QByteArray junk(static_cast<qsizetype>(rng.bounded(1, 9000)), '\0');
    for (char& c : junk) {
      const quint32 r = rng.bounded(100);
      c = r < 5 ? '\r' : r < 8 ? '\n' : r < 10 ? char(0xAA) : char(rng.bounded(256));
    }
    if (round % 10 == 0)
      junk = QByteArray(20000, 'A');  // one line far longer than the line buffer
    fake->Inject(junk);
    total += static_cast<std::uint64_t>(junk.size());
  }
  EXPECT_TRUE(WaitEvents([&] { return link.ParsedByteCount() >= total; }));
  EXPECT_EQ(link.ParsedByteCount(), total);
  link.Activate(false);
}

// A worker that falls behind cannot make the receive buffer grow without limit.
TEST_F(MdmLnkTest, ReceiveBufferStopsAtItsLimitAndReportsTheDrop) {
  TMdmLnk link;
  FakeCommBackend* fake = UseFake(link);
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> stalled{false};
  link.OnDoExFunc = [&](QObject*) {
    std::unique_lock lock(m);
    stalled = true;
    cv.wait(lock, [&] { return release; });
  };
  link.Activate(true);
  ASSERT_TRUE(WaitEvents([&] { return stalled.load(); }));
  const std::uint64_t before = link.ParsedByteCount();
  const qsizetype extra = 10;
  fake->Inject(QByteArray(static_cast<qsizetype>(TMdmLnk::kReceiveBufferLimit) + extra, 'z'));
  qsizetype forwarded = 0;
  link.OnReceiveNewData = [&](QObject*, const std::uint8_t*, std::uint16_t n) { forwarded += n; };
  EXPECT_TRUE(WaitEvents(
      [&] { return forwarded == static_cast<qsizetype>(TMdmLnk::kReceiveBufferLimit) + extra; }));
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  EXPECT_TRUE(WaitEvents([&] {
    return link.ParsedByteCount() - before >= TMdmLnk::kReceiveBufferLimit &&
           link.DebugLines().contains("Receive buffer full: 10 bytes dropped");
  }));
  link.Activate(false);
  EXPECT_EQ(link.ParsedByteCount() - before, TMdmLnk::kReceiveBufferLimit);
}

TEST_F(MdmLnkTest, IdleWorkerUsesAlmostNoCpu) {
  for (const bool modem : {false, true}) {
    TMdmLnk link;
    UseFake(link);
    link.SetIsModem(modem);  // the modem layer reads the status lines every pass
    link.Activate(true);
    const double used = test::CpuMsDuring([] { platform::DelayMs(1000); });
    link.Activate(false);
    EXPECT_LT(used, test::SpinLimitMs(1000))
        << "an idle open link used " << used << " ms of CPU in one second (modem " << modem << ")";
  }
}

TEST_F(MdmLnkTest, FactoryMakesAClosedLink) {
  std::unique_ptr<SerialLink> link = CreateSerialLink(nullptr);
  ASSERT_NE(dynamic_cast<TMdmLnk*>(link.get()), nullptr);
  EXPECT_EQ(link->CommName(), "COM2");
  EXPECT_EQ(link->BaudRate(), tbr460800);
}

TEST(ExtractField, TakesTheTextBetweenTwoSeparators) {
  const QString line = "SEND_FILE|name.bin|dir\\sub|1234|remark\r|";
  struct Case {
    int first, last;
    const char* field;
  } cases[] = {
      {0, 1, "SEND_FILE"}, {1, 2, "name.bin"}, {2, 3, "dir\\sub"},
      {3, 4, "1234"},      {4, 5, "remark"},   {5, 6, ""},
      {6, 7, ""},          {9, 10, ""},        {1, 3, "name.bin|dir\\sub"},
      {2, 2, ""},          {3, 1, ""},         {-1, 1, "SEND_FILE"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExtractField(c.first, c.last, '|', line), c.field) << c.first << "," << c.last;
  }
  EXPECT_EQ(ExtractField(1, 2, '|', "a|last field\r\nrest"), "last field\nrest");
  EXPECT_EQ(ExtractField(0, 1, '|', ""), "");
  EXPECT_EQ(ExtractField(0, 1, '|', "no separator"), "no separator");
}

TEST(ExtractField, FieldsLongerThan1023CharactersComeBackWhole) {
  const QString longField(5000, 'x');
  const QString line = "HEAD|" + longField + "|TAIL";
  EXPECT_EQ(ExtractField(1, 2, '|', line), longField);
  EXPECT_EQ(ExtractField(2, 3, '|', line), "TAIL");
}

}  // namespace
}  // namespace xv4
