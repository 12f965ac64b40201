#pragma once
// Reaches the serial link's receive path for tests and fuzz harnesses, without a port or a
// worker thread: bytes arrive as the port hands them over, and one worker pass parses them. The
// caller plays both threads on one. No test framework here.

#include "link/MdmLnk.h"

#include <QByteArray>

#include <cstdint>
#include <span>

namespace xv4 {

class TMdmLnkTestAccess {
 public:
  // As the port reporting received bytes (UI thread): queued for the worker and passed on.
  // The chunk counts as read after every send so far, as a real read thread's would.
  static void Receive(TMdmLnk& link, std::span<const std::uint8_t> bytes) {
    link.comm_->chunkSequence_ = link.ownerReadMark_ + 1;
    link.PortDataReceived(nullptr, bytes.data(), static_cast<std::uint16_t>(bytes.size()));
  }
  // One pass of the worker: parses what was received, services the modem and the timers.
  static void WorkerPass(TMdmLnk& link) { link.WorkerPass(nullptr, true); }
  // The worker's byte parser (its debug lines and queue reports added afterwards), and the line
  // classifier it uses (a plain function of the modem layer).
  static void ParseBytes(TMdmLnk& link, std::span<const std::uint8_t> bytes) {
    LinkActions after;
    link.ParseBytes(bytes.data(), bytes.size(), after);
    after.Run();
  }
  static int ClassifyLine(TMdmLnk&, const QByteArray& line) { return xv4::ClassifyLine(line); }
};

}  // namespace xv4
