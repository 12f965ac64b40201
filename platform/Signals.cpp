#include "platform/Signals.h"

#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace xv4::platform {
namespace {

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_pending = 0;
volatile std::sig_atomic_t g_lastSignal = 0;
volatile std::sig_atomic_t g_caught = 0;
RepeatedSignal g_repeated = RepeatedSignal::EndsProgram;
QPointer<QSocketNotifier> g_notifier;

// Async-signal context: only sig_atomic_t stores and write() to the pipe.
extern "C" void OnSignal(int signo) {
  const int savedErrno = errno;
  g_caught = 1;
  if (g_pending != 0) {
    std::signal(signo, SIG_DFL);
    std::raise(signo);  // delivered when this handler returns
  } else {
    g_pending = 1;
    g_lastSignal = signo;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

bool CatchSignals(std::initializer_list<int> signos, RepeatedSignal repeated) {
  if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  g_repeated = repeated;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signo : signos) {
    if (::sigaction(signo, &action, nullptr) != 0)
      return false;
  }
  return true;
}

void DeliverCaughtSignals(QObject* context, std::function<void(int signo)> onSignal) {
  delete g_notifier;
  if (g_pipe[0] < 0)
    return;
  g_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, context);
  QObject::connect(g_notifier, &QSocketNotifier::activated, context,
                   [onSignal = std::move(onSignal)] {
                     char drain[16];
                     while (::read(g_pipe[0], drain, sizeof drain) > 0) {
                     }
                     const int signo = g_lastSignal;
                     if (g_repeated == RepeatedSignal::AsksAgain)
                       g_pending = 0;
                     onSignal(signo);
                   });
}

bool SignalCaught() {
  return g_caught != 0;
}

}  // namespace xv4::platform
