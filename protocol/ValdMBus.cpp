#include "protocol/ValdMBus.h"

#include "link/LinkFactory.h"
#include "platform/AppDir.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace xv4 {
namespace {

// The endpoint reports status texts up to this level; the session assigns no handler, so they
// only land in its last-status text.
constexpr int kEndpointReportLevel = 16;
constexpr int kHexItemsPerLine = 16;

}  // namespace

TValdMBusComm::TValdMBusComm(QObject* owner, std::unique_ptr<SerialLink> link, int localPort)
    : QObject(owner), link_(link ? std::move(link) : CreateSerialLink(this)) {
  link_->SetBaudRate(baudRate_);
  link_->SetPhoneNumber(phoneNumber_);
  link_->SetIsModem(isModem_);
  link_->OnReceiveNewData = [this](QObject* sender, const std::uint8_t* buffer,
                                   std::uint16_t length) {
    LinkDataReceived(sender, buffer, length);
  };
  link_->OnSendBufEmpty = [this](QObject* sender) { LinkSendDone(sender); };
  link_->OnAnswerOK = [this](QObject* sender) { LinkAnswerOK(sender); };

  endpoint_ = std::make_unique<TUdpEndpoint>(this);
  endpoint_->SetRemotePort(remotePort_);
  endpoint_->SetLocalPort(localPort);
  endpoint_->SetReportLevel(kEndpointReportLevel);
  endpoint_->OnDataReceived = [this](QObject* sender, int numberBytes, const QString& fromIP,
                                     int port) {
    DatagramReceived(sender, numberBytes, fromIP, port);
  };

  replyTimer_.setSingleShot(true);
  replyTimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&replyTimer_, &QTimer::timeout, this, [this] { timedOut_ = true; });
}

TValdMBusComm::~TValdMBusComm() {
  link_.reset();
  endpoint_.reset();
}

void TValdMBusComm::SetBaudRate(TBaudRate rate) {
  baudRate_ = rate;
  link_->SetBaudRate(rate);
}

void TValdMBusComm::SetRetryCount(int count) {
  retryCount_ = static_cast<TRetryCount>(std::clamp(count, 0, kMaxRetryCount));
}

void TValdMBusComm::SetPhoneNumber(const QString& number) {
  phoneNumber_ = number;
  link_->SetPhoneNumber(number);
}

void TValdMBusComm::SetisModem(bool on) {
  isModem_ = on;
  link_->SetIsModem(on);
}

void TValdMBusComm::SetRemotePort(int port) {
  remotePort_ = port;
  endpoint_->SetRemotePort(port);
}

void TValdMBusComm::SetRemoteHost(const QString& host) {
  remoteHost_ = host;
  endpoint_->SetRemoteHost(host);
}

// ----------------------------------------------------------------------------------------------
// Opening, closing, the traffic log

void TValdMBusComm::SetActive(bool active) {
  if (active) {
    if (Serial()) {
      link_->SetCommName(commName_);
      link_->SaveOptions(this, 0);
      try {
        if (isActive_)
          link_->Activate(false);
        link_->SetFlgCreateThd(true);
        link_->SetWaitForCall(false);
        link_->Activate(true);
        if (link_->IsModem())
          link_->ModemCommand(QStringLiteral("INITIAL"));
      } catch (...) {
        platform::ShowMessageBox(platform::MessageKind::Error,
                                 QStringLiteral("Error opening ") + commName_ +
                                     QStringLiteral("!\r\nplease select other ports."));
        throw;
      }
      isActive_ = true;
    }
    TrafficLog.clear();
    return;
  }
  if (Serial()) {
    isActive_ = false;
    link_->Activate(false);
  }
  if (!TrafficLog.isEmpty())
    WriteTrafficLog();
}

void TValdMBusComm::WriteTrafficLog() {
  const QString dir = platform::StateDir() + QStringLiteral("LOG");
  // A log that cannot be written stays in TrafficLog, so the next close tries again.
  if (!platform::CreateDirectoryPath(dir)) {
    platform::ShowMessageBox(platform::MessageKind::Warning,
                             QStringLiteral("Cannot write the traffic log: cannot create ") + dir);
    return;
  }
  QByteArray text;
  for (const QString& line : TrafficLog) {
    text += line.toLatin1();
    text += "\r\n";
  }
  const QString name = dir + QLatin1Char('/') +
                       Clock().toString(QStringLiteral("yyyy-MM-dd@hh-mm-ss")) +
                       QStringLiteral(".LOG");
  // Owner-only: the records carry the WiFi password and SSID.
  QString error;
  if (platform::WriteFileAtomic(name, text, true, &error)) {
    TrafficLog.clear();
  } else {
    platform::ShowMessageBox(platform::MessageKind::Warning,
                             QStringLiteral("Cannot write the traffic log: ") + error);
  }
}

void TValdMBusComm::LogLine(const QString& line) {
  TrafficLog.append(line);
}

void TValdMBusComm::LogRetry(int n) {
  if (!LogTraffic)
    return;
  LogLine(QString());
  LogLine(QStringLiteral("Retry:") + QString::number(n));
}

// A title, the bytes as upper-case hex items "0E " sixteen to a line, then an empty line.
void TValdMBusComm::LogBytes(const char* title, const std::uint8_t* bytes, int length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  LogLine(QLatin1String(title));
  char line[kHexItemsPerLine * 3];
  for (int start = 0; start < length; start += kHexItemsPerLine) {
    const int items = std::min(kHexItemsPerLine, length - start);
    for (int k = 0; k < items; ++k) {
      const std::uint8_t b = bytes[start + k];
      line[3 * k] = kHex[b >> 4];
      line[3 * k + 1] = kHex[b & 0x0F];
      line[3 * k + 2] = ' ';
    }
    LogLine(QString::fromLatin1(line, 3 * items));
  }
  LogLine(QString());
}

// ----------------------------------------------------------------------------------------------
// Sending and waiting

void TValdMBusComm::SendRaw(const std::uint8_t* buffer, std::uint16_t length) {
  if (Serial()) {
    // The link runs events while it waits for an earlier write to drain. What arrives then
    // belongs to that write: its drain report must not count for this one, and late reply bytes
    // must not land in frameBuffer_, which holds the frame being sent.
    sending_ = true;
    link_->SendBytes(buffer, length);
    sending_ = false;
    sendDone_ = false;
    drainLimitMs_ = DrainLimitMs(length, link_->BaudRate());
  } else {
    // Records are 259 bytes; a caller asking for more than the send buffer holds is refused
    // before anything is copied or sent.
    if (length > kSendBufferSize)
      throw std::runtime_error("Invalid buffer");
    if (length > 0)
      std::memcpy(sendBuffer_.data(), buffer, length);
    endpoint_->SendDatagram(sendBuffer_.data(), length);
  }
  if (LogTraffic)
    LogBytes(">>>>>>Send data<<<<<<<<", buffer, length);
}

void TValdMBusComm::ResetReceiver() {
  failed_ = false;
  replyByte_ = 0;
  receiveState_ = -1;
  receivePos_ = 0;
}

int TValdMBusComm::WaitReply(int timeoutMs) {
  ResetReceiver();
  // The reply time starts once the link has put the whole frame on the line, so that slow line
  // speeds do not eat into it. A line that never drains (the adapter was unplugged, the port hung
  // up) counts as no reply, so the exchange retries and fails instead of waiting for ever.
  timedOut_ = false;
  if (Serial() && !sendDone_ && !failed_) {
    replyTimer_.start(drainLimitMs_);
    platform::WaitUntil([this] { return sendDone_ || failed_ || timedOut_; });
    replyTimer_.stop();
    if (!sendDone_ && !failed_)
      return WaitTimedOut;
    timedOut_ = false;
  }
  replyTimer_.start(std::max(0, timeoutMs));
  platform::WaitUntil([this] { return timedOut_ || failed_ || receiveState_ > 0; });
  int result;
  if (failed_)
    result = WaitAborted;
  else if (timedOut_)
    result = (Serial() && broadCast_) ? WaitAcknowledged : WaitTimedOut;
  else if (replyByte_ == NakByte)
    result = WaitRefused;
  else if (replyByte_ == AckByte)
    result = WaitAcknowledged;
  else
    result = WaitRecord;
  replyTimer_.stop();
  return result;
}

void TValdMBusComm::PackFrame() {
  xv4::PackFrame(requestArea_, FrameBytes(frameBuffer_.data(), kFrameSize));
}

void TValdMBusComm::UnpackFrame() {
  if (!xv4::UnpackFrame(ConstFrameBytes(frameBuffer_.data(), kFrameSize), requestArea_))
    checksumError_ = true;
}

// Frames RequestArea, adds the trailer and sends the 302 bytes.
void TValdMBusComm::SendFrame() {
  PackFrame();
  frameBuffer_[kFrameSize] = kFrameTrailer;
  SendRaw(frameBuffer_.data(), kFrameWithTrailer);
}

int TValdMBusComm::BroadcastOnce() {
  SendFrame();
  expectRecord_ = false;
  const int r = WaitReply(broadCastInterval_);
  if (r < 0)
    failed_ = true;
  return r;
}

bool TValdMBusComm::ExchangeWrite() {
  if (Serial() && broadCast_)
    return BroadcastOnce() >= 0;
  for (int n = 0;; ++n) {
    if (n > 0)
      LogRetry(n);
    if (Serial())
      SendFrame();
    else
      SendRaw(requestArea_.data(), kRecordSize);
    expectRecord_ = false;
    const int r = WaitReply(retryInterval_);
    // The reply is looked at before the budget, so every one of the RetryCount + 1 sends can
    // succeed (RetryCount 0: one send, and its acknowledgement counts).
    if (r == WaitAcknowledged)
      return true;
    if (failed_ || n >= retryCount_) {
      failed_ = true;
      return false;
    }
  }
}

void TValdMBusComm::SendReadRequest() {
  if (Serial()) {
    requestArea_ = readRequestArea_;
    PackFrame();
    // The reply frame repeats the request's framed header bytes.
    std::copy_n(frameBuffer_.begin() + 1, 3, expectedHeader_.begin());
    frameBuffer_[kFrameSize] = kFrameTrailer;
    SendRaw(frameBuffer_.data(), kFrameWithTrailer);
  } else {
    std::copy_n(readRequestArea_.begin(), 3, expectedHeader_.begin());
    SendRaw(readRequestArea_.data(), kRecordSize);
  }
}

bool TValdMBusComm::ExchangeRead() {
  for (int n = 0;; ++n) {
    checksumError_ = false;
    if (n > 0)
      LogRetry(n);
    SendReadRequest();
    expectRecord_ = true;
    const int r = WaitReply(retryInterval_);
    if (r == WaitRecord) {
      if (!Serial())
        return true;
      UnpackFrame();
      if (!checksumError_)
        return true;
    }
    if (failed_ || n >= retryCount_) {
      failed_ = true;
      return false;
    }
  }
}

// ----------------------------------------------------------------------------------------------
// Receiving

void TValdMBusComm::ScanForAck(const std::uint8_t* bytes, int length) {
  // Any 0x02 or 0x55 answers, wherever it stands; everything else around it is line noise.
  for (int i = 0; i < length; ++i) {
    const std::uint8_t b = bytes[i];
    if (b == AckByte || b == NakByte) {
      replyByte_ = b;
      receiveState_ = 1;
      if (LogTraffic)
        LogBytes(">>>>>>Receive data<<<<<<<<", &b, 1);
      return;
    }
  }
}

void TValdMBusComm::LinkDataReceived(QObject*, const std::uint8_t* buffer,
                                     std::uint16_t bufferLength) {
  if (sending_ || receiveState_ > 0 || buffer == nullptr)
    return;
  if (receiveState_ == -1)
    receiveState_ = 0;
  if (!expectRecord_) {
    ScanForAck(buffer, bufferLength);
    return;
  }
  if (receivePos_ < 0 || receivePos_ >= kFrameSize)
    receivePos_ = 0;
  for (int i = 0; i < bufferLength; ++i) {
    const std::uint8_t b = buffer[i];
    const int p = receivePos_;
    // Start byte, the request's three framed header bytes, a body of bytes with bit 7 set, end
    // byte. Any other byte drops the frame; a start byte among them begins a new one.
    const bool accepted = (p == 0 && b == kFrameStart) ||
                          (p >= 1 && p <= 3 && b == expectedHeader_[p - 1]) ||
                          (p >= 4 && p < kFrameSize - 1 && (b & 0x80) != 0) ||
                          (p == kFrameSize - 1 && b == kFrameEnd);
    if (!accepted) {
      receivePos_ = 0;
      if (b == kFrameStart) {
        frameBuffer_[0] = b;
        receivePos_ = 1;
      }
      continue;
    }
    frameBuffer_[p] = b;
    if (p == kFrameSize - 1) {
      receiveState_ = 1;
      receivePos_ = 0;
      if (LogTraffic)
        LogBytes(">>>>>>Receive data<<<<<<<<", frameBuffer_.data(), kFrameSize);
      return;
    }
    receivePos_ = p + 1;
  }
}

void TValdMBusComm::LinkSendDone(QObject*) {
  sendDone_ = true;
}

void TValdMBusComm::LinkAnswerOK(QObject* sender) {
  // Worker thread: the tool assigns no handler, and nothing else of the session is touched.
  if (OnMdmAnswerOK)
    OnMdmAnswerOK(sender);
}

void TValdMBusComm::DatagramReceived(QObject*, int numberBytes, const QString&, int) {
  if (numberBytes <= 0 || receiveState_ > 0)
    return;
  if (receiveState_ == -1)
    receiveState_ = 0;
  const int length = endpoint_->ReadDatagram(datagram_);
  if (length <= 0)
    return;
  if (!expectRecord_) {
    ScanForAck(datagram_.data(), length);
    return;
  }
  if (receivePos_ < 0 || receivePos_ >= kRecordSize)
    receivePos_ = 0;
  // A reply record may come in one datagram or spread over several; its first three bytes must
  // repeat the request's, and bytes after the 259th are dropped.
  for (int i = 0; i < length; ++i) {
    const std::uint8_t b = datagram_[i];
    if (receivePos_ < 3 && b != expectedHeader_[receivePos_]) {
      receivePos_ = 0;
      return;
    }
    frameBuffer_[receivePos_] = b;
    if (receivePos_ == kRecordSize - 1) {
      receiveState_ = 1;
      receivePos_ = 0;
      if (LogTraffic)
        LogBytes(">>>>>>Receive data<<<<<<<<", frameBuffer_.data(), kRecordSize);
      return;
    }
    ++receivePos_;
  }
}

}  // namespace xv4
