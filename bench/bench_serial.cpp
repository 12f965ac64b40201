// Record writes per second over a pseudo-terminal against the simulated printer: through the
// device session, the link and the serial port (TValdMBusComm::WriteRecord), and, in the same run,
// a raw single-threaded baseline that writes the same 302 bytes and waits for the one-byte
// answer. Also the CPU that an open, idle link uses.
//
// A third loop models the least any design with a read thread can do: the same writes, with a
// plain reader thread that polls the line and hands each answer to the writer through an
// eventfd, which is how an answer reaches a sleeping event loop. Its ratio to the raw loop is the
// ceiling that the machine's scheduler sets for the session's ratio.
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
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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

// The line opened raw at 460800 bit/s on a descriptor of its own; -1 on failure.
int OpenRawLine(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B460800);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

bool WriteWhole(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (errno != EINTR)
      return false;
  }
  return true;
}

// Runs exchange() (one frame out, one answer back; false on failure) for the duration and
// returns exchanges per second; -1 on failure.
template <typename Exchange>
double ExchangesPerSecond(std::chrono::milliseconds duration, Exchange exchange) {
  long count = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + duration;
  bool ok = true;
  while (ok && Clock::now() < end) {
    ok = exchange();
    if (ok)
      ++count;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return ok ? static_cast<double>(count) / elapsed : -1;
}

// A loop that writes one frame and waits for one byte, on its own descriptor of the line.
double RawWritesPerSecond(const std::string& path, std::chrono::milliseconds duration) {
  const int fd = OpenRawLine(path);
  if (fd < 0)
    return -1;
  const auto frame = WriteFrame();
  const double rate = ExchangesPerSecond(duration, [&] {
    std::uint8_t answer = 0;
    pollfd p{fd, POLLIN, 0};
    return WriteWhole(fd, frame.data(), frame.size()) && ::poll(&p, 1, 2000) == 1 &&
           ::read(fd, &answer, 1) == 1 && answer == AckByte;
  });
  ::close(fd);
  return rate;
}

// The same loop, but a reader thread takes the answer off the line and wakes the writer through
// an eventfd.
double HandOffWritesPerSecond(const std::string& path, std::chrono::milliseconds duration) {
  const int fd = OpenRawLine(path);
  const int wake = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0 || wake < 0)
    return -1;
  std::atomic<bool> quit{false};
  std::thread reader([&] {
    while (!quit.load()) {
      pollfd p{fd, POLLIN, 0};
      std::uint8_t answer[64];
      if (::poll(&p, 1, 50) == 1 && ::read(fd, answer, sizeof answer) == 1 &&
          answer[0] == AckByte) {
        const std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
      }
    }
  });
  const auto frame = WriteFrame();
  const double rate = ExchangesPerSecond(duration, [&] {
    std::uint64_t answers = 0;
    pollfd p{wake, POLLIN, 0};
    return WriteWhole(fd, frame.data(), frame.size()) && ::poll(&p, 1, 2000) == 1 &&
           ::read(wake, &answers, sizeof answers) == sizeof answers;
  });
  quit = true;
  reader.join();
  ::close(wake);
  ::close(fd);
  return rate;
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
  const double rate = ExchangesPerSecond(duration, [&] { return session.WriteRecord(63, 1); });
  session.SetActive(false);
  return rate;
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
  std::vector<double> handOff;
  std::vector<double> linked;
  std::vector<double> ratios;
  std::vector<double> modelRatios;
  std::vector<double> ofModel;
  for (int i = 0; i < kRounds; ++i) {
    raw.push_back(RawWritesPerSecond(path, round));
    handOff.push_back(HandOffWritesPerSecond(path, round));
    linked.push_back(SessionWritesPerSecond(path, round));
    const char* failed = raw.back() <= 0       ? "raw loop"
                         : handOff.back() <= 0 ? "hand-off model"
                         : linked.back() <= 0  ? "session"
                                               : nullptr;
    if (failed != nullptr) {
      std::fprintf(stderr, "no answer from the simulator on %s (%s)\n", path.c_str(), failed);
      return 1;
    }
    ratios.push_back(linked.back() / raw.back());
    modelRatios.push_back(handOff.back() / raw.back());
    ofModel.push_back(linked.back() / handOff.back());
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
  std::printf("reader-thread hand-off model (same frames):    %10.0f writes/s\n", Median(handOff));
  std::printf("WriteRecord over link and serial port:         %10.0f writes/s\n", Median(linked));
  std::printf("hand-off model / raw (the machine's ceiling):   %10.2f\n", Median(modelRatios));
  std::printf("WriteRecord / hand-off model:                   %10.2f\n", Median(ofModel));
  std::printf("ratio (median of the rounds' ratios):           %10.2f  (bar >= %.2f: %s)\n", ratio,
              kRatioBar, ratio >= kRatioBar ? "met" : "MISSED");
  std::printf(
      "idle open link, whole process:                 %10.2f %% of a core  (bar < %.0f %%: %s)\n",
      idleCpuPercent, kIdleCpuBar, idleCpuPercent < kIdleCpuBar ? "met" : "MISSED");
  return 0;
}
