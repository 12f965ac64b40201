// The serial link's receive path: bytes as the port hands them over, and the worker's byte and
// line parser (modem lines, the data-pack start) that runs over them once per pass. The modem,
// PC-link and file-transfer layers that the worker drives are reached through the same path.
//
// Input: a flag byte (bit 0: a modem is attached, bit 1: file transfer loaded, bit 2: debug
// lines of every chunk), then received chunks (see fuzz::Input); a worker pass follows each.
#include "link/MdmLnk.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/LinkTestAccess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  const std::uint8_t flags = in.Byte();

  TMdmLnk link;
  link.SetFlgAutoWriteDebugFile(false);
  link.SetIsModem((flags & 1) != 0);
  link.SetLoadFTCP((flags & 2) != 0);
  link.SetIsDebug((flags & 4) != 0);
  std::uint64_t received = 0;
  std::uint64_t passedOn = 0;
  link.OnReceiveNewData = [&](QObject*, const std::uint8_t* bytes, std::uint16_t length) {
    XV4_FUZZ_CHECK(bytes != nullptr || length == 0);
    passedOn += length;
  };

  while (!in.Empty()) {
    const auto chunk = in.Chunk();
    TMdmLnkTestAccess::Receive(link, chunk);
    received += chunk.size();
    TMdmLnkTestAccess::WorkerPass(link);
    // Each byte is parsed once; without a modem every byte is the owner's as well.
    XV4_FUZZ_CHECK(link.ParsedByteCount() == received);
    XV4_FUZZ_CHECK(passedOn <= received);
    if (!link.IsModem())
      XV4_FUZZ_CHECK(passedOn == received);
  }
  return 0;
}
