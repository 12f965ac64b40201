// Record writes per second over a pseudo-terminal against the simulated printer: through the
// device session, the link and the serial port (TValdMBusComm::WriteRecord), and, in the same run,
// a raw single-threaded baseline that writes the same 302 bytes and waits for the one-byte
// answer. Also the CPU that an open, idle link uses.
//
// Usage: bench_serial [seconds per measurement, default 6]

#include "platform/AppDir.h"
#include "platform/EventLoop.h"
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace xv4;
using Clock = std::chrono::steady_clock;

constexpr double kRatioBar = 0.35;
constexpr double kIdleCpuBar = 1.0;  // percent of one core

double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The frame WriteRecord sends for command 63, word 1 and a data block of 0x5A bytes.
std::array<std::uint8_t, kFrameWithTrailer> WriteFrame() {
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  area[0] = 63;
  area[1] = 1;
  std::fill(area.begin() + 3, area.begin() + kRecordSize, std::uint8_t{0x5A});
  StoreChecksum(area);
  std::array<std::uint8_t, kFrameWithTrailer> frame{};
  PackFrame(area, std::span<std::uint8_t, kFrameSize>(frame.data(), kFrameSize));
  frame[kFrameSize] = kFrameTrailer;
  return frame;
}

// Writes per second of a loop that writes one frame and waits for one byte, on its own
// descriptor of the line; -1 on failure.
double RawWritesPerSecond(const std::string& path, std::chrono::milliseconds duration) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B460800);
  ::tcsetattr(fd, TCSANOW, &t);
  const auto frame = WriteFrame();
  long count = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + duration;
  bool ok = true;
  while (ok && Clock::now() < end) {
    std::size_t done = 0;
    while (ok && done < frame.size()) {
      const ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else if (errno != EINTR)
        ok = false;
    }
    std::uint8_t answer = 0;
    pollfd p{fd, POLLIN, 0};
    ok = ok && ::poll(&p, 1, 2000) == 1 && ::read(fd, &answer, 1) == 1 && answer == AckByte;
    if (ok)
      ++count;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  return ok ? static_cast<double>(count) / elapsed : -1;
}

// Writes per second through the session, opened on the line for this round; -1 on failure.
double SessionWritesPerSecond(const std::string& path, std::chrono::milliseconds duration) {
  TValdMBusComm session(nullptr, nullptr, 0);
  session.SetMode(tmRS232);
  session.SetCommName(QString::fromStdString(path));
  session.SetBaudRate(tbr460800);
  session.SetisModem(false);
  session.SetRetryCount(3);
  session.SetRetryInterval(500);
  session.MachineNo = 1234;
  session.SetActive(true);
  session.DataBlock.fill(0x5A);
  long count = 0;
  bool ok = true;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + duration;
  while (ok && Clock::now() < end) {
    ok = session.WriteRecord(63, 1);
    if (ok)
      ++count;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  session.SetActive(false);
  return ok ? static_cast<double>(count) / elapsed : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 6;
  // Other programs share the machine and its load changes while we measure: both loops run in
  // many short alternating rounds, each pair of rounds gives a ratio, and the median of those
  // ratios is the figure (the median writes per second are shown beside it).
  constexpr int kRounds = 20;
  const std::chrono::milliseconds round(std::max(50, seconds * 1000 / (2 * kRounds)));

  // Option.ini and the link's debug file go to a scratch directory, not into the build tree.
  QTemporaryDir appDir;
  platform::SetApplicationDir(appDir.path());

  sim::PrinterEngine engine;
  engine.SetCaptureLimit(0);
  sim::SerialServer server(engine);
  server.StartPty();
  const std::string path = server.Path();

  std::vector<double> raw;
  std::vector<double> linked;
  std::vector<double> ratios;
  for (int i = 0; i < kRounds; ++i) {
    raw.push_back(RawWritesPerSecond(path, round));
    linked.push_back(SessionWritesPerSecond(path, round));
    if (raw.back() <= 0 || linked.back() <= 0) {
      std::fprintf(stderr, "no answer from the simulator on %s (%s)\n", path.c_str(),
                   raw.back() <= 0 ? "raw loop" : "session");
      return 1;
    }
    ratios.push_back(linked.back() / raw.back());
  }

  // Open and idle: the link's worker passes, the port's threads and the simulator's thread are
  // all that runs; the UI thread sleeps in the event loop.
  double idleCpuPercent = 0;
  {
    TValdMBusComm session(nullptr, nullptr, 0);
    session.SetCommName(QString::fromStdString(path));
    session.SetBaudRate(tbr460800);
    session.SetisModem(false);
    session.SetActive(true);
    platform::DelayMs(200);
    const double cpuBefore = ProcessCpuMs();
    const Clock::time_point idleStart = Clock::now();
    platform::DelayMs(seconds * 1000);
    const double idleMs =
        std::chrono::duration<double, std::milli>(Clock::now() - idleStart).count();
    idleCpuPercent = (ProcessCpuMs() - cpuBefore) / idleMs * 100.0;
    session.SetActive(false);
  }
  server.Stop();

  const double ratio = Median(ratios);
  std::printf("%d alternating rounds of %lld ms each, medians:\n", kRounds,
              static_cast<long long>(round.count()));
  std::printf("raw pty baseline (302 bytes out, 1 byte back): %10.0f writes/s\n", Median(raw));
  std::printf("WriteRecord over link and serial port:         %10.0f writes/s\n", Median(linked));
  std::printf("ratio (median of the rounds' ratios):           %10.2f  (bar >= %.2f: %s)\n", ratio,
              kRatioBar, ratio >= kRatioBar ? "met" : "MISSED");
  std::printf(
      "idle open link, whole process:                 %10.2f %% of a core  (bar < %.0f %%: %s)\n",
      idleCpuPercent, kIdleCpuBar, idleCpuPercent < kIdleCpuBar ? "met" : "MISSED");
  return 0;
}
