// The link's modem layer against an emulated modem behind the test backend (which reports the
// modem status lines and records DTR), with a test clock for the time-outs and the line timer;
// and two links joined by the simulator's modem pair.
#include "link/MdmLnk.h"

#include "sim/PtyPairServer.h"
#include "tests/support/FakeModem.h"
#include "tests/support/SerialTestUtil.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace xv4 {
namespace {

using test::FakeCommBackend;
using test::FakeModem;
using test::WaitEvents;

constexpr std::uint32_t kAllLines = kModemStatusCts | kModemStatusDsr | kModemStatusRlsd;
constexpr std::uint32_t kNoCarrier = kModemStatusCts | kModemStatusDsr;

// Records the nine modem events of a link in order, each with the link's LastLine() as its
// handler saw it on the worker.
class EventLog {
 public:
  void Attach(SerialLink& link) {
    const std::pair<TNotifyEvent SerialLink::*, const char*> events[] = {
        {&SerialLink::OnConnection, "Connection"},
        {&SerialLink::OnAnswerOK, "AnswerOK"},
        {&SerialLink::OnBusy, "Busy"},
        {&SerialLink::OnNoCarrier, "NoCarrier"},
        {&SerialLink::OnNoDialTone, "NoDialTone"},
        {&SerialLink::OnNoAnswer, "NoAnswer"},
        {&SerialLink::OnResponseForDial, "Ring"},
        {&SerialLink::OnFinishedExecMdmCmd, "Finished"},
        {&SerialLink::OnOffLine, "OffLine"}};
    for (const auto& [event, name] : events) {
      link.*event = [this, &link, name](QObject*) {
        const std::string line = link.LastLine().toStdString();
        std::lock_guard lock(m_);
        events_.emplace_back(name, line);
      };
    }
  }
  QStringList All() const { return Since(0); }
  QStringList Since(qsizetype from) const {
    std::lock_guard lock(m_);
    QStringList names;
    for (std::size_t i = static_cast<std::size_t>(from); i < events_.size(); ++i)
      names << QString::fromStdString(events_[i].first);
    return names;
  }
  // The modem's line behind the index-th event.
  QString LineOf(qsizetype index) const {
    std::lock_guard lock(m_);
    return QString::fromStdString(events_.at(static_cast<std::size_t>(index)).second);
  }
  qsizetype Size() const {
    std::lock_guard lock(m_);
    return static_cast<qsizetype>(events_.size());
  }
  int Count(const QString& name) const { return static_cast<int>(All().count(name)); }

 private:
  mutable std::mutex m_;
  std::vector<std::pair<std::string, std::string>> events_;
};

// The waits of these tests handle events (WaitEvents): the port's drain reports reach the link
// through the event loop, and a worker whose last write has not been reported drained holds its
// next one.
class ModemLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto owned = std::make_unique<FakeCommBackend>();
    port_ = owned.get();
    link_.Comm()->SetBackend(std::move(owned));
    modem_ = std::make_unique<FakeModem>(*port_);
    port_->SetModemStatus(kAllLines);
    link_.SetIsModem(true);
    link_.SetTickSource([this] { return now_.load(); });
    link_.OnDoExFunc = [this](QObject*) { ++passes_; };
    link_.OnReceiveNewData = [this](QObject*, const std::uint8_t* b, std::uint16_t n) {
      forwarded_.append(reinterpret_cast<const char*>(b), n);
    };
    events_.Attach(link_);
  }
  void TearDown() override {
    link_.Activate(false);
    modem_.reset();
  }

  LinkSend Send(const QByteArray& bytes) {
    return link_.SendBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                           static_cast<int>(bytes.size()));
  }
  bool WaitForEvents(qsizetype count) {
    return WaitEvents([&] { return events_.Size() >= count; });
  }
  bool WaitWritten(const QByteArray& tail) {
    return WaitEvents([&] { return port_->Written().endsWith(tail); });
  }
  // Lets the worker make two full passes.
  void WaitPasses() {
    const int target = passes_ + 2;
    ASSERT_TRUE(WaitEvents([&] { return passes_ >= target; }));
  }
  // Moves the test clock on, then lets the worker see it.
  void Step(std::uint32_t ms) {
    now_ += ms;
    WaitPasses();
  }
  // Opens the link and runs the modem's initialisation to its end.
  void OpenAndInitialise() {
    link_.Activate(true);
    const qsizetype before = events_.Size();
    link_.ModemCommand("INITIAL");
    ASSERT_TRUE(WaitForEvents(before + 8));
  }
  void DialAndConnect(const QByteArray& farEndFirst = {}) {
    const int dials = modem_->Dials();
    link_.SetPhoneNumber("5551234");
    link_.ModemCommand("DIALING");
    ASSERT_TRUE(WaitEvents([&] { return modem_->Dials() > dials; }));
    modem_->Connect(farEndFirst);
    ASSERT_TRUE(WaitEvents([&] { return link_.LinkState() == 1; }));
  }

  test::TempAppDir dir_;
  TMdmLnk link_;
  FakeCommBackend* port_ = nullptr;
  std::unique_ptr<FakeModem> modem_;
  std::atomic<std::uint32_t> now_{100000};
  std::atomic<int> passes_{0};
  EventLog events_;
  QByteArray forwarded_;  // UI thread
};

TEST(ModemLines, ClassifierTakesTheLastWordTheLineHolds) {
  const struct {
    const char* line;
    int code;
  } cases[] = {
      {"OK", kCodeOk},
      {"CONNECT 9600", kCodeConnect},
      {"connect 2400/ARQ", kCodeConnect},
      {"RING", kCodeRing},
      {"NO CARRIER", kCodeNoCarrier},
      {"ERROR", kCodeError},
      {"+++", kCodePlusPlusPlus},
      {"+++AT", kCodePlusPlusAt},
      {"NO DIALTONE", kCodeNoDialTone},
      {"BUSY", kCodeBusy},
      {"NO ANSWER", kCodeNoAnswer},
      {"LOGIN PASSWORD:", kCodeLoginPass},
      {"LOGIN PASSWORD ERROR", kCodeLoginPass},
      {"LOGIN PASSWORD OK/PC1//", kCodeLoginPass},
      {"THIS IS PC/PC1// kiv", kCodeThisIsPc},
      {"PC/PC1// SHAKE HANDS", kCodeShake},
      {"OVER_TALK_FILE|a.bin|OK|", kCodeFile},
      {"ALM", kCodeAlarm},
      {"OK, BUSY", kCodeBusy},
      {"AT&F", kNoCode},
      {"ATDT5551234", kNoCode},
      {"ATV1E1M1&S&C1", kNoCode},
      {"\x83\xA4\x55\x02", kNoCode},  // frame bytes and acknowledgements
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClassifyLine(QByteArrayView(c.line)), c.code) << c.line;

  // CR and LF end a line; a line of one character says nothing; an overlong one keeps its end.
  LineAssembler lines;
  QStringList got;
  for (const char b : QByteArray("x\r\nOK\n\nA\rRING\r") + QByteArray(5000, 'y') + "BUSY\n") {
    if (lines.Feed(static_cast<std::uint8_t>(b)))
      got << QString::fromLatin1(lines.Line().toByteArray());
  }
  ASSERT_EQ(got.size(), 3);
  EXPECT_EQ(got[0], "OK");
  EXPECT_EQ(got[1], "RING");
  EXPECT_TRUE(got[2].endsWith("yyyyBUSY"));
  EXPECT_EQ(got[2].size(), 5004 - static_cast<qsizetype>(LineAssembler::kSize));
}

TEST(ModemLines, OnlyDialCharactersMakeAPhoneNumber) {
  for (const char* good : {"5551234", "555-1234", "(0123) 456 789", "9W5551234", "*70,,5551234#",
                           "+49 30 1234", "p123", "T5551234;", "!@5"}) {
    EXPECT_TRUE(IsValidPhoneNumber(QString::fromLatin1(good))) << good;
  }
  for (const char* bad : {"", "555\r1234", "555\nATH", "555;ATZ", "5551234\r\nAT&F", "ABC", "---",
                          "12345678901234567890123456789012345678901"}) {
    EXPECT_FALSE(IsValidPhoneNumber(QString::fromLatin1(bad))) << bad;
  }
  EXPECT_FALSE(IsValidPhoneNumber(QStringLiteral("555\u00A01234")));
}

// The test clock never moves here: a sequence can only go on by the modem's answers, so none may
// be lost (the "+++AT" echo and its OK arrive in one burst).
TEST_F(ModemLayerTest, InitialiseDialTalkAndHangUp) {
  link_.SetPhoneNumber("555-1234");
  link_.Activate(true);
  EXPECT_EQ(Send("early"), LinkSend::Offline) << "nothing but the modem on the line yet";
  link_.ModemCommand("INITIAL");
  ASSERT_TRUE(WaitForEvents(8));
  EXPECT_EQ(events_.All(), (QStringList{"OffLine", "OffLine", "NoCarrier", "NoCarrier", "OffLine",
                                        "NoDialTone", "Finished", "OffLine"}));
  EXPECT_EQ(port_->Written(), "AT&F\r\nATV1E1M1&S&C1\r\n+++AT\r\nATH0\r\n");
  // Every OK raises DTR; the escape and the hang-up raise it and drop it before their line.
  EXPECT_EQ(port_->DtrSwitches(),
            (std::vector<bool>{true, true, true, false, true, true, false, true}));
  EXPECT_TRUE(forwarded_.isEmpty()) << "the modem's answers stay in the link";

  // Dial; the far end's first bytes arrive in the same chunk as CONNECT.
  link_.ModemCommand("DIALING");
  ASSERT_TRUE(WaitEvents([&] { return modem_->Dialled() == "5551234"; }));
  EXPECT_TRUE(port_->Written().endsWith("ATDT555-1234\r\n"));
  EXPECT_EQ(port_->DtrSwitches().size(), 9u) << "raised before dialling";
  modem_->Connect("HELLO");
  ASSERT_TRUE(WaitForEvents(10));
  EXPECT_EQ(events_.Since(8), (QStringList{"Finished", "Connection"}));
  EXPECT_EQ(link_.LinkState(), 1);
  EXPECT_EQ(forwarded_, "HELLO");
  EXPECT_EQ(Send("DATA"), LinkSend::Taken);
  EXPECT_TRUE(WaitEvents([&] { return modem_->ToFarEnd() == "DATA"; }));
  modem_->FromFarEnd("MORE");
  EXPECT_TRUE(WaitEvents([&] { return forwarded_ == "HELLOMORE"; }));

  // Hang up: escape, then ATH0.
  link_.ModemCommand("HANGUP");
  ASSERT_TRUE(WaitForEvents(16));
  EXPECT_EQ(events_.Since(10), (QStringList{"NoCarrier", "NoCarrier", "OffLine", "NoDialTone",
                                            "Finished", "OffLine"}));
  EXPECT_TRUE(port_->Written().endsWith("ATDT555-1234\r\nDATA+++AT\r\nATH0\r\n"));
  EXPECT_TRUE(modem_->OnHook());
  EXPECT_EQ(link_.LinkState(), 0);
  EXPECT_EQ(Send("late"), LinkSend::Offline);

  // A second call whose carrier goes: what follows NO CARRIER in the same chunk is the modem's.
  DialAndConnect();
  forwarded_.clear();
  port_->Inject("BYE\r\nNO CARRIER\r\nAFTER");
  ASSERT_TRUE(WaitEvents([&] { return events_.Count("NoCarrier") == 6; }));
  EXPECT_EQ(forwarded_, "BYE\r\n");
  EXPECT_EQ(Send("gone"), LinkSend::Offline);
  EXPECT_TRUE(WaitWritten("+++AT\r\n"));
}

TEST_F(ModemLayerTest, AnswersOnTheThirdRingThenResets) {
  link_.SetWaitForCall(true);
  link_.SetRingCount(3);
  OpenAndInitialise();
  const qsizetype written = port_->WrittenSize();
  const qsizetype before = events_.Size();
  modem_->Ring();
  modem_->Ring();
  ASSERT_TRUE(WaitEvents([&] { return events_.Count("Ring") == 2; }));
  WaitPasses();
  EXPECT_EQ(port_->WrittenFrom(written), "") << "two rings are not answered";
  modem_->Ring();
  ASSERT_TRUE(WaitWritten("ATA\r\n"));
  ASSERT_TRUE(WaitEvents([&] { return modem_->Answering(); }));
  modem_->Connect();
  ASSERT_TRUE(WaitEvents([&] { return link_.LinkState() == 1 && events_.Count("AnswerOK"); }));
  EXPECT_EQ(events_.Since(before), (QStringList{"Ring", "Ring", "Ring", "Finished", "AnswerOK"}));

  // Reset: escape, hang up, soft reset, initialise.
  const qsizetype beforeReset = port_->WrittenSize();
  link_.ModemCommand("RESET");
  ASSERT_TRUE(WaitForEvents(before + 13));
  EXPECT_EQ(events_.Since(before + 5),
            (QStringList{"NoCarrier", "NoCarrier", "OffLine", "NoDialTone", "OffLine", "OffLine",
                         "Finished", "OffLine"}));
  EXPECT_EQ(port_->WrittenFrom(beforeReset), "+++AT\r\nATH0\r\nAT&F\r\nATV1E1M1&S&C1\r\n");
  EXPECT_EQ(link_.LinkState(), 0);
}

TEST_F(ModemLayerTest, CommandTimeOutsOnTheTestClock) {
  // A modem that answers nothing: AT&F (3000 ms) is sent again at each time-out, and after more
  // than three in a row DTR is raised again.
  modem_->SetDeaf(true);
  link_.Activate(true);
  link_.ModemCommand("INITIAL");
  ASSERT_TRUE(WaitWritten("AT&F\r\n"));
  WaitPasses();
  Step(3000);
  EXPECT_EQ(port_->Written(), "AT&F\r\n") << "a time-out is more than 3000 ms";
  for (int timeouts = 1; timeouts <= 4; ++timeouts) {
    Step(timeouts == 1 ? 1 : 3001);
    EXPECT_EQ(port_->Written(), QByteArray("AT&F\r\n").repeated(timeouts + 1));
    EXPECT_EQ(port_->DtrSwitches().size(), timeouts <= 3 ? 0u : 1u) << timeouts;
  }
  EXPECT_EQ(port_->DtrSwitches(), std::vector<bool>{true});
  modem_->SetDeaf(false);
  Step(3001);
  ASSERT_TRUE(WaitEvents([&] { return events_.Count("Finished") == 1; }));

  // A dial that gets no result within 60000 ms ends in the hang-up step.
  link_.SetPhoneNumber("5551234");
  link_.ModemCommand("DIALING");
  ASSERT_TRUE(WaitEvents([&] { return modem_->Dialled() == "5551234"; }));
  WaitPasses();
  const qsizetype before = events_.Size();
  Step(60000);
  EXPECT_EQ(events_.Size(), before);
  Step(1);
  ASSERT_TRUE(WaitForEvents(before + 3));
  EXPECT_EQ(events_.Since(before), (QStringList{"NoDialTone", "Finished", "OffLine"}));
  EXPECT_TRUE(port_->Written().endsWith("ATDT5551234\r\nATH0\r\n"));
  EXPECT_EQ(events_.LineOf(before), "") << "no answer of the modem's led there";

  // The modem's own NO DIALTONE comes with its line.
  const int dials = modem_->Dials();
  link_.ModemCommand("DIALING");
  ASSERT_TRUE(WaitEvents([&] { return modem_->Dials() > dials; }));
  modem_->Fail(sim::ModemResult::kNoDialtone);
  ASSERT_TRUE(WaitForEvents(before + 6));
  EXPECT_EQ(events_.Since(before + 3), (QStringList{"NoDialTone", "Finished", "OffLine"}));
  EXPECT_EQ(events_.LineOf(before + 3), "NO DIALTONE");
}

TEST_F(ModemLayerTest, LineSupervisionOnTheTestClock) {
  OpenAndInitialise();

  // All status lines off for 1500 ms: a power failure.
  port_->SetModemStatus(0);
  WaitPasses();
  Step(1499);
  EXPECT_EQ(link_.LinkState(), 0);
  Step(1);
  EXPECT_EQ(link_.LinkState(), -1);

  // The lines come back: after the line timer has run again, the reset sequence starts.
  const qsizetype written = port_->WrittenSize();
  port_->SetModemStatus(kNoCarrier);
  WaitPasses();
  for (int periods = 0; periods < 2 && port_->WrittenFrom(written).isEmpty(); ++periods)
    Step(1500);
  EXPECT_TRUE(WaitWritten("+++AT\r\n"));
  ASSERT_TRUE(WaitEvents([&] { return events_.Count("Finished") == 2; }));
  EXPECT_TRUE(port_->WrittenFrom(written).endsWith("AT&F\r\nATV1E1M1&S&C1\r\n"));

  // Connected: a carrier that comes back within 1500 ms changes nothing ...
  port_->SetModemStatus(kAllLines);
  DialAndConnect();
  const qsizetype connected = port_->WrittenSize();
  port_->SetModemStatus(kNoCarrier);
  WaitPasses();
  Step(1400);
  port_->SetModemStatus(kAllLines);
  WaitPasses();
  Step(1400);
  EXPECT_EQ(link_.LinkState(), 1);
  EXPECT_EQ(port_->WrittenFrom(connected), "");

  // ... one that stays away for 1500 ms hangs up.
  port_->SetModemStatus(kNoCarrier);
  WaitPasses();
  Step(1500);
  EXPECT_TRUE(link_.DebugLines().contains("The hangup is about MSR 1-->0"));
  ASSERT_TRUE(WaitEvents([&] { return events_.Count("Finished") == 4; }));
  EXPECT_EQ(port_->WrittenFrom(connected), "+++AT\r\nATH0\r\n");
  EXPECT_EQ(link_.LinkState(), 0);
  EXPECT_TRUE(modem_->OnHook());
}

// Two links on the simulator's modem pair: one dials, the other answers on its third ring.
TEST(ModemPairTest, OneLinkDialsTheOtherAnswersAndHearsTheHangUp) {
  test::TempAppDir dir;
  sim::ModemOptions options;
  options.delay = std::chrono::milliseconds(50);
  options.ringInterval = std::chrono::milliseconds(150);
  sim::PtyPairServer pair;
  pair.Start(sim::PtyPairServer::Kind::kModemPair, options);

  TMdmLnk caller;
  TMdmLnk callee;
  EventLog callerEvents;
  EventLog calleeEvents;
  QByteArray toCaller;
  QByteArray toCallee;
  const auto collect = [](QByteArray* into) {
    return [into](QObject*, const std::uint8_t* b, std::uint16_t n) {
      into->append(reinterpret_cast<const char*>(b), n);
    };
  };
  for (TMdmLnk* link : {&caller, &callee}) {
    link->SetCommName(QString::fromStdString(pair.Path(link == &caller ? 0 : 1)));
    link->SetBaudRate(tbr9600);
    link->SetIsModem(true);
  }
  callerEvents.Attach(caller);
  calleeEvents.Attach(callee);
  caller.OnReceiveNewData = collect(&toCaller);
  callee.OnReceiveNewData = collect(&toCallee);
  callee.SetWaitForCall(true);
  callee.SetRingCount(3);
  caller.SetPhoneNumber("5551234");

  caller.Activate(true);
  callee.Activate(true);
  caller.ModemCommand("INITIAL");
  callee.ModemCommand("INITIAL");
  ASSERT_TRUE(WaitEvents(
      [&] { return callerEvents.Count("Finished") == 1 && calleeEvents.Count("Finished") == 1; }));
  caller.ModemCommand("DIALING");
  ASSERT_TRUE(WaitEvents([&] {
    return callerEvents.Count("Connection") == 1 && calleeEvents.Count("AnswerOK") == 1;
  }));
  EXPECT_EQ(calleeEvents.Count("Ring"), 3);
  EXPECT_EQ(calleeEvents.Count("Connection"), 0);
  EXPECT_EQ(callerEvents.Count("AnswerOK"), 0);

  // One way, then the other: a send drops what its own side read before it (a reply cannot
  // precede its request), so the callee answers only once the caller's bytes have reached it.
  EXPECT_EQ(caller.SendBytes(reinterpret_cast<const std::uint8_t*>("from the caller"), 15),
            LinkSend::Taken);
  EXPECT_TRUE(WaitEvents([&] { return toCallee.size() >= 15; }));
  EXPECT_EQ(callee.SendBytes(reinterpret_cast<const std::uint8_t*>("from the callee"), 15),
            LinkSend::Taken);
  EXPECT_TRUE(WaitEvents([&] { return toCaller.size() >= 15; }));
  EXPECT_EQ(toCallee, "from the caller");
  EXPECT_EQ(toCaller, "from the callee");

  caller.ModemCommand("HANGUP");
  EXPECT_TRUE(WaitEvents([&] {
    return callerEvents.Count("Finished") == 3 && calleeEvents.Count("NoCarrier") >= 1 &&
           callee.LinkState() == 0 && !callee.ModemConnected();
  }));
  caller.Activate(false);
  callee.Activate(false);
}

}  // namespace
}  // namespace xv4
