#include "station/StationOptions.h"

#include "link/DataPack.h"
#include "platform/Arguments.h"

#include <algorithm>

namespace xv4::station {
namespace {

using platform::NumberInRange;
using platform::ParseInt;

std::optional<TBaudRate> BaudRateFromBps(int bps) {
  for (int i = 0; i < kBaudRateCount; ++i) {
    const auto rate = static_cast<TBaudRate>(i);
    if (BaudRateBps(rate) == static_cast<std::uint32_t>(bps))
      return rate;
  }
  return std::nullopt;
}

QString BaudRateList() {
  QStringList rates;
  for (int i = 0; i < kBaudRateCount; ++i)
    rates << QString::number(BaudRateBps(static_cast<TBaudRate>(i)));
  return rates.join(QLatin1Char(' '));
}

bool HoldsLineEnd(const QString& text) {
  return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'));
}

// The texts of the line options, for the message that names two of them.
QString LineOptionName(StationOptions::Line line) {
  switch (line) {
    case StationOptions::Line::kDial:
      return QStringLiteral("--dial");
    case StationOptions::Line::kAnswer:
      return QStringLiteral("--answer");
    case StationOptions::Line::kDirect:
      return QStringLiteral("--direct");
    case StationOptions::Line::kNone:
      break;
  }
  return {};
}

}  // namespace

std::optional<QString> ParseStationCommandLine(const QStringList& args,
                                               const QString& environmentPassword,
                                               StationOptions* options) {
  StationOptions& o = *options;
  o = StationOptions{};
  bool passwordGiven = false;
  bool ringsGiven = false;
  bool remarkGiven = false;

  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == QLatin1String("-h")) {
      o.help = true;
      continue;
    }
    if (arg == QLatin1String("-V")) {
      o.version = true;
      continue;
    }
    if (!arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--"))
      return QStringLiteral("unexpected argument '%1'").arg(arg);

    // --name VALUE or --name=VALUE.
    QString name = arg;
    std::optional<QString> inlineValue;
    if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq > 0) {
      name = arg.left(eq);
      inlineValue = arg.mid(eq + 1);
    }
    QString v;
    const auto value = [&](QString* out) -> std::optional<QString> {
      if (inlineValue) {
        *out = *inlineValue;
        return std::nullopt;
      }
      if (i + 1 >= args.size())
        return QStringLiteral("option '%1' needs a value").arg(name);
      *out = args[++i];
      return std::nullopt;
    };
    const auto flag = [&]() -> std::optional<QString> {
      if (inlineValue)
        return QStringLiteral("option '%1' takes no value").arg(name);
      return std::nullopt;
    };
    const auto line = [&](StationOptions::Line kind) -> std::optional<QString> {
      if (o.line != StationOptions::Line::kNone && o.line != kind) {
        return QStringLiteral("%1 and %2 cannot be used together")
            .arg(LineOptionName(o.line), LineOptionName(kind));
      }
      o.line = kind;
      return std::nullopt;
    };

    std::optional<QString> error;
    if (name == QLatin1String("--help")) {
      error = flag();
      o.help = true;
    } else if (name == QLatin1String("--version")) {
      error = flag();
      o.version = true;
    } else if (name == QLatin1String("--serial")) {
      error = value(&o.port);
      if (!error && o.port.isEmpty())
        error = QStringLiteral("--serial wants a port such as /dev/ttyUSB0 or COM1");
    } else if (name == QLatin1String("--baud")) {
      error = value(&v);
      if (!error) {
        const std::optional<int> bps = ParseInt(v);
        const std::optional<TBaudRate> rate = bps ? BaudRateFromBps(*bps) : std::nullopt;
        if (!rate)
          error = QStringLiteral("--baud: '%1' is not one of %2").arg(v, BaudRateList());
        else
          o.baud = *rate;
      }
    } else if (name == QLatin1String("--dial")) {
      error = value(&o.number);
      if (!error)
        error = line(StationOptions::Line::kDial);
    } else if (name == QLatin1String("--answer")) {
      error = flag();
      if (!error)
        error = line(StationOptions::Line::kAnswer);
    } else if (name == QLatin1String("--direct")) {
      error = flag();
      if (!error)
        error = line(StationOptions::Line::kDirect);
    } else if (name == QLatin1String("--rings")) {
      ringsGiven = true;
      error = value(&v);
      if (!error)
        error = NumberInRange(name, v, 1, 255, &o.rings);
    } else if (name == QLatin1String("--login")) {
      error = flag();
      o.login = true;
    } else if (name == QLatin1String("--password")) {
      passwordGiven = true;
      error = value(&o.password);
    } else if (name == QLatin1String("--send")) {
      // Two values: FILE and REMOTE_PATH.
      if (inlineValue) {
        o.sendFile = *inlineValue;
      } else if (i + 1 < args.size()) {
        o.sendFile = args[++i];
      } else {
        error = QStringLiteral("--send needs FILE and REMOTE_PATH");
      }
      if (!error && i + 1 < args.size())
        o.remotePath = args[++i];
      else if (!error)
        error = QStringLiteral("--send needs FILE and REMOTE_PATH");
      if (!error && o.sendFile.isEmpty())
        error = QStringLiteral("--send: FILE is empty");
    } else if (name == QLatin1String("--remark")) {
      remarkGiven = true;
      error = value(&o.remark);
    } else if (name == QLatin1String("--receive-dir")) {
      error = value(&o.receiveDir);
      if (!error && o.receiveDir.isEmpty())
        error = QStringLiteral("--receive-dir wants a directory");
    } else if (name == QLatin1String("--keep-going")) {
      error = flag();
      o.keepGoing = true;
    } else if (name == QLatin1String("--ack-mode")) {
      error = value(&v);
      if (!error)
        error = NumberInRange(name, v, 0, 1, &o.ackMode);
    } else if (name == QLatin1String("--pack-size")) {
      error = value(&v);
      if (!error)
        error = NumberInRange(name, v, 1, kMaxPackData, &o.packSize);
    } else if (name == QLatin1String("--timeout")) {
      error = value(&v);
      if (!error)
        error = NumberInRange(name, v, 1, 24 * 3600 * 365, &o.timeoutSeconds);
    } else if (name == QLatin1String("--debug")) {
      error = flag();
      o.debug = true;
    } else if (name == QLatin1String("--data-dir")) {
      error = value(&o.dataDir);
      if (!error && o.dataDir.isEmpty())
        error = QStringLiteral("--data-dir wants a directory");
    } else {
      error = QStringLiteral("unknown option '%1'").arg(name);
    }
    if (error)
      return error;
  }

  if (o.help || o.version)
    return std::nullopt;
  if (o.port.isEmpty())
    return QStringLiteral("--serial PORT is required");
  if (o.line == StationOptions::Line::kNone)
    return QStringLiteral("one of --dial NUMBER, --answer or --direct is required");
  if (o.line == StationOptions::Line::kDial && o.number.trimmed().isEmpty())
    return QStringLiteral("--dial wants a telephone number");
  if (ringsGiven && o.line != StationOptions::Line::kAnswer)
    return QStringLiteral("--rings goes with --answer");
  if (o.Sending() == !o.receiveDir.isEmpty())
    return QStringLiteral("one of --send FILE REMOTE_PATH or --receive-dir DIR is required");
  if (remarkGiven && !o.Sending())
    return QStringLiteral("--remark goes with --send");
  if (o.keepGoing && o.Sending())
    return QStringLiteral("--keep-going goes with --receive-dir");
  if (o.Sending()) {
    // The offer line carries the path and the remark between "|" separators.
    const QString path = QString(o.remotePath).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString leaf = path.section(QLatin1Char('/'), -1);
    if (leaf.isEmpty() || leaf == QLatin1String(".") || leaf == QLatin1String(".."))
      return QStringLiteral("--send: REMOTE_PATH '%1' names no file").arg(o.remotePath);
    if (o.remotePath.contains(QLatin1Char('|')) || HoldsLineEnd(o.remotePath))
      return QStringLiteral("--send: REMOTE_PATH cannot hold '|' or a line end");
    if (o.remark.contains(QLatin1Char('|')) || HoldsLineEnd(o.remark))
      return QStringLiteral("--remark cannot hold '|' or a line end");
  }
  if (!o.login) {
    if (passwordGiven)
      return QStringLiteral("--password goes with --login");
  } else {
    if (!passwordGiven)
      o.password = environmentPassword;
    if (o.password.trimmed().isEmpty())
      return QStringLiteral("--login needs a password: --password TEXT or XV4_PASSWORD");
    if (HoldsLineEnd(o.password))
      return QStringLiteral("the password cannot hold a line end");
  }
  return std::nullopt;
}

QString StationVersionText() {
  return QStringLiteral("xv4link " XV4_VERSION "\n");
}

QString StationHelpText() {
  return QStringLiteral(R"(NAME
    xv4link - exchange files with another station over a serial line or modems

SYNOPSIS
    xv4link --serial PORT (--dial NUMBER | --answer | --direct) [--login]
            --send FILE REMOTE_PATH [OPTION]...
    xv4link --serial PORT (--dial NUMBER | --answer | --direct) [--login]
            --receive-dir DIR [OPTION]...

DESCRIPTION
    xv4link connects to another station running the same link (xv4link, or a
    station that speaks the same protocol) through AT modems or over a direct
    cable, optionally logs in with a password, and sends one file or receives
    files. The file travels in CRC-checked packs; in acknowledgement mode 1
    (the default) every pack is confirmed and a damaged one is sent again.

    A received file is stored below the receive directory, at the path the
    sender asks for; paths that would leave it are refused. It is written to a
    temporary file beside its target, which replaces the target only when the
    transfer ends OK: a failed transfer keeps the old file.

    Events are printed on standard output, one line each:
        connected: dialled 5551234
        login OK: remote station STATION-A
        file offered: fonts/zk16.hex, 1048576 bytes
        file done OK: inbox/fonts/zk16.hex, 1048576 bytes in 2.1 s (data at 0.99 MB/s)
    Progress goes to standard error: a bar on a terminal, plain lines
    otherwise.

LINE
    --serial PORT     The serial port: a device path such as /dev/ttyUSB0, or
                      COMn for /dev/ttyS(n-1). Required.
    --baud RATE       Line speed: 1200, 2400, 4800, 9600, 19200, 38400, 57600,
                      115200 (default) or 460800.
    --dial NUMBER     A modem is on PORT: initialise it and dial NUMBER.
    --answer          A modem is on PORT: initialise it and answer the first
                      call after --rings rings.
    --rings N         Rings before answering (1 to 255, default 1).
    --direct          No modems (a cable): the line counts as connected from
                      the start.
    One of --dial, --answer and --direct is required; the other station uses
    the matching one (--answer against --dial, --direct against --direct).

LOGIN
    --login           Run the login session: the answering station (with
                      --direct: the receiving one) asks for the password, the
                      calling one (the sending one) gives it. Only the whole
                      password logs in, in any letter case. No file is offered
                      or accepted before the login.
    --password TEXT   The password (with --login); the environment variable
                      XV4_PASSWORD stands for it when the option is not given,
                      which keeps it out of the process list.

TRANSFER
    --send FILE REMOTE_PATH
                      Send FILE, to be stored as REMOTE_PATH (a/b/name) below
                      the other station's receive directory. Exits once the
                      other station has confirmed the file.
    --remark TEXT     A remark sent with the file.
    --receive-dir DIR Accept files and store them below DIR (made when
                      missing). Exits after the first file.
    --keep-going      With --receive-dir: stay for more files until
                      interrupted.
    --ack-mode 0|1    0: packs stream without acknowledgement; 1 (default):
                      each pack waits for its acknowledgement and is sent again
                      when none comes. Both stations use the same mode.
    --pack-size N     Data bytes per pack, 1 to 4083 (default 1024). Both
                      stations use the same size.

OTHER OPTIONS
    --timeout SECONDS Give up after SECONDS (default: no limit).
    --debug           The link's debug lines on standard error (passwords
                      masked).
    --data-dir DIR    Where Option.ini and debug/ go (default: the
                      application directory, or XV4_HOME).
    -h, --help        Show this help.
    -V, --version     Show the version.

EXIT STATUS
    0  done: the file was sent and confirmed, or a file was received OK (with
       --keep-going: interrupted after files that all arrived OK)
    1  failed or interrupted: the transfer failed, the login was refused, the
       line dropped, or the time ran out after the connection was made
    2  bad usage or bad input; nothing was sent
    3  the port could not be opened, or no connection was made

    Ctrl+C, SIGTERM and SIGHUP end the run cleanly: a transfer in progress is
    abandoned as failed, the modem is hung up and the port closed.

EXAMPLES
    Station A answers calls, logs callers in and stores files below ./inbox;
    station B dials A and sends zk16.hex as fonts/zk16.hex:
        xv4link --serial /dev/ttyUSB0 --answer --rings 2 --login \
                --password s3cret --receive-dir ./inbox
        xv4link --serial /dev/ttyUSB1 --dial 5551234 --login \
                --password s3cret --send zk16.hex fonts/zk16.hex
)");
}

}  // namespace xv4::station
