// xv4sim: the printer simulator. See UsageText() in Options.cpp for the command line.
#include "sim/Options.h"
#include "sim/PrinterEngine.h"
#include "sim/PtyPairServer.h"
#include "sim/SerialServer.h"
#include "sim/UdpServer.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace xv4::sim;

constexpr const char* kProgram = "xv4sim";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, message.c_str(),
               kProgram);
  return 2;
}

int SetupError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return 1;
}

// The file's first 256 bytes; fails when it is shorter.
bool ReadInfoFile(const std::string& path, DataBytes* info, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < info->size()) {
    *error = path + ": holds " + std::to_string(bytes.size()) + " bytes, 256 needed";
    return false;
  }
  std::copy_n(bytes.begin(), info->size(), info->begin());
  return true;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  if (auto error = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &options))
    return UsageError(*error);
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s 1.504\n", kProgram);
    return 0;
  }

  PrinterEngine engine;
  engine.SetCaptureLimit(0);  // the capture file is written by the observer; memory stays flat
  DataBytes info = PrinterInfo{}.ToData();
  std::string error;
  if (!options.infoFile.empty() && !ReadInfoFile(options.infoFile, &info, &error))
    return SetupError(error);
  for (const auto& [key, value] : options.infoSettings) {
    if (auto e = ApplyInfoSetting(key, value, &info))
      return UsageError(*e);
  }
  engine.SetInfoData(info);
  engine.SetFaults(options.faults);

  std::unique_ptr<std::FILE, FileCloser> capture;
  if (!options.captureFile.empty()) {
    capture.reset(std::fopen(options.captureFile.c_str(), "w"));
    if (!capture)
      return SetupError("cannot create " + options.captureFile + ": " + std::strerror(errno));
  }
  // Runs on the transports' threads, one call at a time (the engine serialises them).
  engine.SetObserver(
      [&capture, quiet = options.quiet](const CapturedRecord& record, const Answer& answer) {
        if (capture) {
          std::fprintf(capture.get(), "%s\n", FormatCaptureLine(record).c_str());
          std::fflush(capture.get());
        }
        if (!quiet) {
          std::fprintf(stderr, "%s: %s -> %s\n", kProgram, DescribeRequest(record).c_str(),
                       DescribeAnswer(answer).c_str());
        }
      });

  // SIGINT and SIGTERM are taken by sigwait() below; the transports' threads inherit the mask,
  // so no signal interrupts them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  UdpServer udp(engine);
  SerialServer serial(engine);
  PtyPairServer pair;
  // Runs on the serial and pair threads; stdio keeps the lines whole.
  const TrafficLog trafficLog = [quiet = options.quiet](const std::string& line) {
    if (!quiet)
      std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
  };
  if (options.modem)
    options.serial.modem = options.modemOptions;
  serial.SetTrafficLog(trafficLog);
  pair.SetTrafficLog(trafficLog);
  try {
    if (options.udp) {
      udp.Start(options.udpAddress, options.udpPort, options.allowRemote);
      std::printf("%s: listening on udp %s:%u\n", kProgram, udp.Address().c_str(),
                  static_cast<unsigned>(udp.Port()));
      std::fflush(stdout);
    }
    if (options.serialPty)
      serial.StartPty(options.serial);
    else if (!options.serialDevice.empty())
      serial.StartDevice(options.serialDevice, options.serial);
    if (serial.Running()) {
      std::printf("%s: listening on %s %s\n", kProgram, options.modem ? "modem" : "serial",
                  serial.Path().c_str());
      std::fflush(stdout);
    }
    if (options.modemPair || options.nullModem) {
      pair.Start(
          options.modemPair ? PtyPairServer::Kind::kModemPair : PtyPairServer::Kind::kNullModem,
          options.modemOptions);
      for (int side = 0; side < 2; ++side)
        std::printf("%s: listening on %s %c %s\n", kProgram,
                    options.modemPair ? "modem-pair" : "null-modem", side == 0 ? 'A' : 'B',
                    pair.Path(side).c_str());
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    return SetupError(e.what());
  }

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  udp.Stop();
  serial.Stop();
  pair.Stop();
  if (!options.quiet) {
    const EngineStats stats = engine.Stats();
    std::fprintf(stderr, "%s: stopped by %s after %d requests\n", kProgram,
                 signal == SIGINT ? "SIGINT" : "SIGTERM", stats.requests);
  }
  return 0;
}
