#pragma once
// Waiting without blocking the user interface.
//
// The tool's waits (for a printer's reply, for a write to drain, for the user to confirm a
// message) all run on the UI thread and keep the event loop turning, so that socket and serial
// notifications, timers and the Cancel button are handled inside them. They sleep in the event
// loop between events and never spin.
//
// UI thread only, except WakeUiThread(), which any thread may call.

#include <functional>

namespace xv4::platform {

// Handles the events that are pending now, without sleeping.
void ProcessMessages();

// Handles events, sleeping while there are none, until done() returns true. done() is tested
// before the first sleep and again after every batch of events. Whoever makes done() true from
// another thread must wake the loop (WakeUiThread, or a posted event).
void WaitUntil(const std::function<bool()>& done);

// Handles events until the given number of milliseconds of wall-clock time has passed.
void DelayMs(int milliseconds);

// Makes a WaitUntil that is sleeping on the UI thread re-test its condition. Thread-safe.
void WakeUiThread();

}  // namespace xv4::platform
