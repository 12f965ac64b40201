#include "sim/PrinterEngine.h"

#include <algorithm>

namespace xv4::sim {

DataBytes PrinterInfo::ToData() const {
  DataBytes d;
  d.fill(0xFF);
  const auto machine = static_cast<std::uint32_t>(machineNo);
  for (int i = 0; i < 4; ++i)
    d[kInfoMachineNo + i] = static_cast<std::uint8_t>(machine >> (24 - 8 * i));
  d[kInfoPrintSpeed] = printSpeed;
  d[kInfoModel] = model;
  d[kInfoLanguage] = language;
  d[kInfoClearFlag] = clearFlag;
  std::fill_n(d.begin() + kInfoBluetoothName, kInfoBluetoothNameSize, 0);
  const auto nameBytes = std::min<std::size_t>(bluetoothName.size(), kInfoBluetoothNameSize);
  std::copy_n(bluetoothName.begin(), nameBytes, d.begin() + kInfoBluetoothName);
  std::copy(wirelessAddress.begin(), wirelessAddress.end(), d.begin() + kInfoWirelessAddress);
  std::copy(baseStationAddress.begin(), baseStationAddress.end(),
            d.begin() + kInfoBaseStationAddress);
  const auto number = static_cast<std::uint32_t>(wirelessNo);
  for (int i = 0; i < 4; ++i)
    d[kInfoWirelessNo + i] = static_cast<std::uint8_t>(number >> (8 * i));
  for (const auto& [offset, value] : overrides) {
    if (offset >= 0 && offset < kDataSize)
      d[offset] = value;
  }
  return d;
}

PrinterEngine::PrinterEngine() : info_(PrinterInfo{}.ToData()) {}

Answer PrinterEngine::Handle(std::span<const std::uint8_t, kRecordSize> request,
                             Transport transport) {
  Record record;
  std::copy(request.begin(), request.end(), record.begin());

  std::lock_guard lock(mutex_);
  CapturedRecord captured;
  captured.transport = transport;
  captured.command = record[0];
  captured.word = static_cast<std::uint16_t>(record[1] | (record[2] << 8));
  std::copy(record.begin() + 3, record.end(), captured.data.begin());
  if (captureLimit_ > 0) {
    if (captured_.size() >= captureLimit_)
      captured_.pop_front();
    captured_.push_back(captured);
  }
  ++stats_.requests;

  Answer answer = Decide(record, transport);
  switch (answer.kind) {
    case Answer::Kind::kNone:
      ++stats_.unanswered;
      break;
    case Answer::Kind::kByte:
      ++(answer.byte == AckByte ? stats_.acks : stats_.naks);
      break;
    case Answer::Kind::kRecord:
      ++stats_.replies;
      break;
  }
  if (observer_)
    observer_(captured, answer);
  handled_.notify_all();
  return answer;
}

Answer PrinterEngine::Decide(const Record& request, Transport transport) {
  Answer answer;
  ++faultRequests_;
  if (faults_.silentAfter > 0 && faultRequests_ > faults_.silentAfter)
    return answer;
  if (faults_.dropEvery > 0 && faultRequests_ % faults_.dropEvery == 0)
    return answer;

  answer.delivery.delayMs = faults_.delayMs;
  answer.delivery.splitAt = faults_.splitAt;
  answer.delivery.splitGapMs = faults_.splitGapMs;
  if (transport == Transport::kSerial) {
    answer.delivery.garbageBytes = faults_.garbageBytes;
    answer.delivery.falseStart = faults_.falseStart;
  }

  const std::uint8_t command = request[0];
  const auto word = static_cast<std::uint16_t>(request[1] | (request[2] << 8));
  const bool acknowledged =
      (command == kCmdSession && (word == kWordHandshake || word == kWordEndSession)) ||
      command == kCmdData || command == kCmdProgram;

  if (acknowledged) {
    ++faultAckables_;
    answer.kind = Answer::Kind::kByte;
    answer.byte = faultAckables_ <= faults_.nakFirst ? NakByte : AckByte;
    return answer;
  }
  if (command == kCmdSession && word == kWordInformation) {
    // Every information read, the model read and the machine-number read (data F9 01 00) alike,
    // gets the information record; the tool recognises it by the repeated first three bytes.
    answer.kind = Answer::Kind::kRecord;
    std::copy_n(request.begin(), 3, answer.record.begin());
    std::copy(info_.begin(), info_.end(), answer.record.begin() + 3);
    ++faultReplies_;
    if (faultReplies_ <= faults_.corruptFirst) {
      answer.record[0] ^= 0x01;
      answer.corrupted = true;
      ++stats_.corrupted;
    }
    if (transport == Transport::kSerial) {
      ++faultSerialReplies_;
      answer.delivery.badChecksum = faultSerialReplies_ <= faults_.badChecksumFirst;
    }
    return answer;
  }
  // A command this printer does not know is refused.
  answer.kind = Answer::Kind::kByte;
  answer.byte = NakByte;
  return answer;
}

void PrinterEngine::SetInfo(const PrinterInfo& info) {
  SetInfoData(info.ToData());
}

void PrinterEngine::SetInfoData(const DataBytes& data) {
  std::lock_guard lock(mutex_);
  info_ = data;
}

DataBytes PrinterEngine::InfoData() const {
  std::lock_guard lock(mutex_);
  return info_;
}

void PrinterEngine::SetFaults(const FaultConfig& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
  faultRequests_ = faultAckables_ = faultReplies_ = faultSerialReplies_ = 0;
}

FaultConfig PrinterEngine::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void PrinterEngine::SetObserver(EngineObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void PrinterEngine::SetCaptureLimit(std::size_t limit) {
  std::lock_guard lock(mutex_);
  captureLimit_ = limit;
  while (captured_.size() > captureLimit_)
    captured_.pop_front();
}

std::vector<CapturedRecord> PrinterEngine::Captured() const {
  std::lock_guard lock(mutex_);
  return {captured_.begin(), captured_.end()};
}

EngineStats PrinterEngine::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void PrinterEngine::ClearCapture() {
  std::lock_guard lock(mutex_);
  captured_.clear();
  stats_ = {};
}

bool PrinterEngine::WaitForRequests(int n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return handled_.wait_for(lock, timeout, [&] { return stats_.requests >= n; });
}

}  // namespace xv4::sim
