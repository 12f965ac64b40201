#include "sim/PrinterEngine.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace xv4::sim {
namespace {

using test::Bytes;
using test::MakeRecord;

Answer Ask(PrinterEngine& e, const Record& r, Transport t = Transport::kUdp) {
  return e.Handle(std::span<const std::uint8_t, kRecordSize>(r), t);
}

struct ByteCase {
  const char* what;
  std::uint8_t command;
  std::uint16_t word;
  std::uint8_t expected;
};

TEST(PrinterEngine, AnswersEachCommandWithItsByte) {
  const ByteCase cases[] = {
      {"handshake", 14, 1, AckByte},         {"end of session", 14, 2, AckByte},
      {"test record", 63, 124, AckByte},     {"data record 0", 63, 0, AckByte},
      {"parameter block", 63, 121, AckByte}, {"program record", 15, 300, AckByte},
      {"unknown word", 14, 3, NakByte},      {"unknown command", 0x42, 0, NakByte},
  };
  PrinterEngine engine;
  for (const ByteCase& c : cases) {
    const Answer a = Ask(engine, MakeRecord(c.command, c.word));
    EXPECT_EQ(a.kind, Answer::Kind::kByte) << c.what;
    EXPECT_EQ(a.byte, c.expected) << c.what;
  }
  const EngineStats s = engine.Stats();
  EXPECT_EQ(s.requests, 8);
  EXPECT_EQ(s.acks, 6);
  EXPECT_EQ(s.naks, 2);
}

TEST(PrinterEngine, InformationReadsRepeatTheHeaderAndCarryTheInfoRecord) {
  PrinterEngine engine;
  PrinterInfo info;
  info.machineNo = 12345678;  // 0x00BC614E
  info.printSpeed = 1;
  info.model = 1;
  info.language = 1;
  info.clearFlag = 0xAA;
  info.bluetoothName = "ABC";
  info.wirelessAddress = {10, 1, 2, 3};
  info.baseStationAddress = {10, 1, 2, 254};
  info.wirelessNo = 0x01020304;
  engine.SetInfo(info);

  // Model read (data byte 2 = 16), machine-number read (F9 01 00, rest 0xFF), plain read.
  Bytes machineRead(kDataSize, 0xFF);
  machineRead[0] = 0xF9;
  machineRead[1] = 0x01;
  machineRead[2] = 0x00;
  for (const Bytes& data : {Bytes{0, 0, 16}, machineRead, Bytes{}}) {
    const Answer a = Ask(engine, MakeRecord(14, 16, data));
    ASSERT_EQ(a.kind, Answer::Kind::kRecord);
    const Record& r = a.record;
    EXPECT_EQ((Bytes{r[0], r[1], r[2]}), (Bytes{0x0E, 0x10, 0x00}));
    const auto at = [&](int dataOffset) { return r[3 + dataOffset]; };
    EXPECT_EQ((Bytes{at(4), at(5), at(6), at(7)}), (Bytes{0x00, 0xBC, 0x61, 0x4E}));
    EXPECT_EQ((Bytes{at(102), at(103), at(104), at(105)}), (Bytes{1, 1, 1, 0xAA}));
    EXPECT_EQ((Bytes{at(112), at(113), at(114), at(115), at(142)}), (Bytes{'A', 'B', 'C', 0, 0}));
    EXPECT_EQ((Bytes{at(160), at(161), at(162), at(163), at(164), at(167)}),
              (Bytes{10, 1, 2, 3, 10, 254}));
    EXPECT_EQ((Bytes{at(168), at(169), at(170), at(171)}), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(at(0), 0xFF);
    EXPECT_EQ(at(143), 0xFF);
  }
}

TEST(PrinterEngine, NegativeMachineNumberAndLongNameAreStoredSafely) {
  PrinterInfo info;
  info.machineNo = -2;
  info.bluetoothName = std::string(40, 'x');
  info.overrides = {{0, 0x11}, {255, 0x22}, {256, 0x33}, {-1, 0x44}};
  const DataBytes d = info.ToData();
  EXPECT_EQ((Bytes{d[4], d[5], d[6], d[7]}), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(d[142], 'x');  // cut at 31 bytes, not written past the field
  EXPECT_EQ(d[143], 0xFF);
  EXPECT_EQ(d[0], 0x11);
  EXPECT_EQ(d[255], 0x22);
}

TEST(PrinterEngine, CapturesEveryRecordInOrderIncludingUnansweredOnes) {
  PrinterEngine engine;
  FaultConfig f;
  f.silentAfter = 1;
  engine.SetFaults(f);
  Bytes data(kDataSize);
  for (int i = 0; i < kDataSize; ++i)
    data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  Ask(engine, MakeRecord(63, 0x1234, data), Transport::kSerial);
  Ask(engine, MakeRecord(14, 2));
  const auto captured = engine.Captured();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].transport, Transport::kSerial);
  EXPECT_EQ(captured[0].command, 63);
  EXPECT_EQ(captured[0].word, 0x1234);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), captured[0].data.begin()));
  EXPECT_EQ(captured[1].command, 14);
  EXPECT_EQ(engine.Stats().unanswered, 1);

  engine.ClearCapture();
  EXPECT_TRUE(engine.Captured().empty());
  EXPECT_EQ(engine.Stats().requests, 0);
}

TEST(PrinterEngine, CaptureLimitKeepsTheNewestRecordsAndTheObserverSeesAll) {
  PrinterEngine engine;
  int observed = 0;
  engine.SetObserver([&](const CapturedRecord&, const Answer&) { ++observed; });
  for (std::uint16_t i = 0; i < 5; ++i)
    Ask(engine, MakeRecord(63, i));
  engine.SetCaptureLimit(2);
  auto captured = engine.Captured();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].word, 3);
  Ask(engine, MakeRecord(63, 5));
  captured = engine.Captured();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].word, 4);
  EXPECT_EQ(captured[1].word, 5);
  engine.SetCaptureLimit(0);
  Ask(engine, MakeRecord(63, 6));
  EXPECT_TRUE(engine.Captured().empty());
  EXPECT_EQ(observed, 7);
  EXPECT_EQ(engine.Stats().requests, 7);
}

// Each row: faults, the requests sent (command/word), the expected answers in order
// ('A' ack, 'N' nak, 'R' reply record, 'C' corrupted reply record, '-' none).
struct FaultCase {
  const char* what;
  FaultConfig faults;
  std::vector<std::pair<std::uint8_t, std::uint16_t>> requests;
  std::string expected;
};

FaultConfig Faults(void (*set)(FaultConfig&)) {
  FaultConfig f;
  set(f);
  return f;
}

char Code(const Answer& a) {
  switch (a.kind) {
    case Answer::Kind::kNone:
      return '-';
    case Answer::Kind::kByte:
      return a.byte == AckByte ? 'A' : 'N';
    case Answer::Kind::kRecord:
      return a.corrupted ? 'C' : 'R';
  }
  return '?';
}

TEST(PrinterEngine, InjectedFaultsFollowTheirCounts) {
  const std::vector<std::pair<std::uint8_t, std::uint16_t>> mixed = {
      {14, 1}, {14, 16}, {63, 124}, {63, 0}, {14, 16}, {63, 1}, {14, 2}};
  const FaultCase cases[] = {
      {"no faults", {}, mixed, "ARAARAA"},
      {"nak first 2 writes, reads untouched", Faults([](FaultConfig& f) { f.nakFirst = 2; }), mixed,
       "NRNARAA"},
      {"drop every 3rd", Faults([](FaultConfig& f) { f.dropEvery = 3; }), mixed, "AR-AR-A"},
      {"silent after 4", Faults([](FaultConfig& f) { f.silentAfter = 4; }), mixed, "ARAA---"},
      {"corrupt first reply", Faults([](FaultConfig& f) { f.corruptFirst = 1; }), mixed, "ACAARAA"},
      {"dropped requests use no nak",
       Faults([](FaultConfig& f) {
         f.dropEvery = 2;
         f.nakFirst = 1;
       }),
       {{63, 0}, {63, 0}, {63, 0}, {63, 0}},
       "N-A-"},
  };
  for (const FaultCase& c : cases) {
    PrinterEngine engine;
    engine.SetFaults(c.faults);
    std::string got;
    for (const auto& [command, word] : c.requests)
      got += Code(Ask(engine, MakeRecord(command, word)));
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

TEST(PrinterEngine, CorruptedReplyChangesOnlyTheCommandByte) {
  PrinterEngine engine;
  FaultConfig f;
  f.corruptFirst = 1;
  engine.SetFaults(f);
  const Answer bad = Ask(engine, MakeRecord(14, 16));
  const Answer good = Ask(engine, MakeRecord(14, 16));
  EXPECT_NE(bad.record[0], good.record[0]);
  EXPECT_TRUE(std::equal(bad.record.begin() + 1, bad.record.end(), good.record.begin() + 1));
}

TEST(PrinterEngine, SettingFaultsRestartsTheirCounts) {
  PrinterEngine engine;
  FaultConfig f;
  f.nakFirst = 1;
  engine.SetFaults(f);
  EXPECT_EQ(Ask(engine, MakeRecord(63, 0)).byte, NakByte);
  EXPECT_EQ(Ask(engine, MakeRecord(63, 0)).byte, AckByte);
  engine.SetFaults(f);
  EXPECT_EQ(Ask(engine, MakeRecord(63, 0)).byte, NakByte);
}

TEST(PrinterEngine, SerialOnlyFaultsStayOffUdp) {
  PrinterEngine engine;
  FaultConfig f;
  f.garbageBytes = 5;
  f.falseStart = true;
  f.badChecksumFirst = 1;
  f.delayMs = 30;
  engine.SetFaults(f);
  const Answer udp = Ask(engine, MakeRecord(14, 16), Transport::kUdp);
  EXPECT_EQ(udp.delivery.garbageBytes, 0);
  EXPECT_FALSE(udp.delivery.falseStart);
  EXPECT_FALSE(udp.delivery.badChecksum);
  EXPECT_EQ(udp.delivery.delayMs, 30);
  const Answer serial = Ask(engine, MakeRecord(14, 16), Transport::kSerial);
  EXPECT_EQ(serial.delivery.garbageBytes, 5);
  EXPECT_TRUE(serial.delivery.falseStart);
  EXPECT_TRUE(serial.delivery.badChecksum);
  EXPECT_FALSE(Ask(engine, MakeRecord(14, 16), Transport::kSerial).delivery.badChecksum);
}

TEST(PrinterEngine, WaitForRequestsWakesWhenAnotherThreadHandsInRecords) {
  PrinterEngine engine;
  std::thread feeder([&] {
    for (int i = 0; i < 50; ++i)
      Ask(engine, MakeRecord(63, static_cast<std::uint16_t>(i)));
  });
  EXPECT_TRUE(engine.WaitForRequests(50, test::kPatience));
  feeder.join();
  EXPECT_EQ(engine.Captured().size(), 50u);
  EXPECT_FALSE(engine.WaitForRequests(51, std::chrono::milliseconds(1)));
}

}  // namespace
}  // namespace xv4::sim
