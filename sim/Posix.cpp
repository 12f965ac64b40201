#include "sim/Posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

namespace {

struct SpeedEntry {
  speed_t constant;
  int bps;
};
constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

}  // namespace

int SpeedToBps(speed_t speed) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.constant == speed)
      return e.bps;
  }
  return 0;
}

speed_t BpsToSpeed(int bps) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.bps == bps)
      return e.constant;
  }
  return B0;
}

int LineSpeedOf(int fd) {
  // On Linux the master side of a pseudo-terminal reports the slave's settings.
  termios t{};
  if (::tcgetattr(fd, &t) != 0)
    return 0;
  return SpeedToBps(::cfgetospeed(&t));
}

int ConnectSpeed(int lineBps, int fd) {
  if (lineBps > 0)
    return lineBps;
  const int dte = LineSpeedOf(fd);
  return dte > 0 ? dte : 9600;
}

void SetRaw(int fd, speed_t speed, const std::string& what) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0)
    ThrowErrno("tcgetattr " + what, errno);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  if (::tcsetattr(fd, TCSANOW, &t) != 0)
    ThrowErrno("tcsetattr " + what, errno);
}

Pty OpenPty() {
  Pty pty;
  pty.master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!pty.master.Valid())
    ThrowErrno("posix_openpt", errno);
  if (::grantpt(pty.master.Get()) != 0 || ::unlockpt(pty.master.Get()) != 0)
    ThrowErrno("pseudo-terminal set-up", errno);
  char name[128] = {};
  if (::ptsname_r(pty.master.Get(), name, sizeof name) != 0)
    ThrowErrno("ptsname", errno);
  // Raw from the start: in the default cooked mode the slave would echo every answer back.
  SetRaw(pty.master.Get(), B9600, name);
  pty.slaveHold.Reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!pty.slaveHold.Valid())
    ThrowErrno(std::string("open ") + name, errno);
  pty.path = name;
  return pty;
}

std::int64_t WritePending(int fd, std::deque<std::uint8_t>& pending) {
  std::int64_t written = 0;
  while (!pending.empty()) {
    std::uint8_t chunk[4096];
    std::size_t len = 0;
    for (auto it = pending.begin(); it != pending.end() && len < sizeof chunk; ++it)
      chunk[len++] = *it;
    const ssize_t n = ::write(fd, chunk, len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR)
        break;  // the next poll waits for POLLOUT
      pending.clear();
      return -1;
    }
    written += n;
    pending.erase(pending.begin(), pending.begin() + n);
    if (static_cast<std::size_t>(n) < len)
      break;
  }
  return written;
}

int OpenWatch::Add(const std::string& path) {
  if (watches_.empty())
    fd_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  const int wd =
      fd_.Valid() ? ::inotify_add_watch(fd_.Get(), path.c_str(), IN_OPEN | IN_CLOSE) : -1;
  watches_.push_back(wd);
  opens_.push_back(0);
  return static_cast<int>(watches_.size()) - 1;
}

bool OpenWatch::IsOpen(int index) const {
  const auto i = static_cast<std::size_t>(index);
  return i < watches_.size() && (watches_[i] < 0 || opens_[i] > 0);
}

std::vector<std::pair<int, bool>> OpenWatch::ReadChanges() {
  std::vector<std::pair<int, bool>> changes;
  if (!fd_.Valid())
    return changes;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_.Get(), buffer, sizeof buffer);
    if (n <= 0)
      return changes;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      at += static_cast<ssize_t>(sizeof event + event.len);
      for (std::size_t i = 0; i < watches_.size(); ++i) {
        const bool all = (event.mask & IN_Q_OVERFLOW) != 0;
        if (!all && watches_[i] != event.wd)
          continue;
        const bool before = IsOpen(static_cast<int>(i));
        if (all)
          opens_[i] = 1;  // the count is lost: take the terminal as open
        else if (event.mask & IN_OPEN)
          ++opens_[i];
        else if (event.mask & IN_CLOSE)
          opens_[i] = std::max(0, opens_[i] - 1);
        else if (event.mask & IN_IGNORED)
          watches_[i] = -1;
        const bool after = IsOpen(static_cast<int>(i));
        if (before != after)
          changes.emplace_back(static_cast<int>(i), after);
      }
    }
  }
}

PacedWire::Clock::time_point PacedWire::Done(std::uint64_t bytes) const {
  // 10 bit times per byte; split so that the product cannot overflow.
  const auto bps = static_cast<std::uint64_t>(bps_);
  constexpr std::uint64_t kTenSecondsNs = 10'000'000'000ULL;
  const std::uint64_t ns = bytes / bps * kTenSecondsNs + bytes % bps * kTenSecondsNs / bps;
  return start_ + std::chrono::nanoseconds(ns);
}

void PacedWire::Push(const std::uint8_t* bytes, std::size_t n, Clock::time_point now) {
  if (bytes_.empty() && bps_ > 0) {
    // The wire was idle: a new busy period starts now.
    start_ = now;
    sent_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes, bytes + n);
}

std::vector<std::uint8_t> PacedWire::Take(Clock::time_point now) {
  std::size_t n = bytes_.size();
  if (bps_ > 0) {
    const auto bps = static_cast<std::uint64_t>(bps_);
    constexpr std::uint64_t kTenSecondsNs = 10'000'000'000ULL;
    const auto elapsed = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::nanoseconds(now - start_).count()));
    const std::uint64_t through =
        elapsed / kTenSecondsNs * bps + elapsed % kTenSecondsNs * bps / kTenSecondsNs;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, through > sent_ ? through - sent_ : 0));
  }
  std::vector<std::uint8_t> out(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
  sent_ += n;
  return out;
}

std::optional<PacedWire::Clock::time_point> PacedWire::NextDue() const {
  if (bytes_.empty())
    return std::nullopt;
  if (bps_ == 0)
    return Clock::time_point{};
  // About 10 ms of line time at once, so that a busy wire wakes its owner 100 times a second.
  const std::uint64_t chunk = std::min<std::uint64_t>(bytes_.size(), std::max(1, bps_ / 1000));
  return Done(sent_ + chunk);
}

}  // namespace xv4::sim
