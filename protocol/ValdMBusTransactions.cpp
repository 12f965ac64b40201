// The transactions of TValdMBusComm: handshake, information reads, record writes and reads, end
// of session. Each builds one record and runs it through the exchange machinery.
#include "protocol/ValdMBus.h"

#include <algorithm>

namespace xv4 {
namespace {

constexpr std::uint8_t kCmdSession = 14;  // handshake, information, end of session
constexpr std::uint16_t kWordHandshake = 1;
constexpr std::uint16_t kWordEndSession = 2;
constexpr std::uint16_t kWordInformation = 16;

// Record offsets of the handshake.
constexpr int kMachineNoAt = 3;  // 4 BCD bytes, least significant pair first
constexpr int kDateTimeAt = 7;   // year, month, day, hour, minute, second in BCD
constexpr int kBaudIndexAt = 13;
constexpr int kFlagAt = 14;           // 1 for handshake argument 0; the scale byte in a broadcast
constexpr int kBroadcastListAt = 35;  // 56 machine numbers of 4 bytes, up to offset 258
static_assert(kBroadcastListAt + 4 * TValdMBusComm::kBroadcastStations == kRecordSize);

constexpr std::uint8_t kScale1024 = 0x5A;
constexpr std::uint8_t kScale5120 = 0xA5;

// Serial end of session: a few quick tries, the printer need not answer.
constexpr int kEndSessionSends = 3;
constexpr int kEndSessionWaitMs = 100;

void PutHeader(std::span<std::uint8_t> area, std::uint8_t command, std::uint16_t word) {
  area[0] = command;
  area[1] = static_cast<std::uint8_t>(word & 0xFF);
  area[2] = static_cast<std::uint8_t>(word >> 8);
}

std::span<std::uint8_t, 4> Four(std::uint8_t* at) {
  return std::span<std::uint8_t, 4>(at, 4);
}

}  // namespace

void TValdMBusComm::PutDateTime(std::span<std::uint8_t, 6> out) {
  const QDateTime now = Clock();
  const QDate date = now.date();
  const QTime time = now.time();
  out[0] = ByteToBcd(static_cast<std::uint16_t>(date.year()));
  out[1] = ByteToBcd(static_cast<std::uint16_t>(date.month()));
  out[2] = ByteToBcd(static_cast<std::uint16_t>(date.day()));
  out[3] = ByteToBcd(static_cast<std::uint16_t>(time.hour()));
  out[4] = ByteToBcd(static_cast<std::uint16_t>(time.minute()));
  out[5] = ByteToBcd(static_cast<std::uint16_t>(time.second()));
}

// The scale byte and the stations of BroadcastList, whose status bytes a broadcast resets.
void TValdMBusComm::FillBroadcast(std::span<std::uint8_t, kRecordWithChecksum> area) {
  area[kFlagAt] = broadCastScaleType_ == tbs1024 ? kScale1024 : kScale5120;
  for (int i = 0; i < kBroadcastStations; ++i) {
    PutMachineNo(Four(&area[kBroadcastListAt + 4 * i]), BroadcastList[i].MachineNo);
    BroadcastList[i].Status = 0;
  }
}

bool TValdMBusComm::WriteRecord(std::uint8_t command, std::uint16_t word) {
  requestArea_.fill(0);
  PutHeader(requestArea_, command, word);
  std::copy(DataBlock.begin(), DataBlock.end(), requestArea_.begin() + 3);
  if (Serial())
    StoreChecksum(requestArea_);
  return ExchangeWrite();
}

bool TValdMBusComm::ReadRecord(std::uint8_t command, std::uint16_t word) {
  readRequestArea_.fill(0);
  PutHeader(readRequestArea_, command, word);
  std::copy(DataBlock.begin(), DataBlock.end(), readRequestArea_.begin() + 3);
  if (Serial())
    StoreChecksum(readRequestArea_);
  const bool ok = ExchangeRead();
  // Serial replies were decoded into RequestArea, network replies assembled in FrameBuffer. The
  // copy is made after a failure too; the caller then ignores DataBlock.
  const std::uint8_t* reply = Serial() ? requestArea_.data() : frameBuffer_.data();
  std::copy_n(reply + 3, kDataSize, DataBlock.begin());
  return ok;
}

bool TValdMBusComm::Connect(std::int32_t number, std::uint8_t argument, bool readModel) {
  if (!Handshake(number, argument))
    return false;
  if (Serial() || readModel)
    return ReadModelInfo();
  return true;
}

bool TValdMBusComm::Handshake(std::int32_t number, std::uint8_t argument) {
  if (!Serial()) {
    // In network mode the machine number is the printer's address: it becomes the destination of
    // this and every later datagram.
    endpoint_->SetRemoteHost(NumberToAddress(static_cast<std::uint32_t>(number), true));
    DataBlock.fill(0);
    PutMachineNo(Four(&DataBlock[kMachineNoAt - 3]), number);
    PutDateTime(std::span<std::uint8_t, 6>(&DataBlock[kDateTimeAt - 3], 6));
    DataBlock[kFlagAt - 3] = argument == 0 ? 1 : 0;
    return WriteRecord(kCmdSession, kWordHandshake);
  }

  requestArea_.fill(0);
  PutHeader(requestArea_, kCmdSession, kWordHandshake);
  // A broadcast addresses the stations of the list, not one machine.
  PutMachineNo(Four(&requestArea_[kMachineNoAt]), broadCast_ ? 0 : number);
  PutDateTime(std::span<std::uint8_t, 6>(&requestArea_[kDateTimeAt], 6));
  // The printer switches to this speed after the handshake: 0 = 9600 ... 5 = 460800.
  requestArea_[kBaudIndexAt] =
      static_cast<std::uint8_t>(baudRate_ >= tbr9600 ? baudRate_ - tbr9600 : 0);
  if (broadCast_)
    FillBroadcast(requestArea_);
  else
    requestArea_[kFlagAt] = argument == 0 ? 1 : 0;
  StoreChecksum(requestArea_);
  if (broadCast_) {
    link_->SetBaudRate(baudRate_);
    return BroadcastOnce() >= 0;
  }
  return SerialRetryLoop(false);
}

// The serial handshake's retry loop, shared by the serial information request: 11 sends; without
// a modem the first goes out at BaudRate and the others walk 9600, 19200, 38400, 57600, 115200,
// 460800, 9600, ... so that a printer still set to another speed is found. The record keeps the
// baud index of BaudRate throughout. Success puts the line back to BaudRate; a failure leaves it
// at the speed of the last send.
bool TValdMBusComm::SerialRetryLoop(bool expectRecord) {
  if (!BeginExchange())
    return false;
  const int wanted = expectRecord ? WaitRecord : WaitAcknowledged;
  for (int n = 0;; ++n) {
    PackFrame();
    if (n > 0)
      LogRetry(n);
    if (!isModem_)
      link_->SetBaudRate(n == 0 ? baudRate_ : BaudRateFromOrdinal((n - 1) % 6 + tbr9600));
    frameBuffer_[kFrameSize] = kFrameTrailer;
    SendRaw(frameBuffer_.data(), kFrameWithTrailer);
    expectRecord_ = expectRecord;
    const int r = WaitReply(retryInterval_);
    // The reply is looked at before the budget: the eleventh send can succeed too.
    if (r == wanted) {
      if (!isModem_)
        link_->SetBaudRate(baudRate_);
      EndExchange(n + 1);
      return true;
    }
    if (failed_ || n >= kSerialHandshakeSends - 1) {
      failed_ = true;
      EndExchange(n + 1);
      return false;
    }
  }
}

bool TValdMBusComm::ReadModelInfo() {
  DataBlock.fill(0);
  DataBlock[2] = static_cast<std::uint8_t>(kWordInformation);
  return ReadRecord(kCmdSession, kWordInformation);
}

bool TValdMBusComm::ReadDeviceInfo(std::int32_t number) {
  if (!Serial()) {
    endpoint_->SetRemoteHost(NumberToAddress(static_cast<std::uint32_t>(number), true));
    DataBlock.fill(0);
    return ReadRecord(kCmdSession, kWordInformation);
  }
  // The reply is recognised by the header of the last read request (after Connect: the model
  // information request, the same command and word) and is not decoded: DataBlock keeps the
  // reply of the last ReadRecord.
  requestArea_.fill(0);
  PutHeader(requestArea_, kCmdSession, kWordInformation);
  if (broadCast_)
    FillBroadcast(requestArea_);
  StoreChecksum(requestArea_);
  if (broadCast_) {
    link_->SetBaudRate(baudRate_);
    return BroadcastOnce() >= 0;
  }
  return SerialRetryLoop(true);
}

bool TValdMBusComm::EndSession(std::int32_t number, std::uint8_t parameter) {
  if (!Serial()) {
    DataBlock.fill(0);
    PutMachineNo(Four(&DataBlock[0]), number);
    DataBlock[4] = parameter;
    return WriteRecord(kCmdSession, kWordEndSession);
  }
  std::array<std::uint8_t, kRecordWithChecksum> record{};
  PutHeader(record, kCmdSession, kWordEndSession);
  PutMachineNo(Four(&record[kMachineNoAt]), number);
  record[kMachineNoAt + 4] = parameter;
  StoreChecksum(record);
  if (!BeginExchange())
    return true;  // cancelled; the end of the session still never fails on RS232
  for (int i = 0; i < kEndSessionSends; ++i) {
    requestArea_ = record;
    SendFrame();
    expectRecord_ = false;
    if (WaitReply(kEndSessionWaitMs) == WaitAcknowledged)
      break;
  }
  // The printer may already have left the session: the end of it never fails on RS232.
  return true;
}

}  // namespace xv4
