#include "protocol/ValdMBus.h"

#include "link/LinkFactory.h"
#include "platform/AppDir.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace xv4 {
namespace {

// The endpoint reports status texts up to this level; the session assigns no handler, so they
// only land in its last-status text.
constexpr int kEndpointReportLevel = 16;
constexpr int kHexItemsPerLine = 16;

}  // namespace

TValdMBusComm::TValdMBusComm(QObject* owner, std::unique_ptr<SerialLink> link, int localPort)
    : QObject(owner),
      link_(link ? std::move(link) : CreateSerialLink(this)),
      localPort_(localPort) {
  link_->SetBaudRate(baudRate_);
  link_->SetPhoneNumber(phoneNumber_);
  link_->SetIsModem(isModem_);
  link_->OnReceiveNewData = [this](QObject* sender, const std::uint8_t* buffer,
                                   std::uint16_t length) {
    LinkDataReceived(sender, buffer, length);
  };
  link_->OnSendBufEmpty = [this](QObject* sender) { LinkSendDone(sender); };
  link_->OnPortFailed = [this](QObject* sender) { LinkFailed(sender); };
  link_->OnAnswerOK = [this](QObject* sender) { LinkAnswerOK(sender); };

  endpoint_ = std::make_unique<TUdpEndpoint>(this);
  endpoint_->SetRemotePort(remotePort_);
  endpoint_->SetLocalPort(localPort);
  endpoint_->SetReportLevel(kEndpointReportLevel);
  // A request's answer is what arrives after it left.
  endpoint_->SetDiscardBeforeSend(true);
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
  endpoint_->SetRemotePort(port);  // refuses a port outside 1..65535 before anything changes
  remotePort_ = port;
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
        linkFailed_ = false;
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
    } else {
      OpenNetwork();
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

void TValdMBusComm::OpenNetwork() {
  // The socket was bound when the session was made; a port that another program had then may
  // be free by now.
  if (endpoint_->BindError() != 0)
    endpoint_->SetLocalPort(localPort_);
  const int error = endpoint_->BindError();
  if (error == 0)
    return;
  // Sending from a port the system chooses would work with a printer that answers the sender,
  // but one that answers port 5001 would answer the other program.
  const QString text =
      error == EADDRINUSE
          ? QStringLiteral("UDP port %1 is in use (is another xv4tool or xv4ctl running?)")
                .arg(localPort_)
          : QStringLiteral("UDP port %1 cannot be used: %2")
                .arg(localPort_)
                .arg(QString::fromLocal8Bit(std::strerror(error)));
  platform::ShowMessageBox(platform::MessageKind::Error, text);
  throw UDPSockError(text.toStdString(), error);
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
  sendRefused_ = false;
  if (Serial()) {
    // The link runs events while it waits for an earlier write to drain. What arrives then
    // belongs to that write: its drain report must not count for this one, and late reply bytes
    // must not land in frameBuffer_, which holds the frame being sent.
    sending_ = true;
    const LinkSend sent = link_->SendBytes(buffer, length);
    sending_ = false;
    if (sent == LinkSend::Taken) {
      sendDone_ = false;
      drainLimitMs_ = DrainLimitMs(length, link_->BaudRate());
    } else {
      // Nothing went out and nothing will report it drained: the wait fails at once.
      sendRefused_ = true;
      sendDone_ = true;
      lastFailure_ = RefusalText(sent);
    }
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
  timedOut_ = false;
  // A send the link refused (the port hung up) is a failed try at once.
  if (Serial() && sendRefused_)
    return WaitTimedOut;
  // The reply time starts once the link has put the whole frame on the line, so that slow line
  // speeds do not eat into it. A line that never drains (a wedged adapter) counts as no reply,
  // so the exchange retries and fails instead of waiting for ever.
  if (Serial() && !sendDone_ && !failed_) {
    replyTimer_.start(drainLimitMs_);
    platform::WaitUntil([this] { return sendDone_ || failed_ || timedOut_ || linkFailed_; });
    replyTimer_.stop();
    if (!sendDone_ && !failed_) {
      // A port that hung up meanwhile will never report the write drained.
      lastFailure_ = linkFailed_
                         ? RefusalText(LinkSend::Failed)
                         : QStringLiteral("serial port %1 did not send the request within %2 ms")
                               .arg(commName_)
                               .arg(drainLimitMs_);
      return WaitTimedOut;
    }
    timedOut_ = false;
  }
  replyWindowStart_ = SteadyClock::now();
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

QString TValdMBusComm::RefusalText(LinkSend result) const {
  switch (result) {
    case LinkSend::Taken:
      break;
    case LinkSend::Closed:
      return QStringLiteral("serial port %1 is not open").arg(commName_);
    case LinkSend::Failed:
      return QStringLiteral("serial port %1 hung up").arg(commName_);
    case LinkSend::Stuck:
      return QStringLiteral("serial port %1 does not send: its last write has not left")
          .arg(commName_);
    case LinkSend::Offline:
      return QStringLiteral("the modem on %1 has no connection").arg(commName_);
  }
  return {};
}

bool TValdMBusComm::BeginExchange() {
  lastFailure_.clear();
  return LetLateAnswersPass();
}

void TValdMBusComm::EndExchange(int sends) {
  if (sends <= 1)
    return;
  lateSends_ = sends - 1;
  lateFrom_ = replyWindowStart_;
}

// A printer slower than RetryInterval answers a repeated request more than once, and the later
// answers arrive after the one that was taken. They must not be taken for the next request: its
// own may have been lost on the way, and it would never be repeated. So the next request waits
// until the last send's reply window has run out and the line has then been quiet for one
// RetryInterval (that part at most one RetryInterval per extra send), dropping what arrives.
// Nothing waits when the time has passed already (the operation did other things meanwhile).
bool TValdMBusComm::LetLateAnswersPass() {
  if (lateSends_ == 0)
    return true;
  const int extra = std::exchange(lateSends_, 0);
  const std::chrono::milliseconds interval(std::max(retryInterval_, 0));
  const SteadyClock::time_point windowEnd = lateFrom_ + interval;
  const SteadyClock::time_point limit = windowEnd + extra * interval;
  lastArrival_ = SteadyClock::time_point::min();
  failed_ = false;  // an Abort from before the exchange, as a wait clears it
  discarding_ = true;
  for (;;) {
    const SteadyClock::time_point end =
        std::min(std::max(windowEnd, lastArrival_) + interval, limit);
    const SteadyClock::time_point now = SteadyClock::now();
    if (failed_ || now >= end)
      break;
    timedOut_ = false;
    arrived_ = false;
    replyTimer_.start(
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count()));
    platform::WaitUntil([this] { return timedOut_ || failed_ || arrived_; });
  }
  replyTimer_.stop();
  discarding_ = false;
  return !failed_;
}

void TValdMBusComm::NoteLateArrival() {
  lastArrival_ = SteadyClock::now();
  arrived_ = true;
}

int TValdMBusComm::BroadcastOnce() {
  if (!BeginExchange())
    return WaitAborted;
  SendFrame();
  expectRecord_ = false;
  const int r = WaitReply(broadCastInterval_);
  if (r < 0)
    failed_ = true;
  return r;
}

bool TValdMBusComm::ExchangeWrite() {
  if (!BeginExchange())
    return false;
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
    if (r == WaitAcknowledged) {
      EndExchange(n + 1);
      return true;
    }
    if (failed_ || n >= retryCount_) {
      failed_ = true;
      EndExchange(n + 1);
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
  if (!BeginExchange())
    return false;
  for (int n = 0;; ++n) {
    checksumError_ = false;
    if (n > 0)
      LogRetry(n);
    SendReadRequest();
    expectRecord_ = true;
    const int r = WaitReply(retryInterval_);
    if (r == WaitRecord) {
      if (Serial())
        UnpackFrame();
      if (!Serial() || !checksumError_) {
        EndExchange(n + 1);
        return true;
      }
    }
    if (failed_ || n >= retryCount_) {
      failed_ = true;
      EndExchange(n + 1);
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
  // Serial bytes answer nothing in network mode.
  if (mode_ != tmRS232 || buffer == nullptr)
    return;
  if (discarding_) {
    NoteLateArrival();
    return;
  }
  if (sending_ || receiveState_ > 0)
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

void TValdMBusComm::LinkFailed(QObject*) {
  linkFailed_ = true;
}

void TValdMBusComm::LinkAnswerOK(QObject* sender) {
  // Worker thread: the tool assigns no handler, and nothing else of the session is touched.
  if (OnMdmAnswerOK)
    OnMdmAnswerOK(sender);
}

void TValdMBusComm::DatagramReceived(QObject*, int numberBytes, const QString&, int) {
  // The socket stays bound in RS232 mode: a stray datagram answers nothing there.
  if (mode_ != tmTCPIP)
    return;
  if (discarding_) {
    NoteLateArrival();
    return;
  }
  if (numberBytes <= 0 || receiveState_ > 0)
    return;
  if (receiveState_ == -1)
    receiveState_ = 0;
  const int length = endpoint_->ReadDatagram(datagram_);
  if (length <= 0)
    return;
  if (!expectRecord_) {
    // A whole reply record (a late answer to a read) holds data, not an answer to this write.
    if (length != kRecordSize)
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
