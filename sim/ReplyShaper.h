#pragma once
// Turns the engine's answer into the bytes a transport sends, and when it sends them.
//
// Over UDP an answer is one datagram (the byte, or the 259-byte record) unless the reply is
// split, in which case each part is a datagram of its own. On the serial line a reply record
// becomes a frame (checksum, 7-bit packing, no trailer), optionally preceded by stray bytes or a
// false start, optionally cut into several writes, optionally paced at the line speed.
//
// Pure functions; any thread.

#include "sim/PrinterEngine.h"

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace xv4::sim {

struct TimedPiece {
  std::chrono::microseconds at{0};  // after the request was received
  std::vector<std::uint8_t> bytes;
};

// The bytes of an answer as they go on the line, before splitting and pacing. Stray bytes are
// drawn from rng and never hold 0x02, 0x03 or 0x55, so they neither acknowledge, refuse nor
// start a frame.
std::vector<std::uint8_t> AnswerBytes(const Answer& answer, Transport transport, std::mt19937& rng);

// The answer's bytes cut at its split points, each part delayed by the answer's delay plus the
// gaps before it. With paceBps > 0 (serial line) the parts are further cut into pieces of about
// 10 ms of line time, each leaving when the line would have finished sending it
// (10 bit times per byte). An answer of kind kNone gives no pieces.
std::vector<TimedPiece> ShapeAnswer(const Answer& answer, Transport transport, int paceBps,
                                    std::mt19937& rng);

}  // namespace xv4::sim
