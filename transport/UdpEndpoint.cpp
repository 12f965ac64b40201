#include "transport/UdpEndpoint.h"

#include "platform/EventLoop.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace xv4 {
namespace {

// The one place where a socket errno becomes a message.
QString UnknownErrorText(int code) {
  if (code == 0)
    return QString();
  return QStringLiteral("Unknown Error No. %1").arg(code);
}

std::optional<std::uint32_t> LookUpWithGetaddrinfo(const QString& name) {
  const QByteArray host = name.toUtf8();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr &&
        a->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
      sockaddr_in sin{};
      std::memcpy(&sin, a->ai_addr, sizeof sin);
      return ntohl(sin.sin_addr.s_addr);
    }
  }
  return std::nullopt;
}

}  // namespace

TUdpEndpoint::TUdpEndpoint(QObject* owner) : QObject(owner) {
  ReportStatus(kStatusErrorText, QStringLiteral("Initializing Winsock"));
  CreateSocket();
  ready_ = true;
}

TUdpEndpoint::~TUdpEndpoint() {
  CloseSocket();
}

void TUdpEndpoint::SetRemoteHost(const QString& host) {
  remoteHost_ = host.left(kMaxHostLength);
  // inet_addr takes every form a dotted address can have ("10.1", octal, hex groups); its
  // "none" value, all bits set, means "not an address", so 255.255.255.255 goes to the resolver.
  const in_addr_t address = inet_addr(remoteHost_.toLatin1().constData());
  if (address != INADDR_NONE)
    dottedHost_ = ntohl(address);
  else
    dottedHost_.reset();
}

void TUdpEndpoint::SetRemotePort(int port) {
  if (port < 1 || port > 65535) {
    throw std::out_of_range(
        QStringLiteral("Invalid port %1: a UDP port is a number from 1 to 65535")
            .arg(port)
            .toStdString());
  }
  remotePort_ = port;
}

void TUdpEndpoint::CreateSocket() {
  // Non-blocking: a full send queue drops the datagram instead of stalling the UI thread, and
  // the read loop stops when the queue is empty.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    RaiseSocketError(errno);
    return;
  }
  fd_.Reset(fd);
}

void TUdpEndpoint::CloseSocket() {
  if (notifier_) {
    notifier_->setEnabled(false);
    // A handler that rebinds runs inside the notifier's own activation: that notifier is deleted
    // once control is back in the event loop.
    if (reading_)
      notifier_.release()->deleteLater();
    else
      notifier_.reset();
  }
  fd_.Reset();
}

void TUdpEndpoint::SetLocalPort(int port) {
  CloseSocket();
  CreateSocket();
  localPort_ = port;
  Bind();
}

void TUdpEndpoint::Bind() {
  bindError_ = 0;
  if (!fd_.Valid())
    return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(localPort_));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  // No SO_REUSEADDR: a second session must not share the printer protocol's port. When the port
  // is taken the socket stays unbound and its first send binds it to a port the system chooses.
  if (::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    lastError_ = errno;
    bindError_ = errno;
  }
  notifier_ = std::make_unique<QSocketNotifier>(fd_.Get(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { ReadReady(); });
}

int TUdpEndpoint::BoundPort() const {
  if (!fd_.Valid())
    return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return 0;
  return ntohs(local.sin_port);
}

void TUdpEndpoint::SendDatagram(const std::uint8_t* buffer, int length) {
  bool firstPass = true;
  while (length <= 0 || buffer == nullptr) {
    if (!firstPass || !OnBufferInvalid)
      throw std::runtime_error("Invalid buffer");
    bool handled = false;
    OnBufferInvalid(this, handled, buffer, length);
    if (!handled)
      throw std::runtime_error("Invalid buffer");
    firstPass = false;
  }
  const std::uint32_t address = ResolveRemoteAddress();
  if (address == 0)
    throw UDPSockError("Null Remote Address");
  ReportStatus(kStatusSending, QStringLiteral("Sending Data"));
  const auto port = static_cast<std::uint16_t>(remotePort_);
  if (!BeforeTransmit || BeforeTransmit(address, port, buffer, length)) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(address);
    if (discardBeforeSend_)
      DiscardWaiting();
    // The printer protocol treats a lost datagram as a time-out, so a refused send is only
    // remembered, not raised.
    if (::sendto(fd_.Get(), buffer, static_cast<size_t>(length), 0,
                 reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0) {
      lastError_ = errno;
    }
  }
  if (OnDataSend)
    OnDataSend(this);
}

int TUdpEndpoint::ReadDatagram(std::span<std::uint8_t> buffer) const {
  if (lastLength_ < 0)
    return -1;
  const int n = std::min<int>(lastLength_, static_cast<int>(buffer.size()));
  std::memcpy(buffer.data(), receiveBuffer_.data(), static_cast<size_t>(n));
  return n;
}

std::uint32_t TUdpEndpoint::ResolveRemoteAddress() {
  if (dottedHost_) {
    remoteAddress_ = *dottedHost_;
    return remoteAddress_;
  }
  std::optional<std::uint32_t> found = LookupHost(remoteHost_);
  if (!found) {
    bool handled = false;
    if (OnInvalidHost)
      OnInvalidHost(this, handled);
    if (!handled)
      throw UDPSockError("Host Lookup Canceled");
    found = LookupHost(remoteHost_);
    if (!found)
      throw UDPSockError("Host Lookup Canceled");
  }
  remoteAddress_ = *found;
  return remoteAddress_;
}

std::optional<std::uint32_t> TUdpEndpoint::LookupHost(const QString& name) {
  if (name.isEmpty())
    return std::nullopt;
  const HostResolver resolve = Resolver ? Resolver : HostResolver(&LookUpWithGetaddrinfo);
  std::optional<std::uint32_t> result;
  // The helper writes result before it sets done (release); the UI thread reads result only
  // after it has seen done (acquire), and the join below ends the helper before result is used.
  std::atomic<bool> done{false};
  {
    std::jthread helper([&] {
      try {
        result = resolve(name);
      } catch (...) {
        result.reset();
      }
      done.store(true, std::memory_order_release);
      platform::WakeUiThread();
    });
    platform::WaitUntil([&done] { return done.load(std::memory_order_acquire); });
  }
  return result;
}

void TUdpEndpoint::ReadReady() {
  // One datagram per notification: the notifier fires again while more are queued, so each
  // arrival gets its own OnDataReceived and no extra receive call is spent finding the queue
  // empty.
  const bool nested = reading_;
  reading_ = true;
  ReceivePending();
  reading_ = nested;
}

bool TUdpEndpoint::ReceivePending() {
  if (!ready_ || !fd_.Valid())
    return false;
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC makes recvfrom return the datagram's real length, so one that did not fit the
  // buffer is recognised (the kernel copies no more than the buffer holds).
  const ssize_t n = ::recvfrom(fd_.Get(), receiveBuffer_.data(), receiveBuffer_.size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return false;
    lastError_ = errno;
    lastLength_ = -1;
  } else if (n > kReceiveBufferSize) {
    lastLength_ = -1;
  } else {
    lastLength_ = static_cast<int>(n);
  }
  if (OnDataReceived) {
    OnDataReceived(this, lastLength_, SenderText(ntohl(from.sin_addr.s_addr)),
                   ntohs(from.sin_port));
  }
  return true;
}

void TUdpEndpoint::DiscardWaiting() {
  std::uint8_t sink[1];
  // Each call drops one whole datagram, however large; the loop ends when none is waiting.
  for (;;) {
    if (::recv(fd_.Get(), sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC) >= 0 || errno == EINTR)
      continue;
    return;
  }
}

const QString& TUdpEndpoint::SenderText(std::uint32_t address) {
  if (address != lastSender_ || lastSenderText_.isEmpty()) {
    lastSender_ = address;
    lastSenderText_ = QStringLiteral("%1.%2.%3.%4")
                          .arg(address >> 24)
                          .arg((address >> 16) & 0xFF)
                          .arg((address >> 8) & 0xFF)
                          .arg(address & 0xFF);
  }
  return lastSenderText_;
}

void TUdpEndpoint::ReportStatus(int level, const QString& text) {
  if (level > reportLevel_)
    return;
  lastStatus_ = text;
  if (OnStatus)
    OnStatus(this, text);
}

void TUdpEndpoint::RaiseSocketError(int code) {
  ReportStatus(kStatusErrorCheck, QStringLiteral("Checking Error In Error Manager"));
  lastError_ = code;
  // A would-block result is no failure of the socket.
  if (code == EWOULDBLOCK || code == EAGAIN)
    return;
  const QString text = UnknownErrorText(code);
  ReportStatus(kStatusErrorText, QStringLiteral("Looking Up Error Message") + text);
  throw UDPSockError(text.toStdString(), code);
}

}  // namespace xv4
