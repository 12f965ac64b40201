#pragma once
// Millisecond tick counter and deadlines over the steady clock.

#include <chrono>
#include <cstdint>

namespace xv4::platform {

// Milliseconds since an arbitrary start, wrapping at 2^32. Compute differences unsigned
// (now - start), so that the wrap-around is harmless.
inline std::uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A point in time after which a time-out has run out. Copyable; any thread.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds timeout) : end_(Clock::now() + timeout) {}
  static Deadline In(int milliseconds) { return Deadline(std::chrono::milliseconds(milliseconds)); }

  bool Expired() const { return Clock::now() >= end_; }
  // Milliseconds left, never negative.
  int RemainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
  Clock::time_point End() const { return end_; }

 private:
  Clock::time_point end_;
};

}  // namespace xv4::platform
