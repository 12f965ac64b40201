#include "sim/Posix.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace xv4::sim {

std::string ErrnoText(int error) {
  return std::system_category().message(error);
}

void ThrowErrno(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + ErrnoText(error));
}

bool ParseIpv4(const std::string& text, in_addr* out) {
  if (text == "localhost") {
    out->s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  return ::inet_pton(AF_INET, text.c_str(), out) == 1;
}

BoundSocket BindSocket(int type, const std::string& address, std::uint16_t port, bool allowRemote) {
  in_addr host{};
  if (!ParseIpv4(address, &host))
    throw std::runtime_error("not an IPv4 address: " + address);
  if (!allowRemote && (ntohl(host.s_addr) >> 24) != 127)
    throw std::runtime_error("refusing to listen on " + address + ": not a loopback address");
  BoundSocket bound;
  bound.fd.Reset(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!bound.fd.Valid())
    ThrowErrno("socket", errno);
  if (type == SOCK_STREAM) {
    // Connections of an earlier run in TIME_WAIT must not keep a listener off its port; a port
    // that another listener holds stays refused.
    const int one = 1;
    ::setsockopt(bound.fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = host;
  local.sin_port = htons(port);
  if (::bind(bound.fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ThrowErrno(std::string("bind ") + (type == SOCK_STREAM ? "tcp " : "") + address + ":" +
                   std::to_string(port),
               errno);
  }
  socklen_t len = sizeof local;
  if (::getsockname(bound.fd.Get(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
    ThrowErrno("getsockname", errno);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
  bound.address = text;
  bound.port = ntohs(local.sin_port);
  return bound;
}

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_.Valid())
    ThrowErrno("eventfd", errno);
}

void StopSignal::Raise() {
  const std::uint64_t one = 1;
  // A full counter (never reached here) would still leave the descriptor readable.
  [[maybe_unused]] ssize_t n = ::write(fd_.Get(), &one, sizeof one);
}

bool PollUntil(std::vector<PollEntry>& entries,
               std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::vector<pollfd> fds(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    fds[i] = pollfd{entries[i].fd, entries[i].events, 0};
    entries[i].revents = 0;
  }

  timespec wait{};
  timespec* timeout = nullptr;
  if (deadline) {
    const auto left = *deadline - std::chrono::steady_clock::now();
    const auto ns = std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    timeout = &wait;
  }
  const int n = ::ppoll(fds.data(), fds.size(), timeout, nullptr);
  if (n < 0)
    return errno == EINTR;
  for (std::size_t i = 0; i < entries.size(); ++i)
    entries[i].revents = fds[i].revents;
  return true;
}

}  // namespace xv4::sim
