#pragma once
// What the link's protocol layers (the PC-link session, the file transfer) share with the link:
// the protocol timer record, the list of actions a layer leaves to be carried out once the
// link's protocol lock is released, and the small interface through which a layer reaches the
// link (clock, debug list, remote name, port, events).
//
// A layer is a state machine that the link's worker drives. Its members are called with the
// link's protocol lock held (by the worker, or by the owner's thread when it changes a property
// or starts a transfer); they decide, change their state and append their sends and events to a
// LinkActions, which the caller runs after releasing the lock. So no send and no event handler
// ever runs under the lock, and a handler may call back into the link.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace xv4 {

// One of the link's four protocol timers: 0 unused, 1 modem line supervision, 2 PC-link session,
// 3 file transfer.
struct ProtocolTimer {
  char state = '0';  // '0' stopped
  std::uint32_t period = 0;
  std::uint32_t start = 0;  // tick at which the current period began
  int counter = 0;          // tries left, or the line timer's reason code
  QString text;             // the transfer timer keeps its last line here

  bool Running() const { return state != '0'; }
  // (Re)arms the timer in `newState` from `now`.
  void Arm(char newState, std::uint32_t newPeriod, int tries, std::uint32_t now) {
    state = newState;
    period = newPeriod;
    counter = tries;
    start = now;
  }
};

// What a protocol layer decided under the link's protocol lock, carried out by the worker after
// releasing it: sends can wait for the port to drain, and event handlers may call back into the
// link. One thread at a time (the one that holds the list).
class LinkActions {
 public:
  void Add(std::function<void()> action) { actions_.push_back(std::move(action)); }
  bool Empty() const { return actions_.empty(); }
  // Runs the actions in the order they were added (an action may add more; they run too) and
  // leaves the list empty.
  void Run();

 private:
  std::vector<std::function<void()>> actions_;
};

// The link as its protocol layers see it. The first group is called under the link's protocol
// lock; the second only from actions, outside it.
class LinkLayerHost {
 public:
  virtual ~LinkLayerHost() = default;

  // The link's millisecond tick count (differences are taken unsigned).
  virtual std::uint32_t Ticks() const = 0;
  virtual bool IsDebug() const = 0;
  // Any thread, any time.
  virtual void AddDebugMessage(const QString& message) = 0;
  // The other station's name as learned in the session (empty when none).
  virtual QString RemoteName() const = 0;
  virtual void SetRemoteName(const QString& name) = 0;
  // Whether files may be offered and accepted now: not before the login while the session runs.
  virtual bool TransfersAllowed() const = 0;

  // Under the lock: leaves the bytes, or the text in the system code page, to `after`, which sends
  // them once the lock is released. Nothing is sent for an empty one.
  void QueueSend(const QByteArray& bytes, LinkActions& after);
  void QueueSend(const QString& text, LinkActions& after);

  // --- From actions only.
  virtual void SendBytes(const QByteArray& bytes) = 0;
  virtual void RaiseShakeHands(const QString& remotePc, const QString& inStu,
                               const QString& ps) = 0;
  virtual void RaiseTransFile(const QString& fileName, const QString& fileDir, qint64 fileSize,
                              std::int16_t status, const QString& ps) = 0;
};

}  // namespace xv4
