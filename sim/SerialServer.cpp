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

}  // namespace

// The printer's end of the telephone line behind a modem: its own modem takes every call as
// the dial outcome says, after the configured delay; while the call is up the tool's bytes reach
// the printer and the printer's answers come back. With a drop count the carrier goes once the
// answer to the call's N-th record has left. Worker thread only.
class SerialServer::PrinterCall final : public ModemEnvironment {
 public:
  PrinterCall(SerialServer& server, Impl& impl, const ModemOptions& options, bool terminalOpen)
      : server_(server),
        s_(impl),
        options_(options),
        present_(terminalOpen),
        modem_(*this, options.guardTime) {}

  ModemEmulator& Modem() { return modem_; }
  std::optional<Clock::time_point> NextDeadline() const {
    return Earliest(Earliest(outcomeAt_, dropAt_), modem_.NextDeadline());
  }
  void Tick(Clock::time_point now);
  // The printer handled a record of this call; its answer has left by `answered`.
  void RecordHandled(Clock::time_point answered);
  // The tool opened or closed its port.
  void TerminalOpen(bool open);

  void ToTerminal(std::span<const std::uint8_t> bytes) override;
  void ToLine(std::span<const std::uint8_t> bytes) override {
    if (call_ == Call::kUp)
      server_.FeedPrinter(bytes);
  }
  void Dial(const std::string& number) override;
  void Answer() override;
  void HangUp() override { EndCall(); }
  void Log(const std::string& line) override {
    if (server_.log_)
      server_.log_("modem " + line);
  }

 private:
  enum class Call { kNone, kDialing, kAnswering, kUp };
  void EndCall();

  SerialServer& server_;
  Impl& s_;
  const ModemOptions options_;
  bool present_;  // the tool has the port open
  Call call_ = Call::kNone;
  std::optional<Clock::time_point> outcomeAt_;  // the dial's or the answer's outcome
  std::optional<Clock::time_point> dropAt_;     // the carrier goes
  int records_ = 0;                             // records of the call so far
  ModemEmulator modem_;                         // last: it calls back into the members above
};

struct SerialServer::Impl {
  UniqueFd line;       // pty master, or the device
  UniqueFd slaveHold;  // pty only: keeps the slave side open
  StopSignal stop;
  FrameFinder finder;
  TimerQueue<std::vector<std::uint8_t>> queue;
  std::deque<std::uint8_t> output;
  std::mt19937 rng{5013};
  std::optional<Clock::time_point> hungUpUntil;
  Clock::time_point now;  // of the worker's current pass
  // With a modem.
  OpenWatch watch;  // pty: the tool's opens and closes
  std::unique_ptr<PrinterCall> call;
};

void SerialServer::PrinterCall::ToTerminal(std::span<const std::uint8_t> bytes) {
  if (present_)
    s_.output.insert(s_.output.end(), bytes.begin(), bytes.end());
}

void SerialServer::PrinterCall::Dial(const std::string&) {
  call_ = Call::kDialing;
  if (options_.dial == DialOutcome::kSilent)
    outcomeAt_.reset();
  else
    outcomeAt_ = s_.now + options_.delay;
}

void SerialServer::PrinterCall::Answer() {
  // Nobody calls the tool here: the answer ends in NO CARRIER.
  call_ = Call::kAnswering;
  outcomeAt_ = s_.now + options_.delay;
}

void SerialServer::PrinterCall::EndCall() {
  call_ = Call::kNone;
  outcomeAt_.reset();
  dropAt_.reset();
  s_.queue.Clear();
  s_.finder.Reset();
}

void SerialServer::PrinterCall::RecordHandled(Clock::time_point answered) {
  if (call_ == Call::kUp && options_.dropAfter > 0 && ++records_ == options_.dropAfter)
    dropAt_ = answered;
}

void SerialServer::PrinterCall::Tick(Clock::time_point now) {
  modem_.Tick(now);
  if (outcomeAt_ && now >= *outcomeAt_) {
    outcomeAt_.reset();
    const auto failure =
        call_ == Call::kAnswering ? ModemResult::kNoCarrier : DialFailure(options_.dial);
    if (failure) {
      EndCall();
      modem_.CallFailed(*failure);
    } else if (call_ == Call::kDialing) {
      EndCall();
      call_ = Call::kUp;
      records_ = 0;
      modem_.Connected(ConnectSpeed(options_.lineBps, s_.line.Get()), now);
    }
  }
  if (dropAt_ && now >= *dropAt_) {
    EndCall();
    Log("carrier lost after " + std::to_string(records_) +
        (records_ == 1 ? " record" : " records"));
    modem_.CarrierLost();
  }
}

void SerialServer::PrinterCall::TerminalOpen(bool open) {
  present_ = open;
  if (open)
    return;
  // What the tool left unread would greet the next open: a closed port receives nothing.
  s_.output.clear();
  ::tcflush(s_.slaveHold.Get(), TCIFLUSH);
  modem_.TerminalClosed();
}

SerialServer::SerialServer(PrinterEngine& engine) : engine_(engine) {}

SerialServer::~SerialServer() {
  Stop();
}

void SerialServer::StartPty(const SerialOptions& options) {
  if (Running())
    throw std::logic_error("SerialServer already started");
  auto impl = std::make_unique<Impl>();
  Pty pty = OpenPty();
  impl->line = std::move(pty.master);
  impl->slaveHold = std::move(pty.slaveHold);
  if (options.modem)
    impl->watch.Add(pty.path);
  StartWith(std::move(impl), pty.path, options);
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
  if (options.modem) {
    // A device cannot be watched: its far side always counts as there.
    const bool open = !impl->slaveHold.Valid() || impl->watch.IsOpen(0);
    impl->call = std::make_unique<PrinterCall>(*this, *impl, *options.modem, open);
  }
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

void SerialServer::FeedPrinter(std::span<const std::uint8_t> bytes) {
  Impl& s = *impl_;
  const auto onFrame = [&](ConstFrameBytes frame) {
    const int speed = LineSpeedOf(s.line.Get());
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
    // Behind a modem with a line speed, the answers travel at that speed.
    int pace = options_.pace ? speed : 0;
    if (options_.modem && options_.modem->lineBps > 0)
      pace = options_.modem->lineBps;
    const auto received = Clock::now();
    auto answered = received;
    for (TimedPiece& piece : ShapeAnswer(answer, Transport::kSerial, pace, s.rng)) {
      answered = std::max(answered, received + piece.at);
      s.queue.Push(received + piece.at, std::move(piece.bytes));
    }
    if (s.call)
      s.call->RecordHandled(answered);
    Count(&SerialStats::frames);
  };
  const std::uint64_t before = s.finder.DiscardedBytes();
  s.finder.Feed(bytes, onFrame);
  if (s.finder.DiscardedBytes() != before)
    Count(&SerialStats::discardedBytes, s.finder.DiscardedBytes() - before);
}

void SerialServer::Run() {
  Impl& s = *impl_;
  const int fd = s.line.Get();
  PrinterCall* const call = s.call.get();
  std::vector<std::uint8_t> buffer(kReadChunk);

  for (;;) {
    const auto now = Clock::now();
    if (s.hungUpUntil && now >= *s.hungUpUntil)
      s.hungUpUntil.reset();
    short events = 0;
    if (!s.hungUpUntil)
      events = static_cast<short>(POLLIN | (s.output.empty() ? 0 : POLLOUT));
    std::optional<Clock::time_point> wake = Earliest(s.queue.NextDue(), s.hungUpUntil);
    if (call)
      wake = Earliest(wake, call->NextDeadline());

    // A negative descriptor is ignored by poll(): that is how a hung-up line sits out its pause.
    std::vector<PollEntry> entries{
        {events != 0 ? fd : -1, events, 0}, {s.stop.Fd(), POLLIN, 0}, {s.watch.Fd(), POLLIN, 0}};
    if (!PollUntil(entries, wake))
      return;
    if (entries[1].revents != 0)
      return;
    s.now = Clock::now();

    // Opens and closes first: bytes the tool wrote after opening belong to the new session.
    if (call && entries[2].revents != 0) {
      for (const auto& [index, open] : s.watch.ReadChanges())
        call->TerminalOpen(open);
    }

    const short ready = entries[0].revents;
    if (ready & POLLIN) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
        if (call)
          call->Modem().FromTerminal(bytes, s.now);
        else
          FeedPrinter(bytes);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        s.hungUpUntil = Clock::now() + kHangupRetry;
      }
    } else if (ready & (POLLHUP | POLLERR | POLLNVAL)) {
      s.hungUpUntil = Clock::now() + kHangupRetry;
    }

    for (std::vector<std::uint8_t>& piece : s.queue.PopDue(Clock::now())) {
      if (call)
        call->Modem().FromLine(piece);
      else
        s.output.insert(s.output.end(), piece.begin(), piece.end());
    }
    if (call)
      call->Tick(Clock::now());
    if (s.output.size() > kMaxPendingOutput) {
      const std::size_t drop = s.output.size() - kMaxPendingOutput;
      s.output.erase(s.output.begin(), s.output.begin() + static_cast<std::ptrdiff_t>(drop));
      Count(&SerialStats::writeErrors);
    }

    if (!s.hungUpUntil) {
      const std::int64_t n = WritePending(fd, s.output);
      if (n > 0)
        Count(&SerialStats::bytesWritten, static_cast<std::uint64_t>(n));
      else if (n < 0)
        Count(&SerialStats::writeErrors);
    }
  }
}

}  // namespace xv4::sim
