#include "sim/ModemEmulator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace xv4::sim {
namespace {

constexpr std::size_t kMaxLoggedLine = 80;
// A ring more than this after the previous one belongs to a new call (S1 starts again).
constexpr auto kRingGap = std::chrono::seconds(8);

char Upper(std::uint8_t c) {
  return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Printable form of received text for a traffic line.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out.push_back(ch);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

const char* ModemResultWord(ModemResult result) {
  switch (result) {
    case ModemResult::kOk:
      return "OK";
    case ModemResult::kConnect:
      return "CONNECT";
    case ModemResult::kRing:
      return "RING";
    case ModemResult::kNoCarrier:
      return "NO CARRIER";
    case ModemResult::kError:
      return "ERROR";
    case ModemResult::kNoDialtone:
      return "NO DIALTONE";
    case ModemResult::kBusy:
      return "BUSY";
    case ModemResult::kNoAnswer:
      return "NO ANSWER";
  }
  return "ERROR";
}

const char* DialOutcomeName(DialOutcome outcome) {
  switch (outcome) {
    case DialOutcome::kConnect:
      return "connect";
    case DialOutcome::kBusy:
      return "busy";
    case DialOutcome::kNoAnswer:
      return "no-answer";
    case DialOutcome::kNoDialtone:
      return "no-dialtone";
    case DialOutcome::kNoCarrier:
      return "no-carrier";
    case DialOutcome::kSilent:
      return "silent";
  }
  return "connect";
}

std::optional<DialOutcome> ParseDialOutcome(const std::string& name) {
  for (const DialOutcome o :
       {DialOutcome::kConnect, DialOutcome::kBusy, DialOutcome::kNoAnswer, DialOutcome::kNoDialtone,
        DialOutcome::kNoCarrier, DialOutcome::kSilent}) {
    if (name == DialOutcomeName(o))
      return o;
  }
  return std::nullopt;
}

std::optional<ModemResult> DialFailure(DialOutcome outcome) {
  switch (outcome) {
    case DialOutcome::kBusy:
      return ModemResult::kBusy;
    case DialOutcome::kNoAnswer:
      return ModemResult::kNoAnswer;
    case DialOutcome::kNoDialtone:
      return ModemResult::kNoDialtone;
    case DialOutcome::kNoCarrier:
      return ModemResult::kNoCarrier;
    case DialOutcome::kConnect:
    case DialOutcome::kSilent:
      break;
  }
  return std::nullopt;
}

ModemEmulator::ModemEmulator(ModemEnvironment& environment, std::chrono::milliseconds guardTime)
    : env_(environment) {
  auto& s = factory_.s;
  s[2] = '+';
  s[3] = '\r';
  s[4] = '\n';
  s[5] = 8;
  s[6] = 2;    // seconds to wait for the dial tone
  s[7] = 50;   // seconds to wait for the carrier
  s[8] = 2;    // seconds of a comma's pause
  s[10] = 14;  // 1/10 s of carrier loss before hanging up
  s[12] =
      static_cast<std::uint8_t>(std::clamp<std::int64_t>((guardTime.count() + 10) / 20, 0, 255));
  stored_ = factory_;
  profile_ = factory_;
}

std::chrono::milliseconds ModemEmulator::GuardTime() const {
  return std::chrono::milliseconds(20 * Reg(12));
}

void ModemEmulator::Send(const std::string& text) {
  env_.ToTerminal(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size()));
}

void ModemEmulator::Result(ModemResult result, const std::string& detail) {
  if (profile_.quiet)
    return;
  const std::string crlf{static_cast<char>(Reg(3)), static_cast<char>(Reg(4))};
  if (profile_.verbose)
    Send(crlf + ModemResultWord(result) + (detail.empty() ? "" : " " + detail) + crlf);
  else
    Send(std::to_string(static_cast<int>(result)) + static_cast<char>(Reg(3)));
}

void ModemEmulator::Info(const std::vector<std::string>& lines) {
  if (lines.empty())
    return;
  const std::string crlf{static_cast<char>(Reg(3)), static_cast<char>(Reg(4))};
  std::string text = crlf;
  for (const std::string& line : lines)
    text += line + crlf;
  Send(text);
}

void ModemEmulator::LogCommand(const std::string& outcome) {
  env_.Log("\"" + Printable(raw_) + (raw_.size() >= kMaxLoggedLine ? "..." : "") + "\" -> " +
           outcome);
}

void ModemEmulator::GoToCommand() {
  state_ = State::kCommand;
  pluses_ = 0;
  escapeAt_.reset();
  rings_ = 0;
}

void ModemEmulator::FromTerminal(std::span<const std::uint8_t> bytes, Clock::time_point now) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    switch (state_) {
      case State::kOnline:
        i += OnlineBytes(bytes.subspan(i), now);
        break;
      case State::kDialing:
      case State::kAnswering:
        // The LF that follows the command's CR is part of its line end.
        if (bytes[i] == Reg(4)) {
          ++i;
          break;
        }
        env_.HangUp();
        env_.Log(state_ == State::kDialing ? "dial abandoned by the terminal"
                                           : "answer abandoned by the terminal");
        GoToCommand();
        break;  // the byte starts the next command line
      case State::kCommand:
      case State::kOnlineCommand:
        i += CommandBytes(bytes.subspan(i), now);
        break;
    }
  }
}

std::size_t ModemEmulator::CommandBytes(std::span<const std::uint8_t> bytes,
                                        Clock::time_point now) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = bytes[i];
    if (profile_.echo)
      Send(std::string(1, static_cast<char>(b)));
    if (b != Reg(3) && b != Reg(4) && raw_.size() < kMaxLoggedLine)
      raw_.push_back(static_cast<char>(b));
    if (!inLine_) {
      const char u = Upper(b);
      if (u == 'A') {
        sawA_ = true;
      } else if (sawA_ && u == 'T') {
        sawA_ = false;
        inLine_ = true;
        overflow_ = false;
        line_.clear();
      } else {
        sawA_ = false;
        // The traffic line shows what led up to "AT" on the same line ("+++AT"), not noise.
        if (b < 0x20 || b >= 0x7F)
          raw_.clear();
      }
      continue;
    }
    if (b == Reg(3)) {
      inLine_ = false;
      Execute(line_, now);
      line_.clear();
      raw_.clear();
      // Dialling, answering or back online: the rest is for that state, except the LF of
      // the command's line end.
      if (state_ != State::kCommand && state_ != State::kOnlineCommand) {
        skipLf_ = state_ == State::kOnline;
        return i + 1;
      }
    } else if (b == Reg(5)) {
      if (!line_.empty())
        line_.pop_back();
    } else if (line_.size() < kMaxCommandLine) {
      line_.push_back(static_cast<char>(b));
    } else {
      overflow_ = true;
    }
  }
  return bytes.size();
}

void ModemEmulator::Execute(const std::string& body, Clock::time_point now) {
  if (overflow_) {
    LogCommand("ERROR (line too long)");
    Result(ModemResult::kError);
    return;
  }
  std::vector<std::string> info;
  std::size_t pos = 0;
  bool done = false;
  while (pos < body.size() && !done) {
    if (body[pos] == ' ') {
      ++pos;
      continue;
    }
    if (!ExecuteOne(body, &pos, &done, &info)) {
      Info(info);
      LogCommand("ERROR");
      Result(ModemResult::kError);
      return;
    }
  }
  Info(info);
  switch (state_) {
    case State::kDialing:
      LogCommand("dialing " + dialled_);
      break;
    case State::kAnswering:
      LogCommand("answering");
      break;
    case State::kOnline:
      pluses_ = 0;
      escapeAt_.reset();
      lastData_ = now;
      LogCommand("CONNECT " + std::to_string(connectBps_));
      Result(ModemResult::kConnect, std::to_string(connectBps_));
      break;
    case State::kCommand:
    case State::kOnlineCommand:
      LogCommand("OK");
      Result(ModemResult::kOk);
      break;
  }
}

bool ModemEmulator::ExecuteOne(const std::string& body, std::size_t* pos, bool* done,
                               std::vector<std::string>* info) {
  std::size_t& p = *pos;
  bool hadDigits = false;
  // Up to three decimal digits; none is 0.
  const auto number = [&]() {
    int value = 0;
    hadDigits = false;
    for (int n = 0; n < 3 && p < body.size() && IsDigit(body[p]); ++n, ++p) {
      value = value * 10 + (body[p] - '0');
      hadDigits = true;
    }
    return value;
  };
  const auto setting = [&](int* field, int max) {
    const int v = number();
    if (v > max)
      return false;
    *field = v;
    return true;
  };
  const auto flag = [&](bool* field) {
    const int v = number();
    if (v > 1)
      return false;
    *field = v == 1;
    return true;
  };

  const char c = Upper(static_cast<std::uint8_t>(body[p++]));
  switch (c) {
    case 'A':
      if (state_ != State::kCommand)
        return false;
      env_.Answer();
      state_ = State::kAnswering;
      rings_ = 0;
      *done = true;
      return true;
    case 'D':
      if (state_ != State::kCommand || !Dial(body.substr(p)))
        return false;
      *done = true;
      return true;
    case 'E':
      return flag(&profile_.echo);
    case 'V':
      return flag(&profile_.verbose);
    case 'Q':
      return flag(&profile_.quiet);
    case 'L':
      return setting(&profile_.volume, 3);
    case 'M':
      return setting(&profile_.speaker, 3);
    case 'X':
      return setting(&profile_.resultSet, 4);
    case 'H': {
      const int v = number();
      if (v > 1)
        return false;
      if (v == 0 && state_ != State::kCommand) {
        env_.HangUp();
        GoToCommand();
      }
      return true;
    }
    case 'Z': {
      if (number() > 1)
        return false;
      if (state_ != State::kCommand) {
        env_.HangUp();
        GoToCommand();
      }
      profile_ = stored_;
      *done = true;
      return true;
    }
    case 'O':
      if (number() > 1 || state_ != State::kOnlineCommand)
        return false;
      state_ = State::kOnline;
      *done = true;
      return true;
    case 'I':
      if (number() > 9)
        return false;
      info->push_back("XV4SIM MODEM EMULATOR");
      return true;
    case 'S': {
      const int reg = number();
      if (!hadDigits || reg >= static_cast<int>(profile_.s.size()) || p >= body.size())
        return false;
      if (body[p] == '?') {
        ++p;
        char text[8];
        std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(Reg(reg)));
        info->push_back(text);
        return true;
      }
      if (body[p] != '=')
        return false;
      ++p;
      const int value = number();
      if (value > 255)
        return false;
      profile_.s[static_cast<std::size_t>(reg)] = static_cast<std::uint8_t>(value);
      return true;
    }
    case '&': {
      if (p >= body.size())
        return false;
      const char d = Upper(static_cast<std::uint8_t>(body[p++]));
      switch (d) {
        case 'C':
          return setting(&profile_.dcdMode, 1);
        case 'D':
          return setting(&profile_.dtrMode, 3);
        case 'K':
          return setting(&profile_.flowControl, 6);
        case 'S':
          return setting(&profile_.dsrMode, 1);
        case 'F':
          if (number() != 0)
            return false;
          profile_ = factory_;
          return true;
        case 'W':
          if (number() != 0)
            return false;
          stored_ = profile_;
          return true;
        case 'V': {
          if (number() != 0)
            return false;
          const Profile& f = profile_;
          char text[128];
          info->push_back("ACTIVE PROFILE:");
          std::snprintf(text, sizeof text, "E%d L%d M%d Q%d V%d X%d &C%d &D%d &K%d &S%d",
                        f.echo ? 1 : 0, f.volume, f.speaker, f.quiet ? 1 : 0, f.verbose ? 1 : 0,
                        f.resultSet, f.dcdMode, f.dtrMode, f.flowControl, f.dsrMode);
          info->push_back(text);
          std::string regs;
          for (const int r : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12}) {
            std::snprintf(text, sizeof text, "%sS%02d:%03u", regs.empty() ? "" : " ", r,
                          static_cast<unsigned>(Reg(r)));
            regs += text;
          }
          info->push_back(regs);
          return true;
        }
        default:
          return false;
      }
    }
    default:
      return false;
  }
}

bool ModemEmulator::Dial(const std::string& dialString) {
  std::string number;
  for (const char ch : dialString) {
    const char u = Upper(static_cast<std::uint8_t>(ch));
    if (IsDigit(u) || u == '*' || u == '#' || u == '+' || (u >= 'A' && u <= 'D'))
      number.push_back(u);
    else if (u == '\0' || !std::strchr("TPW,@!; ()-", u))
      return false;
  }
  if (number.empty())
    return false;
  dialled_ = number;
  rings_ = 0;
  state_ = State::kDialing;
  env_.Dial(number);
  return true;
}

std::size_t ModemEmulator::OnlineBytes(std::span<const std::uint8_t> bytes, Clock::time_point now) {
  const std::uint8_t esc = Reg(2);
  const bool escapes = esc <= 127;
  const auto guard = GuardTime();
  std::size_t first = 0;
  if (std::exchange(skipLf_, false) && bytes[0] == Reg(4))
    first = 1;
  for (std::size_t i = first; i < bytes.size(); ++i) {
    const std::uint8_t b = bytes[i];
    const bool quietBefore = !lastData_ || now - *lastData_ >= guard;
    if (escapes && b == esc && pluses_ > 0 && pluses_ < 3 && !quietBefore)
      ++pluses_;
    else if (escapes && b == esc && quietBefore)
      pluses_ = 1;
    else
      pluses_ = 0;
    if (pluses_ == 3)
      escapeAt_ = now + guard;
    else
      escapeAt_.reset();
    lastData_ = now;

    std::rotate(tail_.begin(), tail_.begin() + 1, tail_.end());
    tail_.back() = b;
    if (escapes && tail_[0] == esc && tail_[1] == esc && tail_[2] == esc &&
        Upper(tail_[3]) == 'A' && Upper(tail_[4]) == 'T' && tail_[5] == Reg(3)) {
      env_.ToLine(bytes.subspan(first, i + 1 - first));
      Escape("\"+++AT\"");
      return i + 1;
    }
  }
  env_.ToLine(bytes.subspan(first));
  return bytes.size();
}

void ModemEmulator::Escape(const char* how) {
  state_ = State::kOnlineCommand;
  pluses_ = 0;
  escapeAt_.reset();
  tail_ = {};
  inLine_ = false;
  sawA_ = false;
  line_.clear();
  raw_.clear();
  env_.Log(std::string("escape ") + how + " -> OK");
  Result(ModemResult::kOk);
}

void ModemEmulator::Tick(Clock::time_point now) {
  if (state_ == State::kOnline && escapeAt_ && now >= *escapeAt_)
    Escape("+++ after the guard time");
}

void ModemEmulator::TerminalClosed() {
  const bool offHook = state_ != State::kCommand;
  if (offHook)
    env_.HangUp();
  GoToCommand();
  profile_ = stored_;
  inLine_ = false;
  sawA_ = false;
  line_.clear();
  raw_.clear();
  env_.Log(offHook ? "terminal closed: on hook, call ended" : "terminal closed");
}

void ModemEmulator::Ring(Clock::time_point now) {
  if (state_ != State::kCommand)
    return;
  if (lastRing_ && now - *lastRing_ > kRingGap)
    rings_ = 0;
  lastRing_ = now;
  ++rings_;
  profile_.s[1] = static_cast<std::uint8_t>(std::min(rings_, 255));
  env_.Log("-> RING");
  Result(ModemResult::kRing);
  if (Reg(0) > 0 && rings_ >= Reg(0)) {
    env_.Log("answering after " + std::to_string(rings_) + " rings");
    state_ = State::kAnswering;
    rings_ = 0;
    env_.Answer();
  }
}

void ModemEmulator::Connected(int bps, Clock::time_point now) {
  if (state_ != State::kDialing && state_ != State::kAnswering)
    return;
  state_ = State::kOnline;
  connectBps_ = bps;
  pluses_ = 0;
  escapeAt_.reset();
  tail_ = {};
  lastData_ = now;
  env_.Log("-> CONNECT " + std::to_string(bps));
  Result(ModemResult::kConnect, std::to_string(bps));
}

void ModemEmulator::CallFailed(ModemResult result) {
  if (state_ != State::kDialing && state_ != State::kAnswering)
    return;
  GoToCommand();
  env_.Log(std::string("-> ") + ModemResultWord(result));
  Result(result);
}

void ModemEmulator::CarrierLost() {
  if (state_ == State::kCommand)
    return;
  GoToCommand();
  env_.Log("-> NO CARRIER");
  Result(ModemResult::kNoCarrier);
}

void ModemEmulator::FromLine(std::span<const std::uint8_t> bytes) {
  if (state_ == State::kOnline && !bytes.empty())
    env_.ToTerminal(bytes);
}

}  // namespace xv4::sim
