#pragma once
// Small POSIX helpers shared by the simulator's transports: errno texts,
// the stop signal of a worker thread, and a queue of timed sends.
// Private to sim/ (included by .cpp files only).

#include "platform/UniqueFd.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
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
