#include "platform/EventLoop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace xv4::platform {

void ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitUntil(const std::function<bool()>& done) {
  while (!done()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

void DelayMs(int milliseconds) {
  if (milliseconds <= 0) {
    ProcessMessages();
    return;
  }
  bool elapsed = false;
  QTimer timer;
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&elapsed] { elapsed = true; });
  timer.start(milliseconds);
  WaitUntil([&elapsed] { return elapsed; });
}

void WakeUiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr)
    return;
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(app->thread())) {
    dispatcher->wakeUp();
  }
}

}  // namespace xv4::platform
