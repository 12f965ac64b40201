#pragma once
// The printer's side of the record protocol, independent of the transport that carries it.
//
// The engine takes one decoded request record and decides the answer: the acknowledgement byte,
// the refusal byte, a 259-byte reply record, or nothing. It keeps a capture of every record it
// was given, the counters that tests look at, the printer's information record and the faults
// to inject. The transports (UdpServer, SerialServer) turn its answer into bytes on their line.
//
// Thread-safe: every member may be called from any thread; one mutex guards the state. The
// observer runs under that mutex, on the thread that handed in the request, so its calls never
// overlap and come in the order the requests were handled; it must not call back into the engine.

#include "protocol/DeviceRecord.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace xv4::sim {

using DataBytes = std::array<std::uint8_t, kDataSize>;
using Record = std::array<std::uint8_t, kRecordSize>;

// Commands and words the tool uses.
constexpr std::uint8_t kCmdSession = 14;  // word 1 handshake, 2 end of session, 16 information
constexpr std::uint16_t kWordHandshake = 1;
constexpr std::uint16_t kWordEndSession = 2;
constexpr std::uint16_t kWordInformation = 16;
constexpr std::uint8_t kCmdData = 63;     // data and parameter records; word 124 the test record
constexpr std::uint8_t kCmdProgram = 15;  // firmware records

enum class Transport { kUdp, kSerial };

// The settings a printer reports in its information record. Data byte offsets:
//   4..7     machine number, 32-bit two's complement, most significant byte first
//   102      print speed (0 medium, 1 high)
//   103      printer model (0 xv4, 1 xr4)
//   104      language (0 simplified Chinese, 1 traditional Chinese, 2 English)
//   105      clear-maintenance flag (0xAA clear, 0xFF keep)
//   112..142 Bluetooth name, NUL-padded (31 bytes)
//   160..163 wireless printer address, in address order
//   164..167 base-station address, in address order
//   168..171 wireless printer number, 32-bit little-endian
// Every other byte is 0xFF unless an override sets it.
struct PrinterInfo {
  std::int32_t machineNo = 1234;
  std::uint8_t printSpeed = 1;
  std::uint8_t model = 0;
  std::uint8_t language = 2;
  std::uint8_t clearFlag = 0xFF;
  std::string bluetoothName = "XV4-SIM";  // bytes beyond 31 are cut off
  std::array<std::uint8_t, 4> wirelessAddress{192, 168, 1, 50};
  std::array<std::uint8_t, 4> baseStationAddress{192, 168, 1, 1};
  std::int32_t wirelessNo = 1;
  // (data offset, value) pairs applied last, so they win over the named fields.
  std::vector<std::pair<int, std::uint8_t>> overrides;

  DataBytes ToData() const;
};

constexpr int kInfoMachineNo = 4;
constexpr int kInfoPrintSpeed = 102;
constexpr int kInfoModel = 103;
constexpr int kInfoLanguage = 104;
constexpr int kInfoClearFlag = 105;
constexpr int kInfoBluetoothName = 112;
constexpr int kInfoBluetoothNameSize = 31;
constexpr int kInfoWirelessAddress = 160;
constexpr int kInfoBaseStationAddress = 164;
constexpr int kInfoWirelessNo = 168;

// Faults to inject. All counts are over the requests handled since the faults were last set;
// 0 switches a fault off.
struct FaultConfig {
  int nakFirst = 0;          // refuse the first N requests that would be acknowledged
  int dropEvery = 0;         // leave every k-th request unanswered (k, 2k, ...)
  int silentAfter = 0;       // answer nothing once N requests have been handled
  int corruptFirst = 0;      // the first N reply records carry a wrong command byte
  int delayMs = 0;           // every answer leaves this much later
  std::vector<int> splitAt;  // cut points (ascending byte offsets) of every reply as sent
  int splitGapMs = 10;       // pause between the parts of a split reply
  // Serial line only.
  int garbageBytes = 0;      // stray bytes before every answer
  bool falseStart = false;   // 0x03 and a byte that does not continue a frame, before a frame
  int badChecksumFirst = 0;  // the first N reply frames carry a wrong checksum
};

// How the transport is to deliver one answer: a snapshot of the delivery faults, plus the
// per-reply decisions that the engine counts.
struct Delivery {
  int delayMs = 0;
  std::vector<int> splitAt;
  int splitGapMs = 0;
  int garbageBytes = 0;
  bool falseStart = false;
  bool badChecksum = false;
};

struct Answer {
  enum class Kind { kNone, kByte, kRecord };
  Kind kind = Kind::kNone;
  std::uint8_t byte = 0;   // AckByte or NakByte
  Record record{};         // the reply record, header already corrupted if the fault says so
  bool corrupted = false;  // the reply record's command byte was changed
  Delivery delivery;
};

struct CapturedRecord {
  Transport transport = Transport::kUdp;
  std::uint8_t command = 0;
  std::uint16_t word = 0;
  DataBytes data{};
};

struct EngineStats {
  int requests = 0;    // records handed in
  int acks = 0;        // answered with AckByte
  int naks = 0;        // answered with NakByte (injected or unknown command)
  int replies = 0;     // answered with a reply record
  int corrupted = 0;   // of those, with a corrupted header
  int unanswered = 0;  // dropped or silenced
};

// Called for every request with what was captured and what the engine answers.
using EngineObserver = std::function<void(const CapturedRecord&, const Answer&)>;

class PrinterEngine {
 public:
  PrinterEngine();

  // Decides the answer to one 259-byte request record received over the given transport.
  Answer Handle(std::span<const std::uint8_t, kRecordSize> request, Transport transport);

  void SetInfo(const PrinterInfo& info);
  // Replaces the whole 256-byte information record.
  void SetInfoData(const DataBytes& data);
  DataBytes InfoData() const;

  // Sets the faults and restarts their counts.
  void SetFaults(const FaultConfig& faults);
  FaultConfig Faults() const;

  void SetObserver(EngineObserver observer);

  // Keeps at most this many captured records, dropping the oldest (0: keeps none; the observer
  // still sees every record). Unlimited at creation.
  void SetCaptureLimit(std::size_t limit);
  std::vector<CapturedRecord> Captured() const;
  EngineStats Stats() const;
  // Clears the capture and the counters (not the faults' own counts).
  void ClearCapture();

  // Blocks until at least n requests have been handled since the last ClearCapture(), or the
  // time-out has run out; true in the first case.
  bool WaitForRequests(int n, std::chrono::milliseconds timeout) const;

 private:
  Answer Decide(const Record& request, Transport transport);

  mutable std::mutex mutex_;
  mutable std::condition_variable handled_;
  DataBytes info_{};
  FaultConfig faults_;
  EngineObserver observer_;
  std::deque<CapturedRecord> captured_;
  std::size_t captureLimit_ = SIZE_MAX;
  EngineStats stats_;
  // Counts since SetFaults().
  int faultRequests_ = 0;
  int faultAckables_ = 0;
  int faultReplies_ = 0;
  int faultSerialReplies_ = 0;
};

}  // namespace xv4::sim
