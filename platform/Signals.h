#pragma once
// Termination signals (SIGINT, SIGTERM, SIGHUP) handled in the event loop. The signal handler
// only notes the signal and writes a byte to a pipe; a notifier on the UI thread reads the pipe
// and calls the program's handler there, where it can cancel an operation or close the window
// properly. A signal that comes while an earlier one is still pending ends the program at once,
// with the signal's default action: a user who presses Ctrl+C twice is not kept waiting.
//
// Threads: CatchSignals and DeliverCaughtSignals on the UI thread; the handler runs in signal
// context and touches only the pipe and two sig_atomic_t values.

#include <QObject>

#include <functional>
#include <initializer_list>

namespace xv4::platform {

// What a signal after a handled one does.
enum class RepeatedSignal {
  AsksAgain,    // handling a signal clears the pending mark: a later signal is delivered again
  EndsProgram,  // the mark stays: any later signal ends the program
};

// Installs the handler for `signos`. Signals caught before DeliverCaughtSignals wait in the pipe.
// False when the pipe or a handler cannot be set up (the signals keep their default action).
bool CatchSignals(std::initializer_list<int> signos, RepeatedSignal repeated);

// Calls onSignal(signo) in the event loop of context's thread for each batch of caught signals
// (signo: the latest one), for as long as context lives. A later call replaces the earlier one.
void DeliverCaughtSignals(QObject* context, std::function<void(int signo)> onSignal);

// Whether a signal has been caught since CatchSignals.
bool SignalCaught();

}  // namespace xv4::platform
