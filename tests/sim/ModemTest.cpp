// The emulated modems as a tool meets them: through the pseudo-terminals, byte for byte.
#include "sim/PtyPairServer.h"
#include "sim/SerialServer.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace xv4::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;
using test::Clock;
using test::MakeRecord;
using test::PtyClient;

// Short emulator times, so that the tests run fast; every wait below is bounded by kPatience.
constexpr milliseconds kDelay{20};
constexpr milliseconds kGuard{100};
// How long a test listens to be sure that nothing comes.
constexpr milliseconds kQuiet{300};

ModemOptions FastModem() {
  ModemOptions m;
  m.delay = kDelay;
  m.guardTime = kGuard;
  m.ringInterval = milliseconds(50);
  return m;
}

std::string Text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

void Send(PtyClient& c, const std::string& text) {
  c.Write(Bytes(text.begin(), text.end()));
}

// Reads until `text` has arrived; returns everything read (less when the wait ran out).
std::string ReadUntil(PtyClient& c, const std::string& text, milliseconds wait = test::kPatience) {
  std::string got;
  const auto deadline = Clock::now() + wait;
  while (got.find(text) == std::string::npos) {
    const Bytes b = c.Read(1, milliseconds(test::RemainingMs(deadline)));
    if (b.empty())
      break;
    got += Text(b);
  }
  return got;
}

// A command line as the link writes it (CR LF), and the modem's exact answer: the echo of every
// byte, the result code between CR LF pairs, and the echo of the LF after it.
void ExpectCommand(PtyClient& c, const std::string& command, const std::string& answer = "OK") {
  Send(c, command + "\r\n");
  const std::string expected = command + "\r\r\n" + answer + "\r\n\n";
  EXPECT_EQ(ReadUntil(c, expected), expected);
}

Bytes Frame(const Record& r) {
  Bytes b = test::FrameOf(r);
  b.push_back(kFrameTrailer);
  return b;
}

// Collects the traffic lines; a test can wait for one.
class TrafficLines {
 public:
  TrafficLog Sink() {
    return [this](const std::string& line) {
      {
        std::lock_guard lock(mutex_);
        text_ += line + "\n";
      }
      changed_.notify_all();
    };
  }
  std::string Text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  bool WaitFor(const std::string& part) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, test::kPatience,
                             [&] { return text_.find(part) != std::string::npos; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
};

class ModemTest : public ::testing::Test {
 protected:
  void StartWith(const ModemOptions& modem) {
    SerialOptions options;
    options.modem = modem;
    server.SetTrafficLog(lines.Sink());
    server.StartPty(options);
    client = std::make_unique<PtyClient>(server.Path(), B115200);
  }

  TrafficLines lines;
  PrinterEngine engine;
  SerialServer server{engine};
  std::unique_ptr<PtyClient> client;
};

TEST_F(ModemTest, InitialiseDialExchangeEscapeAndHangUpAsTheLinkDoes) {
  StartWith(FastModem());
  PtyClient& c = *client;
  // The link's initialisation: soft reset, settings, escape, hang-up.
  ExpectCommand(c, "AT&F");
  ExpectCommand(c, "ATV1E1M1&S&C1");
  ExpectCommand(c, "+++AT");
  ExpectCommand(c, "ATH0");
  ExpectCommand(c, "ATZ0");
  ExpectCommand(c, "AT&V",
                "ACTIVE PROFILE:\r\nE1 L1 M1 Q0 V1 X4 &C1 &D2 &K3 &S0\r\n"
                "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:050 S08:002 "
                "S10:014 S12:005\r\n\r\nOK");
  ExpectCommand(c, "ATQ7", "ERROR");
  // A line without end is cut, answered ERROR at its CR, and the modem takes the next one.
  const std::string endless = "AT" + std::string(5000, '1');
  Send(c, endless);
  EXPECT_EQ(Text(c.Read(endless.size())), endless);
  ExpectCommand(c, "", "ERROR");
  ExpectCommand(c, "AT");
  // A frame in command state is only echoed: the printer is not on the line yet.
  const Bytes handshake = Frame(MakeRecord(14, 1));
  c.Write(handshake);
  EXPECT_EQ(c.Read(handshake.size()), handshake);
  EXPECT_EQ(engine.Stats().requests, 0);

  // The dial's CR LF: the LF does not abandon the call.
  Send(c, "ATDT555-1234\r\n");
  const std::string connect = "ATDT555-1234\r\r\nCONNECT 115200\r\n";
  EXPECT_EQ(ReadUntil(c, connect), connect);
  c.Write(handshake);
  EXPECT_EQ(c.Read(1), Bytes{AckByte});
  c.Write(Frame(MakeRecord(14, 16)));
  ASSERT_TRUE(c.ReadReplyRecord());
  // The link's escape right after its last exchange, then the hang-up.
  Send(c, "+++AT\r\n");
  EXPECT_EQ(ReadUntil(c, "\r\nOK\r\n\n"), "\r\nOK\r\n\n");
  // Back online; the LF of the command's line end is not data.
  Send(c, "ATO\r\n");
  EXPECT_EQ(ReadUntil(c, "CONNECT 115200\r\n"), "ATO\r\r\nCONNECT 115200\r\n");
  // A bare +++ counts after a guard time of silence before and after it.
  std::this_thread::sleep_for(kGuard * 2);
  Send(c, "+++");
  EXPECT_EQ(ReadUntil(c, "\r\nOK\r\n"), "\r\nOK\r\n");
  ExpectCommand(c, "ATH0");
  EXPECT_EQ(engine.Stats().requests, 2);
  EXPECT_EQ(server.Stats().badChecksum, 0u);

  const std::string log = lines.Text();
  for (const char* line : {"modem \"AT&F\" -> OK\n", "modem \"ATDT555-1234\" -> dialing 5551234\n",
                           "modem -> CONNECT 115200\n", "modem escape \"+++AT\" -> OK\n",
                           "modem escape +++ after the guard time -> OK\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}

TEST(ModemDial, EachOutcomeGivesItsAnswer) {
  const std::pair<DialOutcome, const char*> cases[] = {
      {DialOutcome::kBusy, "BUSY"},
      {DialOutcome::kNoAnswer, "NO ANSWER"},
      {DialOutcome::kNoDialtone, "NO DIALTONE"},
      {DialOutcome::kNoCarrier, "NO CARRIER"},
      {DialOutcome::kSilent, nullptr},
  };
  for (const auto& [outcome, word] : cases) {
    PrinterEngine engine;
    SerialServer server(engine);
    SerialOptions options;
    options.modem = FastModem();
    options.modem->dial = outcome;
    server.StartPty(options);
    PtyClient c(server.Path());
    if (word) {
      Send(c, "ATDT5551234\r\n");
      const std::string expected = std::string("ATDT5551234\r\r\n") + word + "\r\n";
      EXPECT_EQ(ReadUntil(c, expected), expected);
    } else {
      // Never answered; the link's ATH0 after its time-out abandons the dial and is taken as a
      // command.
      Send(c, "ATDT5551234\r\n");
      EXPECT_EQ(Text(c.Read(64, kQuiet)), "ATDT5551234\r");
    }
    ExpectCommand(c, "ATH0");
  }
}

TEST_F(ModemTest, CarrierDropsAfterTheRecordsAndClosingThePortHangsUp) {
  ModemOptions modem = FastModem();
  modem.dropAfter = 2;
  StartWith(modem);
  Send(*client, "ATDT1\r\n");
  EXPECT_EQ(ReadUntil(*client, "CONNECT 115200\r\n"), "ATDT1\r\r\nCONNECT 115200\r\n");
  const Bytes handshake = Frame(MakeRecord(14, 1));
  client->Write(handshake);
  EXPECT_EQ(client->Read(1), Bytes{AckByte});
  client->Write(Frame(MakeRecord(63, 124)));
  // The second record's answer still arrives, then the carrier is gone.
  const std::string dropped = std::string(1, static_cast<char>(AckByte)) + "\r\nNO CARRIER\r\n";
  EXPECT_EQ(ReadUntil(*client, dropped), dropped);
  client->Write(handshake);
  EXPECT_EQ(client->Read(handshake.size()), handshake) << "echoed in command state";
  EXPECT_EQ(engine.Stats().requests, 2);

  // The tool closes its port in the middle of a call, with answers unread, and opens it again:
  // an idle modem in command state with the stored profile (echo on), nothing left over.
  Send(*client, "ATE0\r\n");
  EXPECT_EQ(ReadUntil(*client, "OK\r\n"), "ATE0\r\r\nOK\r\n");
  Send(*client, "ATDT2\r\n");
  EXPECT_EQ(ReadUntil(*client, "CONNECT 115200\r\n"), "\r\nCONNECT 115200\r\n");
  client->Write(handshake);
  ASSERT_TRUE(engine.WaitForRequests(3, test::kPatience));
  client.reset();
  ASSERT_TRUE(lines.WaitFor("modem terminal closed: on hook, call ended\n"));
  PtyClient again(server.Path());
  EXPECT_EQ(Text(again.Read(1, kQuiet)), "");
  ExpectCommand(again, "AT");
  Send(again, "ATDT3\r\n");
  EXPECT_EQ(ReadUntil(again, "CONNECT 9600\r\n"), "ATDT3\r\r\nCONNECT 9600\r\n")
      << "the speed of the port as opened";
}

TEST(ModemPair, DialRingAnswerTalkBothWaysAndHangUp) {
  {
    // Nobody answers: RING on B at each interval, then NO ANSWER on A.
    PtyPairServer pair;
    ModemOptions options = FastModem();
    options.ringLimit = 2;
    pair.Start(PtyPairServer::Kind::kModemPair, options);
    PtyClient a(pair.Path(0));
    PtyClient b(pair.Path(1));
    Send(a, "ATDT5551234\r\n");
    EXPECT_EQ(ReadUntil(a, "NO ANSWER\r\n"), "ATDT5551234\r\r\nNO ANSWER\r\n");
    EXPECT_EQ(Text(b.Read(64, kQuiet)), "\r\nRING\r\n\r\nRING\r\n");
  }

  TrafficLines lines;  // outlives the server's worker
  PtyPairServer pair;
  pair.SetTrafficLog(lines.Sink());
  ModemOptions options = FastModem();
  options.ringInterval = milliseconds(500);
  options.ringLimit = 20;
  pair.Start(PtyPairServer::Kind::kModemPair, options);
  PtyClient a(pair.Path(0), B115200);
  auto bClient = std::make_unique<PtyClient>(pair.Path(1), B57600);
  PtyClient& b = *bClient;
  ExpectCommand(a, "AT&F");
  Send(a, "ATDT5551234\r\n");
  EXPECT_EQ(ReadUntil(b, "\r\nRING\r\n"), "\r\nRING\r\n");
  Send(b, "ATA\r\n");
  // Each side reports the speed its own tool set (the line is not paced).
  const std::string bConnect = "ATA\r\r\nCONNECT 57600\r\n";
  const std::string bRead = ReadUntil(b, bConnect);
  EXPECT_EQ(bRead.substr(bRead.size() - std::min(bRead.size(), bConnect.size())), bConnect)
      << "after any further RINGs";
  EXPECT_EQ(ReadUntil(a, "CONNECT 115200\r\n"), "ATDT5551234\r\r\nCONNECT 115200\r\n");

  Bytes data(3000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i % 251);
  a.Write(data);
  EXPECT_EQ(b.Read(data.size()), data);
  Send(b, "from B\r\n");
  EXPECT_EQ(Text(a.Read(8)), "from B\r\n");

  // A escapes and hangs up; the escape line travels to B before its carrier goes.
  Send(a, "+++AT\r\n");
  EXPECT_EQ(ReadUntil(a, "\r\nOK\r\n\n"), "\r\nOK\r\n\n");
  ExpectCommand(a, "ATH0");
  EXPECT_EQ(ReadUntil(b, "NO CARRIER\r\n"), "+++AT\r\r\nNO CARRIER\r\n");
  ExpectCommand(b, "AT");

  // This time B calls A and A answers; then B's tool closes its port: NO CARRIER on A.
  Send(b, "ATDT1\r\n");
  EXPECT_EQ(ReadUntil(a, "\r\nRING\r\n"), "\r\nRING\r\n");
  Send(a, "ATA\r\n");
  EXPECT_NE(ReadUntil(a, "CONNECT 115200\r\n").find("ATA\r\r\nCONNECT 115200\r\n"),
            std::string::npos);
  EXPECT_NE(ReadUntil(b, "CONNECT 57600\r\n").find("CONNECT 57600\r\n"), std::string::npos);
  b.Write({0x41});
  EXPECT_EQ(a.Read(1), Bytes{0x41});
  bClient.reset();
  EXPECT_EQ(ReadUntil(a, "NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(lines.WaitFor("modem B terminal closed: on hook, call ended\n")) << lines.Text();
}

TEST(NullModem, JoinsTwoTerminalsAtTheLineSpeed) {
  PtyPairServer pair;
  ModemOptions options;
  options.lineBps = 115200;
  pair.Start(PtyPairServer::Kind::kNullModem, options);
  PtyClient a(pair.Path(0));
  // Bytes wait for the other side to be opened.
  Send(a, "early");
  PtyClient b(pair.Path(1));
  EXPECT_EQ(Text(b.Read(5)), "early");
  Bytes data(2304);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(255 - i % 256);
  const auto sent = Clock::now();
  a.Write(data);
  EXPECT_EQ(b.Read(data.size()), data);
  // 2304 bytes at 11,520 bytes/s are 200 ms on the line.
  EXPECT_GE(Clock::now() - sent, milliseconds(190));
  Send(b, "back");
  EXPECT_EQ(Text(a.Read(4)), "back");
}

}  // namespace
}  // namespace xv4::sim
