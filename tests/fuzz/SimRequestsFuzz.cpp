// The simulator's request parsing: serial bytes through the frame finder and the frame decoder,
// or UDP datagrams, into the printer engine; its answers shaped for the line and, for a reply
// frame, found again in the bytes sent.
//
// Input: a flag byte (bit 0: serial line, bit 1: faults from the next four bytes, bit 2: paced
// at 9600 bit/s), then serial chunks or datagrams (see fuzz::Input).
#include "protocol/DeviceRecord.h"
#include "sim/FrameFinder.h"
#include "sim/Options.h"
#include "sim/PrinterEngine.h"
#include "sim/ReplyShaper.h"
#include "tests/fuzz/FuzzSupport.h"

#include <algorithm>
#include <random>

namespace {

using namespace xv4;
using namespace xv4::sim;

// The bytes of an answer as the tool receives them: the pieces in order, times not decreasing.
void CheckAnswer(const Answer& answer, Transport transport, int paceBps) {
  std::mt19937 rng(1);
  const std::vector<std::uint8_t> bytes = AnswerBytes(answer, transport, rng);
  rng.seed(1);
  std::vector<std::uint8_t> joined;
  std::chrono::microseconds last{0};
  for (const TimedPiece& piece : ShapeAnswer(answer, transport, paceBps, rng)) {
    XV4_FUZZ_CHECK(piece.at >= last);
    last = piece.at;
    joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
  }
  XV4_FUZZ_CHECK(joined == bytes);
  if (answer.kind != Answer::Kind::kRecord || transport != Transport::kSerial)
    return;
  // The reply frame is found in what goes on the line and decodes to the reply record.
  FrameFinder finder;
  int frames = 0;
  finder.Feed(bytes, [&](ConstFrameBytes frame) {
    std::array<std::uint8_t, kRecordWithChecksum> area{};
    XV4_FUZZ_CHECK(UnpackFrame(frame, area) != answer.delivery.badChecksum);
    XV4_FUZZ_CHECK(std::equal(answer.record.begin(), answer.record.end(), area.begin()));
    ++frames;
  });
  XV4_FUZZ_CHECK(frames == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Environment();
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.Byte();
  const Transport transport = (flags & 1) ? Transport::kSerial : Transport::kUdp;
  const int paceBps = (flags & 4) ? 9600 : 0;
  PrinterEngine engine;
  engine.SetCaptureLimit(1);
  if (flags & 2) {
    FaultConfig faults;
    const std::uint8_t f = in.Byte();
    faults.nakFirst = f & 3;
    faults.dropEvery = (f >> 2) & 3;
    faults.corruptFirst = (f >> 4) & 1;
    faults.badChecksumFirst = (f >> 5) & 1;
    faults.falseStart = (f >> 6) & 1;
    faults.garbageBytes = in.Byte() % 16;
    faults.splitAt = {in.Byte(), 300};
    faults.splitGapMs = in.Byte();
    engine.SetFaults(faults);
  }

  const auto handle = [&](std::span<const std::uint8_t, kRecordSize> record) {
    const Answer answer = engine.Handle(record, transport);
    const CapturedRecord captured = engine.Captured().back();
    XV4_FUZZ_CHECK(FormatCaptureLine(captured).size() == 2 + 1 + 4 + 1 + 2 * kDataSize);
    DescribeRequest(captured);
    DescribeAnswer(answer);
    CheckAnswer(answer, transport, paceBps);
  };

  FrameFinder finder;
  std::uint64_t fed = 0;
  while (!in.Empty()) {
    const auto chunk = in.Chunk();
    if (transport == Transport::kUdp) {
      // The server hands on only datagrams of one record.
      if (chunk.size() == kRecordSize)
        handle(chunk.first<kRecordSize>());
      continue;
    }
    finder.Feed(chunk, [&](ConstFrameBytes frame) {
      std::array<std::uint8_t, kRecordWithChecksum> area{};
      if (UnpackFrame(frame, area))
        handle(std::span<const std::uint8_t, kRecordSize>(area.data(), kRecordSize));
    });
    fed += chunk.size();
    // Every byte is in a frame found, in the frame being received, or discarded.
    const std::uint64_t accounted = finder.DiscardedBytes() + finder.FramesFound() * kFrameSize;
    XV4_FUZZ_CHECK(accounted <= fed && fed - accounted < kFrameSize);
  }
  return 0;
}
