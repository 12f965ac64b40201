// The device session over UDP, against a scripted printer on 127.0.0.1.
#include "protocol/ValdMBus.h"

#include "platform/EventLoop.h"
#include "platform/MessageBox.h"
#include "platform/Time.h"
#include "tests/support/CpuTime.h"
#include "tests/support/FakeSerialLink.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <set>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::Answer;
using test::Bytes;
using test::PeerReply;
using test::UdpPeer;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes Zeros(size_t n) {
  return Bytes(n, 0);
}

Bytes DataOf(const TValdMBusComm& s) {
  return Bytes(s.DataBlock.begin(), s.DataBlock.end());
}

Bytes DataOfRecord(const Bytes& record) {
  return Bytes(record.begin() + 3, record.begin() + 259);
}

class NetworkSession : public ::testing::Test {
 protected:
  NetworkSession() {
    auto link = std::make_unique<test::FakeSerialLink>();
    session_ = std::make_unique<TValdMBusComm>(nullptr, std::move(link), 0);
    test::GuardLoopback(session_->Endpoint());
    session_->Clock = test::FixedMoment;
    session_->SetMode(tmTCPIP);
    session_->SetRetryCount(3);
    session_->SetRetryInterval(100);
    session_->SetRemoteHost(QStringLiteral("127.0.0.1"));
    session_->MachineNo = static_cast<std::int32_t>(AddressToNumber("127.0.0.1", true));
  }

  void StartPeer(UdpPeer::Script script) {
    peer_ = std::make_unique<UdpPeer>(std::move(script));
    session_->SetRemotePort(peer_->Port());
  }

  // The data bytes of the datagrams the printer received.
  std::vector<Bytes> Requests() const {
    std::vector<Bytes> all;
    for (const auto& d : peer_->Received())
      all.push_back(d.bytes);
    return all;
  }

  test::TempAppDir dir_;
  std::unique_ptr<TValdMBusComm> session_;
  std::unique_ptr<UdpPeer> peer_;
};

TEST_F(NetworkSession, WriteRetryBudget) {
  using Script = UdpPeer::Script;
  const Script ack = [](int, const Bytes&) { return Answer(test::AckBytes()); };
  const Script nak = [](int, const Bytes&) { return Answer(test::NakBytes()); };
  const Script silent = [](int, const Bytes&) { return std::vector<PeerReply>{}; };
  const auto ackFrom = [](int first) -> Script {
    return [first](int i, const Bytes&) {
      return i >= first ? Answer(test::AckBytes()) : Answer(test::NakBytes());
    };
  };
  struct Case {
    const char* name;
    int retryCount;
    Script script;
    bool result;
    int sends;
  };
  const Case cases[] = {
      {"ack", 3, ack, true, 1},
      {"nak then ack", 3, ackFrom(1), true, 2},
      {"refused every time", 2, nak, false, 3},
      {"silent", 2, silent, false, 3},
      {"no retries, acknowledged", 0, ack, true, 1},
      {"no retries, refused", 0, nak, false, 1},
      {"acknowledged on the last send of the budget", 2, ackFrom(2), true, 3},
      {"ack among line noise", 3,
       [](int, const Bytes&) {
         return Answer({0x11, 0x7F, 0x02, 0x55});
       },
       true, 1},
      {"nak before ack in one datagram", 0,
       [](int, const Bytes&) {
         return Answer({0x00, 0x55, 0x02});
       },
       false, 1},
  };
  for (const Case& c : cases) {
    StartPeer(c.script);
    session_->SetRetryCount(c.retryCount);
    session_->SetRetryInterval(60);
    EXPECT_EQ(session_->WriteRecord(63, 124), c.result) << c.name;
    EXPECT_EQ(peer_->ReceivedCount(), c.sends) << c.name;
    EXPECT_EQ(session_->Failed(), !c.result) << c.name;
  }
}

TEST_F(NetworkSession, SilentPrinterIsAskedAgainEveryRetryInterval) {
  StartPeer({});
  session_->SetRetryCount(2);
  session_->SetRetryInterval(150);
  const std::uint32_t start = platform::GetTickCount();
  EXPECT_FALSE(session_->WriteRecord(63, 124));
  const std::uint32_t elapsed = platform::GetTickCount() - start;
  const auto received = peer_->Received();
  ASSERT_EQ(received.size(), 3u);
  for (size_t i = 1; i < received.size(); ++i) {
    const std::uint32_t gap = received[i].tick - received[i - 1].tick;
    EXPECT_GE(gap, 140u) << i;
    EXPECT_LT(gap, 2000u) << i;
  }
  EXPECT_GE(elapsed, 445u);
}

TEST_F(NetworkSession, AbortDuringAWaitEndsTheExchangeAtOnce) {
  StartPeer({});
  session_->SetRetryCount(5);
  session_->SetRetryInterval(5000);
  QTimer::singleShot(50, [this] { session_->Abort(); });
  const std::uint32_t start = platform::GetTickCount();
  EXPECT_FALSE(session_->WriteRecord(63, 124));
  EXPECT_LT(platform::GetTickCount() - start, 4000u);
  EXPECT_EQ(peer_->ReceivedCount(), 1);
  EXPECT_TRUE(session_->Failed());
}

TEST_F(NetworkSession, AbortOutsideAWaitIsClearedByTheNextWait) {
  StartPeer([](int, const Bytes&) { return Answer(test::AckBytes()); });
  session_->Abort();
  EXPECT_TRUE(session_->WriteRecord(63, 124));
  EXPECT_EQ(peer_->ReceivedCount(), 1);
}

TEST_F(NetworkSession, ReadRecordAssemblesTheReplyIntoDataBlock) {
  struct Case {
    const char* name;
    UdpPeer::Script script;
  };
  const auto reply = [](const Bytes& request) { return test::ReplyRecord(request, 0x40); };
  const Case cases[] = {
      {"one datagram", [=](int, const Bytes& r) { return Answer(reply(r)); }},
      {"split 100 + 159",
       [=](int, const Bytes& r) {
         const Bytes whole = reply(r);
         return std::vector<PeerReply>{{Bytes(whole.begin(), whole.begin() + 100), 0},
                                       {Bytes(whole.begin() + 100, whole.end()), 5}};
       }},
      {"wrong command first, then the reply",
       [=](int, const Bytes& r) {
         Bytes wrong = test::ReplyRecord(r, 0x99);
         wrong[0] ^= 0x01;
         return std::vector<PeerReply>{{wrong, 0}, {reply(r), 5}};
       }},
      {"an acknowledgement is no reply record",
       [=](int, const Bytes& r) {
         return std::vector<PeerReply>{{test::AckBytes(), 0}, {reply(r), 5}};
       }},
      {"trailing bytes after the record are dropped",
       [=](int, const Bytes& r) {
         return Answer(Concat({reply(r), Bytes(40, 0xEE)}));
       }},
  };
  for (const Case& c : cases) {
    StartPeer(c.script);
    session_->DataBlock.fill(0);
    session_->DataBlock[0] = 0x77;
    EXPECT_TRUE(session_->ReadRecord(14, 16)) << c.name;
    EXPECT_EQ(peer_->ReceivedCount(), 1) << c.name;
    const Bytes request = peer_->Received()[0].bytes;
    EXPECT_EQ(request, Concat({{14, 16, 0, 0x77}, Zeros(255)})) << c.name;
    EXPECT_EQ(DataOf(*session_), DataOfRecord(reply(request))) << c.name;
  }
}

TEST_F(NetworkSession, ReplyWithTheWrongHeaderIsNeverTakenAndTheReadIsRepeated) {
  StartPeer([](int, const Bytes& r) {
    Bytes wrong = test::ReplyRecord(r, 1);
    wrong[2] = 0x01;  // word high byte differs
    return Answer(wrong);
  });
  session_->SetRetryCount(1);
  session_->SetRetryInterval(60);
  EXPECT_FALSE(session_->ReadRecord(14, 16));
  EXPECT_EQ(peer_->ReceivedCount(), 2);
  EXPECT_TRUE(session_->Failed());
}

TEST_F(NetworkSession, ReadWithoutRetriesTakesItsOnlyReply) {
  StartPeer([](int, const Bytes& r) { return Answer(test::ReplyRecord(r, 3)); });
  session_->SetRetryCount(0);
  EXPECT_TRUE(session_->ReadRecord(63, 121));
  EXPECT_EQ(peer_->ReceivedCount(), 1);
}

TEST_F(NetworkSession, ConnectSendsTheHandshakeByteExactThenReadsTheModel) {
  StartPeer([](int i, const Bytes& r) {
    return i == 0 ? Answer(test::AckBytes()) : Answer(test::ReplyRecord(r, 0x21));
  });
  session_->SetRemoteHost(QStringLiteral("0.0.0.0"));  // the handshake replaces it
  ASSERT_TRUE(session_->Connect(session_->MachineNo, 0, true));
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  // 127.0.0.1 is 2130706433: its last eight digits in BCD, least significant pair first.
  EXPECT_EQ(requests[0], Concat({{0x0E, 0x01, 0x00, 0x33, 0x64, 0x70, 0x30, 0x26, 0x12, 0x06, 0x21,
                                  0x40, 0x32, 0x00, 0x01},
                                 Zeros(244)}));
  EXPECT_EQ(requests[1], Concat({{0x0E, 0x10, 0x00, 0x00, 0x00, 0x10}, Zeros(253)}));
  EXPECT_EQ(DataOf(*session_), DataOfRecord(test::ReplyRecord(requests[1], 0x21)));
  EXPECT_EQ(session_->Endpoint().RemoteHost(), QStringLiteral("127.0.0.1"));
}

TEST_F(NetworkSession, ConnectFailsWhenEitherStepFails) {
  struct Case {
    const char* name;
    UdpPeer::Script script;
    bool readModel;
    bool result;
    int sends;
  };
  const Case cases[] = {
      {"handshake refused", [](int, const Bytes&) { return Answer(test::NakBytes()); }, true, false,
       1},
      {"model never answered", [](int, const Bytes&) { return Answer(test::AckBytes()); }, true,
       false, 2},
      {"model not wanted", [](int, const Bytes&) { return Answer(test::AckBytes()); }, false, true,
       1},
  };
  for (const Case& c : cases) {
    StartPeer(c.script);
    session_->SetRetryCount(0);
    session_->SetRetryInterval(60);
    EXPECT_EQ(session_->Connect(session_->MachineNo, 0, c.readModel), c.result) << c.name;
    EXPECT_EQ(peer_->ReceivedCount(), c.sends) << c.name;
  }
}

TEST_F(NetworkSession, HandshakeGoesToTheAddressInTheMachineNumber) {
  struct Case {
    const char* address;
    std::uint32_t number;
    std::uint8_t argument;
    Bytes head;  // first 15 bytes; the rest are zeros
  };
  const Case cases[] = {
      {"192.168.1.7",
       0xC0A80107,
       0,
       {0x0E, 0x01, 0x00, 0xED, 0xEB, 0x8D, 0x9E, 0x26, 0x12, 0x06, 0x21, 0x40, 0x32, 0x00, 0x01}},
      {"10.0.0.1",
       0x0A000001,
       1,
       {0x0E, 0x01, 0x00, 0x61, 0x21, 0x77, 0x67, 0x26, 0x12, 0x06, 0x21, 0x40, 0x32, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    // Captured, never sent: these addresses are not on this machine.
    std::vector<test::CapturedDatagram> captured;
    test::CaptureDatagrams(session_->Endpoint(), captured);
    session_->SetRemoteHost(QStringLiteral("127.0.0.1"));
    session_->SetRemotePort(5001);
    session_->SetRetryCount(0);
    session_->SetRetryInterval(10);
    const auto number = static_cast<std::int32_t>(AddressToNumber(c.address, true));
    ASSERT_EQ(static_cast<std::uint32_t>(number), c.number);
    EXPECT_FALSE(session_->Handshake(number, c.argument));
    // Later writes keep going to the printer the handshake addressed.
    EXPECT_FALSE(session_->WriteRecord(63, 124));
    ASSERT_EQ(captured.size(), 2u) << c.address;
    EXPECT_EQ(captured[0].address, c.number) << c.address;
    EXPECT_EQ(captured[0].port, 5001) << c.address;
    EXPECT_EQ(captured[0].bytes, Concat({c.head, Zeros(244)})) << c.address;
    EXPECT_EQ(captured[1].address, c.number) << c.address;
  }
}

TEST_F(NetworkSession, HandshakeForAddressZeroRaisesNullRemoteAddress) {
  std::vector<test::CapturedDatagram> captured;
  test::CaptureDatagrams(session_->Endpoint(), captured);
  try {
    session_->Handshake(0, 0);
    FAIL() << "no exception";
  } catch (const UDPSockError& e) {
    EXPECT_STREQ(e.what(), "Null Remote Address");
  }
  EXPECT_TRUE(captured.empty());
}

TEST_F(NetworkSession, ReadDeviceInfoAsksTheMachineNumbersAddressWithACleanRequest) {
  StartPeer([](int, const Bytes& r) { return Answer(test::ReplyRecord(r, 0x80)); });
  session_->SetRemoteHost(QStringLiteral("0.0.0.0"));
  session_->DataBlock.fill(0xAB);
  EXPECT_TRUE(session_->ReadDeviceInfo(session_->MachineNo));
  ASSERT_EQ(peer_->ReceivedCount(), 1);
  EXPECT_EQ(Requests()[0], Concat({{0x0E, 0x10, 0x00}, Zeros(256)}));
  EXPECT_EQ(DataOf(*session_), DataOfRecord(test::ReplyRecord(Requests()[0], 0x80)));
}

TEST_F(NetworkSession, EndSessionIsAWriteWithTheFullBudget) {
  StartPeer([](int i, const Bytes&) {
    return i < 2 ? std::vector<PeerReply>{} : Answer(test::AckBytes());
  });
  session_->SetRetryInterval(60);
  EXPECT_TRUE(session_->EndSession(session_->MachineNo, 7));
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], Concat({{0x0E, 0x02, 0x00, 0x33, 0x64, 0x70, 0x30, 0x07}, Zeros(251)}));

  StartPeer({});
  session_->SetRetryCount(1);
  EXPECT_FALSE(session_->EndSession(session_->MachineNo, 0));
  EXPECT_EQ(peer_->ReceivedCount(), 2);
}

TEST_F(NetworkSession, SendRawRefusesMoreThanItsBufferAndSendsNothing) {
  StartPeer({});
  int transmitted = 0;
  session_->Endpoint().BeforeTransmit = [&](std::uint32_t address, std::uint16_t,
                                            const std::uint8_t*, int) {
    ++transmitted;
    return address == test::kLoopbackAddress;
  };
  Bytes big(400, 0x5A);
  try {
    session_->SendRaw(big.data(), 314);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid buffer");
  }
  EXPECT_EQ(transmitted, 0);
  session_->SendRaw(big.data(), 313);
  EXPECT_EQ(transmitted, 1);
  EXPECT_TRUE(test::WaitFor([&] { return peer_->ReceivedCount() == 1; }));
  ASSERT_EQ(peer_->ReceivedCount(), 1);
  EXPECT_EQ(Requests()[0], Bytes(313, 0x5A));
}

TEST_F(NetworkSession, WaitWithoutAReplyTimesOutAsleep) {
  StartPeer({});
  const std::uint32_t start = platform::GetTickCount();
  const double cpu =
      test::CpuMsDuring([&] { EXPECT_EQ(session_->WaitReply(500), TValdMBusComm::WaitTimedOut); });
  const std::uint32_t elapsed = platform::GetTickCount() - start;
  EXPECT_GE(elapsed, 495u);
  EXPECT_LT(cpu, test::SpinLimitMs(500)) << "a 500 ms wait used " << cpu << " ms of CPU";
}

TEST_F(NetworkSession, TrafficLogRecordsEverySendReceiptAndRetry) {
  StartPeer([](int i, const Bytes&) {
    return i == 0 ? Answer(test::NakBytes()) : Answer(test::AckBytes());
  });
  session_->SetActive(true);
  session_->LogTraffic = true;
  EXPECT_TRUE(session_->WriteRecord(63, 124));
  session_->SetActive(false);
  EXPECT_TRUE(session_->TrafficLog.isEmpty());

  const QString zeros16 = QStringLiteral("00 ").repeated(16);
  QStringList sent = {QStringLiteral(">>>>>>Send data<<<<<<<<"),
                      QStringLiteral("3F 7C 00 ") + QStringLiteral("00 ").repeated(13)};
  for (int i = 0; i < 15; ++i)
    sent << zeros16;
  sent << QStringLiteral("00 00 00 ") << QString();
  QStringList expected = sent;
  expected << QStringLiteral(">>>>>>Receive data<<<<<<<<") << QStringLiteral("55 ") << QString()
           << QString() << QStringLiteral("Retry:1");
  expected << sent;
  expected << QStringLiteral(">>>>>>Receive data<<<<<<<<") << QStringLiteral("02 ") << QString();
  const QByteArray content = dir_.Read(QStringLiteral("LOG/2026-12-06@21-40-32.LOG"));
  EXPECT_EQ(content, (expected.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLatin1());
}

TEST_F(NetworkSession, TrafficLogOfAReadHoldsTheWholeReplyRecord) {
  StartPeer([](int, const Bytes& r) { return Answer(test::ReplyRecord(r, 0xF0)); });
  session_->LogTraffic = true;
  EXPECT_TRUE(session_->ReadRecord(14, 16));
  const int receipt =
      static_cast<int>(session_->TrafficLog.indexOf(QStringLiteral(">>>>>>Receive data<<<<<<<<")));
  ASSERT_GE(receipt, 0);
  ASSERT_EQ(session_->TrafficLog.size(), receipt + 19);
  EXPECT_EQ(session_->TrafficLog[receipt + 1],
            QStringLiteral("0E 10 00 F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC "));
  EXPECT_EQ(session_->TrafficLog[receipt + 17], QStringLiteral("ED EE EF "));
  EXPECT_EQ(session_->TrafficLog[receipt + 18], QString());
}

TEST_F(NetworkSession, ClosingWithAnEmptyTrafficLogWritesNothing) {
  session_->SetActive(true);
  session_->LogTraffic = true;
  session_->SetActive(false);
  EXPECT_FALSE(QFileInfo::exists(dir_.File(QStringLiteral("LOG"))));
  EXPECT_FALSE(session_->isActive());
}

// The session's UDP ports. A local port that another program holds is reported when the session
// opens, and forgotten once the port is free again; a printer port outside 1..65535 is refused
// instead of being cut to 16 bits.
TEST_F(NetworkSession, UdpPortsInUseOrOutOfRangeAreRefused) {
  QStringList shown;
  platform::SetMessageBoxHandler(
      [&](platform::MessageKind, const QString& text) { shown << text; });
  struct Restore {
    ~Restore() { platform::SetMessageBoxHandler({}); }
  } restore;
  auto holder = std::make_unique<TUdpEndpoint>();
  holder->SetLocalPort(0);
  const int port = holder->BoundPort();
  TValdMBusComm second(nullptr, std::make_unique<test::FakeSerialLink>(), port);
  second.SetMode(tmTCPIP);
  EXPECT_THROW(second.SetActive(true), UDPSockError);
  EXPECT_EQ(
      shown,
      QStringList{QStringLiteral("UDP port %1 is in use (is another xv4tool or xv4ctl running?)")
                      .arg(port)});
  holder.reset();
  second.SetActive(true);
  EXPECT_EQ(second.Endpoint().BoundPort(), port);
  second.SetActive(false);

  for (int wrong : {0, -1, 65536, 70000})
    EXPECT_THROW(session_->SetRemotePort(wrong), std::out_of_range) << wrong;
  EXPECT_EQ(session_->RemotePort(), 5001);
  EXPECT_EQ(session_->Endpoint().RemotePort(), 5001);
  session_->SetRemotePort(65535);
  EXPECT_EQ(session_->Endpoint().RemotePort(), 65535);
}

// The acknowledgement carries no record number. What reached the session before a record left,
// and a reply record whatever its data holds, must never count as that record's acknowledgement.
TEST_F(NetworkSession, StaleAnswersNeverAcknowledgeALaterRecord) {
  StartPeer([](int i, const Bytes& request) {
    if (i == 0)
      return Answer(test::AckBytes());
    if (request[1] == 12) {
      Bytes record(kRecordSize, AckByte);  // a late reply record, say, full of 0x02 and 0x55
      record[7] = NakByte;
      return Answer(record);
    }
    return std::vector<PeerReply>{};
  });
  session_->SetRetryCount(1);
  ASSERT_TRUE(session_->WriteRecord(63, 10));
  // A second acknowledgement of record 10 is already waiting when record 11 leaves; the printer
  // never answers record 11.
  test::LoopbackSocket printer;
  printer.SendTo(static_cast<std::uint16_t>(session_->Endpoint().BoundPort()), test::AckBytes());
  EXPECT_FALSE(session_->WriteRecord(63, 11));
  EXPECT_FALSE(session_->WriteRecord(63, 12));
  EXPECT_EQ(peer_->ReceivedCount(), 5);
}

// Printers slower than the retry interval on a path that loses requests. Every record goes out
// at least twice, and the answer to its last send comes after an earlier answer has been taken;
// taken for the next record, it would hide that record's lost request. A download either fails
// or every record reached the printer.
TEST_F(NetworkSession, LateAnswersOnALossyPathNeverHideALostRecord) {
  constexpr int kRecords = 6;
  constexpr int kLostEvery = 5;
  struct Printer {
    const char* name;
    int firstMs;   // answer to the first send of a record
    int repeatMs;  // answer to a repeat
  };
  const Printer printers[] = {
      {"answers a repeat sooner", 350, 270},
      {"answers a repeat later", 300, 380},
  };
  for (const Printer& printer : printers) {
    StartPeer([printer, last = -1](int i, const Bytes& request) mutable {
      const int word = request[1] | request[2] << 8;
      const bool repeat = word == last;
      last = word;
      if (i % kLostEvery == kLostEvery - 1)
        return std::vector<PeerReply>{};  // lost on the way: the printer never saw it
      return Answer(test::AckBytes(), repeat ? printer.repeatMs : printer.firstMs);
    });
    session_->SetRetryInterval(250);
    session_->SetRetryCount(3);
    bool ok = true;
    for (int word = 0; word < kRecords && ok; ++word)
      ok = session_->WriteRecord(63, static_cast<std::uint16_t>(word));

    std::set<int> taken;
    const auto received = peer_->Received();
    for (std::size_t i = 0; i < received.size(); ++i) {
      if (i % kLostEvery != kLostEvery - 1)
        taken.insert(received[i].bytes[1] | received[i].bytes[2] << 8);
    }
    ASSERT_GE(received.size(), static_cast<std::size_t>(kLostEvery)) << printer.name;
    for (int word = 0; ok && word < kRecords; ++word) {
      EXPECT_TRUE(taken.count(word))
          << printer.name << ": record " << word << " reported written, never arrived";
    }
    EXPECT_TRUE(ok) << printer.name << ": every record has a request that arrives in the budget";
  }
}

}  // namespace
}  // namespace xv4
