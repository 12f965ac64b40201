// bench_udp: record writes per second through the device session against the simulator on
// loopback, beside a raw-socket client doing the same exchange, and the CPU that one idle
// reply wait costs.
//
// Both clients run on this thread against one simulator running on its own thread, in
// alternating rounds, so that both see the same machine load. CPU times are this thread's
// (CLOCK_THREAD_CPUTIME_ID): the client's own cost, without the simulator's.
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"
#include "sim/PrinterEngine.h"
#include "sim/UdpServer.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace xv4;

constexpr int kRounds = 5;
constexpr int kExchangesPerRound = 2000;
constexpr double kRatioBar = 0.70;
constexpr double kWaitCpuBarPercent = 5.0;

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Sample {
  double rate = 0;            // exchanges per second
  double cpuPerExchange = 0;  // seconds of this thread's CPU
};

// Sends a 259-byte record and waits for the acknowledgement byte, with plain socket calls.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
      throw std::runtime_error("socket failed");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(port);
    record_.fill(0);
    record_[0] = 63;
    record_[1] = 124;
  }
  ~RawClient() { ::close(fd_); }

  bool Exchange() {
    if (::sendto(fd_, record_.data(), record_.size(), 0, reinterpret_cast<sockaddr*>(&to_),
                 sizeof to_) != static_cast<ssize_t>(record_.size()))
      return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 500) != 1)
      return false;
    std::uint8_t reply[16];
    return ::recv(fd_, reply, sizeof reply, 0) == 1 && reply[0] == AckByte;
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
  std::array<std::uint8_t, kRecordSize> record_{};
};

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

Sample Median(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.rate < b.rate; });
  return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);

  sim::PrinterEngine engine;
  engine.SetCaptureLimit(0);
  sim::UdpServer server(engine);
  server.Start("127.0.0.1", 0);

  // The session binds a port the system chooses, so the benchmark never collides with a tool
  // that holds the printer protocol's port 5001.
  TValdMBusComm comm(nullptr, nullptr, 0);
  comm.SetMode(tmTCPIP);
  comm.SetRetryCount(3);
  comm.SetRetryInterval(500);
  comm.SetRemotePort(server.Port());
  comm.SetRemoteHost(QStringLiteral("127.0.0.1"));
  comm.MachineNo = static_cast<std::int32_t>(AddressToNumber(QStringLiteral("127.0.0.1"), true));
  if (!comm.Connect(comm.MachineNo, 0, true)) {
    std::fprintf(stderr, "bench_udp: the session could not connect to the simulator\n");
    return 1;
  }
  comm.DataBlock.fill(0);

  RawClient raw(server.Port());
  int sessionFailures = 0;
  int rawFailures = 0;
  // Warm-up: caches, socket buffers, the simulator's thread.
  Measure([&] { return raw.Exchange(); }, 200, &rawFailures);
  Measure([&] { return comm.WriteRecord(63, 124); }, 200, &sessionFailures);

  std::vector<Sample> rawSamples, sessionSamples;
  for (int round = 0; round < kRounds; ++round) {
    rawSamples.push_back(Measure([&] { return raw.Exchange(); }, kExchangesPerRound, &rawFailures));
    sessionSamples.push_back(
        Measure([&] { return comm.WriteRecord(63, 124); }, kExchangesPerRound, &sessionFailures));
  }
  const Sample rawMedian = Median(rawSamples);
  const Sample sessionMedian = Median(sessionSamples);
  const double ratio = sessionMedian.rate / rawMedian.rate;

  // One reply wait that nothing answers.
  const double wall0 = WallSeconds();
  const double cpu0 = ThreadCpuSeconds();
  const int waitResult = comm.WaitReply(500);
  const double waitCpu = ThreadCpuSeconds() - cpu0;
  const double waitWall = WallSeconds() - wall0;
  const double waitPercent = 100.0 * waitCpu / waitWall;

  server.Stop();

  std::printf(
      "bench_udp: %d rounds of %d record writes (63/124) against the simulator on "
      "127.0.0.1, median round\n",
      kRounds, kExchangesPerRound);
  std::printf("  raw socket   %9.0f writes/s   %6.1f us CPU per exchange\n", rawMedian.rate,
              rawMedian.cpuPerExchange * 1e6);
  std::printf("  session      %9.0f writes/s   %6.1f us CPU per exchange   (WriteRecord)\n",
              sessionMedian.rate, sessionMedian.cpuPerExchange * 1e6);
  std::printf("  ratio        %9.2f   (bar >= %.2f) %s\n", ratio, kRatioBar,
              ratio >= kRatioBar ? "ok" : "MISSED");
  std::printf(
      "  WaitReply(500) with no reply: result %d after %.0f ms, %.2f ms CPU = %.2f%% of "
      "one core   (bar < %.0f%%) %s\n",
      waitResult, waitWall * 1e3, waitCpu * 1e3, waitPercent, kWaitCpuBarPercent,
      waitPercent < kWaitCpuBarPercent ? "ok" : "MISSED");
  std::printf("  simulator: %d requests acknowledged; failed exchanges: raw %d, session %d\n",
              engine.Stats().acks, rawFailures, sessionFailures);
  return 0;
}
