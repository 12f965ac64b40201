// xv4sim: the printer simulator. See UsageText() in Options.cpp for the command line.
#include "sim/DrawerServer.h"
#include "sim/Options.h"
#include "sim/Posix.h"
#include "sim/PrinterEngine.h"
#include "sim/PtyPairServer.h"
#include "sim/SerialServer.h"
#include "sim/UdpServer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
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

// The first 256 bytes of a regular file; fails when it is shorter or not a regular file (a
// directory has no bytes to read, a FIFO would block, a device may never end).
bool ReadInfoFile(const std::string& path, DataBytes* info, std::string* error) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.Valid()) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  std::size_t got = 0;
  while (got < info->size()) {
    const ssize_t n = ::read(fd.Get(), info->data() + got, info->size() - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  if (got < info->size()) {
    *error = path + ": holds " + std::to_string(got) + " bytes, 256 needed";
    return false;
  }
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
  // The record transports and the drawer write from their own threads: one line at a time.
  std::mutex captureMutex;
  const auto captureLine = [&capture, &captureMutex](const std::string& line) {
    if (!capture)
      return;
    std::lock_guard lock(captureMutex);
    std::fprintf(capture.get(), "%s\n", line.c_str());
    std::fflush(capture.get());
  };
  // Runs on the transports' threads, one call at a time (the engine serialises them).
  engine.SetObserver(
      [&captureLine, quiet = options.quiet](const CapturedRecord& record, const Answer& answer) {
        captureLine(FormatCaptureLine(record));
        if (!quiet) {
          std::fprintf(stderr, "%s: %s -> %s\n", kProgram, DescribeRequest(record).c_str(),
                       DescribeAnswer(answer).c_str());
        }
      });
  DrawerServer drawer;
  drawer.SetObserver([&captureLine, &drawer, quiet = options.quiet](const DrawerReceipt& r) {
    captureLine(FormatDrawerCaptureLine(r));
    if (!quiet)
      std::fprintf(stderr, "%s: %s\n", kProgram, DescribeDrawerReceipt(r, drawer.Port()).c_str());
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
    if (options.udp)
      udp.Start(options.udpAddress, options.udpPort, options.allowRemote);
    if (options.serialPty)
      serial.StartPty(options.serial);
    else if (!options.serialDevice.empty())
      serial.StartDevice(options.serialDevice, options.serial);
    if (options.drawer) {
      try {
        drawer.Start(options.drawerAddress, options.drawerPort, options.allowRemote);
      } catch (const std::exception& e) {
        if (options.drawerGiven)
          throw;
        // The default drawer port is often taken (a second simulator, a print server).
        if (!options.quiet)
          std::fprintf(stderr, "%s: no cash drawer (%s); --drawer ADDR:PORT picks another port\n",
                       kProgram, e.what());
      }
    }
    if (options.modemPair || options.nullModem) {
      pair.Start(
          options.modemPair ? PtyPairServer::Kind::kModemPair : PtyPairServer::Kind::kNullModem,
          options.modemOptions);
    }
  } catch (const std::exception& e) {
    return SetupError(e.what());
  }
  // Links to the pair's terminals: only a link may be replaced, never a file that is there.
  std::vector<std::string> links;
  for (int side = 0; side < 2 && !options.ptyLink.empty(); ++side) {
    const std::string link = options.ptyLink + (side == 0 ? "A" : "B");
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      ::unlink(link.c_str());
    if (::symlink(pair.Path(side).c_str(), link.c_str()) != 0) {
      const std::string why = "cannot make the link " + link + ": " + std::strerror(errno);
      for (const std::string& made : links)
        ::unlink(made.c_str());
      return SetupError(why);
    }
    links.push_back(link);
  }
  // Every transport is up before the first listening line, so a script that waits for one may
  // use them all.
  if (udp.Running()) {
    std::printf("%s: listening on udp %s:%u\n", kProgram, udp.Address().c_str(),
                static_cast<unsigned>(udp.Port()));
  }
  if (serial.Running()) {
    std::printf("%s: listening on %s %s\n", kProgram, options.modem ? "modem" : "serial",
                serial.Path().c_str());
  }
  if (options.modemPair || options.nullModem) {
    for (int side = 0; side < 2; ++side) {
      std::printf("%s: listening on %s %c %s\n", kProgram,
                  options.modemPair ? "modem-pair" : "null-modem", side == 0 ? 'A' : 'B',
                  pair.Path(side).c_str());
    }
  }
  if (drawer.Running()) {
    std::printf("%s: listening on tcp %s:%u (cash drawer)\n", kProgram, drawer.Address().c_str(),
                static_cast<unsigned>(drawer.Port()));
  }
  std::fflush(stdout);

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  udp.Stop();
  serial.Stop();
  drawer.Stop();
  pair.Stop();
  for (const std::string& link : links)
    ::unlink(link.c_str());
  if (!options.quiet) {
    const EngineStats stats = engine.Stats();
    std::fprintf(stderr, "%s: stopped by %s after %d requests\n", kProgram,
                 signal == SIGINT ? "SIGINT" : "SIGTERM", stats.requests);
  }
  return 0;
}
