#pragma once
// An emulated AT-command modem: the device between a terminal (the tool's serial port) and a
// telephone line.
//
// Command state: every byte from the terminal is echoed (E1); a command line starts with "AT"
// (anything before it is skipped, so "+++AT" is plain "AT") and ends with CR (S3). The line is
// carried out command by command and answered in verbose form, CR LF framed ("\r\nOK\r\n",
// "\r\nERROR\r\n"); V0 gives numeric codes, Q1 no result codes at all. Known commands: A, D
// (dial: T P W , @ ! ; + ( ) - and blanks are accepted around the digits, * # and A to D),
// E, H, I, L, M, O, Q, S n = v, S n ?, V, X, Z, &C, &D, &F, &K, &S, &V (the active profile,
// then OK), &W. Anything else gives ERROR. A line longer than kMaxCommandLine characters is
// cut and answered ERROR: it never grows without limit.
//
// After ATD the modem waits for the line's outcome (CONNECT <speed>, BUSY, NO ANSWER,
// NO DIALTONE, NO CARRIER, or nothing); after ATA it takes the ringing call. A byte from the
// terminal meanwhile abandons the call without a result code, as a DTR drop would, and starts
// the next command line (the LF after the command's CR does not count).
//
// Online (data) state: bytes pass unchanged between the terminal and the line. Two ways back
// to command state while the call stays up, each answered OK:
//  - the escape "+++" (S2) with a guard time (S12, 1/50 s) of silence before it and after it;
//  - the line "+++AT" CR at any time. A link escapes with it right after its last frame and
//    drops DTR, on which a real modem hangs up; a pseudo-terminal cannot carry DTR, so the
//    line itself is taken as the escape. Printer frames never contain it (every byte between
//    a frame's start and end bytes has bit 7 set).
// The escape bytes still travel to the far end, as on a real modem. In the escaped state ATO
// goes back online (the LF after its CR is not data), ATH0 hangs up; data from the line is
// dropped meanwhile. The far end dropping the call gives NO CARRIER and command state.
//
// Settings: S0 (rings before answering by itself; 0 never), S2 escape character, S3 CR,
// S4 LF, S5 backspace, S12 guard time. ATZ hangs up and returns to the profile stored by AT&W
// (the factory profile at first); AT&F returns to the factory profile and leaves the call up.
//
// The modem owns no descriptor and no thread: its owner feeds it what arrives (terminal bytes,
// line events, the passing of time) and it answers through ModemEnvironment. One thread at a
// time; time comes in as arguments, so it runs the same on a real or a test clock.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace xv4::sim {

// Result codes, numbered as in their numeric (V0) form.
enum class ModemResult {
  kOk = 0,
  kConnect = 1,
  kRing = 2,
  kNoCarrier = 3,
  kError = 4,
  kNoDialtone = 6,
  kBusy = 7,
  kNoAnswer = 8,
};

// The verbose word of a result code ("NO DIALTONE").
const char* ModemResultWord(ModemResult result);

// What the modem asks of its surroundings. Called only from inside the modem's own members,
// on its owner's thread. The line must not call back into the same modem from inside Dial(),
// Answer() or HangUp(): outcomes arrive later, through the modem's line members.
class ModemEnvironment {
 public:
  virtual ~ModemEnvironment() = default;
  // Bytes for the terminal: echo, result codes, and data received online.
  virtual void ToTerminal(std::span<const std::uint8_t> bytes) = 0;
  // Data for the far end; only while online.
  virtual void ToLine(std::span<const std::uint8_t> bytes) = 0;
  // Goes off hook and dials (the number's digits, * # and A to D only).
  virtual void Dial(const std::string& number) = 0;
  // Goes off hook to take a ringing call.
  virtual void Answer() = 0;
  // Goes on hook: ends the call, or abandons the dial or the answer in progress.
  virtual void HangUp() = 0;
  // One traffic line (a command and its answer, an unsolicited result, an escape).
  virtual void Log(const std::string& line) = 0;
};

class ModemEmulator {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxCommandLine = 255;  // characters after "AT"

  enum class State {
    kCommand,        // on hook, taking commands
    kDialing,        // ATD given, waiting for the line's outcome
    kAnswering,      // ATA given (or S0 rings counted), waiting for the connection
    kOnline,         // connected, data passes
    kOnlineCommand,  // connected, escaped to commands
  };

  // guardTime: the factory value of S12 (rounded to 1/50 s, at most 255/50 s).
  ModemEmulator(ModemEnvironment& environment, std::chrono::milliseconds guardTime);

  // --- From the terminal.
  void FromTerminal(std::span<const std::uint8_t> bytes, Clock::time_point now);
  // The terminal went away (the tool closed its port): on hook at once, stored profile, no
  // result code (nobody is there to read it).
  void TerminalClosed();

  // --- From the line.
  // A ring of an incoming call: RING, and the answer after S0 rings. Ignored off hook.
  void Ring(Clock::time_point now);
  // The call asked for by Dial() or Answer() is up: CONNECT <bps>, online.
  void Connected(int bps, Clock::time_point now);
  // The dial or the answer failed: kBusy, kNoAnswer, kNoDialtone or kNoCarrier; command state.
  void CallFailed(ModemResult result);
  // The far end ended the call: NO CARRIER, command state.
  void CarrierLost();
  // Data from the far end: to the terminal while online, dropped otherwise.
  void FromLine(std::span<const std::uint8_t> bytes);

  // --- Time: the guard time after an escape "+++".
  std::optional<Clock::time_point> NextDeadline() const { return escapeAt_; }
  void Tick(Clock::time_point now);

  State CurrentState() const { return state_; }
  bool OnHook() const { return state_ == State::kCommand; }

 private:
  struct Profile {
    bool echo = true;
    bool verbose = true;
    bool quiet = false;
    int volume = 1;                    // L
    int speaker = 1;                   // M
    int resultSet = 4;                 // X
    int dcdMode = 1;                   // &C
    int dtrMode = 2;                   // &D
    int flowControl = 3;               // &K
    int dsrMode = 0;                   // &S
    std::array<std::uint8_t, 32> s{};  // S registers 0..31
  };

  // Each returns how many bytes it took: all of them, or those up to a change of state.
  std::size_t CommandBytes(std::span<const std::uint8_t> bytes, Clock::time_point now);
  std::size_t OnlineBytes(std::span<const std::uint8_t> bytes, Clock::time_point now);
  void Execute(const std::string& body, Clock::time_point now);
  // Carries out one command at body[*pos]; false on an error. *done: the rest of the line is
  // not for this modem (D, A, O, Z took it).
  bool ExecuteOne(const std::string& body, std::size_t* pos, bool* done,
                  std::vector<std::string>* info);
  bool Dial(const std::string& dialString);
  void Escape(const char* how);
  void GoToCommand();
  void Result(ModemResult result, const std::string& detail = {});
  void Info(const std::vector<std::string>& lines);
  void Send(const std::string& text);
  void LogCommand(const std::string& outcome);
  std::chrono::milliseconds GuardTime() const;
  std::uint8_t Reg(int n) const { return profile_.s[static_cast<std::size_t>(n)]; }

  ModemEnvironment& env_;
  Profile factory_;
  Profile stored_;
  Profile profile_;
  State state_ = State::kCommand;
  int connectBps_ = 0;
  std::string dialled_;
  int rings_ = 0;
  std::optional<Clock::time_point> lastRing_;

  // Command line assembly.
  bool sawA_ = false;
  bool inLine_ = false;
  bool overflow_ = false;
  std::string line_;     // after "AT"
  std::string raw_;      // the line as received, bounded, for the traffic line
  bool skipLf_ = false;  // the next byte, when LF, ends the line that went online

  // Escape detection online.
  std::optional<Clock::time_point> lastData_;
  int pluses_ = 0;
  std::optional<Clock::time_point> escapeAt_;
  std::array<std::uint8_t, 6> tail_{};  // the last six data bytes, oldest first
};

// How the far end takes a call: the printer's modem behind --modem, the other modem of a pair.
enum class DialOutcome { kConnect, kBusy, kNoAnswer, kNoDialtone, kNoCarrier, kSilent };

// The command-line words of the outcomes: connect, busy, no-answer, no-dialtone, no-carrier,
// silent.
const char* DialOutcomeName(DialOutcome outcome);
std::optional<DialOutcome> ParseDialOutcome(const std::string& name);
// The result code of an outcome that ends the dial; nothing for kConnect and kSilent.
std::optional<ModemResult> DialFailure(DialOutcome outcome);

// The emulated modems and the telephone line between them, as the command line sets them.
struct ModemOptions {
  DialOutcome dial = DialOutcome::kConnect;
  // From ATD (or ATA) to the call's outcome: CONNECT, BUSY, ...; also before the first RING.
  std::chrono::milliseconds delay{300};
  std::chrono::milliseconds guardTime{1000};  // factory S12
  // The line's speed: the speed in CONNECT, and bytes on the line take 10 bit times each.
  // 0: CONNECT reports the speed the tool set on its port and nothing is paced by the line.
  int lineBps = 0;
  int dropAfter = 0;  // printer behind a modem: the carrier drops after N records of a call
  // Modem pair: RING every ringInterval; the caller gives up with NO ANSWER after ringLimit
  // rings.
  std::chrono::milliseconds ringInterval{1000};
  int ringLimit = 10;
  // Modem pair and null modem: every N-th data pack crossing the line (each way) has a bit of its
  // data flipped (PackFault.h); 0 off.
  int corruptEvery = 0;
};

// Receives the modems' traffic lines, on the thread that serves them.
using TrafficLog = std::function<void(const std::string& line)>;

}  // namespace xv4::sim
