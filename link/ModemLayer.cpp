#include "link/ModemLayer.h"

#include "link/MdmLnk.h"
#include "link/PcLinkSession.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace xv4 {
namespace {

constexpr std::uint32_t kStatusLines =
    kModemStatusCts | kModemStatusDsr | kModemStatusRing | kModemStatusRlsd;

// The table command each queued step issues.
int CommandOfStep(int step) {
  switch (step) {
    case kStepDial:
      return 0;
    case kStepInitial:
      return 4;
    case kStepSoftReset:
      return 5;
    case kStepInitialLong:
      return 6;
    case kStepOptions:
      return 7;
    case kStepSoftHangup:
      return 8;
    default:
      return -1;
  }
}

}  // namespace

int ClassifyLine(QByteArrayView line) {
  std::string upper(static_cast<std::size_t>(line.size()), '\0');
  std::transform(line.begin(), line.end(), upper.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  int code = kNoCode;
  for (std::size_t i = 0; i < ResponseTable.size(); ++i) {
    if (upper.find(ResponseTable[i]) != std::string::npos)
      code = static_cast<int>(i);
  }
  return code;
}

bool IsValidPhoneNumber(QStringView number) {
  if (number.isEmpty() || number.size() > kMaxPhoneNumber)
    return false;
  bool dialable = false;
  for (const QChar ch : number) {
    const char16_t c = ch.unicode();
    if ((c >= '0' && c <= '9') || c == '*' || c == '#') {
      dialable = true;
      continue;
    }
    if (c == 0 || c >= 0x80 || std::strchr(",;+-() WPTwpt!@", static_cast<char>(c)) == nullptr)
      return false;
  }
  return dialable;
}

bool LineAssembler::Feed(std::uint8_t byte) {
  if (byte == '\r' || byte == '\n') {
    const std::size_t length = pos_;
    pos_ = 0;
    if (length < 2)
      return false;
    length_ = length;
    return true;
  }
  if (pos_ >= buffer_.size())
    pos_ = 0;  // an overlong line loses its beginning
  buffer_[pos_++] = static_cast<char>(byte);
  return false;
}

ModemLayer::ModemLayer(TMdmLnk& link, ModemClient& client, ProtocolTimer& lineTimer,
                       ProtocolTimer& sessionTimer)
    : link_(link), client_(client), lineTimer_(lineTimer), sessionTimer_(sessionTimer) {}

void ModemLayer::Raise(TNotifyEvent SerialLink::*event, LinkActions& after) {
  after.Add([this, event] {
    if (TNotifyEvent handler = link_.*event)
      handler(&link_);
  });
}

void ModemLayer::Debug(const QString& text, LinkActions& after) {
  after.Add([this, text] { link_.AddDebugMessage(text); });
}

void ModemLayer::SetSteps(std::initializer_list<int> steps, int pending) {
  steps_.fill(kNoCode);
  std::copy(steps.begin(), steps.end(), steps_.begin());
  stepIndex_ = static_cast<int>(steps.size()) - 1;
  pendingEvent_ = pending;
  // Answers still waiting belong to what ran before; and whatever the modem sends from now on
  // is its own until it says CONNECT again.
  received_.clear();
  link_.CutForwarding();
}

void ModemLayer::Command(const QString& word, LinkActions& after) {
  const int state = link_.linkState_;
  if (word == QLatin1String("INITIAL")) {
    // Soft reset, initialise, escape, hang up.
    SetSteps({kCodeNoDialTone, kCodeNoCarrier, kStepInitial, kStepSoftReset}, kStepSoftReset);
    Debug(QStringLiteral("modem initial..."), after);
  } else if (word == QLatin1String("DIALING")) {
    if (state == 0 && currentCommand_ == -1) {
      if (IsValidPhoneNumber(link_.phoneNumber_)) {
        SetSteps({kStepDial}, kStepDial);
      } else {
        Debug(QStringLiteral("Invalid phone number, not dialled: ") + link_.phoneNumber_, after);
      }
    }
    Debug(QStringLiteral("modem dialing ") + link_.phoneNumber_ + QStringLiteral(" ..."), after);
  } else if (word == QLatin1String("HANGUP")) {
    if (state == 1)
      SetSteps({kCodeNoDialTone, kCodeNoCarrier}, kCodeNoCarrier);  // escape, then hang up
    else
      SetSteps({kCodeNoDialTone}, kCodeNoDialTone);
    link_.linkState_ = 2;
    Debug(QStringLiteral("modem hangup..."), after);
  } else if (word == QLatin1String("RESET")) {
    // Escape, hang up, soft reset, initialise with the longer time-out.
    SetSteps({kStepInitialLong, kStepSoftReset, kCodeNoDialTone, kCodeNoCarrier}, kCodeNoCarrier);
    Debug(QStringLiteral("modem reset..."), after);
  } else if (word == QLatin1String("VIEW")) {
    if (state == 0)
      SetSteps({kStepOptions}, kStepOptions);
    Debug(QStringLiteral("modem option views..."), after);
  } else if (word == QLatin1String("SOFTRET")) {
    if (state == 0)
      SetSteps({kStepSoftHangup}, kStepSoftHangup);
    Debug(QStringLiteral("modem soft reset..."), after);
  }
  link_.remoteName_.clear();
}

void ModemLayer::LineReceived(QByteArrayView line, LinkActions& after) {
  const QByteArray bytes = line.toByteArray();
  const QString remote = link_.remoteName_.trimmed();
  if (link_.isDebug_ || !remote.isEmpty()) {
    const QString text = platform::FromAnsi(bytes);
    if (link_.isDebug_ || text.contains(link_.remoteName_))
      Debug(PcLinkSession::MaskIdentification(text), after);
  }
  const int code = ClassifyLine(line);
  if (code == kNoCode)
    return;
  // The worker handles one code per pass; an answer that follows its echo in the same burst
  // (the "+++AT" echo, then OK) waits for the next pass instead of being lost.
  if (received_.size() >= kReceivedCodeLimit) {
    Debug(QStringLiteral("Modem line dropped, %1 answers still waiting: ").arg(kReceivedCodeLimit) +
              PcLinkSession::MaskIdentification(platform::FromAnsi(bytes)),
          after);
    return;
  }
  received_.push_back({code, bytes});
}

void ModemLayer::ServiceModem(std::optional<std::uint32_t> status, std::uint32_t now,
                              LinkActions& after) {
  if (pendingEvent_ == kNoCode && !received_.empty()) {
    pendingEvent_ = received_.front().code;
    lastLine_ = std::move(received_.front().line);
    received_.pop_front();
  }
  CheckLineStatus(status, now);
  // Command time-out. An answer already taken up counts as the command's answer, however late.
  if (currentCommand_ != -1 && pendingEvent_ == kNoCode &&
      static_cast<std::uint32_t>(now - commandSent_) >
          ModemCommandTable[static_cast<std::size_t>(currentCommand_)].timeoutMs) {
    // Dial, answer, escape and hang-up end in the hang-up step; the others are sent again.
    pendingEvent_ = currentCommand_ <= 3 ? kCodeNoDialTone : steps_[stepIndex_];
    lastLine_.clear();
    if (++timeoutCounter_ > kTimeoutsBeforeDtr) {
      // A sequence that dropped DTR and lost its answers gets DTR back.
      after.Add([this] { link_.SetDtrLine(true); });
      timeoutCounter_ = 0;
    }
  }
  if (pendingEvent_ != kNoCode)
    HandleCode(pendingEvent_, now, after);
}

void ModemLayer::StartLineTimer(int reason, std::uint32_t now) {
  lineTimer_.state = '1';
  lineTimer_.start = now;
  lineTimer_.counter = reason;
}

void ModemLayer::CheckLineStatus(std::optional<std::uint32_t> status, std::uint32_t now) {
  // A port that cannot report its status lines (a pseudo-terminal) tells nothing about power or
  // carrier: supervision waits for one that can.
  if (!status)
    return;
  const std::uint32_t lines = *status & kStatusLines;
  auto running = [this] { return lineTimer_.state != '0'; };
  if (lines == 0) {
    if (!running())
      StartLineTimer(kReasonPowerFailure, now);
  } else {
    if (running() && lineTimer_.counter == kReasonPowerFailure && link_.linkState_ != -1)
      lineTimer_.state = '0';
    if (link_.linkState_ == -1 && !running())
      StartLineTimer(kReasonLinesBack, now);
  }
  if (link_.linkState_ == 1) {
    const bool carrier = (lines & kModemStatusRlsd) != 0;
    if (!carrier && !running())
      StartLineTimer(kReasonCarrierLost, now);
    else if (carrier && running() && lineTimer_.counter == kReasonCarrierLost)
      lineTimer_.state = '0';
  }
}

bool ModemLayer::LineTimerExpired(LinkActions& after) {
  lineTimer_.state = '0';
  switch (lineTimer_.counter) {
    case kReasonPowerFailure:
      // Starts again at the next pass while the lines stay off.
      link_.linkState_ = -1;
      link_.CutForwarding();
      pendingEvent_ = kNoCode;
      currentCommand_ = -1;
      return false;
    case kReasonLinesBack:
      link_.linkState_ = 0;
      Command(QStringLiteral("RESET"), after);
      return false;
    case kReasonCarrierLost:
      Debug(QStringLiteral("The hangup is about MSR 1-->0"), after);
      Command(QStringLiteral("HANGUP"), after);
      link_.linkState_ = 0;
      return true;
    default:
      return false;
  }
}

void ModemLayer::HandleCode(int code, std::uint32_t now, LinkActions& after) {
  switch (code) {
    case kCodeOk:
      if (stepIndex_ - 1 < 0) {
        pendingEvent_ = kNoCode;
        link_.linkState_ = 0;
        Raise(&SerialLink::OnFinishedExecMdmCmd, after);
      } else {
        --stepIndex_;
        pendingEvent_ = steps_[stepIndex_];
      }
      currentCommand_ = -1;
      after.Add([this] { link_.SetDtrLine(true); });
      Raise(&SerialLink::OnOffLine, after);
      Debug(QStringLiteral("...OK"), after);
      break;
    case kCodeConnect: {
      const int outstanding = currentCommand_;
      client_.Connected(outstanding, after);
      link_.linkState_ = 1;
      pendingEvent_ = kNoCode;
      currentCommand_ = -1;
      Debug(QStringLiteral("...Connect!"), after);
      Raise(&SerialLink::OnFinishedExecMdmCmd, after);
      Raise(outstanding == 0 ? &SerialLink::OnConnection : &SerialLink::OnAnswerOK, after);
      break;
    }
    case kCodeRing:
      if (!link_.waitForCall_) {
        pendingEvent_ = kNoCode;
        break;
      }
      Raise(&SerialLink::OnResponseForDial, after);
      if (++ringCounter_ < link_.ringCount_) {
        pendingEvent_ = kNoCode;  // wait for more rings
      } else {
        IssueModemCommand(1, now, after);
        ringCounter_ = 0;
      }
      break;
    case kCodeNoCarrier:
      // Also the escape step of a sequence.
      Raise(&SerialLink::OnNoCarrier, after);
      sessionTimer_.state = '0';
      link_.remoteName_.clear();
      client_.Disconnected(after);
      link_.linkState_ = 0;
      IssueModemCommand(2, now, after);
      Raise(&SerialLink::OnNoCarrier, after);
      break;
    case kCodeError:
      if (currentCommand_ != -1) {
        WriteModemLine(currentCommand_, after);
        commandSent_ = now;
      }
      pendingEvent_ = kNoCode;
      break;
    case kCodePlusPlusPlus:
    case kCodePlusPlusAt:
      // The far end escaped: its modem is about to hang up.
      if (link_.linkState_ == 1)
        Command(QStringLiteral("HANGUP"), after);
      else
        pendingEvent_ = kNoCode;
      break;
    case kCodeNoDialTone:
      // Also the hang-up step of a sequence.
      Raise(&SerialLink::OnNoDialTone, after);
      IssueModemCommand(3, now, after);
      break;
    case kCodeBusy:
      Raise(&SerialLink::OnBusy, after);
      IssueModemCommand(3, now, after);
      break;
    case kCodeNoAnswer:
      Raise(&SerialLink::OnNoAnswer, after);
      IssueModemCommand(3, now, after);
      break;
    case kCodeLoginPass:
    case kCodeThisIsPc:
    case kCodeShake:
    case kCodeFile:
      client_.UpperLineReceived(code, lastLine_, after);
      pendingEvent_ = kNoCode;
      break;
    default:
      if (const int command = CommandOfStep(code); command >= 0)
        IssueModemCommand(command, now, after);
      else
        pendingEvent_ = kNoCode;  // "ALM" and anything unknown
      break;
  }
}

void ModemLayer::IssueModemCommand(int index, std::uint32_t now, LinkActions& after) {
  currentCommand_ = index;
  WriteModemLine(index, after);
  Debug(QString::fromLatin1(ModemCommandTable[static_cast<std::size_t>(index)].debugText), after);
  commandSent_ = now;
  pendingEvent_ = kNoCode;
}

void ModemLayer::WriteModemLine(int index, LinkActions& after) {
  QByteArray line(ModemCommandTable[static_cast<std::size_t>(index)].command);
  const bool dial = index == 0;
  if (dial) {
    // The number was checked when the dial was queued; it may have been changed since.
    if (!IsValidPhoneNumber(link_.phoneNumber_)) {
      Debug(QStringLiteral("Invalid phone number, not dialled: ") + link_.phoneNumber_, after);
      return;
    }
    line += link_.phoneNumber_.toLatin1();
  }
  line += "\r\n";
  // What the modem sends from now on answers this line; the far end's bytes have ended.
  link_.CutForwarding();
  const bool dropDtr = index == 2 || index == 3;  // escape and hang-up
  after.Add([this, line, dial, dropDtr] {
    if (dial || dropDtr)
      link_.SetDtrLine(true);
    if (dropDtr)
      link_.SetDtrLine(false);
    link_.SendBytes(reinterpret_cast<const std::uint8_t*>(line.constData()),
                    static_cast<int>(line.size()));
    if (link_.isDebug_)
      link_.AddDebugMessage(QStringLiteral("send: ") + QString::fromLatin1(line));
  });
}

void ModemLayer::Reset() {
  received_.clear();
  pendingEvent_ = kNoCode;
  currentCommand_ = -1;
  timeoutCounter_ = 0;
  ringCounter_ = 0;
  lastLine_.clear();
  link_.linkState_ = 0;
}

}  // namespace xv4
