#include "sim/Options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <iterator>
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

// The options of the modems and lines. Returns nothing when name is none of them, otherwise
// the outcome: an error message, or nothing. `given` collects the names met, for the checks
// after the whole command line.
std::optional<std::optional<std::string>> ParseLineOption(
    const std::string& name, bool hasInlineValue,
    const std::function<std::optional<std::string>()>& takeValue, SimOptions* options,
    std::vector<std::string>* given) {
  static const char* const kNames[] = {"--modem",       "--modem-pair",       "--null-modem",
                                       "--modem-dial",  "--modem-drop-after", "--modem-delay",
                                       "--modem-guard", "--line-bps",         "--ring-interval",
                                       "--ring-limit",  "--corrupt-every"};
  if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames))
    return std::nullopt;
  // One of them, without an error (std::nullopt would say: not one of them).
  const std::optional<std::string> parsed;
  given->push_back(name);
  ModemOptions& m = options->modemOptions;
  const auto flag = [&](bool* out) -> std::optional<std::string> {
    if (hasInlineValue)
      return "option " + name + " takes no value";
    *out = true;
    return std::nullopt;
  };
  // A number from min to max.
  const auto number = [&](int min, int max, int* out) -> std::optional<std::string> {
    const auto value = takeValue();
    if (!value)
      return "option " + name + " needs a value";
    const auto n = ParseCount(*value);
    if (!n || *n < min || *n > max)
      return "invalid value for " + name + ": '" + *value + "' (" + std::to_string(min) + " to " +
             std::to_string(max) + ")";
    *out = *n;
    return std::nullopt;
  };
  const auto milliseconds = [&](int min, int max,
                                std::chrono::milliseconds* out) -> std::optional<std::string> {
    int ms = 0;
    if (auto e = number(min, max, &ms))
      return e;
    *out = std::chrono::milliseconds(ms);
    return std::nullopt;
  };

  if (name == "--modem")
    return flag(&options->modem);
  if (name == "--modem-pair")
    return flag(&options->modemPair);
  if (name == "--null-modem")
    return flag(&options->nullModem);
  if (name == "--modem-dial") {
    const auto value = takeValue();
    if (!value)
      return "option --modem-dial needs a value";
    const auto outcome = ParseDialOutcome(*value);
    if (!outcome)
      return "invalid --modem-dial '" + *value +
             "': connect, busy, no-answer, no-dialtone, no-carrier or silent";
    m.dial = *outcome;
    return parsed;
  }
  if (name == "--modem-drop-after")
    return number(0, std::numeric_limits<int>::max(), &m.dropAfter);
  if (name == "--modem-delay")
    return milliseconds(0, 600'000, &m.delay);
  if (name == "--modem-guard")
    return milliseconds(0, 5100, &m.guardTime);
  if (name == "--line-bps") {
    if (auto e = number(0, 10'000'000, &m.lineBps))
      return e;
    if (m.lineBps > 0 && m.lineBps < 50)
      return "invalid value for --line-bps: " + std::to_string(m.lineBps) + " (0, or 50 and above)";
    return parsed;
  }
  if (name == "--ring-interval")
    return milliseconds(1, 600'000, &m.ringInterval);
  if (name == "--corrupt-every")
    return number(0, std::numeric_limits<int>::max(), &m.corruptEvery);
  return number(0, 1000, &m.ringLimit);  // --ring-limit
}

// The combinations of the modem and line options, once the whole command line is read.
std::optional<std::string> CheckLineOptions(const SimOptions& o,
                                            const std::vector<std::string>& given) {
  if (o.modem && !o.serialPty && o.serialDevice.empty())
    return "--modem needs --serial-pty or --serial";
  if (o.modemPair && o.nullModem)
    return "--modem-pair and --null-modem cannot be used together";
  for (const std::string& name : given) {
    if ((name == "--modem-dial" || name == "--modem-delay" || name == "--modem-guard") &&
        !o.modem && !o.modemPair)
      return name + " needs --modem or --modem-pair";
    if (name == "--modem-drop-after" && !o.modem)
      return name + " needs --modem";
    if ((name == "--ring-interval" || name == "--ring-limit") && !o.modemPair)
      return name + " needs --modem-pair";
    if (name == "--line-bps" && !o.modem && !o.modemPair && !o.nullModem)
      return name + " needs --modem, --modem-pair or --null-modem";
    if (name == "--corrupt-every" && !o.modemPair && !o.nullModem)
      return name + " needs --modem-pair or --null-modem";
  }
  return std::nullopt;
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
  std::vector<std::string> lineOptions;  // modem and line options met
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

    // Modems and lines.
    const auto lineValue = [&]() -> std::optional<std::string> {
      if (!takeValue())
        return std::nullopt;
      return value;
    };
    if (const auto outcome =
            ParseLineOption(name, inlineValue.has_value(), lineValue, &o, &lineOptions)) {
      if (*outcome)
        return *outcome;
      continue;
    }

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
    } else if (name == "--pty-link") {
      if (!takeValue() || value.empty())
        return "option --pty-link needs a path prefix";
      o.ptyLink = value;
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
    } else if (name == "--drawer") {
      if (!takeValue())
        return "option --drawer needs [ADDR:]PORT";
      const auto colon = value.rfind(':');
      const auto p = ParseNumber(colon == std::string::npos ? value : value.substr(colon + 1));
      if (!p || *p > 65535)
        return "invalid TCP port in '" + value + "'";
      if (colon != std::string::npos)
        o.drawerAddress = value.substr(0, colon);
      o.drawerPort = static_cast<std::uint16_t>(*p);
      o.drawer = true;
      o.drawerGiven = true;
    } else if (name == "--no-drawer") {
      error = flag();
      o.drawer = false;
      o.drawerGiven = false;
    } else {
      return "unknown option '" + args[i] + "'";
    }
    if (error)
      return error;
  }
  if (o.serialPty && !o.serialDevice.empty())
    return "--serial-pty and --serial cannot be used together";
  if (!o.ptyLink.empty() && !o.modemPair && !o.nullModem)
    return "--pty-link needs --modem-pair or --null-modem";
  if (auto e = CheckLineOptions(o, lineOptions))
    return e;
  if (!o.udp && !o.serialPty && o.serialDevice.empty() && !o.modemPair && !o.nullModem)
    o.udp = true;
  // The drawer of a network printer sits on the printer's own address.
  if (o.drawer && !o.drawerGiven) {
    o.drawer = o.udp;
    o.drawerAddress = o.udpAddress;
  }
  return std::nullopt;
}

std::string UsageText() {
  return R"(Usage: xv4sim [OPTION]...
Simulate an XV4 printer for xv4tool: answer its device records over UDP on a
loopback address and/or over a serial line (a new pseudo-terminal or an
existing terminal device), optionally with injected faults.

Without --udp, --serial-pty, --serial, --modem-pair or --null-modem it listens on
UDP 127.0.0.1:5013. With UDP it also listens as the cash drawer on TCP port 9100
of the same address, when that port is free. When ready it prints one line per
transport on standard output, e.g.
  xv4sim: listening on udp 127.0.0.1:5013
  xv4sim: listening on serial /dev/pts/5
  xv4sim: listening on tcp 127.0.0.1:9100 (cash drawer)
and answers until SIGINT or SIGTERM. Traffic lines go to standard error.

Transports:
  --udp [ADDR:]PORT       answer UDP datagrams on ADDR (default 127.0.0.1) and
                          PORT; port 0 lets the system choose (read it from the
                          listening line). ADDR must be a loopback address.
  --allow-remote          accept a non-loopback ADDR for --udp and --drawer
  --serial-pty            create a pseudo-terminal; the tool opens the path
                          given in the listening line
  --serial DEVICE         answer on an existing terminal device (raw mode)
  --baud BPS              the printer's line speed. With --serial: the speed set
                          on DEVICE (default 9600). With --serial-pty: frames
                          that arrive while the tool's line speed differs are
                          not understood (default: any speed is understood)
  --pace                  serial: send answers at the line speed the tool set,
                          10 bit times per byte (a pseudo-terminal ignores it)

Cash drawer:
  --drawer [ADDR:]PORT    listen on TCP ADDR (default 127.0.0.1) and PORT for the
                          drawer command ESC p 0 24 24 (1B 70 00 18 18), as a
                          printer's raw printing port does; port 0 lets the
                          system choose. ADDR must be a loopback address unless
                          --allow-remote is given. Without this option the
                          drawer listens on the UDP address, port 9100, when
                          UDP is on and that port is free.
  --no-drawer             no drawer listener
  Each connection gives one traffic line when it ends, e.g.
    xv4sim: tcp 9100 from 127.0.0.1:45678: 5 bytes 1B 70 00 18 18 -> drawer opened

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
                          A connection to the cash drawer adds the line
                            DRAWER BYTES
                          BYTES what it sent (up to 4096 bytes) as hex digits:
                          DRAWER 1B70001818

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

Modems and lines:
  --modem                 with --serial-pty or --serial: the printer sits behind
                          an emulated modem. The tool gives it AT commands
                          (echoed; answers such as OK, ERROR or CONNECT 9600
                          between CR LF pairs; AT&V lists the settings) and
                          dials with ATDT and a number; after CONNECT the bytes
                          reach the printer as without a modem. Back to commands
                          (answered OK): +++ between guard times of silence, or
                          the line +++AT and CR at any time. Then ATH0 hangs up
                          and ATO goes back online. Closing the port hangs up
                          and resets the modem. Listening line:
                            xv4sim: listening on modem /dev/pts/5
  --modem-dial OUTCOME    how dials end: connect (default), busy, no-answer,
                          no-dialtone, no-carrier, or silent (no answer at all;
                          a byte from the tool abandons the dial)
  --modem-delay MS        from ATDT or ATA to its outcome (CONNECT, BUSY, ...),
                          and to the first RING (default 300)
  --modem-guard MS        the guard time of the +++ escape (default 1000)
  --modem-drop-after N    the carrier is lost after N records of a call: NO
                          CARRIER, and the modem is back in command state
  --modem-pair            two new pseudo-terminals, A and B, each with its own
                          emulated modem, joined by a telephone line: ATDT on
                          one side rings the other (RING) until it answers with
                          ATA (or S0 rings have come); then both say CONNECT and
                          bytes flow both ways. A hang-up on one side (ATH0, or
                          closing the port) gives NO CARRIER on the other; a
                          side that is off hook is BUSY. Listening lines:
                            xv4sim: listening on modem-pair A /dev/pts/6
                            xv4sim: listening on modem-pair B /dev/pts/7
  --ring-interval MS      time between two RINGs (default 1000)
  --ring-limit N          the caller gives up with NO ANSWER after N rings
                          (default 10)
  --null-modem            two new pseudo-terminals, A and B, joined directly as
                          by a cable (no modems). Listening lines:
                            xv4sim: listening on null-modem A /dev/pts/6
                            xv4sim: listening on null-modem B /dev/pts/7
  --line-bps BPS          the line's speed: CONNECT reports it, and bytes on the
                          line (with --modem: the printer's answers) take 10
                          bit times each (115200 moves 11520 bytes/s).
                          Default: unpaced, and CONNECT reports the speed the
                          tool set on its port
  --pty-link PREFIX       with --modem-pair or --null-modem: also make the
                          symbolic links PREFIXA and PREFIXB to the two
                          terminals (an existing link is replaced; removed at
                          exit), so that scripts can name them in advance
  --corrupt-every N       with --modem-pair or --null-modem: every N-th data
                          pack that crosses the line (start byte 0xAA, each
                          way) arrives with one bit of its data flipped, so
                          that the station's CRC check fails. Traffic line:
                            xv4sim: line A->B: data pack 50 corrupted
  Modem commands, answers and calls are traffic lines, e.g.
    xv4sim: modem "AT&F" -> OK
    xv4sim: modem A "ATDT5551234" -> dialing 5551234
    xv4sim: modem B -> RING

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
