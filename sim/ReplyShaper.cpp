#include "sim/ReplyShaper.h"

#include <algorithm>

namespace xv4::sim {
namespace {

std::uint8_t StrayByte(std::mt19937& rng) {
  std::uniform_int_distribution<int> any(0, 255);
  for (;;) {
    const auto b = static_cast<std::uint8_t>(any(rng));
    if (b != AckByte && b != NakByte && b != kFrameStart)
      return b;
  }
}

std::vector<std::uint8_t> ReplyFrame(const Answer& answer) {
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  std::copy(answer.record.begin(), answer.record.end(), area.begin());
  StoreChecksum(area);
  if (answer.delivery.badChecksum)
    area[kRecordSize] ^= 0x01;
  std::array<std::uint8_t, kFrameSize> frame{};
  PackFrame(area, frame);
  return {frame.begin(), frame.end()};
}

}  // namespace

std::vector<std::uint8_t> AnswerBytes(const Answer& answer, Transport transport,
                                      std::mt19937& rng) {
  std::vector<std::uint8_t> out;
  if (answer.kind == Answer::Kind::kNone)
    return out;
  if (transport == Transport::kUdp) {
    if (answer.kind == Answer::Kind::kByte)
      out.push_back(answer.byte);
    else
      out.assign(answer.record.begin(), answer.record.end());
    return out;
  }

  for (int i = 0; i < answer.delivery.garbageBytes; ++i)
    out.push_back(StrayByte(rng));
  if (answer.kind == Answer::Kind::kByte) {
    out.push_back(answer.byte);
    return out;
  }
  const std::vector<std::uint8_t> frame = ReplyFrame(answer);
  if (answer.delivery.falseStart) {
    // A start byte followed by a byte that differs from the reply's first header byte: a
    // receiver that waits for this reply must drop it and restart at the real start byte.
    out.push_back(kFrameStart);
    out.push_back(static_cast<std::uint8_t>((frame[1] ^ 0x01) | 0x80));
    out.push_back(0x80);
  }
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

std::vector<TimedPiece> ShapeAnswer(const Answer& answer, Transport transport, int paceBps,
                                    std::mt19937& rng) {
  using std::chrono::microseconds;
  std::vector<TimedPiece> pieces;
  const std::vector<std::uint8_t> bytes = AnswerBytes(answer, transport, rng);
  if (bytes.empty())
    return pieces;

  std::vector<std::size_t> cuts;
  for (const int at : answer.delivery.splitAt) {
    const auto cut = static_cast<std::size_t>(std::max(at, 0));
    if (cut > 0 && cut < bytes.size() && (cuts.empty() || cut > cuts.back()))
      cuts.push_back(cut);
  }
  cuts.push_back(bytes.size());

  const bool paced = paceBps > 0 && transport == Transport::kSerial;
  // About 10 ms of line time per write when paced, at least one byte.
  const std::size_t pacedChunk = paced ? std::max<std::size_t>(1, paceBps / 1000) : 0;
  const auto byteTime = [&](std::size_t n) {
    return microseconds(static_cast<std::int64_t>(n) * 10'000'000 / std::max(paceBps, 1));
  };

  microseconds t = std::chrono::milliseconds(std::max(answer.delivery.delayMs, 0));
  const microseconds gap = std::chrono::milliseconds(std::max(answer.delivery.splitGapMs, 0));
  std::size_t begin = 0;
  for (std::size_t c = 0; c < cuts.size(); ++c) {
    if (c > 0)
      t += gap;
    const std::size_t end = cuts[c];
    if (!paced) {
      pieces.push_back({t,
                        {bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                         bytes.begin() + static_cast<std::ptrdiff_t>(end)}});
    } else {
      const microseconds partStart = t;
      for (std::size_t p = begin; p < end; p += pacedChunk) {
        const std::size_t q = std::min(end, p + pacedChunk);
        // The bytes reach the other end once the line has clocked them out.
        t = partStart + byteTime(q - begin);
        pieces.push_back({t,
                          {bytes.begin() + static_cast<std::ptrdiff_t>(p),
                           bytes.begin() + static_cast<std::ptrdiff_t>(q)}});
      }
    }
    begin = end;
  }
  return pieces;
}

}  // namespace xv4::sim
