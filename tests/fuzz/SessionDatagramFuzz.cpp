// The device session's UDP receive parser, waiting for an acknowledgement or for a reply record.
//
// Input: a flag byte (bit 0: a reply record is expected, bit 1: traffic logging), the request's
// first three bytes, then datagrams as chunks (see fuzz::Input). Each datagram reaches the
// session as the endpoint would deliver it.
#include "protocol/ValdMBus.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/UdpEndpointTestAccess.h"

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
  session.SetMode(tmTCPIP);
  session.LogTraffic = (flags & 2) != 0;
  TValdMBusCommTestAccess::BeginWait(session, expectRecord, header);

  std::vector<std::uint8_t> completed;
  bool sawReplyByte[256] = {};
  while (!in.Empty()) {
    const auto datagram = in.Chunk();
    if (session.ReceiveState() != 1 && datagram.size() <= TUdpEndpoint::kReceiveBufferSize) {
      for (const std::uint8_t b : datagram)
        sawReplyByte[b] = true;
    }
    TUdpEndpointTestAccess::Deliver(session.Endpoint(), datagram, TValdMBusComm::kLocalPort);

    XV4_FUZZ_CHECK(session.ReceiveState() >= -1 && session.ReceiveState() <= 1);
    XV4_FUZZ_CHECK(session.ReceivePos() >= 0 && session.ReceivePos() < kRecordSize);
    if (session.ReceiveState() != 1)
      continue;
    if (!expectRecord) {
      // Only a byte that a datagram held answers, and only an acknowledgement or a refusal.
      XV4_FUZZ_CHECK(session.ReplyByte() == AckByte || session.ReplyByte() == NakByte);
      XV4_FUZZ_CHECK(sawReplyByte[session.ReplyByte()]);
      continue;
    }
    // A completed reply repeats the request's header, and nothing after it changes it.
    const auto record = session.FrameBuffer().first(kRecordSize);
    XV4_FUZZ_CHECK(std::equal(header.begin(), header.end(), record.begin()));
    if (completed.empty())
      completed.assign(record.begin(), record.end());
    XV4_FUZZ_CHECK(std::equal(completed.begin(), completed.end(), record.begin()));
  }
  return 0;
}
