// xv4demo: one device session in network mode against a printer (normally the simulator) on
// a loopback address, step by step: Connect, the test record, the device information, the end
// of the session. Prints what happened and the fields of the information record.
//
// Usage: xv4demo [ADDRESS] PORT     (ADDRESS defaults to 127.0.0.1 and must be a loopback one)
// Exit status: 0 when every step succeeded, 1 when one failed, 2 on a usage error.
#include "protocol/DeviceRecord.h"
#include "protocol/ValdMBus.h"
#include "sim/PrinterEngine.h"
#include "sim/UdpServer.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

using namespace xv4;
namespace info = xv4::sim;

int Usage(const char* message) {
  std::fprintf(stderr,
               "xv4demo: %s\nUsage: xv4demo [ADDRESS] PORT   (ADDRESS: a loopback address, "
               "default 127.0.0.1)\n",
               message);
  return 2;
}

std::string Hex(const std::uint8_t* bytes, int count) {
  std::string text;
  char item[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(item, sizeof item, i ? " %02X" : "%02X", bytes[i]);
    text += item;
  }
  return text;
}

const char* SpeedName(std::uint8_t v) {
  return v == 0 ? "medium" : v == 1 ? "high" : "not set";
}
const char* ModelName(std::uint8_t v) {
  return v == 0 ? "xv4" : v == 1 ? "xr4" : "not set";
}
const char* LanguageName(std::uint8_t v) {
  return v == 0   ? "simplified Chinese"
         : v == 1 ? "traditional Chinese"
         : v == 2 ? "English"
                  : "not set";
}

std::string Address(const std::uint8_t* b) {
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

void PrintInformation(const std::array<std::uint8_t, kDataSize>& d) {
  const std::uint8_t* p = d.data();
  const auto machine = static_cast<std::int32_t>(
      (std::uint32_t{p[info::kInfoMachineNo]} << 24) |
      (std::uint32_t{p[info::kInfoMachineNo + 1]} << 16) |
      (std::uint32_t{p[info::kInfoMachineNo + 2]} << 8) | p[info::kInfoMachineNo + 3]);
  const auto wirelessNo = static_cast<std::int32_t>(
      std::uint32_t{p[info::kInfoWirelessNo]} | (std::uint32_t{p[info::kInfoWirelessNo + 1]} << 8) |
      (std::uint32_t{p[info::kInfoWirelessNo + 2]} << 16) |
      (std::uint32_t{p[info::kInfoWirelessNo + 3]} << 24));
  std::string name;
  for (int i = 0; i < info::kInfoBluetoothNameSize && p[info::kInfoBluetoothName + i] != 0; ++i)
    name += static_cast<char>(p[info::kInfoBluetoothName + i]);

  std::printf("     machine number    %d   (data bytes 4..7: %s)\n", machine,
              Hex(p + info::kInfoMachineNo, 4).c_str());
  std::printf("     print speed       %u (%s)\n", p[info::kInfoPrintSpeed],
              SpeedName(p[info::kInfoPrintSpeed]));
  std::printf("     printer model     %u (%s)\n", p[info::kInfoModel],
              ModelName(p[info::kInfoModel]));
  std::printf("     language          %u (%s)\n", p[info::kInfoLanguage],
              LanguageName(p[info::kInfoLanguage]));
  std::printf("     clear flag        0x%02X (%s)\n", p[info::kInfoClearFlag],
              p[info::kInfoClearFlag] == 0xAA ? "clear maintenance parameters" : "keep");
  std::printf("     Bluetooth name    \"%s\"\n", name.c_str());
  std::printf("     wireless printer  %s\n", Address(p + info::kInfoWirelessAddress).c_str());
  std::printf("     base station      %s\n", Address(p + info::kInfoBaseStationAddress).c_str());
  std::printf("     wireless number   %d\n", wirelessNo);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string address = "127.0.0.1";
  std::string portText;
  if (argc == 2) {
    portText = argv[1];
  } else if (argc == 3) {
    address = argv[1];
    portText = argv[2];
  } else {
    return Usage("expected [ADDRESS] PORT");
  }
  if (!sim::IsLoopbackAddress(address))
    return Usage("the demo talks to loopback addresses only");
  char* end = nullptr;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end != '\0' || port < 1 || port > 65535)
    return Usage("invalid port");
  if (address == "localhost")
    address = "127.0.0.1";

  try {
    // The simulator answers the port a request came from: any free local port does, and a copy
    // of the tool running beside the demo keeps its own.
    TValdMBusComm comm(nullptr, nullptr, 0);
    comm.SetRetryCount(3);
    comm.SetRetryInterval(500);
    comm.SetMode(tmTCPIP);
    comm.SetRemoteHost(QString::fromStdString(address));
    comm.SetRemotePort(static_cast<int>(port));
    // In network mode the machine number is the printer's address; the handshake sends its
    // datagrams to the address it encodes.
    comm.MachineNo =
        static_cast<std::int32_t>(AddressToNumber(QString::fromStdString(address), true));
    comm.SetActive(true);

    std::printf("xv4demo: printer at %s:%ld (machine number %d)\n", address.c_str(), port,
                comm.MachineNo);
    int failed = 0;
    const auto step = [&](int n, const char* what, bool ok) {
      std::printf("  %d. %-58s %s\n", n, what, ok ? "ok" : "FAILED");
      if (!ok)
        ++failed;
      std::fflush(stdout);
      return ok;
    };

    if (step(1, "Connect: handshake (14/1) and model read (14/16)",
             comm.Connect(comm.MachineNo, 0, true))) {
      std::printf("     model information: print speed %u, model %u, language %u\n",
                  comm.DataBlock[info::kInfoPrintSpeed], comm.DataBlock[info::kInfoModel],
                  comm.DataBlock[info::kInfoLanguage]);
      comm.DataBlock.fill(0);
      step(2, "WriteRecord(63, 124): the test record, acknowledged", comm.WriteRecord(63, 124));
      if (step(3, "ReadDeviceInfo: information record (14/16)",
               comm.ReadDeviceInfo(comm.MachineNo)))
        PrintInformation(comm.DataBlock);
      step(4, "EndSession (14/2), acknowledged", comm.EndSession(comm.MachineNo, 0));
    }
    comm.SetActive(false);
    std::printf("xv4demo: %s\n", failed == 0 ? "every step succeeded" : "a step failed");
    return failed == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xv4demo: %s\n", e.what());
    return 1;
  }
}
