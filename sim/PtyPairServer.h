#pragma once
// Two pseudo-terminals, A and B, joined by an emulated line and served by one worker thread.
//
// Modem pair: each terminal has its own emulated modem (ModemEmulator) and a telephone line
// joins them. ATD on one side rings the other: RING after ModemOptions::delay, then every
// ringInterval, until that side answers (ATA, or S0 rings) or the caller gives up with
// NO ANSWER after ringLimit rings (a dial abandoned by the caller stops the ringing). A side
// that is off hook is BUSY to a caller. After the answer and ModemOptions::delay both sides say
// CONNECT <speed> and bytes flow both ways. A hang-up on one side (ATH0, ATZ, or the tool
// closing its port) gives NO CARRIER on the other. ModemOptions::dial other than kConnect makes
// every dial end that way without ringing.
//
// Null modem: no modems; the two terminals are joined directly, as by a cable.
//
// With ModemOptions::lineBps the line is paced both ways (10 bit times per byte) and CONNECT
// reports that speed; without it bytes pass at once and CONNECT reports the speed the tool set
// on its own port. A side whose tool does not read holds up the other side's sending (the
// server stops reading it), so nothing grows without limit and nothing is lost.
//
// The server sees the tool open and close its port (OpenWatch). A modem side whose port is
// closed hears no RING and receives nothing; with a null modem, bytes wait for the port to be
// opened. Whatever the tool leaves unread when it closes its port is dropped.
//
// Start() and Stop() from the controlling thread; Path() from any thread once Start() has
// returned. Start() throws std::runtime_error when a terminal cannot be made.

#include "sim/ModemEmulator.h"

#include <memory>
#include <string>
#include <thread>

namespace xv4::sim {

class PtyPairServer {
 public:
  enum class Kind { kModemPair, kNullModem };

  PtyPairServer();
  ~PtyPairServer();  // Stop()
  PtyPairServer(const PtyPairServer&) = delete;
  PtyPairServer& operator=(const PtyPairServer&) = delete;

  // Where the traffic lines go (before Start()). Called on the worker.
  void SetTrafficLog(TrafficLog log) { log_ = std::move(log); }

  // Creates both terminals and starts serving them.
  void Start(Kind kind, const ModemOptions& options = {});
  // Stops the worker and removes the terminals. Idempotent.
  void Stop();

  bool Running() const { return worker_.joinable(); }
  // The slave path of side 0 (A) or 1 (B), which the tools open.
  std::string Path(int side) const { return paths_[side == 0 ? 0 : 1]; }

 private:
  struct Impl;
  void Run();

  std::unique_ptr<Impl> impl_;  // created by Start(), destroyed by Stop() after the join
  std::thread worker_;
  TrafficLog log_;
  std::string paths_[2];  // written by Start() before the worker starts
};

}  // namespace xv4::sim
