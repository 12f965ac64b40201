#pragma once
// Waiting in tests: handle events until a condition holds or a generous limit has passed.

#include "platform/EventLoop.h"

#include <QTimer>

#include <functional>

namespace xv4::test {

// Returns whether done() became true within limitMs. A timer at the limit wakes the loop, so
// the wait ends even when no event arrives; conditions set by other threads should wake the UI
// thread (platform::WakeUiThread) when they change.
inline bool WaitFor(const std::function<bool()>& done, int limitMs = 10000) {
  bool expired = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
  limit.start(limitMs);
  platform::WaitUntil([&] { return done() || expired; });
  return done();
}

}  // namespace xv4::test
