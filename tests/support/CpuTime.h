#pragma once
// Telling a wait that sleeps from one that spins, by the CPU time the process used.

#include <ctime>
#include <functional>

namespace xv4::test {

inline double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// CPU time in milliseconds that the whole process used while run() ran.
inline double CpuMsDuring(const std::function<void()>& run) {
  const double before = ProcessCpuMs();
  run();
  return ProcessCpuMs() - before;
}

// A loop that spins burns the whole interval on a core; one that sleeps uses a few percent, a
// little more in a sanitizer build on a loaded machine. A quarter of the interval keeps the two
// far apart, so the check never trips on a slow machine and still catches every spin.
inline double SpinLimitMs(double wallMs) {
  return wallMs / 4;
}

}  // namespace xv4::test
