#pragma once
// A fault of the line between two stations: every N-th data pack that crosses it gets one bit of
// its data flipped, so that the receiving station finds a CRC error and the sender must resend.
//
// A data pack starts with 0xAA and an 11-byte header whose last byte is the sum of the ten before
// it (modulo 256); bytes 8 and 9 give the data length N (big-endian); N data bytes and a 2-byte
// CRC follow when N > 0. The corrupter follows the stream without holding any byte back: it
// recognises a header by its checksum, counts the packs that carry data, and changes the first
// data byte of every N-th one as it passes. Empty packs and text lines pass unchanged.
//
// One direction of one line; one thread.

#include <cstdint>
#include <span>

namespace xv4::sim {

class PackCorrupter {
 public:
  // every: 0 switches the fault off.
  explicit PackCorrupter(int every = 0) : every_(every) {}

  // Changes the bytes in place. Returns how many packs it corrupted in them.
  int Apply(std::span<std::uint8_t> bytes);
  // Data packs seen so far.
  std::uint64_t Packs() const { return packs_; }

 private:
  int every_;
  std::uint64_t packs_ = 0;
  int headerPos_ = -1;  // -1: between packs; 0..10: header bytes held
  std::uint8_t header_[11] = {};
  std::uint32_t dataLeft_ = 0;  // data and CRC bytes of the current pack still to pass
  bool corruptNext_ = false;    // the next data byte is the one to change
};

}  // namespace xv4::sim
