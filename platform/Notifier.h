#pragma once
// Hands notifications from worker threads to the thread that owns a component.
//
// A NotifyTarget lives on the thread that creates it (the UI thread). Any thread may Post() a
// notification; the owner's thread runs the handler for each, in posting order, whenever it
// processes events. A notification's byte block travels with it and belongs to it: the poster
// gives it up, the handler borrows it for the call, and it is freed afterwards.
//
// The notifications cross threads in a mutex-guarded queue; the posted Qt event only wakes the
// owner's loop, so every byte handed over is published under the lock.

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace xv4::platform {

struct Notification {
  int code = 0;
  std::uintptr_t param = 0;
  QByteArray data;
  std::uint64_t tag = 0;  // the poster's own label (a port: the open it belongs to)
};

class NotifyTarget : public QObject {
 public:
  using Handler = std::function<void(const Notification&)>;

  // Created on the thread that will run the handler.
  explicit NotifyTarget(Handler handler, QObject* parent = nullptr);
  ~NotifyTarget() override;

  // Any thread. Queues one notification and wakes the owner's thread.
  void Post(int code, std::uintptr_t param = 0, QByteArray data = {}, std::uint64_t tag = 0);

  // Owner's thread. Runs the handler for everything queued so far. Normally the event loop does
  // this; a component may call it to flush before it goes away.
  void Deliver();

  // Owner's thread. Runs the handler for the oldest queued notification; false if none.
  bool DeliverOne();

  // Drops what is queued without running the handler (owner's thread).
  void Discard();

 protected:
  bool event(QEvent* e) override;

 private:
  Handler handler_;
  std::mutex mutex_;
  std::deque<Notification> queue_;  // guarded by mutex_
  bool wakePending_ = false;        // guarded by mutex_: one wake event in flight at most
};

// Runs closures that any thread posts on the thread that created it, in posting order, whenever
// that thread handles events. The closures, and what they capture, cross threads in a
// mutex-guarded queue as notifications do (a functor posted with QMetaObject::invokeMethod is
// handed over under Qt's own lock, which the thread sanitizer cannot see); each is run and
// destroyed on the owner's thread. Closures still queued when the target goes away are dropped.
class TaskTarget {
 public:
  TaskTarget();
  ~TaskTarget();
  TaskTarget(const TaskTarget&) = delete;
  TaskTarget& operator=(const TaskTarget&) = delete;

  // Any thread.
  void Post(std::function<void()> task);

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  NotifyTarget wake_;                        // one notification per task; destroyed first
};

}  // namespace xv4::platform
