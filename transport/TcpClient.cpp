#include "transport/TcpClient.h"

#include "platform/Time.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace xv4 {
namespace {

struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

[[noreturn]] void ThrowSocketError(int code) {
  throw ESocketError(code, SocketErrorMessage(code).toStdString());
}

// A failed look-up has its own text, not a socket error number ("Host not found.").
[[noreturn]] void ThrowLookupError(int code) {
  throw ESocketError(code, SocketErrorText(code).toStdString());
}

[[noreturn]] void ThrowTimedOut() {
  throw ESocketError(0, "Connect timed out.");
}

// Outcome of one address: 0 connected, -1 the time-out ran out, else the errno that refused it.
int TryConnect(int fd, const addrinfo& address, const platform::Deadline& deadline) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
    return 0;
  if (errno != EINPROGRESS)
    return errno;
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, deadline.RemainingMs());
    if (ready < 0) {
      if (errno == EINTR)
        continue;  // a signal (the command line's Ctrl+C pipe) does not end the connect early
      return errno;
    }
    if (ready == 0)
      return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
      return errno;
    return error;
  }
}

}  // namespace

QString SocketErrorText(int code) {
  if (code < 0) {
    switch (code) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
        return QStringLiteral("Host not found.");
      case EAI_AGAIN:
        return QStringLiteral("Temporary failure in name resolution.");
      default:
        return QString::fromLocal8Bit(gai_strerror(code)) + QLatin1Char('.');
    }
  }
  if (const char* text = strerrordesc_np(code))
    return QString::fromLatin1(text) + QLatin1Char('.');
  return QStringLiteral("Unknown error %1.").arg(code);
}

QString SocketErrorMessage(int code) {
  return QStringLiteral("Socket Error # %1\n%2").arg(code).arg(SocketErrorText(code));
}

TTcpClient::TTcpClient() = default;

TTcpClient::~TTcpClient() {
  Disconnect();
}

void TTcpClient::Connect(int timeoutMs) {
  if (fd_ >= 0)
    throw ESocketError(0, "Already connected.");

  const QByteArray host = host_.toUtf8();
  if (host.isEmpty())
    ThrowLookupError(EAI_NONAME);
  const QByteArray service = QByteArray::number(port_);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  // The look-up is not covered by the time-out; an address literal resolves at once.
  const int lookup = ::getaddrinfo(host.constData(), service.constData(), &hints, &found);
  if (lookup != 0)
    ThrowLookupError(lookup == EAI_SYSTEM ? errno : lookup);
  AddrInfoList addresses(found);

  const platform::Deadline deadline = platform::Deadline::In(timeoutMs);
  int lastError = ECONNREFUSED;
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    platform::UniqueFd fd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.Get() < 0) {
      lastError = errno;
      continue;
    }
    const int outcome = TryConnect(fd.Get(), *a, deadline);
    if (outcome == -1)
      ThrowTimedOut();
    if (outcome != 0) {
      lastError = outcome;
      continue;
    }
    // Connected: plain blocking writes from here on, bounded so a stalled peer cannot hold the
    // caller for ever.
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags >= 0)
      ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    const int sendMs = timeoutMs > 0 ? timeoutMs : 2000;
    timeval sendTimeout{sendMs / 1000, (sendMs % 1000) * 1000};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    fd_ = fd.Release();
    return;
  }
  ThrowSocketError(lastError);
}

std::int64_t TTcpClient::Send(const void* data, std::int64_t size) {
  if (fd_ < 0)
    return -1;
  const auto* bytes = static_cast<const char*>(data);
  std::int64_t written = 0;
  while (written < size) {
    const ssize_t n =
        ::send(fd_, bytes + written, static_cast<size_t>(size - written), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return written > 0 ? written : -1;
    }
    written += n;
  }
  return written;
}

void TTcpClient::Disconnect() {
  if (fd_ < 0)
    return;
  // An orderly end: our side says it has finished, then reads until the printer closes its side
  // (or a short while has passed). Closing with unread bytes from the printer, or before they
  // arrive, sends a reset instead, and a small TCP stack may drop the bytes we sent when it gets
  // one right behind them.
  if (::shutdown(fd_, SHUT_WR) == 0) {
    const platform::Deadline deadline = platform::Deadline::In(kLingerMs);
    char sink[256];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, deadline.RemainingMs());
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready <= 0)
        break;
      const ssize_t n = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
        break;  // end of stream, or the connection is gone
    }
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace xv4
