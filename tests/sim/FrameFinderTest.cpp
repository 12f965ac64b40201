#include "sim/FrameFinder.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace xv4::sim {
namespace {

using test::Bytes;
using test::FrameOf;
using test::MakeRecord;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Feeds the chunks one by one and returns the frames found, as byte vectors.
std::vector<Bytes> FindAll(FrameFinder& finder, const std::vector<Bytes>& chunks) {
  std::vector<Bytes> found;
  for (const Bytes& chunk : chunks)
    finder.Feed(chunk, [&](ConstFrameBytes f) { found.emplace_back(f.begin(), f.end()); });
  return found;
}

struct StreamCase {
  const char* what;
  std::vector<Bytes> chunks;
  std::vector<Bytes> expected;
};

TEST(FrameFinder, FindsFramesWhateverSurroundsThem) {
  const Bytes a = FrameOf(MakeRecord(14, 1, {0x34, 0x12}));
  const Bytes b = FrameOf(MakeRecord(63, 124));
  const Bytes aHead(a.begin(), a.begin() + 100);
  const Bytes aTail(a.begin() + 100, a.end());
  const Bytes aBadEnd = [&] {
    Bytes x = a;
    x.back() = 0x05;
    return x;
  }();
  const Bytes aLowByteInside = [&] {
    Bytes x = a;
    x[150] = 0x41;
    return x;
  }();
  const StreamCase cases[] = {
      {"a frame alone", {a}, {a}},
      {"trailer and garbage between frames",
       {Concat({Bytes{0x00, 0x7F, 0x55}, a, {0xFF}, b})},
       {a, b}},
      {"two frames in one write", {Concat({a, b})}, {a, b}},
      {"split across writes", {aHead, aTail}, {a}},
      {"split byte by byte",
       [&] {
         std::vector<Bytes> bytes;
         for (std::uint8_t x : a)
           bytes.push_back({x});
         return bytes;
       }(),
       {a}},
      {"false start restarts at the next start byte", {Concat({Bytes{0x03, 0x8F, 0x80}, a})}, {a}},
      {"half frame abandoned by a new start byte", {Concat({aHead, b})}, {b}},
      {"wrong end byte drops the frame", {Concat({aBadEnd, b})}, {b}},
      {"byte without bit 7 inside drops the frame", {Concat({aLowByteInside, b})}, {b}},
      {"nothing but noise", {Bytes(500, 0x80), Bytes{0x04, 0x04, 0xFF}}, {}},
  };
  for (const StreamCase& c : cases) {
    FrameFinder finder;
    EXPECT_EQ(FindAll(finder, c.chunks), c.expected) << c.what;
  }
}

TEST(FrameFinder, CountsDiscardedBytes) {
  FrameFinder finder;
  const Bytes a = FrameOf(MakeRecord(14, 2));
  FindAll(finder, {Concat({Bytes{0x11, 0x22}, Bytes{0x03, 0x81}, a, Bytes{0xFF}})});
  EXPECT_EQ(finder.FramesFound(), 1u);
  EXPECT_EQ(finder.DiscardedBytes(), 2u + 2u + 1u);
}

TEST(FrameFinder, ResetForgetsAPartialFrame) {
  FrameFinder finder;
  const Bytes a = FrameOf(MakeRecord(14, 2));
  FindAll(finder, {Bytes(a.begin(), a.begin() + 200)});
  finder.Reset();
  EXPECT_TRUE(FindAll(finder, {Bytes(a.begin() + 200, a.end())}).empty());
}

// Random streams of garbage, truncated frames and whole frames, cut into random chunks: every
// whole frame is found and nothing else is. Under AddressSanitizer this also shows that the
// finder stays inside its buffer whatever it is fed.
TEST(FrameFinder, RandomStreamsFindEveryIntactFrameAndNeverCrash) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> kind(0, 3);
  for (int round = 0; round < 300; ++round) {
    Bytes stream;
    std::vector<Bytes> expected;
    for (int part = 0; part < 12; ++part) {
      const int k = kind(rng);
      if (k == 0) {
        // Garbage without start bytes, so it cannot swallow the next frame.
        const int n = byte(rng);
        for (int i = 0; i < n; ++i) {
          auto b = static_cast<std::uint8_t>(byte(rng));
          stream.push_back(b == kFrameStart ? 0x00 : b);
        }
        stream.push_back(0x00);  // ends any frame the garbage may have looked like
      } else if (k == 1) {
        // A truncated frame followed by a byte that breaks it.
        Record r{};
        for (auto& b : r)
          b = static_cast<std::uint8_t>(byte(rng));
        const Bytes f = FrameOf(r);
        const auto cut = static_cast<std::size_t>(1 + byte(rng));
        stream.insert(stream.end(), f.begin(), f.begin() + static_cast<std::ptrdiff_t>(cut));
        stream.push_back(0x00);
      } else {
        Record r{};
        for (auto& b : r)
          b = static_cast<std::uint8_t>(byte(rng));
        const Bytes f = FrameOf(r);
        stream.insert(stream.end(), f.begin(), f.end());
        expected.push_back(f);
      }
    }
    std::vector<Bytes> chunks;
    for (std::size_t i = 0; i < stream.size();) {
      const auto n = std::min<std::size_t>(stream.size() - i, 1 + byte(rng) * 2);
      chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(i),
                          stream.begin() + static_cast<std::ptrdiff_t>(i + n));
      i += n;
    }
    FrameFinder finder;
    ASSERT_EQ(FindAll(finder, chunks), expected) << "round " << round;
  }
}

TEST(FrameFinder, PureGarbageNeverYieldsAnInvalidFrame) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int> byte(0, 255);
  FrameFinder finder;
  for (int round = 0; round < 2000; ++round) {
    Bytes chunk(static_cast<std::size_t>(byte(rng)) * 4);
    for (auto& b : chunk)
      b = static_cast<std::uint8_t>(byte(rng) | (byte(rng) < 250 ? 0x80 : 0));
    if (!chunk.empty() && byte(rng) < 40)
      chunk[static_cast<std::size_t>(byte(rng)) % chunk.size()] = kFrameStart;
    finder.Feed(chunk, [](ConstFrameBytes f) {
      ASSERT_EQ(f[0], kFrameStart);
      ASSERT_EQ(f[kFrameSize - 1], kFrameEnd);
      for (int i = 1; i < kFrameSize - 1; ++i)
        ASSERT_NE(f[static_cast<std::size_t>(i)] & 0x80, 0);
    });
  }
}

}  // namespace
}  // namespace xv4::sim
