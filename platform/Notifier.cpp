#include "platform/Notifier.h"

#include <QCoreApplication>
#include <QEvent>

namespace xv4::platform {
namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

NotifyTarget::NotifyTarget(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

NotifyTarget::~NotifyTarget() = default;

void NotifyTarget::Post(int code, std::uintptr_t param, QByteArray data, std::uint64_t tag) {
  // The wake event is made under the lock, and event() takes the lock before it looks at it:
  // Qt's own queue lock is invisible to the thread sanitizer, ours is not.
  QEvent* wake = nullptr;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Notification{code, param, std::move(data), tag});
    if (!wakePending_)
      wake = new QEvent(kWakeEvent);
    wakePending_ = true;
  }
  if (wake != nullptr)
    QCoreApplication::postEvent(this, wake);
}

void NotifyTarget::Deliver() {
  while (DeliverOne()) {
  }
}

bool NotifyTarget::DeliverOne() {
  Notification n;
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      wakePending_ = false;
      return false;
    }
    n = std::move(queue_.front());
    queue_.pop_front();
    more = !queue_.empty();
    wakePending_ = more;
  }
  // One notification per wake event: if the handler runs a nested event loop (a modal wait),
  // that loop still delivers the rest, in order.
  if (more)
    QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
  if (handler_)
    handler_(n);
  return true;
}

void NotifyTarget::Discard() {
  std::lock_guard lock(mutex_);
  queue_.clear();
}

bool NotifyTarget::event(QEvent* e) {
  {
    std::lock_guard lock(mutex_);  // pairs with Post(): the event was built under this lock
  }
  if (e->type() != kWakeEvent)
    return QObject::event(e);
  DeliverOne();
  return true;
}

TaskTarget::TaskTarget()
    : wake_([this](const Notification&) {
        std::function<void()> task;
        {
          std::lock_guard lock(mutex_);
          if (tasks_.empty())
            return;
          task = std::move(tasks_.front());
          tasks_.pop_front();
        }
        if (task)
          task();
      }) {}

TaskTarget::~TaskTarget() = default;

void TaskTarget::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.Post(0);
}

}  // namespace xv4::platform
