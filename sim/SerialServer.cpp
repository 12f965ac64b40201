#include "sim/SerialServer.h"

#include "sim/FrameFinder.h"
#include "sim/Posix.h"
#include "sim/ReplyShaper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <stdexcept>

namespace xv4::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;
// Answers nobody reads pile up here once the terminal's own buffer is full; beyond this the
// oldest are dropped, so a tool that stopped reading cannot make the simulator grow without end.
constexpr std::size_t kMaxPendingOutput = 1 << 20;
// After a hang-up or read error on a device, look again this much later instead of spinning.
constexpr auto kHangupRetry = std::chrono::milliseconds(200);

struct SpeedEntry {
  speed_t constant;
  int bps;
};
constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

int SpeedToBps(speed_t speed) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.constant == speed)
      return e.bps;
  }
  return 0;
}

speed_t BpsToSpeed(int bps) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.bps == bps)
      return e.constant;
  }
  return B0;
}

void SetRaw(int fd, speed_t speed, const std::string& what) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0)
    ThrowErrno("tcgetattr " + what, errno);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  if (::tcsetattr(fd, TCSANOW, &t) != 0)
    ThrowErrno("tcsetattr " + what, errno);
}

int LineSpeedOf(int fd) {
  // On Linux the master side of a pseudo-terminal reports the slave's settings.
  termios t{};
  if (::tcgetattr(fd, &t) != 0)
    return 0;
  return SpeedToBps(::cfgetospeed(&t));
}

}  // namespace

struct SerialServer::Impl {
  UniqueFd line;       // pty master, or the device
  UniqueFd slaveHold;  // pty only: keeps the slave side open
  StopSignal stop;
  FrameFinder finder;
  TimerQueue<std::vector<std::uint8_t>> queue;
  std::deque<std::uint8_t> output;
  std::mt19937 rng{5013};
  std::optional<Clock::time_point> hungUpUntil;
};

SerialServer::SerialServer(PrinterEngine& engine) : engine_(engine) {}

SerialServer::~SerialServer() {
  Stop();
}

void SerialServer::StartPty(const SerialOptions& options) {
  if (Running())
    throw std::logic_error("SerialServer already started");
  auto impl = std::make_unique<Impl>();
  impl->line.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->line.Valid())
    ThrowErrno("posix_openpt", errno);
  if (::grantpt(impl->line.Get()) != 0 || ::unlockpt(impl->line.Get()) != 0)
    ThrowErrno("pseudo-terminal set-up", errno);
  char name[128] = {};
  if (::ptsname_r(impl->line.Get(), name, sizeof name) != 0)
    ThrowErrno("ptsname", errno);
  // Raw from the start: in the default cooked mode the slave would echo every answer back.
  SetRaw(impl->line.Get(), B9600, name);
  impl->slaveHold.Reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->slaveHold.Valid())
    ThrowErrno(std::string("open ") + name, errno);
  StartWith(std::move(impl), name, options);
}

void SerialServer::StartDevice(const std::string& path, const SerialOptions& options) {
  if (Running())
    throw std::logic_error("SerialServer already started");
  const int bps = options.printerBps > 0 ? options.printerBps : 9600;
  const speed_t speed = BpsToSpeed(bps);
  if (speed == B0)
    throw std::runtime_error("unsupported line speed: " + std::to_string(bps));
  auto impl = std::make_unique<Impl>();
  impl->line.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!impl->line.Valid())
    ThrowErrno("open " + path, errno);
  if (!::isatty(impl->line.Get()))
    throw std::runtime_error(path + ": not a terminal device");
  SetRaw(impl->line.Get(), speed, path);
  ::tcflush(impl->line.Get(), TCIOFLUSH);
  SerialOptions deviceOptions = options;
  deviceOptions.printerBps = 0;  // the device runs at the printer's speed; nothing to compare
  StartWith(std::move(impl), path, deviceOptions);
}

void SerialServer::StartWith(std::unique_ptr<Impl> impl, const std::string& path,
                             const SerialOptions& options) {
  {
    std::lock_guard lock(statsMutex_);
    stats_ = {};
  }
  options_ = options;  // read by the worker, which starts below
  {
    std::lock_guard lock(mutex_);
    impl_ = std::move(impl);
    path_ = path;
  }
  worker_ = std::thread([this] { Run(); });
}

void SerialServer::Stop() {
  if (!worker_.joinable())
    return;
  impl_->stop.Raise();
  worker_.join();
  std::lock_guard lock(mutex_);
  impl_.reset();
}

std::string SerialServer::Path() const {
  std::lock_guard lock(mutex_);
  return path_;
}

int SerialServer::CurrentLineSpeed() const {
  std::lock_guard lock(mutex_);
  return impl_ ? LineSpeedOf(impl_->line.Get()) : 0;
}

SerialStats SerialServer::Stats() const {
  std::lock_guard lock(statsMutex_);
  return stats_;
}

bool SerialServer::WaitForFrames(std::uint64_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(statsMutex_);
  return statsChanged_.wait_for(lock, timeout, [&] { return stats_.frames >= n; });
}

void SerialServer::Count(std::uint64_t SerialStats::*field, std::uint64_t n) {
  {
    std::lock_guard lock(statsMutex_);
    stats_.*field += n;
  }
  statsChanged_.notify_all();
}

void SerialServer::Run() {
  Impl& s = *impl_;
  const int fd = s.line.Get();
  std::vector<std::uint8_t> buffer(kReadChunk);

  const auto onFrame = [&](ConstFrameBytes frame) {
    const int speed = LineSpeedOf(fd);
    if (options_.printerBps > 0 && speed != options_.printerBps) {
      Count(&SerialStats::wrongSpeed);
      Count(&SerialStats::frames);
      return;
    }
    std::array<std::uint8_t, kRecordWithChecksum> area{};
    if (!UnpackFrame(frame, area)) {
      Count(&SerialStats::badChecksum);
      Count(&SerialStats::frames);
      return;
    }
    const Answer answer = engine_.Handle(
        std::span<const std::uint8_t, kRecordSize>(area.data(), kRecordSize), Transport::kSerial);
    const auto received = Clock::now();
    for (TimedPiece& piece :
         ShapeAnswer(answer, Transport::kSerial, options_.pace ? speed : 0, s.rng))
      s.queue.Push(received + piece.at, std::move(piece.bytes));
    Count(&SerialStats::frames);
  };

  for (;;) {
    const auto now = Clock::now();
    if (s.hungUpUntil && now >= *s.hungUpUntil)
      s.hungUpUntil.reset();
    short events = 0;
    if (!s.hungUpUntil)
      events = static_cast<short>(POLLIN | (s.output.empty() ? 0 : POLLOUT));
    std::optional<Clock::time_point> wake = s.queue.NextDue();
    if (s.hungUpUntil && (!wake || *s.hungUpUntil < *wake))
      wake = s.hungUpUntil;

    // A negative descriptor is ignored by poll(): that is how a hung-up line sits out its pause.
    std::vector<PollEntry> entries{{events != 0 ? fd : -1, events, 0}, {s.stop.Fd(), POLLIN, 0}};
    if (!PollUntil(entries, wake))
      return;
    if (entries[1].revents != 0)
      return;

    const short ready = entries[0].revents;
    if (ready & POLLIN) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        const std::uint64_t before = s.finder.DiscardedBytes();
        s.finder.Feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
                      onFrame);
        if (s.finder.DiscardedBytes() != before)
          Count(&SerialStats::discardedBytes, s.finder.DiscardedBytes() - before);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        s.hungUpUntil = Clock::now() + kHangupRetry;
      }
    } else if (ready & (POLLHUP | POLLERR | POLLNVAL)) {
      s.hungUpUntil = Clock::now() + kHangupRetry;
    }

    for (std::vector<std::uint8_t>& piece : s.queue.PopDue(Clock::now()))
      s.output.insert(s.output.end(), piece.begin(), piece.end());
    if (s.output.size() > kMaxPendingOutput) {
      const std::size_t drop = s.output.size() - kMaxPendingOutput;
      s.output.erase(s.output.begin(), s.output.begin() + static_cast<std::ptrdiff_t>(drop));
      Count(&SerialStats::writeErrors);
    }

    while (!s.output.empty() && !s.hungUpUntil) {
      std::uint8_t chunk[1024];
      std::size_t len = 0;
      for (auto it = s.output.begin(); it != s.output.end() && len < sizeof chunk; ++it)
        chunk[len++] = *it;
      const ssize_t n = ::write(fd, chunk, len);
      if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) {
          Count(&SerialStats::writeErrors);
          s.output.clear();
        }
        break;  // EAGAIN: the next poll waits for POLLOUT
      }
      Count(&SerialStats::bytesWritten, static_cast<std::uint64_t>(n));
      s.output.erase(s.output.begin(), s.output.begin() + n);
    }
  }
}

}  // namespace xv4::sim
