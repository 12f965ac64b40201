#include "sim/PtyPairServer.h"

#include "sim/PackFault.h"
#include "sim/Posix.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace xv4::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 4096;
// A side stops being read while this much waits for its own terminal or for the other side's.
constexpr std::size_t kMaxPending = 1 << 20;
// A paced line holds at most about a second of its time (at least this much), as a modem's
// buffer would: the tool's writes then wait, instead of running far ahead of the line.
constexpr std::size_t kMinLineBuffer = 4096;
// After a read error, look again this much later instead of spinning.
constexpr auto kErrorRetry = std::chrono::milliseconds(200);

}  // namespace

struct PtyPairServer::Impl {
  // One terminal with its modem (modem pair) and the wire from it towards the other side.
  struct Side final : ModemEnvironment {
    Side(Impl& owner, int which) : pair(owner), index(which), name(which == 0 ? "A" : "B") {}

    void ToTerminal(std::span<const std::uint8_t> bytes) override {
      if (present)
        output.insert(output.end(), bytes.begin(), bytes.end());
    }
    void ToLine(std::span<const std::uint8_t> bytes) override {
      if (pair.call == Call::kUp)
        ToWire(bytes);
    }
    // Bytes onto the line towards the other side, through the line's fault.
    void ToWire(std::span<const std::uint8_t> bytes) {
      std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
      if (corrupter.Apply(copy) > 0) {
        pair.Log("line " + name + "->" + pair.Other(index).name + ": data pack " +
                 std::to_string(corrupter.Packs()) + " corrupted");
      }
      wire.Push(copy.data(), copy.size(), pair.now);
    }
    void Dial(const std::string&) override { pair.Dial(index); }
    void Answer() override { pair.Answer(index); }
    void HangUp() override { pair.HangUp(index); }
    void Log(const std::string& line) override { pair.Log("modem " + name + " " + line); }

    Impl& pair;
    const int index;
    const std::string name;
    Pty pty;
    bool present = false;                          // the tool has the port open
    std::deque<std::uint8_t> output;               // for this side's terminal
    PacedWire wire;                                // from this side to the other
    PackCorrupter corrupter;                       // the fault of that direction
    std::optional<ModemEmulator> modem;            // modem pair only
    std::optional<Clock::time_point> pausedUntil;  // after a read error
    // A dial or an answer of this side that fails on its own (not a call between the two).
    std::optional<std::pair<Clock::time_point, ModemResult>> failure;
  };

  enum class Call { kNone, kRinging, kConnecting, kUp };

  Impl(PtyPairServer& server, Kind k, const ModemOptions& o)
      : owner(server), kind(k), options(o), sides{Side(*this, 0), Side(*this, 1)} {}

  void Log(const std::string& line) const {
    if (owner.log_)
      owner.log_(line);
  }
  Side& Other(int index) { return sides[1 - index]; }

  void Dial(int index);
  void Answer(int index);
  void HangUp(int index);
  void EndCall();
  void TerminalOpen(Side& side, bool open);
  void FromTerminal(Side& side, std::span<const std::uint8_t> bytes);
  void Tick();
  std::optional<Clock::time_point> NextDeadline() const;

  PtyPairServer& owner;
  const Kind kind;
  const ModemOptions options;
  Side sides[2];
  StopSignal stop;
  OpenWatch watch;        // index = side
  Clock::time_point now;  // of the worker's current pass
  // The call between the two sides.
  Call call = Call::kNone;
  int caller = 0;
  int rings = 0;               // rings so far
  Clock::time_point callAt{};  // the next ring, or the connection
};

void PtyPairServer::Impl::Dial(int index) {
  Side& me = sides[index];
  if (const auto failed = DialFailure(options.dial)) {
    me.failure.emplace(now + options.delay, *failed);
    return;
  }
  if (options.dial == DialOutcome::kSilent)
    return;
  if (call != Call::kNone || !Other(index).modem->OnHook()) {
    me.failure.emplace(now + options.delay, ModemResult::kBusy);
    return;
  }
  call = Call::kRinging;
  caller = index;
  rings = 0;
  callAt = now + options.delay;
}

void PtyPairServer::Impl::Answer(int index) {
  if (call == Call::kRinging && caller != index) {
    call = Call::kConnecting;
    callAt = now + options.delay;
    return;
  }
  // Nobody is calling this side.
  sides[index].failure.emplace(now + options.delay, ModemResult::kNoCarrier);
}

void PtyPairServer::Impl::HangUp(int index) {
  sides[index].failure.reset();
  if (call == Call::kNone)
    return;
  if (call == Call::kRinging) {
    // The caller gave up; the called side was never off hook.
    if (caller == index)
      EndCall();
    return;
  }
  EndCall();
  Log("modem " + sides[index].name + " hung up");
  Other(index).modem->CarrierLost();
}

void PtyPairServer::Impl::EndCall() {
  call = Call::kNone;
  for (Side& side : sides)
    side.wire.Clear();
}

void PtyPairServer::Impl::TerminalOpen(Side& side, bool open) {
  side.present = open;
  if (open) {
    Log((kind == Kind::kModemPair ? "modem " : "null-modem ") + side.name + " terminal opened");
    return;
  }
  // What the tool left unread would greet the next open: a closed port receives nothing more.
  side.output.clear();
  ::tcflush(side.pty.slaveHold.Get(), TCIFLUSH);
  if (side.modem)
    side.modem->TerminalClosed();
  else
    Log("null-modem " + side.name + " terminal closed");
}

void PtyPairServer::Impl::FromTerminal(Side& side, std::span<const std::uint8_t> bytes) {
  if (side.modem)
    side.modem->FromTerminal(bytes, now);
  else
    side.ToWire(bytes);
}

void PtyPairServer::Impl::Tick() {
  for (Side& side : sides) {
    if (side.modem)
      side.modem->Tick(now);
    if (side.failure && now >= side.failure->first) {
      const ModemResult result = side.failure->second;
      side.failure.reset();
      side.modem->CallFailed(result);
    }
  }
  if (call == Call::kRinging && now >= callAt) {
    if (rings >= options.ringLimit) {
      EndCall();
      sides[caller].modem->CallFailed(ModemResult::kNoAnswer);
    } else {
      ++rings;
      callAt = now + options.ringInterval;
      // A modem whose terminal is closed hears no ring and answers none (its DTR is off).
      Side& called = Other(caller);
      if (called.present)
        called.modem->Ring(now);
    }
  }
  if (call == Call::kConnecting && now >= callAt) {
    EndCall();
    call = Call::kUp;
    for (Side& side : sides)
      side.modem->Connected(ConnectSpeed(options.lineBps, side.pty.master.Get()), now);
  }
  for (Side& side : sides) {
    const std::vector<std::uint8_t> bytes = side.wire.Take(now);
    if (bytes.empty())
      continue;
    Side& to = Other(side.index);
    if (to.modem)
      to.modem->FromLine(bytes);
    else
      to.output.insert(to.output.end(), bytes.begin(), bytes.end());
  }
}

std::optional<Clock::time_point> PtyPairServer::Impl::NextDeadline() const {
  std::optional<Clock::time_point> next;
  if (call == Call::kRinging || call == Call::kConnecting)
    next = callAt;
  for (const Side& side : sides) {
    if (side.modem)
      next = Earliest(next, side.modem->NextDeadline());
    if (side.failure)
      next = Earliest(next, side.failure->first);
    next = Earliest(next, side.wire.NextDue());
    next = Earliest(next, side.pausedUntil);
  }
  return next;
}

PtyPairServer::PtyPairServer() = default;

PtyPairServer::~PtyPairServer() {
  Stop();
}

void PtyPairServer::Start(Kind kind, const ModemOptions& options) {
  if (Running())
    throw std::logic_error("PtyPairServer already started");
  auto impl = std::make_unique<Impl>(*this, kind, options);
  for (Impl::Side& side : impl->sides) {
    side.pty = OpenPty();
    side.wire = PacedWire(options.lineBps);
    side.corrupter = PackCorrupter(options.corruptEvery);
    if (kind == Kind::kModemPair)
      side.modem.emplace(side, options.guardTime);
    impl->watch.Add(side.pty.path);
    side.present = impl->watch.IsOpen(side.index);
    paths_[side.index] = side.pty.path;
  }
  impl_ = std::move(impl);
  worker_ = std::thread([this] { Run(); });
}

void PtyPairServer::Stop() {
  if (!worker_.joinable())
    return;
  impl_->stop.Raise();
  worker_.join();
  impl_.reset();
}

void PtyPairServer::Run() {
  Impl& s = *impl_;
  std::vector<std::uint8_t> buffer(kReadChunk);
  const std::size_t lineBuffer =
      s.options.lineBps > 0
          ? std::max(kMinLineBuffer, static_cast<std::size_t>(s.options.lineBps) / 10)
          : kMaxPending;
  for (;;) {
    s.now = Clock::now();
    std::vector<PollEntry> entries{{s.stop.Fd(), POLLIN, 0}, {s.watch.Fd(), POLLIN, 0}};
    for (Impl::Side& side : s.sides) {
      if (side.pausedUntil && s.now >= *side.pausedUntil)
        side.pausedUntil.reset();
      // Read a side only while there is room for what it may cause: its own echo and answers,
      // and the bytes on their way to the other side.
      const bool room = side.output.size() < kMaxPending && side.wire.Size() < lineBuffer &&
                        s.Other(side.index).output.size() < kMaxPending;
      const short events = static_cast<short>((room && !side.pausedUntil ? POLLIN : 0) |
                                              (side.output.empty() ? 0 : POLLOUT));
      entries.push_back({events != 0 ? side.pty.master.Get() : -1, events, 0});
    }
    if (!PollUntil(entries, s.NextDeadline()))
      return;
    if (entries[0].revents != 0)
      return;
    s.now = Clock::now();

    // Opens and closes first: bytes the tool wrote after opening belong to the new session.
    if (entries[1].revents != 0) {
      for (const auto& [index, open] : s.watch.ReadChanges())
        s.TerminalOpen(s.sides[index], open);
    }
    for (Impl::Side& side : s.sides) {
      const short ready = entries[2 + static_cast<std::size_t>(side.index)].revents;
      if (ready & POLLIN) {
        const ssize_t n = ::read(side.pty.master.Get(), buffer.data(), buffer.size());
        if (n > 0)
          s.FromTerminal(side,
                         std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
          side.pausedUntil = s.now + kErrorRetry;
      } else if (ready & (POLLHUP | POLLERR | POLLNVAL)) {
        side.pausedUntil = s.now + kErrorRetry;
      }
    }
    s.Tick();
    for (Impl::Side& side : s.sides)
      WritePending(side.pty.master.Get(), side.output);
  }
}

}  // namespace xv4::sim
