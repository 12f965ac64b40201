#include "sim/Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <limits>

namespace xv4::sim {
namespace {

// Decimal, or hexadecimal with a 0x prefix; optional minus sign when allowNegative.
std::optional<std::int64_t> ParseNumber(const std::string& text, bool allowNegative = false) {
  std::string_view s = text;
  bool negative = false;
  if (allowNegative && !s.empty() && s.front() == '-') {
    negative = true;
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty())
    return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (error != std::errc() || end != s.data() + s.size() || value < 0)
    return std::nullopt;
  return negative ? -value : value;
}

std::optional<std::uint8_t> ParseByte(const std::string& text) {
  const auto v = ParseNumber(text);
  if (!v || *v > 255)
    return std::nullopt;
  return static_cast<std::uint8_t>(*v);
}

std::optional<std::int32_t> ParseInt32(const std::string& text) {
  const auto v = ParseNumber(text, true);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
      *v > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(*v));
}

std::optional<std::array<std::uint8_t, 4>> ParseAddress(const std::string& text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
    return std::nullopt;
  const std::uint32_t host = ntohl(a.s_addr);
  return std::array<std::uint8_t, 4>{
      static_cast<std::uint8_t>(host >> 24), static_cast<std::uint8_t>(host >> 16),
      static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
}

std::optional<int> ParseCount(const std::string& text) {
  const auto v = ParseNumber(text);
  if (!v || *v > std::numeric_limits<int>::max())
    return std::nullopt;
  return static_cast<int>(*v);
}

}  // namespace

std::optional<std::string> ApplyInfoSetting(const std::string& key, const std::string& value,
                                            DataBytes* info) {
  DataBytes& d = *info;
  const auto bad = [&] { return "invalid value for " + key + ": '" + value + "'"; };
  if (key == "machine-no" || key == "wireless-no") {
    const auto n = ParseInt32(value);
    if (!n)
      return bad();
    const auto u = static_cast<std::uint32_t>(*n);
    for (int i = 0; i < 4; ++i) {
      if (key == "machine-no")
        d[kInfoMachineNo + i] = static_cast<std::uint8_t>(u >> (24 - 8 * i));
      else
        d[kInfoWirelessNo + i] = static_cast<std::uint8_t>(u >> (8 * i));
    }
    return std::nullopt;
  }
  const struct {
    const char* name;
    int offset;
  } bytes[] = {{"print-speed", kInfoPrintSpeed},
               {"model", kInfoModel},
               {"language", kInfoLanguage},
               {"clear", kInfoClearFlag}};
  for (const auto& b : bytes) {
    if (key == b.name) {
      const auto v = ParseByte(value);
      if (!v)
        return bad();
      d[b.offset] = *v;
      return std::nullopt;
    }
  }
  if (key == "bt-name") {
    if (value.size() > kInfoBluetoothNameSize)
      return "bt-name is longer than 31 bytes";
    std::fill_n(d.begin() + kInfoBluetoothName, kInfoBluetoothNameSize, 0);
    std::copy(value.begin(), value.end(), d.begin() + kInfoBluetoothName);
    return std::nullopt;
  }
  if (key == "wireless-ip" || key == "base-ip") {
    const auto a = ParseAddress(value);
    if (!a)
      return bad();
    std::copy(a->begin(), a->end(),
              d.begin() + (key == "wireless-ip" ? kInfoWirelessAddress : kInfoBaseStationAddress));
    return std::nullopt;
  }
  if (key.rfind("byte.", 0) == 0) {
    const auto offset = ParseNumber(key.substr(5));
    if (!offset || *offset >= kDataSize)
      return "invalid data offset in " + key + " (0..255)";
    const auto v = ParseByte(value);
    if (!v)
      return bad();
    d[static_cast<std::size_t>(*offset)] = *v;
    return std::nullopt;
  }
  return "unknown information field: " + key;
}

std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args,
                                            SimOptions* options) {
  SimOptions& o = *options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (name.rfind("--", 0) == 0) {
      const auto eq = name.find('=');
      if (eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
      }
    }
    std::string value;
    const auto takeValue = [&]() -> bool {
      if (inlineValue) {
        value = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size())
        return false;
      value = args[++i];
      return true;
    };
    const auto flag = [&]() -> std::optional<std::string> {
      if (inlineValue)
        return "option " + name + " takes no value";
      return std::nullopt;
    };
    const auto count = [&](int* out) -> std::optional<std::string> {
      if (!takeValue())
        return "option " + name + " needs a value";
      const auto n = ParseCount(value);
      if (!n)
        return "invalid number for " + name + ": '" + value + "'";
      *out = *n;
      return std::nullopt;
    };

    std::optional<std::string> error;
    if (name == "-h" || name == "--help") {
      error = flag();
      o.help = true;
    } else if (name == "--version") {
      error = flag();
      o.version = true;
    } else if (name == "-q" || name == "--quiet") {
      error = flag();
      o.quiet = true;
    } else if (name == "--udp") {
      if (!takeValue())
        return "option --udp needs a value";
      std::string port = value;
      const auto colon = value.rfind(':');
      if (colon != std::string::npos) {
        o.udpAddress = value.substr(0, colon);
        port = value.substr(colon + 1);
      }
      const auto p = ParseNumber(port);
      if (!p || *p > 65535)
        return "invalid UDP port in '" + value + "'";
      o.udpPort = static_cast<std::uint16_t>(*p);
      o.udp = true;
    } else if (name == "--allow-remote") {
      error = flag();
      o.allowRemote = true;
    } else if (name == "--serial-pty") {
      error = flag();
      o.serialPty = true;
    } else if (name == "--serial") {
      if (!takeValue() || value.empty())
        return "option --serial needs a device";
      o.serialDevice = value;
    } else if (name == "--baud") {
      error = count(&o.serial.printerBps);
    } else if (name == "--pace") {
      error = flag();
      o.serial.pace = true;
    } else if (name == "--capture") {
      if (!takeValue() || value.empty())
        return "option --capture needs a file name";
      o.captureFile = value;
    } else if (name == "--info-file") {
      if (!takeValue() || value.empty())
        return "option --info-file needs a file name";
      o.infoFile = value;
    } else if (name == "--info") {
      if (!takeValue())
        return "option --info needs KEY=VALUE";
      const auto eq = value.find('=');
      if (eq == std::string::npos)
        return "option --info needs KEY=VALUE, got '" + value + "'";
      DataBytes scratch{};
      const std::string key = value.substr(0, eq);
      const std::string setting = value.substr(eq + 1);
      if (auto e = ApplyInfoSetting(key, setting, &scratch))
        return e;
      o.infoSettings.emplace_back(key, setting);
    } else if (name == "--nak-first") {
      error = count(&o.faults.nakFirst);
    } else if (name == "--drop-every") {
      error = count(&o.faults.dropEvery);
    } else if (name == "--silent-after") {
      error = count(&o.faults.silentAfter);
    } else if (name == "--corrupt-first") {
      error = count(&o.faults.corruptFirst);
    } else if (name == "--delay") {
      error = count(&o.faults.delayMs);
    } else if (name == "--split-at") {
      if (!takeValue())
        return "option --split-at needs offsets";
      o.faults.splitAt.clear();
      std::size_t start = 0;
      for (;;) {
        const auto comma = value.find(',', start);
        const std::string part = value.substr(start, comma - start);
        const auto n = ParseCount(part);
        if (!n || *n == 0 || (!o.faults.splitAt.empty() && *n <= o.faults.splitAt.back()))
          return "invalid --split-at '" + value + "': offsets must be ascending and above 0";
        o.faults.splitAt.push_back(*n);
        if (comma == std::string::npos)
          break;
        start = comma + 1;
      }
    } else if (name == "--split-gap") {
      error = count(&o.faults.splitGapMs);
    } else if (name == "--garbage") {
      error = count(&o.faults.garbageBytes);
      // The bytes are drawn and written again before every answer: millions of them would hold
      // each answer up for seconds and take that much memory every time.
      if (!error && o.faults.garbageBytes > kMaxGarbageBytes)
        error = "--garbage takes at most " + std::to_string(kMaxGarbageBytes) + " bytes";
    } else if (name == "--false-start") {
      error = flag();
      o.faults.falseStart = true;
    } else if (name == "--bad-checksum-first") {
      error = count(&o.faults.badChecksumFirst);
    } else {
      return "unknown option '" + args[i] + "'";
    }
    if (error)
      return error;
  }
  if (o.serialPty && !o.serialDevice.empty())
    return "--serial-pty and --serial cannot be used together";
  if (!o.udp && !o.serialPty && o.serialDevice.empty())
    o.udp = true;
  return std::nullopt;
}

std::string UsageText() {
  return R"(Usage: xv4sim [OPTION]...
Simulate an XV4 printer for xv4tool: answer its device records over UDP on a
loopback address and/or over a serial line (a new pseudo-terminal or an
existing terminal device), optionally with injected faults.

Without --udp, --serial-pty or --serial it listens on UDP 127.0.0.1:5013.
When ready it prints one line per transport on standard output, e.g.
  xv4sim: listening on udp 127.0.0.1:5013
  xv4sim: listening on serial /dev/pts/5
and answers until SIGINT or SIGTERM. Traffic lines go to standard error.

Transports:
  --udp [ADDR:]PORT       answer UDP datagrams on ADDR (default 127.0.0.1) and
                          PORT; port 0 lets the system choose (read it from the
                          listening line). ADDR must be a loopback address.
  --allow-remote          accept a non-loopback ADDR for --udp
  --serial-pty            create a pseudo-terminal; the tool opens the path
                          given in the listening line
  --serial DEVICE         answer on an existing terminal device (raw mode)
  --baud BPS              the printer's line speed. With --serial: the speed set
                          on DEVICE (default 9600). With --serial-pty: frames
                          that arrive while the tool's line speed differs are
                          not understood (default: any speed is understood)
  --pace                  serial: send answers at the line speed the tool set,
                          10 bit times per byte (a pseudo-terminal ignores it)

Answers:
  Handshake (14/1), end of session (14/2), data records (63/n) and program
  records (15/n) get the acknowledgement byte 0x02. Information reads (14/16),
  including the machine-number read, get a 259-byte reply record that repeats
  the request's first three bytes, followed by the information record. Any
  other command gets the refusal byte 0x55. Answers go only to the sender of
  the request. On the serial line a reply record is a 301-byte frame without
  trailer; a frame with a wrong checksum gets no answer; bytes outside frames
  are ignored.

Information record:
  --info KEY=VALUE        set one field (repeatable; data byte offsets):
                            machine-no=N       4..7, big-endian (default 1234)
                            print-speed=N      102 (default 1, high speed)
                            model=N            103 (default 0, xv4)
                            language=N         104 (default 2, English)
                            clear=N            105 (default 0xFF)
                            bt-name=TEXT       112..142, NUL-padded (XV4-SIM)
                            wireless-ip=A.B.C.D  160..163 (192.168.1.50)
                            base-ip=A.B.C.D    164..167 (192.168.1.1)
                            wireless-no=N      168..171, little-endian (1)
                            byte.N=V           any data byte N, 0..255
                          Numbers are decimal or hexadecimal with 0x. Bytes not
                          named above are 0xFF.
  --info-file FILE        start from the 256 bytes of FILE instead of the
                          defaults; --info settings apply on top

Capture:
  --capture FILE          write every record received to FILE (created or
                          truncated), one line per record, flushed at once:
                            CC WWWW DATA
                          CC the command (2 hex digits), WWWW the word's value
                          (4 hex digits), DATA the 256 data bytes (512 hex
                          digits); upper case; LF line ends. For example a
                          test record: 3F 007C 0000...0000

Faults (counted from the start; 0 switches a fault off):
  --nak-first N           refuse (0x55) the first N requests that would be
                          acknowledged
  --drop-every K          leave the K-th, 2K-th, ... request unanswered
  --silent-after N        answer nothing after the first N requests
  --corrupt-first N       the first N reply records carry a wrong command byte
  --delay MS              send every answer MS milliseconds late (other
                          requests are still answered meanwhile)
  --split-at N[,N...]     cut every answer at these byte offsets: each part is
                          a datagram (UDP) or a write (serial) of its own;
                          --split-at 100 sends a reply record as 100 + 159
  --split-gap MS          pause between the parts (default 10)
 serial line only:
  --garbage N             N stray bytes before every answer (never 0x02, 0x03
                          or 0x55; at most 4096)
  --false-start           a start byte 0x03 and a wrong header byte before
                          every reply frame
  --bad-checksum-first N  the first N reply frames carry a wrong checksum

Other:
  -q, --quiet             no traffic lines (the listening lines stay)
  -h, --help              show this help
      --version           show the version

Exit status: 0 after SIGINT or SIGTERM, 1 when a transport or a file cannot be
set up, 2 on a usage error.
)";
}

std::string FormatCaptureLine(const CapturedRecord& record) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(2 + 1 + 4 + 1 + 2 * kDataSize);
  const auto put = [&](std::uint8_t b) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0x0F]);
  };
  put(record.command);
  line.push_back(' ');
  put(static_cast<std::uint8_t>(record.word >> 8));
  put(static_cast<std::uint8_t>(record.word & 0xFF));
  line.push_back(' ');
  for (std::uint8_t b : record.data)
    put(b);
  return line;
}

std::string DescribeRequest(const CapturedRecord& r) {
  char text[96];
  const char* what = nullptr;
  if (r.command == kCmdSession && r.word == kWordHandshake)
    what = "handshake";
  else if (r.command == kCmdSession && r.word == kWordEndSession)
    what = "end of session";
  else if (r.command == kCmdSession && r.word == kWordInformation)
    what = (r.data[0] == 0xF9 && r.data[1] == 0x01 && r.data[2] == 0x00) ? "machine-number read"
           : (r.data[2] == 16)                                           ? "model read"
                                                                         : "information read";
  else if (r.command == kCmdData && r.word == 124)
    what = "test record";
  else if (r.command == kCmdData)
    what = "data record";
  else if (r.command == kCmdProgram)
    what = "program record";
  std::snprintf(text, sizeof text, "%s %u/%u %s", r.transport == Transport::kUdp ? "udp" : "serial",
                static_cast<unsigned>(r.command), static_cast<unsigned>(r.word),
                what ? what : "unknown command");
  return text;
}

std::string DescribeAnswer(const Answer& a) {
  switch (a.kind) {
    case Answer::Kind::kNone:
      return "no answer";
    case Answer::Kind::kByte:
      return a.byte == AckByte ? "ack" : "nak";
    case Answer::Kind::kRecord:
      break;
  }
  std::string text = "reply record";
  if (a.corrupted)
    text += ", wrong command byte";
  if (a.delivery.badChecksum)
    text += ", bad checksum";
  return text;
}

}  // namespace xv4::sim
