// The device session's serial receive parser, waiting for an acknowledgement or for a reply
// frame, and the frame decoder that a completed reply goes through.
//
// Input: a flag byte (bit 0: a reply frame is expected, bit 1: traffic logging), the request's
// three framed header bytes, then the received bytes as chunks (see fuzz::Input), each handed
// to the session as the link hands over what the port read.
#include "protocol/ValdMBus.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/SessionTestSupport.h"

#include <algorithm>
#include <array>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.Byte();
  const bool expectRecord = (flags & 1) != 0;
  const std::array<std::uint8_t, 3> header{in.Byte(), in.Byte(), in.Byte()};

  TValdMBusComm session(nullptr, nullptr, 0);
  session.SetMode(tmRS232);
  session.LogTraffic = (flags & 2) != 0;
  TValdMBusCommTestAccess::BeginWait(session, expectRecord, header);

  std::vector<std::uint8_t> completed;
  bool sawReplyByte[256] = {};
  while (!in.Empty()) {
    const auto chunk = in.Chunk();
    if (session.ReceiveState() != 1) {
      for (const std::uint8_t b : chunk)
        sawReplyByte[b] = true;
    }
    session.LinkDataReceived(nullptr, chunk.data(), static_cast<std::uint16_t>(chunk.size()));

    XV4_FUZZ_CHECK(session.ReceiveState() >= -1 && session.ReceiveState() <= 1);
    XV4_FUZZ_CHECK(session.ReceivePos() >= 0 && session.ReceivePos() < kFrameSize);
    if (session.ReceiveState() != 1)
      continue;
    if (!expectRecord) {
      XV4_FUZZ_CHECK(session.ReplyByte() == AckByte || session.ReplyByte() == NakByte);
      XV4_FUZZ_CHECK(sawReplyByte[session.ReplyByte()]);
      continue;
    }
    // A completed reply is a whole frame that repeats the request's header, and nothing after
    // it changes it.
    const auto frame = session.FrameBuffer().first(kFrameSize);
    XV4_FUZZ_CHECK(frame[0] == kFrameStart && frame[kFrameSize - 1] == kFrameEnd);
    XV4_FUZZ_CHECK(std::equal(header.begin(), header.end(), frame.begin() + 1));
    XV4_FUZZ_CHECK(std::all_of(frame.begin() + 4, frame.end() - 1,
                               [](std::uint8_t b) { return (b & 0x80) != 0; }));
    if (completed.empty()) {
      completed.assign(frame.begin(), frame.end());
      session.UnpackFrame();
    }
    XV4_FUZZ_CHECK(std::equal(completed.begin(), completed.end(), frame.begin()));
  }
  return 0;
}
