#include "sim/Posix.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
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
