// Data packs: the byte-wise receiver of packs, and the builder it must agree with.
//
// Input: received bytes. A pack starts at each 0xAA byte met between packs, as the link's byte
// dispatcher starts one; every result must be one the parser may give, and every good pack must
// be the pack the builder makes from its own fields.
#include "link/DataPack.h"
#include "tests/fuzz/FuzzSupport.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  using R = DataPackParser::Result;
  fuzz::Environment();
  DataPackParser parser;
  std::size_t start = 0;  // where the pack being parsed began
  for (std::size_t i = 0; i < size; ++i) {
    if (!parser.Active()) {
      if (data[i] == kPackStart) {
        parser.Start(data[i]);
        start = i;
      }
      continue;
    }
    const R result = parser.Feed(data[i]);
    if (result == R::More)
      continue;
    XV4_FUZZ_CHECK(!parser.Active());
    const int n = parser.DataLength();
    if (result == R::Oversized) {
      XV4_FUZZ_CHECK(n > kMaxReceivedPackData);
      continue;
    }
    XV4_FUZZ_CHECK(n >= 0 && n <= kMaxReceivedPackData);
    const std::size_t length = i + 1 - start;
    if (result == R::BadChecksum) {
      XV4_FUZZ_CHECK(length == kPackHeaderSize);
      continue;
    }
    XV4_FUZZ_CHECK(length == (n == 0 ? kPackHeaderSize : kPackHeaderSize + n + 2));
    if (result == R::BadCrc) {
      XV4_FUZZ_CHECK(parser.ComputedCrc() != parser.ReceivedCrc());
      continue;
    }
    XV4_FUZZ_CHECK(result == R::Pack);
    XV4_FUZZ_CHECK(n == 0 ||
                   Crc16(parser.Data(), static_cast<std::size_t>(n)) == parser.ReceivedCrc());
    if (n > kMaxPackData)
      continue;  // received, but more than this station would put in one pack
    // The builder, given the pack's own address, command and value, makes the same bytes.
    const auto& h = parser.Header();
    const QString address = QString::asprintf("%02x %02x", h[1], h[2]);
    const QString command = QString::asprintf("%02x %02x %02x %02x", h[3], h[4], h[5], h[6]);
    const auto built = BuildDataPack(address, command, h[7], parser.Data(), n);
    XV4_FUZZ_CHECK(built.has_value());
    XV4_FUZZ_CHECK(
        built->size() == static_cast<qsizetype>(length) &&
        std::equal(built->begin(), built->end(), reinterpret_cast<const char*>(data + start)));
  }
  return 0;
}
