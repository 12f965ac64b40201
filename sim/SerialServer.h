#pragma once
// The simulated printer on a serial line: a pseudo-terminal it creates, or an existing terminal
// device, served by one worker thread.
//
// The worker finds frames in the incoming bytes (FrameFinder), decodes them, and hands every
// frame with a correct checksum to the engine; a frame with a wrong checksum is not answered,
// as a printer cannot trust any byte of it (the tool repeats the request after its wait). The
// answer goes back as the acknowledgement byte or a reply frame without trailer, shaped by the
// injected faults and, with pacing, at the speed the tool set on the line.
//
// On a pseudo-terminal the tool opens Path() (the slave side) and sets the line speed there; the
// worker reads that speed from its master side. The server keeps a descriptor of the slave open
// itself, so that the line stays up (no hang-up) between the tool's opens and keeps the settings
// the tool made.
//
// With a modem (SerialOptions::modem) the printer sits behind an emulated modem
// (ModemEmulator): the tool talks AT commands to it, dials, and once the printer's end has
// answered (as ModemOptions::dial says, after ModemOptions::delay) the bytes pass to and from
// the printer exactly as without a modem; the printer answers only while the call is up. On a
// pseudo-terminal the server sees the tool close its port (OpenWatch): the modem then goes on
// hook and back to its stored profile, and what the tool left unread is dropped, so the next
// open finds an idle modem in command state; nothing is written while the port is closed.
//
// Start*() and Stop() from the controlling thread; Path(), CurrentLineSpeed() and Stats() from
// any thread. Start*() throws std::runtime_error when the terminal cannot be made or opened.

#include "sim/ModemEmulator.h"
#include "sim/PrinterEngine.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

namespace xv4::sim {

struct SerialOptions {
  // Write answers at the line speed (10 bit times per byte) instead of at once; a
  // pseudo-terminal itself ignores the speed.
  bool pace = false;
  // The printer's own speed. Pseudo-terminal: frames that arrive while the tool's line speed
  // differs are not understood (0: any speed is understood). Device: the speed set on it
  // (0: 9600).
  int printerBps = 0;
  // The printer behind an emulated modem; nothing: the printer on the line itself.
  std::optional<ModemOptions> modem;
};

struct SerialStats {
  std::uint64_t frames = 0;          // complete frames found
  std::uint64_t badChecksum = 0;     // of those, not answered because of their checksum
  std::uint64_t wrongSpeed = 0;      // of those, not understood at the tool's line speed
  std::uint64_t discardedBytes = 0;  // bytes outside complete frames
  std::uint64_t bytesWritten = 0;
  std::uint64_t writeErrors = 0;
};

class SerialServer {
 public:
  explicit SerialServer(PrinterEngine& engine);
  ~SerialServer();  // Stop()
  SerialServer(const SerialServer&) = delete;
  SerialServer& operator=(const SerialServer&) = delete;

  // Creates a pseudo-terminal in raw mode at 9600 baud and starts answering on it.
  void StartPty(const SerialOptions& options = {});
  // Opens a terminal device, sets raw mode at options.printerBps (or 9600), and starts answering.
  void StartDevice(const std::string& path, const SerialOptions& options = {});
  // Where the modem's traffic lines go (with a modem; before Start*()). Called on the worker.
  void SetTrafficLog(TrafficLog log) { log_ = std::move(log); }

  // Stops the worker and closes the terminal; answers still waiting are dropped. Idempotent.
  void Stop();

  bool Running() const { return worker_.joinable(); }
  // Pseudo-terminal: the slave path the tool opens (e.g. /dev/pts/5). Device: its path.
  std::string Path() const;
  // The line speed in bits per second as now set on the terminal (on a pseudo-terminal: by the
  // tool on the slave side); 0 when not running or not a standard speed.
  int CurrentLineSpeed() const;
  SerialStats Stats() const;
  // Blocks until at least n frames have been found since the start, or the time-out has run
  // out; true in the first case.
  bool WaitForFrames(std::uint64_t n, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  class PrinterCall;
  void StartWith(std::unique_ptr<Impl> impl, const std::string& path, const SerialOptions& options);
  void Run();
  // Finds frames in bytes for the printer and queues its answers.
  void FeedPrinter(std::span<const std::uint8_t> bytes);
  void Count(std::uint64_t SerialStats::*field, std::uint64_t n = 1);

  PrinterEngine& engine_;
  mutable std::mutex mutex_;    // guards impl_'s existence against Stop() for the accessors
  std::unique_ptr<Impl> impl_;  // created by Start*(), destroyed by Stop() after the join
  std::thread worker_;
  SerialOptions options_;  // set before the worker starts; the worker only reads it
  TrafficLog log_;         // likewise
  std::string path_;       // guarded by mutex_
  // Written by the worker, read from any thread.
  mutable std::mutex statsMutex_;
  mutable std::condition_variable statsChanged_;
  SerialStats stats_;  // guarded by statsMutex_
};

}  // namespace xv4::sim
