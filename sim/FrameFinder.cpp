#include "sim/FrameFinder.h"

namespace xv4::sim {

void FrameFinder::Feed(std::span<const std::uint8_t> bytes, const FrameHandler& onFrame) {
  for (const std::uint8_t b : bytes) {
    if (b == kFrameStart) {
      // The start byte never occurs inside a frame, so it always begins a new one.
      discarded_ += static_cast<std::uint64_t>(pos_);
      frame_[0] = b;
      pos_ = 1;
      continue;
    }
    if (pos_ == 0) {
      ++discarded_;
      continue;
    }
    if (pos_ < kFrameSize - 1) {
      if ((b & 0x80) == 0) {
        discarded_ += static_cast<std::uint64_t>(pos_) + 1;
        pos_ = 0;
        continue;
      }
      frame_[static_cast<std::size_t>(pos_++)] = b;
      continue;
    }
    // pos_ == kFrameSize - 1: only the end byte completes the frame.
    if (b != kFrameEnd) {
      discarded_ += static_cast<std::uint64_t>(pos_) + 1;
      pos_ = 0;
      continue;
    }
    frame_[kFrameSize - 1] = b;
    pos_ = 0;
    ++frames_;
    if (onFrame)
      onFrame(ConstFrameBytes(frame_));
  }
}

}  // namespace xv4::sim
