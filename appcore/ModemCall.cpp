#include "appcore/ModemCall.h"

#include "platform/EventLoop.h"

#include <QTimer>

namespace xv4 {

ModemCall::ModemCall(SerialLink& link) : link_(link) {}

ModemCall::~ModemCall() {
  Detach();
}

void ModemCall::Take(TNotifyEvent SerialLink::*event, Event posted) {
  link_.*event = [this, posted](QObject*) { Post(posted); };
}

void ModemCall::Attach() {
  ++generation_;
  attached_ = true;
  phase_ = Phase::Initialising;
  initialised_ = false;
  outcome_.reset();
  lineDropped_ = false;
  Take(&SerialLink::OnConnection, Event::Connection);
  Take(&SerialLink::OnBusy, Event::Busy);
  Take(&SerialLink::OnNoAnswer, Event::NoAnswer);
  Take(&SerialLink::OnNoCarrier, Event::NoCarrier);
  Take(&SerialLink::OnFinishedExecMdmCmd, Event::Finished);
  // The hang-up step raises it too, and so does a dial that the modem leaves unanswered: only
  // the modem's own words are a missing dial tone.
  link_.OnNoDialTone = [this](QObject*) {
    Post(link_.LastLine().contains(QLatin1String("NO DIALTONE"), Qt::CaseInsensitive)
             ? Event::NoDialTone
             : Event::NoDialToneStep);
  };
}

void ModemCall::Detach() {
  if (!attached_)
    return;
  attached_ = false;
  phase_ = Phase::Idle;
  for (TNotifyEvent SerialLink::*event :
       {&SerialLink::OnConnection, &SerialLink::OnBusy, &SerialLink::OnNoAnswer,
        &SerialLink::OnNoCarrier, &SerialLink::OnFinishedExecMdmCmd, &SerialLink::OnNoDialTone}) {
    link_.*event = nullptr;
  }
}

void ModemCall::Post(Event event) {
  // Worker thread: the value travels with the posted call; nothing else is shared.
  tasks_.Post([this, generation = generation_, event] { Handle(generation, event); });
}

void ModemCall::Handle(std::uint64_t generation, Event event) {
  if (generation != generation_ || !attached_)
    return;
  switch (phase_) {
    case Phase::Initialising:
      // The sequence itself raises NO CARRIER twice and the hang-up step on its way.
      if (event == Event::Finished)
        initialised_ = true;
      break;
    case Phase::Dialing:
      if (outcome_) {
        // A failed dial ends in the link's own hang-up: its ATH0 (or, after NO CARRIER, the
        // escape) and that command's OK.
        dialEnded_ = dialEnded_ || event == Event::Finished;
        break;
      }
      switch (event) {
        case Event::Connection:
          outcome_ = Outcome::Connected;
          break;
        case Event::Busy:
          outcome_ = Outcome::Busy;
          break;
        case Event::NoAnswer:
          outcome_ = Outcome::NoAnswer;
          break;
        case Event::NoDialTone:
          outcome_ = Outcome::NoDialTone;
          break;
        case Event::NoDialToneStep:
          outcome_ = Outcome::NoResult;
          break;
        case Event::NoCarrier:
          outcome_ = Outcome::NoCarrier;
          break;
        case Event::Finished:
          break;  // CONNECT ends the dial sequence too; OnConnection follows
      }
      break;
    case Phase::Connected:
      if (event == Event::NoCarrier && !lineDropped_) {
        lineDropped_ = true;
        if (OnLineDropped)
          OnLineDropped();
      }
      break;
    case Phase::HangingUp:
      // Every hang-up ends with its hang-up step (ATH0) and that command's OK.
      if (event == Event::NoDialToneStep || event == Event::NoDialTone)
        hangupStep_ = true;
      else if (event == Event::Finished && hangupStep_)
        hungUp_ = true;
      break;
    case Phase::Idle:
      break;
  }
}

bool ModemCall::LineDropped() const {
  // The receive path knows first: it reads the lines as they arrive, the worker a pass later.
  return lineDropped_ || (phase_ == Phase::Connected && !link_.ModemConnected());
}

bool ModemCall::WaitFor(const std::function<bool()>& done, int limitMs,
                        const std::function<bool()>& cancelled) {
  bool expired = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
  limit.start(limitMs);
  platform::WaitUntil([&] { return done() || expired || cancelled(); });
  return done();
}

ModemCall::Outcome ModemCall::Dial(const std::function<bool()>& cancelled) {
  if (!WaitFor([this] { return initialised_; }, kInitialLimitMs, cancelled))
    return cancelled() ? Outcome::Cancelled : Outcome::NotInitialised;
  phase_ = Phase::Dialing;
  outcome_.reset();
  dialEnded_ = false;
  link_.ModemCommand(QStringLiteral("DIALING"));
  if (!WaitFor([this] { return outcome_.has_value(); }, kDialLimitMs, cancelled))
    return cancelled() ? Outcome::Cancelled : Outcome::NoResult;
  if (*outcome_ == Outcome::Connected)
    phase_ = Phase::Connected;
  return *outcome_;
}

void ModemCall::HangUp() {
  if (!attached_)
    return;
  if (phase_ == Phase::Dialing && outcome_ && *outcome_ != Outcome::Connected) {
    // The modem has ended the call attempt and the link is hanging up by itself.
    WaitFor([this] { return dialEnded_; }, kHangupLimitMs, [] { return false; });
    phase_ = Phase::Idle;
    return;
  }
  phase_ = Phase::HangingUp;
  hangupStep_ = false;
  hungUp_ = false;
  link_.ModemCommand(QStringLiteral("HANGUP"));
  WaitFor([this] { return hungUp_; }, kHangupLimitMs, [] { return false; });
  phase_ = Phase::Idle;
}

}  // namespace xv4
