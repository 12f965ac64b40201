#pragma once
// The simulator's command line: parsing, the help text, and the line formats it writes.
// Pure functions; any thread.

#include "sim/DrawerServer.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace xv4::sim {

constexpr std::uint16_t kDefaultUdpPort = 5013;
// --garbage: stray bytes before every answer.
constexpr int kMaxGarbageBytes = 4096;

struct SimOptions {
  bool help = false;
  bool version = false;
  bool quiet = false;
  // UDP: address and port; when neither UDP nor a serial line is asked for, 127.0.0.1:5013.
  bool udp = false;
  std::string udpAddress = "127.0.0.1";
  std::uint16_t udpPort = kDefaultUdpPort;
  bool allowRemote = false;
  bool serialPty = false;
  std::string serialDevice;
  SerialOptions serial;
  std::string captureFile;
  std::string infoFile;  // 256 raw bytes: the information record before the --info settings
  std::vector<std::pair<std::string, std::string>> infoSettings;  // in command-line order
  FaultConfig faults;

  // Cash drawer (raw TCP). With UDP on and no --drawer, the simulator tries the UDP address at
  // port 9100 and goes without a drawer when that port is taken; --drawer makes a failure to
  // listen an error, --no-drawer switches it off.
  bool drawer = true;
  bool drawerGiven = false;  // --drawer ADDR:PORT
  std::string drawerAddress = "127.0.0.1";
  std::uint16_t drawerPort = kDrawerDefaultPort;

  // Modems and lines: --modem puts the serial printer behind an emulated modem; --modem-pair
  // and --null-modem join two new pseudo-terminals by a telephone line or a cable.
  bool modem = false;
  bool modemPair = false;
  bool nullModem = false;
  ModemOptions modemOptions;
  // --pty-link PREFIX: symbolic links PREFIX + "A" and PREFIX + "B" to the pair's terminals.
  std::string ptyLink;
};

// Parses the arguments after the program name. Returns an error message, or nothing on success.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args,
                                            SimOptions* options);

// Sets one field of an information record: machine-no, print-speed, model, language, clear,
// bt-name, wireless-ip, base-ip, wireless-no, or byte.N (data offset N, 0..255). Returns an
// error message, or nothing on success.
std::optional<std::string> ApplyInfoSetting(const std::string& key, const std::string& value,
                                            DataBytes* info);

std::string UsageText();

// One capture line: the command as two hex digits, a blank, the word as four hex digits (its
// value, most significant digit first), a blank, the 256 data bytes as 512 hex digits; upper
// case; no line end. "3F 007C 0000...".
std::string FormatCaptureLine(const CapturedRecord& record);

// A short human description of a request and its answer, for the traffic lines on stderr.
std::string DescribeRequest(const CapturedRecord& record);
std::string DescribeAnswer(const Answer& answer);

}  // namespace xv4::sim
