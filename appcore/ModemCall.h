#pragma once
// One call through the modem of the serial link, for the operations: waits for the modem's
// initialisation (which the session starts when it opens the link), dials, watches the carrier
// while the operation runs, and hangs up.
//
// Borrows the session's link and takes its modem events while attached. They are raised on the
// link's worker thread; each handler posts a small value to this object's task queue, which
// runs it on the UI thread, where the waits (which sleep in the event loop) and the carrier watch
// see it. UI thread only, apart from those handlers. Failures are outcomes, never exceptions; every
// wait is bounded.

#include "link/SerialLink.h"
#include "platform/Notifier.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace xv4 {

class ModemCall {
 public:
  // The initialisation: AT&F 3 s, ATV1E1M1&S&C1 2 s, the escape 1 s and ATH0 2 s, and a margin.
  static constexpr int kInitialLimitMs = 10000;
  // The dial command's own time-out (60 s, after which the link hangs up), and a margin.
  static constexpr int kDialLimitMs = 65000;
  // The hang-up: the escape 1 s and ATH0 2 s, and a margin.
  static constexpr int kHangupLimitMs = 4000;

  enum class Outcome {
    Connected,
    NotInitialised,  // the modem did not finish its initialisation in time
    Busy,
    NoAnswer,
    NoDialTone,
    NoResult,  // the modem gave no result for the dial in time
    NoCarrier,
    Cancelled,
  };

  explicit ModemCall(SerialLink& link);
  // Gives the events back.
  ~ModemCall();
  ModemCall(const ModemCall&) = delete;
  ModemCall& operator=(const ModemCall&) = delete;

  // Before the link opens: its modem events come here from now on, and the initialisation that
  // the open starts is awaited.
  void Attach();
  // Once the link is closed (its worker has stopped): the events are unassigned.
  void Detach();
  bool Attached() const { return attached_; }

  // After the open: waits for the initialisation, dials the link's PhoneNumber and waits for the
  // outcome. cancelled() is tested after every event; it ends the waits with Cancelled.
  Outcome Dial(const std::function<bool()>& cancelled);
  // Hangs up (a call that is up, or one that is being dialled) and waits for the sequence to end,
  // at most kHangupLimitMs.
  void HangUp();

  // While connected, the carrier went (NO CARRIER). Runs on the UI thread.
  std::function<void()> OnLineDropped;
  // The call was up and has gone: the link has seen NO CARRIER (or lost its lines) in the
  // received bytes, or its worker has reported it.
  bool LineDropped() const;

 private:
  enum class Event {
    Connection,
    Busy,
    NoAnswer,
    NoDialTone,      // the modem said NO DIALTONE
    NoDialToneStep,  // a time-out, or the hang-up step of a sequence
    NoCarrier,
    Finished,
  };
  enum class Phase { Idle, Initialising, Dialing, Connected, HangingUp };

  void Take(TNotifyEvent SerialLink::*event, Event posted);
  void Post(Event event);  // worker
  void Handle(std::uint64_t generation, Event event);
  // Sleeps in the event loop until done(), the limit or cancelled(); true when done() held.
  static bool WaitFor(const std::function<bool()>& done, int limitMs,
                      const std::function<bool()>& cancelled);

  SerialLink& link_;
  platform::TaskTarget tasks_;  // UI thread: the posted events run here
  bool attached_ = false;
  // Posted events of an earlier attachment are dropped. Written while the link is closed.
  std::uint64_t generation_ = 0;
  Phase phase_ = Phase::Idle;
  bool initialised_ = false;
  std::optional<Outcome> outcome_;
  bool lineDropped_ = false;
  bool dialEnded_ = false;  // the failed dial's own sequence (its ATH0) has ended
  bool hangupStep_ = false;
  bool hungUp_ = false;
};

}  // namespace xv4
