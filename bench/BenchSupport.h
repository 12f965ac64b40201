#pragma once
// Shared pieces of the benchmark programs: clocks, a raw-socket client that does one record
// exchange with plain socket calls (the baseline every protocol figure is compared with), and the
// measuring loop with its median.

#include "protocol/DeviceRecord.h"

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <vector>

namespace xv4::bench {

// This thread's CPU time and the wall clock, in seconds.
double ThreadCpuSeconds();
double WallSeconds();

struct Sample {
  double rate = 0;            // exchanges per second
  double cpuPerExchange = 0;  // seconds of this thread's CPU
};

// Sends a 259-byte record (the test record 63/124) to 127.0.0.1:port and waits for the
// acknowledgement byte, with plain socket calls.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Exchange();

 private:
  int fd_ = -1;
  sockaddr_in to_{};
  std::array<std::uint8_t, kRecordSize> record_{};
};

// Runs exchange() count times; failures are counted.
template <typename Exchange>
Sample Measure(Exchange&& exchange, int count, int* failures) {
  const double wall0 = WallSeconds();
  const double cpu0 = ThreadCpuSeconds();
  for (int i = 0; i < count; ++i) {
    if (!exchange())
      ++*failures;
  }
  const double cpu = ThreadCpuSeconds() - cpu0;
  const double wall = WallSeconds() - wall0;
  return {count / wall, cpu / count};
}

// The sample with the median rate.
Sample Median(std::vector<Sample> samples);

}  // namespace xv4::bench
