#pragma once
// Line speeds of the serial link and of the device session.

#include <cstdint>

namespace xv4 {

// Ordinals 0..8 are stored in settings files and sent to the printer (as ordinal - 3): keep the
// order.
enum TBaudRate : std::uint8_t {
  tbr1200,
  tbr2400,
  tbr4800,
  tbr9600,
  tbr19200,
  tbr38400,
  tbr57600,
  tbr115200,
  tbr460800,
};

constexpr int kBaudRateCount = 9;

// Bits per second of a TBaudRate; the step after 115200 is 460800.
constexpr std::uint32_t BaudRateBps(TBaudRate rate) {
  constexpr std::uint32_t kBps[kBaudRateCount] = {1200,  2400,  4800,   9600,  19200,
                                                  38400, 57600, 115200, 460800};
  return kBps[rate < kBaudRateCount ? rate : tbr9600];
}

// How long a port may take to report `bytes` written at `rate` before the writer gives the write
// up: twice the 10 bit times a byte takes, plus two seconds for the port's queues and a busy
// machine.
constexpr int DrainLimitMs(int bytes, TBaudRate rate) {
  return static_cast<int>(20000LL * bytes / BaudRateBps(rate)) + 2000;
}

// The TBaudRate of an ordinal; out-of-range ordinals are clamped.
constexpr TBaudRate BaudRateFromOrdinal(int ordinal) {
  return static_cast<TBaudRate>(
      ordinal < 0 ? 0 : (ordinal >= kBaudRateCount ? kBaudRateCount - 1 : ordinal));
}

}  // namespace xv4
