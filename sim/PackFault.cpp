#include "sim/PackFault.h"

namespace xv4::sim {

int PackCorrupter::Apply(std::span<std::uint8_t> bytes) {
  if (every_ <= 0)
    return 0;
  int corrupted = 0;
  for (std::uint8_t& b : bytes) {
    if (dataLeft_ > 0) {
      if (corruptNext_) {
        b ^= 0x01;
        corruptNext_ = false;
        ++corrupted;
      }
      --dataLeft_;
      continue;
    }
    if (headerPos_ < 0) {
      if (b == 0xAA) {
        header_[0] = b;
        headerPos_ = 1;
      }
      continue;
    }
    header_[headerPos_++] = b;
    if (headerPos_ < 11)
      continue;
    headerPos_ = -1;
    unsigned sum = 0;
    for (int i = 0; i < 10; ++i)
      sum += header_[i];
    if ((sum & 0xFF) != header_[10])
      continue;  // not a pack header after all
    const std::uint32_t length = static_cast<std::uint32_t>(header_[8]) << 8 | header_[9];
    if (length == 0)
      continue;
    dataLeft_ = length + 2;
    corruptNext_ = ++packs_ % static_cast<std::uint64_t>(every_) == 0;
  }
  return corrupted;
}

}  // namespace xv4::sim
