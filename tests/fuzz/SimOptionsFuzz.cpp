// The simulator's command line: the parser, the information settings applied to a record, and
// an engine run with the faults asked for, whose answers are shaped for both lines.
//
// Input: the arguments after the program name, each ended by a NUL byte (as the system passes
// them).
#include "sim/Options.h"
#include "sim/PrinterEngine.h"
#include "sim/ReplyShaper.h"
#include "tests/fuzz/FuzzSupport.h"

#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  using namespace xv4::sim;
  fuzz::Environment();
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty())
    args.push_back(current);

  SimOptions options;
  if (ParseCommandLine(args, &options))
    return 0;
  XV4_FUZZ_CHECK(options.udp || options.serialPty || !options.serialDevice.empty() ||
                 options.help || options.version);
  DataBytes info = PrinterInfo{}.ToData();
  for (const auto& [key, value] : options.infoSettings)
    XV4_FUZZ_CHECK(!ApplyInfoSetting(key, value, &info));

  PrinterEngine engine;
  engine.SetInfoData(info);
  engine.SetFaults(options.faults);
  std::mt19937 rng(1);
  // A handshake and an information read, over each line, twice (the fault counts move on).
  for (int round = 0; round < 2; ++round) {
    for (const std::uint8_t word : {kWordHandshake, kWordInformation}) {
      Record request{};
      request[0] = kCmdSession;
      request[1] = word;
      for (const Transport transport : {Transport::kUdp, Transport::kSerial}) {
        const Answer answer = engine.Handle(request, transport);
        DescribeAnswer(answer);
        ShapeAnswer(answer, transport, options.serial.pace ? options.serial.printerBps : 0, rng);
      }
    }
  }
  return 0;
}
