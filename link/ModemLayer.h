#pragma once
// The AT-modem layer of the serial link: command sequences, the modem's answers, line
// supervision and command time-outs.
//
// ModemLayer is a state machine inside TMdmLnk. It owns the command queue, the received codes
// waiting to be handled, the pending code, the outstanding command and its time-out counter, the
// ring counter and the last line handled; it shares LinkState, the line timer and the properties
// it reads (PhoneNumber, RingCount, WaitForCall, WantedToShake, RemoteName) with the link. It
// reaches the port only through the link (SendBytes, SetDtrLine, the modem status bits the
// worker reads) and raises the nine modem events on the link's behalf.
//
// Threads: every member is called with the link's protocol lock held: Command on the owner's
// thread (or from a worker handler), the others on the worker. A member only decides: its sends,
// DTR switches, debug lines and events go to the LinkActions it is given, which the caller runs
// after releasing the lock. Failures are the modem's (no answer, ERROR): they are handled by the
// command time-outs and reported through the events and debug lines, never thrown.
//
// Codes 9 to 12 (the PC-link session's login lines and the file-transfer lines) are recognised
// here and handed to the layers above through ModemClient, as are the start and the end of a
// connection.

#include "link/SerialLink.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace xv4 {

class TMdmLnk;
class LinkActions;
struct ProtocolTimer;

// One command the link sends to the modem. Index 0 dials (the phone number follows the text).
struct ModemCommandEntry {
  std::uint32_t timeoutMs;
  const char* command;
  const char* debugText;  // added to the debug list when the command is issued
};

inline constexpr std::array<ModemCommandEntry, 9> ModemCommandTable = {{
    {60000, "ATDT", "Dialing..."},
    {60000, "ATA", "Response Calling..."},
    {1000, "+++AT", "Mode change..."},
    {2000, "ATH0", "Hangup..."},
    {2000, "ATV1E1M1&S&C1", "Initial..."},
    {3000, "AT&F", "Soft reset..."},
    {5000, "ATV1E1M1&S&C1", "Initial..."},
    {3000, "AT&V", "Option..."},
    {2000, "ATZ0", "Soft hangup..."},
}};

// The words a received line is recognised by; the index is the line's response code.
inline constexpr std::array<const char*, 15> ResponseTable = {
    "OK",           // 0
    "CONNECT",      // 1
    "RING",         // 2
    "NO CARRIER",   // 3
    "ERROR",        // 4
    "+++",          // 5
    "NO DIALTONE",  // 6
    "BUSY",         // 7
    "NO ANSWER",    // 8
    "LOGIN PASS",   // 9, the PC-link session's login lines
    "THIS IS PC/",  // 10, the session's identification
    "SHAKE",        // 11, the session's handshake and keep-alive
    "_FILE|",       // 12, the file-transfer lines
    "++AT",         // 13
    "ALM",          // 14, no action
};

// Response codes, and the queued steps that share their number space: 3 and 6 double as the
// escape step and the hang-up step, 19 to 24 issue commands 0, 4, 5, 6, 7 and 8.
enum ModemCode : int {
  kNoCode = -1,
  kCodeOk = 0,
  kCodeConnect = 1,
  kCodeRing = 2,
  kCodeNoCarrier = 3,  // also the escape step
  kCodeError = 4,
  kCodePlusPlusPlus = 5,
  kCodeNoDialTone = 6,  // also the hang-up step
  kCodeBusy = 7,
  kCodeNoAnswer = 8,
  kCodeLoginPass = 9,
  kCodeThisIsPc = 10,
  kCodeShake = 11,
  kCodeFile = 12,
  kCodePlusPlusAt = 13,
  kCodeAlarm = 14,
  kStepDial = 19,
  kStepInitial = 20,
  kStepSoftReset = 21,
  kStepInitialLong = 22,
  kStepOptions = 23,
  kStepSoftHangup = 24,
};

// The response code of a received line: the highest code whose word the line holds, compared
// in upper case (so "LOGIN PASSWORD ERROR" is 9, not 4); kNoCode when it holds none. Pure.
int ClassifyLine(QByteArrayView line);

// Whether a phone number may follow the dial command: digits, * # , ; + - ( ) and blanks, and
// the dial modifiers W P T ! @ (either case), with at least one digit, * or #, and at most
// kMaxPhoneNumber characters. Anything else (CR, LF, AT text) would put commands of its own on
// the modem's line.
inline constexpr int kMaxPhoneNumber = 40;
bool IsValidPhoneNumber(QStringView number);

// Cuts received text into lines: CR or LF ends a line, and a line of fewer than two characters
// is ignored; a line longer than kSize characters loses its beginning. One per reader of the
// stream (the worker's parser, the receive path's forwarding); not thread-safe.
class LineAssembler {
 public:
  static constexpr std::size_t kSize = 4094;

  // Takes one byte. True when the byte ended a line of two characters or more; Line() then
  // holds it until the next Feed.
  bool Feed(std::uint8_t byte);
  QByteArrayView Line() const { return {buffer_.data(), static_cast<qsizetype>(length_)}; }
  // Drops a partly received line.
  void Clear() { pos_ = 0; }

 private:
  std::array<char, kSize> buffer_{};
  std::size_t pos_ = 0;
  std::size_t length_ = 0;  // of the line Line() returns
};

// What the layers above the modem (the PC-link session, the file transfer) take from it. The
// modem layer calls these with the protocol lock held, on the worker; they decide and leave
// their sends and events to `after`.
class ModemClient {
 public:
  virtual ~ModemClient() = default;
  // A line with one of their codes (9 to 12) as received. The modem layer clears the pending
  // code afterwards.
  virtual void UpperLineReceived(int code, const QByteArray& line, LinkActions& after) = 0;
  // CONNECT. outstanding: the command that was waiting for it (0 when this side dialled, 1
  // when it answered, -1 when the modem answered by itself).
  virtual void Connected(int outstanding, LinkActions& after) = 0;
  // NO CARRIER, or the escape step that ends a connection.
  virtual void Disconnected(LinkActions& after) = 0;
};

class ModemLayer {
 public:
  // Received codes that may wait for the worker; one is handled per pass.
  static constexpr std::size_t kReceivedCodeLimit = 8;
  // Time-outs of a command in a row after which DTR is raised again.
  static constexpr int kTimeoutsBeforeDtr = 3;
  // LineTimer reasons.
  static constexpr int kReasonPowerFailure = 90;
  static constexpr int kReasonLinesBack = 78;
  static constexpr int kReasonCarrierLost = 85;

  ModemLayer(TMdmLnk& link, ModemClient& client, ProtocolTimer& lineTimer,
             ProtocolTimer& sessionTimer);
  ModemLayer(const ModemLayer&) = delete;
  ModemLayer& operator=(const ModemLayer&) = delete;

  // Starts a named operation: "INITIAL", "DIALING", "HANGUP", "RESET", "VIEW", "SOFTRET";
  // "TEST" and any other word only clear RemoteName, as every word does. A sequence that is
  // started replaces what was pending or queued.
  void Command(const QString& word, LinkActions& after);
  // A line the worker's parser assembled: logged by the debug rules and, when it is one of the
  // codes, queued for ServiceModem (a full queue drops it with a debug line).
  void LineReceived(QByteArrayView line, LinkActions& after);
  // Once per worker pass: CheckLineStatus with the port's modem status bits (nothing when the
  // port cannot report them), then the pending code, or else the oldest received one.
  void ServiceModem(std::optional<std::uint32_t> status, std::uint32_t now, LinkActions& after);
  // The LineTimer has run its 1500 ms. True when it hung up a lost carrier (the timer scan of
  // the pass ends there).
  bool LineTimerExpired(LinkActions& after);
  // A new open: nothing received, pending or outstanding from before, and LinkState idle.
  void Reset();

  // The line of the code handled last, as received (empty when a time-out set the code).
  const QByteArray& LastLine() const { return lastLine_; }
  // Received codes are waiting for the passes to come (one is handled per pass).
  bool CodesWaiting() const { return !received_.empty(); }

 private:
  struct Received {
    int code;
    QByteArray line;
  };

  void CheckLineStatus(std::optional<std::uint32_t> status, std::uint32_t now);
  void HandleCode(int code, std::uint32_t now, LinkActions& after);
  void IssueModemCommand(int index, std::uint32_t now, LinkActions& after);
  void WriteModemLine(int index, LinkActions& after);
  void SetSteps(std::initializer_list<int> steps, int pending);
  void Raise(TNotifyEvent SerialLink::*event, LinkActions& after);
  void Debug(const QString& text, LinkActions& after);
  void StartLineTimer(int reason, std::uint32_t now);

  TMdmLnk& link_;
  ModemClient& client_;
  ProtocolTimer& lineTimer_;
  ProtocolTimer& sessionTimer_;

  std::array<int, 4> steps_{};  // worked from stepIndex_ down to 0
  int stepIndex_ = 0;
  int pendingEvent_ = kNoCode;
  int currentCommand_ = -1;
  std::uint32_t commandSent_ = 0;  // tick at which currentCommand_ was written
  int timeoutCounter_ = 0;
  int ringCounter_ = 0;
  std::deque<Received> received_;
  QByteArray lastLine_;
};

}  // namespace xv4
