#include "sim/UdpServer.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <thread>

namespace xv4::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;
using test::Clock;
using test::MakeRecord;
using test::UdpClient;

// A short wait for "no answer": a late answer would make such a test pass wrongly, never fail.
constexpr milliseconds kQuiet{300};

class UdpServerTest : public ::testing::Test {
 protected:
  void StartWith(const FaultConfig& faults = {}) {
    engine.SetFaults(faults);
    server.Start("127.0.0.1", 0);
    client = std::make_unique<UdpClient>(server.Port());
  }

  PrinterEngine engine;
  UdpServer server{engine};
  std::unique_ptr<UdpClient> client;
};

TEST_F(UdpServerTest, AcknowledgesAWriteToTheSendersAddressAndPort) {
  StartWith();
  EXPECT_EQ(server.Address(), "127.0.0.1");
  EXPECT_NE(server.Port(), 0);
  client->Send(MakeRecord(63, 124));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});
  EXPECT_EQ(client->LastFromPort(), server.Port());

  UdpClient other(server.Port());
  other.Send(MakeRecord(14, 2));
  EXPECT_EQ(other.Receive(), Bytes{AckByte});
  EXPECT_FALSE(client->Receive(kQuiet)) << "the answer went to the other client only";
}

TEST_F(UdpServerTest, MachineNumberReadGetsTheInfoRecordBehindTheRequestHeader) {
  PrinterInfo info;
  info.machineNo = 87654321;  // 0x05397FB1
  info.bluetoothName = "UDP-TEST";
  engine.SetInfo(info);
  StartWith();
  Bytes data(kDataSize, 0xFF);
  data[0] = 0xF9;
  data[1] = 0x01;
  data[2] = 0x00;
  client->Send(MakeRecord(14, 16, data));
  const auto reply = client->Receive();
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), static_cast<std::size_t>(kRecordSize));
  const Bytes& r = *reply;
  EXPECT_EQ((Bytes{r[0], r[1], r[2]}), (Bytes{0x0E, 0x10, 0x00}));
  EXPECT_EQ((Bytes{r[3 + 4], r[3 + 5], r[3 + 6], r[3 + 7]}), (Bytes{0x05, 0x39, 0x7F, 0xB1}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[3 + 112])), "UDP-TEST");
  const auto captured = engine.Captured();
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].data[0], 0xF9);
}

TEST_F(UdpServerTest, IgnoresDatagramsThatAreNotWholeRecords) {
  StartWith();
  client->Send(Bytes{0x1B, 0x70, 0x00, 0x3C, 0xFF});
  client->Send(Bytes(300, 0x0E));
  client->Send(Bytes(258, 0x3F));
  client->Send(MakeRecord(63, 1));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});  // handled in order, so the others came first
  EXPECT_EQ(server.IgnoredDatagrams(), 3u);
  EXPECT_EQ(engine.Stats().requests, 1);
}

TEST_F(UdpServerTest, RefusesTheFirstWritesWhenTold) {
  FaultConfig f;
  f.nakFirst = 2;
  StartWith(f);
  for (const std::uint8_t expected : {NakByte, NakByte, AckByte, AckByte}) {
    client->Send(MakeRecord(63, 7));
    EXPECT_EQ(client->Receive(), Bytes{expected});
  }
}

TEST_F(UdpServerTest, DropsEveryKthRequest) {
  FaultConfig f;
  f.dropEvery = 2;
  StartWith(f);
  client->Send(MakeRecord(63, 0));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});
  client->Send(MakeRecord(14, 16));  // second: dropped, so no reply record comes
  client->Send(MakeRecord(63, 1));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});
  client->Send(MakeRecord(63, 2));  // fourth: dropped
  EXPECT_FALSE(client->Receive(kQuiet));
  EXPECT_EQ(engine.Stats().unanswered, 2);
}

TEST_F(UdpServerTest, GoesSilentAfterNRequests) {
  FaultConfig f;
  f.silentAfter = 2;
  StartWith(f);
  client->Send(MakeRecord(14, 1));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});
  client->Send(MakeRecord(14, 16));
  EXPECT_EQ(client->Receive()->size(), static_cast<std::size_t>(kRecordSize));
  client->Send(MakeRecord(63, 124));
  client->Send(MakeRecord(14, 16));
  ASSERT_TRUE(engine.WaitForRequests(4, test::kPatience));
  EXPECT_FALSE(client->Receive(kQuiet));
}

TEST_F(UdpServerTest, CorruptedReplyHasAWrongCommandByteThenRepliesAreGood) {
  FaultConfig f;
  f.corruptFirst = 1;
  StartWith(f);
  client->Send(MakeRecord(14, 16));
  const auto bad = client->Receive();
  client->Send(MakeRecord(14, 16));
  const auto good = client->Receive();
  ASSERT_TRUE(bad && good);
  EXPECT_NE((*bad)[0], 0x0E);
  EXPECT_EQ((*good)[0], 0x0E);
}

TEST_F(UdpServerTest, SplitReplyArrivesAsTwoDatagramsOf100And159) {
  FaultConfig f;
  f.splitAt = {100};
  StartWith(f);
  client->Send(MakeRecord(14, 16));
  const auto first = client->Receive();
  const auto second = client->Receive();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 100u);
  EXPECT_EQ(second->size(), 159u);
  Bytes whole = *first;
  whole.insert(whole.end(), second->begin(), second->end());
  EXPECT_EQ((Bytes{whole[0], whole[1], whole[2]}), (Bytes{0x0E, 0x10, 0x00}));
  const DataBytes info = engine.InfoData();
  EXPECT_TRUE(std::equal(info.begin(), info.end(), whole.begin() + 3));
}

TEST_F(UdpServerTest, DelayedReplyComesNoEarlierThanTheDelay) {
  FaultConfig f;
  f.delayMs = 200;
  StartWith(f);
  const auto sent = Clock::now();
  client->Send(MakeRecord(63, 124));
  EXPECT_EQ(client->Receive(), Bytes{AckByte});
  EXPECT_GE(Clock::now() - sent, milliseconds(200));
}

TEST_F(UdpServerTest, DelayedReplyDoesNotHoldUpOtherRequestsOrTheStop) {
  FaultConfig f;
  f.delayMs = 60'000;
  StartWith(f);
  UdpClient other(server.Port());
  client->Send(MakeRecord(63, 1));
  other.Send(MakeRecord(63, 2));
  // Both are taken at once although the first answer is a minute away.
  EXPECT_TRUE(engine.WaitForRequests(2, test::kPatience));
  const auto stopping = Clock::now();
  server.Stop();
  EXPECT_LT(Clock::now() - stopping, milliseconds(30'000));
  EXPECT_FALSE(server.Running());
  EXPECT_FALSE(client->Receive(kQuiet)) << "a stopped server sends nothing";
}

TEST(UdpServer, ListensOnLoopbackOnly) {
  PrinterEngine engine;
  for (const char* address : {"192.168.1.7", "0.0.0.0", "10.0.0.1", "not-an-address"}) {
    UdpServer server(engine);
    EXPECT_THROW(server.Start(address, 0), std::runtime_error) << address;
    EXPECT_FALSE(server.Running());
  }
  EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackAddress("127.1.2.3"));
  EXPECT_TRUE(IsLoopbackAddress("localhost"));
  EXPECT_FALSE(IsLoopbackAddress("128.0.0.1"));

  UdpServer server(engine);
  server.Start("localhost", 0);
  EXPECT_EQ(server.Address(), "127.0.0.1");
}

TEST(UdpServer, PortInUseIsReported) {
  PrinterEngine engine;
  UdpServer first(engine);
  first.Start("127.0.0.1", 0);
  UdpServer second(engine);
  EXPECT_THROW(second.Start("127.0.0.1", first.Port()), std::runtime_error);
  second.Stop();  // harmless when never started
}

// Whatever arrives, every whole record gets the answer its command calls for and everything else
// is counted and ignored; the server keeps answering throughout.
TEST_F(UdpServerTest, RandomDatagramsGetTheirAnswerOrAreIgnored) {
  StartWith();
  std::mt19937 rng(5001);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int kSizes[] = {0, 1, 2, 3, 258, 260, 301, 302, 2047, 2048, 2049, 4000};
  std::uint64_t ignored = 0;
  for (int round = 0; round < 400; ++round) {
    if (pick(3) != 0) {
      const int size = pick(4) == 0 ? pick(600) : kSizes[pick(static_cast<int>(std::size(kSizes)))];
      if (size == kRecordSize)
        continue;
      Bytes junk(static_cast<std::size_t>(size));
      for (std::uint8_t& b : junk)
        b = static_cast<std::uint8_t>(rng());
      client->Send(junk);
      ++ignored;
      const auto deadline = Clock::now() + test::kPatience;
      while (server.IgnoredDatagrams() < ignored && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
      ASSERT_EQ(server.IgnoredDatagrams(), ignored) << "round " << round << ", size " << size;
      continue;
    }
    const std::uint8_t commands[] = {14, 63, 15, static_cast<std::uint8_t>(rng())};
    const std::uint16_t words[] = {1, 2, 16, static_cast<std::uint16_t>(rng())};
    Record r{};
    for (std::uint8_t& b : r)
      b = static_cast<std::uint8_t>(rng());
    const std::uint8_t command = commands[pick(4)];
    const std::uint16_t word = words[pick(4)];
    r[0] = command;
    r[1] = static_cast<std::uint8_t>(word & 0xFF);
    r[2] = static_cast<std::uint8_t>(word >> 8);
    client->Send(r);
    const auto reply = client->Receive();
    ASSERT_TRUE(reply) << "round " << round;
    if (command == kCmdSession && word == kWordInformation) {
      ASSERT_EQ(reply->size(), static_cast<std::size_t>(kRecordSize));
      EXPECT_TRUE(std::equal(r.begin(), r.begin() + 3, reply->begin()));
    } else {
      const bool acknowledged =
          (command == kCmdSession && (word == kWordHandshake || word == kWordEndSession)) ||
          command == kCmdData || command == kCmdProgram;
      EXPECT_EQ(*reply, Bytes{acknowledged ? AckByte : NakByte})
          << "round " << round << ", command " << int(command) << " word " << word;
    }
  }
  EXPECT_FALSE(client->Receive(kQuiet)) << "nothing was answered twice";
  EXPECT_EQ(server.SendErrors(), 0u);
}

}  // namespace
}  // namespace xv4::sim
