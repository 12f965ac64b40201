#pragma once
// Small POSIX helpers shared by the simulator's transports: errno texts,
// the stop signal of a worker thread, a queue of timed sends, pseudo-terminals and their
// line speeds, and the watch that tells when the tool opens or closes a terminal.
// Private to sim/ (included by .cpp files only).

#include "platform/UniqueFd.h"

#include <netinet/in.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace xv4::sim {

// The one place where errno values become text.
std::string ErrnoText(int error);
[[noreturn]] void ThrowErrno(const std::string& what, int error);

using platform::UniqueFd;

// A dotted IPv4 text, or "localhost" (127.0.0.1). False for anything else.
bool ParseIpv4(const std::string& text, in_addr* out);

// A non-blocking, close-on-exec socket of the given type (SOCK_DGRAM, SOCK_STREAM) bound to
// address:port (port 0: the system picks one), with the address and port it got. The address
// must be an IPv4 loopback address (127.0.0.0/8, "localhost") unless allowRemote is set. Throws
// std::runtime_error naming what failed ("bind tcp 127.0.0.1:9100: Address already in use").
struct BoundSocket {
  UniqueFd fd;
  std::string address;  // as bound, e.g. "127.0.0.1"
  std::uint16_t port = 0;
};
BoundSocket BindSocket(int type, const std::string& address, std::uint16_t port, bool allowRemote);

// An eventfd that a controlling thread raises to stop a worker blocked in poll(). Any thread may
// Raise(); the worker polls Fd() for input.
class StopSignal {
 public:
  StopSignal();  // throws std::runtime_error when no eventfd can be made
  void Raise();
  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

// Sends waiting for their time, in time order; items due at the same time keep the order in
// which they were pushed. Owned by one worker thread.
template <typename T>
class TimerQueue {
 public:
  using Clock = std::chrono::steady_clock;

  void Push(Clock::time_point due, T item) { items_.emplace(due, std::move(item)); }
  bool Empty() const { return items_.empty(); }
  std::size_t Size() const { return items_.size(); }
  void Clear() { items_.clear(); }
  std::optional<Clock::time_point> NextDue() const {
    if (items_.empty())
      return std::nullopt;
    return items_.begin()->first;
  }
  // Removes and returns every item due at or before now.
  std::vector<T> PopDue(Clock::time_point now) {
    std::vector<T> due;
    auto end = items_.upper_bound(now);
    for (auto it = items_.begin(); it != end; ++it)
      due.push_back(std::move(it->second));
    items_.erase(items_.begin(), end);
    return due;
  }

 private:
  std::multimap<Clock::time_point, T> items_;  // multimap inserts equal keys at the back
};

// The earlier of two optional deadlines (nothing when neither is set).
inline std::optional<std::chrono::steady_clock::time_point> Earliest(
    std::optional<std::chrono::steady_clock::time_point> a,
    std::optional<std::chrono::steady_clock::time_point> b) {
  if (!a || !b)
    return a ? a : b;
  return std::min(*a, *b);
}

// Line speeds: termios constants and bits per second (0 for a speed without a constant).
int SpeedToBps(speed_t speed);
speed_t BpsToSpeed(int bps);  // B0 when there is no constant for bps
// The output speed set on a terminal; on the master side of a pseudo-terminal, the speed the
// tool set on the slave side. 0 when it cannot be read.
int LineSpeedOf(int fd);
// The speed a modem reports in CONNECT: the line's own speed when it has one, else the speed the
// tool set on its port (fd: the terminal's or the pty master's side), else 9600.
int ConnectSpeed(int lineBps, int fd);
// Raw mode (8 data bits, no echo, no line editing), receiver on, modem lines ignored.
void SetRaw(int fd, speed_t speed, const std::string& what);  // throws std::runtime_error

// A pseudo-terminal in raw mode at 9600 bit/s. This side keeps a descriptor of the slave open
// itself, so that the line stays up (no hang-up) between the tool's opens and keeps the settings
// the tool made. Throws std::runtime_error when it cannot be made.
struct Pty {
  UniqueFd master;
  UniqueFd slaveHold;
  std::string path;  // the slave the tool opens, e.g. /dev/pts/5
};
Pty OpenPty();

// Writes to a non-blocking descriptor what it takes now from the front of pending, and removes
// it there. Returns the bytes written; -1 after an error other than EAGAIN and EINTR, in which
// case pending is dropped.
std::int64_t WritePending(int fd, std::deque<std::uint8_t>& pending);

// Tells when terminals are opened and closed by others (the tool), through inotify open and
// close events on their paths: a pseudo-terminal whose slave this process holds never hangs up,
// so its master side cannot see the tool go. Paths are watched from Add() on; opens made before
// are not counted. Owned by one worker thread.
class OpenWatch {
 public:
  // Without inotify (or before the first Add()) every path counts as open, and Fd() is -1.

  // Starts watching path; returns its index for IsOpen() and the changes, in the order added.
  int Add(const std::string& path);
  int Fd() const { return fd_.Get(); }
  bool IsOpen(int index) const;

  // Reads the waiting events; returns the indexes whose open/closed state changed, in order,
  // with the new state (true: now open).
  std::vector<std::pair<int, bool>> ReadChanges();

 private:
  UniqueFd fd_;
  std::vector<int> watches_;  // watch descriptor per index (-1: cannot be watched)
  std::vector<int> opens_;    // open descriptors per index, as counted from the events
};

// A one-way line with an optional speed: bytes pushed in come out after the time a wire at bps
// takes for them (10 bit times per byte, start and stop bit included), in order; bps 0 passes
// them on at once. Owned by one worker thread.
class PacedWire {
 public:
  using Clock = std::chrono::steady_clock;
  explicit PacedWire(int bps = 0) : bps_(bps) {}

  void Push(const std::uint8_t* bytes, std::size_t n, Clock::time_point now);
  // Removes and returns the bytes through by now.
  std::vector<std::uint8_t> Take(Clock::time_point now);
  // When the next bytes are due (a few milliseconds' worth at a time); nothing when empty.
  std::optional<Clock::time_point> NextDue() const;
  std::size_t Size() const { return bytes_.size(); }
  void Clear() { bytes_.clear(); }

 private:
  Clock::time_point Done(std::uint64_t bytes) const;  // when byte number `bytes` has left

  int bps_;
  std::deque<std::uint8_t> bytes_;
  Clock::time_point start_{};  // when the wire began its current busy period
  std::uint64_t sent_ = 0;     // bytes taken since start_
};

// Waits in ppoll() on the given descriptors until one is ready or the deadline (if any) has
// come. Returns false only on an error other than EINTR.
struct PollEntry {
  int fd = -1;
  short events = 0;
  short revents = 0;
};
bool PollUntil(std::vector<PollEntry>& entries,
               std::optional<std::chrono::steady_clock::time_point> deadline);

}  // namespace xv4::sim
