// bench_udp: record writes per second through the device session against the simulator on
// loopback, beside a raw-socket client doing the same exchange, and the CPU that one idle
// reply wait costs.
//
// Both clients run on this thread against one simulator running on its own thread, in
// alternating rounds, so that both see the same machine load. CPU times are this thread's
// (CLOCK_THREAD_CPUTIME_ID): the client's own cost, without the simulator's.
#include "bench/BenchSupport.h"
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"
#include "sim/PrinterEngine.h"
#include "sim/UdpServer.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace xv4;
using namespace xv4::bench;

constexpr int kRounds = 5;
constexpr int kExchangesPerRound = 2000;
constexpr double kRatioBar = 0.70;
constexpr double kWaitCpuBarPercent = 5.0;

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
