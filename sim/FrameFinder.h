#pragma once
// Finds serial frames in a byte stream that may hold anything else as well.
//
// A frame is 301 bytes: the start byte 0x03, 299 bytes with bit 7 set, the end byte 0x04.
// Everything before a start byte is skipped (the 0xFF trailer the tool sends after each frame,
// line noise, a half frame). A start byte inside a frame starts a new one; any other byte
// without bit 7, or a wrong end byte, abandons the frame. The finder does not check the
// checksum; the caller decodes the frame.
//
// One instance per byte stream; not thread-safe (the serial server's thread owns it).

#include "protocol/DeviceRecord.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace xv4::sim {

class FrameFinder {
 public:
  using FrameHandler = std::function<void(ConstFrameBytes frame)>;

  // Takes the next bytes of the stream; calls onFrame for every frame completed by them, in
  // order. The frame passed is valid only during the call.
  void Feed(std::span<const std::uint8_t> bytes, const FrameHandler& onFrame);

  // Forgets a partly received frame.
  void Reset() { pos_ = 0; }

  // Bytes skipped or abandoned so far (not part of a complete frame).
  std::uint64_t DiscardedBytes() const { return discarded_; }
  std::uint64_t FramesFound() const { return frames_; }

 private:
  std::array<std::uint8_t, kFrameSize> frame_{};
  int pos_ = 0;  // bytes of the current frame held in frame_, 0..kFrameSize-1
  std::uint64_t discarded_ = 0;
  std::uint64_t frames_ = 0;
};

}  // namespace xv4::sim
