#include "cli/CommandLine.h"

#include "platform/Arguments.h"

#include <QCoreApplication>

namespace xv4::cli {
namespace {

const QStringList kCommands = {QStringLiteral("test"),     QStringLiteral("drawer"),
                               QStringLiteral("params"),   QStringLiteral("data"),
                               QStringLiteral("program"),  QStringLiteral("info"),
                               QStringLiteral("settings"), QStringLiteral("ports")};

using platform::NumberInRange;

}  // namespace

const QStringList& RevealRowNames() {
  static const QStringList names = {QStringLiteral("label-probe"), QStringLiteral("machine-no"),
                                    QStringLiteral("printer-type")};
  return names;
}

bool CommandUsesPrinter(const QString& command) {
  return command != QLatin1String("settings") && command != QLatin1String("ports");
}

std::optional<QString> ParseCommandLine(const QStringList& args, Options* options) {
  Options& o = *options;
  o = Options{};
  QStringList operands;
  bool optionsEnded = false;
  // --json is looked for first, so that a refusal of any other option is reported in JSON too.
  for (const QString& arg : args) {
    if (arg == QLatin1String("--"))
      break;
    o.json = o.json || arg == QLatin1String("--json");
  }

  for (qsizetype i = 0; i < args.size(); ++i) {
    QString arg = args[i];
    if (!optionsEnded &&
        (arg == QLatin1String("-h") || arg == QLatin1String("-V") || arg == QLatin1String("-q"))) {
      bool& flag = arg == QLatin1String("-h")   ? o.help
                   : arg == QLatin1String("-V") ? o.version
                                                : o.quiet;
      flag = true;
      continue;
    }
    if (optionsEnded || !arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--")) {
      if (arg == QLatin1String("--") && !optionsEnded) {
        optionsEnded = true;
        continue;
      }
      if (!optionsEnded && arg.startsWith(QLatin1Char('-')) && arg.size() > 1)
        return QStringLiteral("unknown option '%1'").arg(arg);
      operands << arg;
      continue;
    }

    // --name VALUE or --name=VALUE.
    QString name = arg;
    std::optional<QString> inlineValue;
    if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq > 0) {
      name = arg.left(eq);
      inlineValue = arg.mid(eq + 1);
    }
    auto value = [&](QString* out) -> std::optional<QString> {
      if (inlineValue) {
        *out = *inlineValue;
        return std::nullopt;
      }
      if (i + 1 >= args.size())
        return QStringLiteral("option '%1' needs a value").arg(name);
      *out = args[++i];
      return std::nullopt;
    };
    auto flag = [&]() -> std::optional<QString> {
      if (inlineValue)
        return QStringLiteral("option '%1' takes no value").arg(name);
      return std::nullopt;
    };

    QString v;
    std::optional<QString> error;
    if (name == QLatin1String("--help")) {
      error = flag();
      o.help = true;
    } else if (name == QLatin1String("--version")) {
      error = flag();
      o.version = true;
    } else if (name == QLatin1String("--quiet")) {
      error = flag();
      o.quiet = true;
    } else if (name == QLatin1String("--json")) {
      error = flag();
    } else if (name == QLatin1String("--log-traffic")) {
      error = flag();
      o.logTraffic = true;
    } else if (name == QLatin1String("--bt") || name == QLatin1String("--wireless") ||
               name == QLatin1String("--clear") || name == QLatin1String("--label-mode")) {
      error = flag();
      const QString control = name == QLatin1String("--bt")         ? QStringLiteral("chkBT")
                              : name == QLatin1String("--wireless") ? QStringLiteral("chkRadio")
                              : name == QLatin1String("--clear")    ? QStringLiteral("chkClear")
                                                                    : QStringLiteral("LabelModeCB");
      o.actions.push_back({FormAction::Check, control, QStringLiteral("1")});
    } else if (name == QLatin1String("--host")) {
      if (!(error = value(&v)))
        o.actions.push_back({FormAction::Host, QStringLiteral("IPAddrEd"), v});
    } else if (name == QLatin1String("--port")) {
      int port = 0;
      if (!(error = value(&v)) && !(error = NumberInRange(name, v, 1, 65535, &port)))
        o.actions.push_back({FormAction::Port, QStringLiteral("IPPortEd"), v});
    } else if (name == QLatin1String("--serial")) {
      if (!(error = value(&v))) {
        if (v.isEmpty())
          error = QStringLiteral("--serial wants a port name (COM1..COM8 or a device path)");
        else
          o.actions.push_back({FormAction::Serial, QStringLiteral("PortCB"), v});
      }
    } else if (name == QLatin1String("--dial")) {
      // The characters are checked with the other settings, before anything is sent.
      if (!(error = value(&v))) {
        if (v.isEmpty())
          error = QStringLiteral("--dial wants the printer's phone number");
        else
          o.dial = v;
      }
    } else if (name == QLatin1String("--baud")) {
      if (!(error = value(&v)))
        o.actions.push_back({FormAction::Baud, QStringLiteral("BaudRateCB"), v});
    } else if (name == QLatin1String("--id")) {
      int id = 0;
      if (!(error = value(&v)) && !(error = NumberInRange(name, v, INT32_MIN + 1, INT32_MAX, &id)))
        o.actions.push_back({FormAction::Id, QStringLiteral("IdEd"), v});
    } else if (name == QLatin1String("--set")) {
      if (!(error = value(&v))) {
        const qsizetype eq = v.indexOf(QLatin1Char('='));
        if (eq <= 0)
          error = QStringLiteral("--set wants KEY=VALUE, not '%1'").arg(v);
        else
          o.actions.push_back({FormAction::Set, v.left(eq), v.mid(eq + 1)});
      }
    } else if (name == QLatin1String("--reveal")) {
      if (!(error = value(&v))) {
        for (const QString& row : v.split(QLatin1Char(','))) {
          if (!RevealRowNames().contains(row)) {
            error = QStringLiteral("--reveal: unknown row '%1' (rows: %2)")
                        .arg(row, RevealRowNames().join(QLatin1Char(',')));
            break;
          }
          o.actions.push_back({FormAction::Reveal, row, {}});
        }
      }
    } else if (name == QLatin1String("--data-file") || name == QLatin1String("--data-dir")) {
      // An empty path (an unset shell variable) would silently mean the default file or the
      // executable's directory, with settings the user did not intend.
      if (!(error = value(&v))) {
        if (v.isEmpty())
          error = QStringLiteral("%1 wants a path, not an empty text").arg(name);
        else if (name == QLatin1String("--data-file"))
          o.dataFile = v;
        else
          o.dataDir = v;
      }
    } else if (name == QLatin1String("--retry-count")) {
      int n = 0;
      if (!(error = value(&v)) && !(error = NumberInRange(name, v, 0, 10, &n)))
        o.retryCount = n;
    } else if (name == QLatin1String("--retry-interval")) {
      int n = 0;
      if (!(error = value(&v)) && !(error = NumberInRange(name, v, 1, 600000, &n)))
        o.retryInterval = n;
    } else if (name == QLatin1String("--drawer-port")) {
      if (!(error = value(&v)))
        error = NumberInRange(name, v, 1, 65535, &o.drawerPort);
    } else {
      error = QStringLiteral("unknown option '%1'").arg(name);
    }
    if (error)
      return error;
  }

  if (o.help || o.version)
    return std::nullopt;
  if (operands.isEmpty()) {
    return QStringLiteral(
        "no command given (test, drawer, params, data, program, info, settings or ports)");
  }
  o.command = operands.takeFirst();
  if (!kCommands.contains(o.command))
    return QStringLiteral("unknown command '%1'").arg(o.command);
  if (o.command == QLatin1String("data") || o.command == QLatin1String("program")) {
    const bool fileGiven = !operands.isEmpty();
    if (fileGiven)
      o.file = operands.takeFirst();
    if (o.command == QLatin1String("program") && !fileGiven)
      return QStringLiteral("program needs the program FILE");
    if (fileGiven && o.file.isEmpty())
      return QStringLiteral("%1: the FILE given is an empty text").arg(o.command);
  }
  if (!operands.isEmpty())
    return QStringLiteral("unexpected argument '%1'").arg(operands.first());
  if (!o.dataFile.isEmpty() && o.command != QLatin1String("params"))
    return QStringLiteral("--data-file belongs to params; data takes its FILE as an argument");
  return std::nullopt;
}

QString VersionText() {
  return QStringLiteral("xv4ctl %1\n").arg(QStringLiteral(XV4_VERSION));
}

QString HelpText() {
  return QStringLiteral(R"(NAME
    xv4ctl - test, configure and update an XV4 printer from the command line

SYNOPSIS
    xv4ctl [OPTION]... test
    xv4ctl [OPTION]... drawer
    xv4ctl [OPTION]... params
    xv4ctl [OPTION]... data [FILE]
    xv4ctl [OPTION]... program FILE
    xv4ctl [OPTION]... info
    xv4ctl [OPTION]... settings
    xv4ctl [OPTION]... ports

DESCRIPTION
    xv4ctl runs the operations of the xv4tool window without the window. It
    starts from the settings the window starts with: Config.cfg in the
    application directory (the design defaults when there is none), then the
    language that the system code page selects. The options then change those
    settings in the order given, as if the user had changed the window's
    controls, so a later option wins over an earlier one. xv4ctl never writes
    Config.cfg.

    In TCP/IP mode the records travel as UDP datagrams to the printer's address
    and port; in RS232 mode as frames over a serial port.

COMMANDS
    test           Communication test: handshake, model information, the test
                   record, end of session.
    drawer         Open the cash drawer. TCP/IP: the command ESC p 0 24 24 over
                   TCP to the printer's raw printing port 9100. RS232: a
                   communication test first, then the command over the line
                   (also after a failed test, which still makes the exit
                   status 1).
    params         Parameter download: records 0 to 127 of the data file, with
                   records 121 and 122 replaced by the parameters built from the
                   settings and record 123 by 0xFF bytes. The two parameter
                   records are written to log.hex.
    data [FILE]    Data download: every record of FILE (default: zk16.hex in
                   the application directory), with the parameter records.
    program FILE   Program download: FILE (a .hex or .bin firmware image) as
                   program records.
    info           Read what the printer holds and change nothing: handshake,
                   model information, the machine-number and device information
                   reads the parameter download makes, end of session. Prints
                   the machine number, printer type and language, the clear
                   flag, the Bluetooth name, the wireless printer and base
                   station, and the information record as a hex dump: run it
                   before and after params to see what changed.
    settings       List every --set key: its caption in the current language,
                   its kind, its limits or its list items with their indexes,
                   and its value (from Config.cfg or the defaults, after the
                   options given; the WiFi password as asterisks). Sends
                   nothing.
    ports          List the serial ports present: /dev/ttyS* with a UART
                   behind them (and the COM name that stands for each),
                   /dev/ttyUSB*, /dev/ttyACM*, and the /dev/serial/by-id names
                   with the device each points at. Sends nothing.

CONNECTION OPTIONS
    --host ADDR    TCP/IP mode; the printer's IPv4 address (IPAddrEd).
    --port N       TCP/IP mode; the printer's UDP port (IPPortEd, 5013 by
                   default).
    --serial PORT  RS232 mode on PORT: COM1 to COM8 (/dev/ttyS0 to /dev/ttyS7)
                   or a device path such as /dev/ttyUSB0.
    --baud RATE    RS232 mode; line speed, one of 2400 4800 9600 19200 38400
                   57600 115200 460800 (BaudRateCB). Without it, a serial run
                   uses the speed saved in Config.cfg, else 9600.
    --id N         RS232 mode; the printer's machine number (IdEd).
    --dial NUMBER  RS232 mode through a modem on the serial port: initialise
                   the modem, dial NUMBER (digits, * # , ; + - ( ) and blanks,
                   and the dial modifiers W P T ! @; at most 40 characters,
                   "Invalid phone number" otherwise), run the command once the
                   connection is up and hang up afterwards. Progress shows
                   "Dialing NUMBER...". A busy line, no answer, no dial tone or
                   no carrier ends the run with a message of its own (exit
                   status 3); a carrier lost during the command ends it at once
                   (exit status 1). Ctrl+C while dialling hangs up. Needs
                   --serial.
    --retry-count N
                   Repetitions of an unanswered record, 0 to 10 (default 3).
    --retry-interval MS
                   Time to wait for each answer, in milliseconds (default 500).
    --drawer-port N
                   TCP port of the drawer command (default 9100).

PARAMETER OPTIONS
    --set KEY=VALUE
                   Change one setting by its Config.cfg key (section Set; any
                   case), in that key's form: an edit takes its text
                   (NewIPAddrEd=10.0.0.9), a list takes its item index counted
                   from 0 (cb_alert=0), a spin edit a number (se1=120).
                   Repeatable. 'xv4ctl settings' lists the keys.
    --bt           Send the Bluetooth name in edtlanyani (the BT check box).
    --wireless     Send the wireless printer and base-station settings (the
                   wireless check box).
    --clear        Clear the printer's maintenance parameters (its service
                   counters and settings): the clear flag 0xAA goes out with
                   the printer-type row, so --clear is refused without
                   --reveal printer-type.
    --label-mode   Label printer mode.
    --reveal ROWS  Reveal service rows, a comma list of label-probe,
                   machine-no and printer-type (the window's Ctrl+Shift or
                   Ctrl+Alt+F3, F4 and F10). A revealed row sends its own
                   value instead of the printer's. printer-type without a
                   type chosen (--set cbbsort=N) overwrites the printer's
                   model byte with 0 (xv4), and its speed and language bytes
                   with 0xFF unless cbbJianFan is set: params and data warn
                   about it.
    --data-file FILE
                   The data file of params (default: zk16.hex in the
                   application directory).

GENERAL OPTIONS
    --data-dir DIR The application directory: Config.cfg, the language files,
                   zk16.hex, log.hex, Option.ini, LOG/ and debug/.
    --log-traffic  Keep a hex dump of every record sent and received in
                   LOG/yyyy-mm-dd@hh-nn-ss.LOG.
    --json         Print one JSON object on standard output and nothing else
                   there (see OUTPUT).
    -q, --quiet    Show no progress and no success text; failures are still
                   reported.
    -h, --help     Show this help and exit.
    -V, --version  Show the version and exit.

OUTPUT
    Progress (status, current and total record, a bar) goes to standard error
    when it is a terminal, as plain status lines otherwise. The text of a
    success goes to standard output with a line that says where it went, how
    many records and how long. A failure goes to standard error: the window's
    text, then a line with the address and port (or the device and speed),
    the tries and the time, and what to check. What the window shows in
    message boxes also goes to standard error. Ctrl+C (SIGINT, also SIGTERM
    and SIGHUP) cancels the running transaction as the progress dialog's
    Cancel button does; a second one ends the program at once.

    With --json, standard output holds one JSON object whatever the outcome:
    "command", "target", "status" (success, failed, cancelled,
    link-not-opened, bad-input or usage), "exit" (the exit status),
    "message" (the window's text), "detail", "records" (records the printer
    answered), "duration" (seconds); info adds "info" (the decoded fields and
    "record", the information record in hex), settings adds "settings" (an
    array of objects with "key", "label", "kind" (edit, list, combo or spin),
    "value", and "min" and "max", "max_bytes" or "items"), ports adds "ports"
    (objects with "path", "kind" and "com" or "target").

EXIT STATUS
    0   The operation succeeded.
    1   The operation failed (the failure text is printed) or was interrupted.
    2   Bad usage or bad input (for example "Invalid S/N", a missing or unfit
        file); nothing was sent.
    3   The link could not be opened (the serial port is missing or busy), or
        the modem call did not come up (--dial).

FILES
    The application directory is DIR of --data-dir, else XV4_HOME, else the
    directory of xv4ctl when it runs from a build tree or an unpacked folder.
    An installed xv4ctl (in a bin/ directory beside share/xv4tool/) keeps
    Config.cfg, Option.ini, Chinese.LNG and zk16.hex in
    $XDG_CONFIG_HOME/xv4tool (default ~/.config/xv4tool), and log.hex, LOG/
    and debug/ in $XDG_STATE_HOME/xv4tool (default ~/.local/state/xv4tool).
    BigGb.LNG and English.LNG are read from the application directory when
    present there, else from the installed share/xv4tool.

    Config.cfg     The window's settings; read, never written.
    Chinese.LNG, BigGb.LNG, English.LNG
                   Language files.
    zk16.hex       Default data file of params and data.
    log.hex        The parameter records of the last params run (0, 256 or 512
                   bytes), written on every way out of params.
    Option.ini, debug/
                   Written by the serial link.
    LOG/           Traffic logs (--log-traffic).

ENVIRONMENT
    XV4_HOME       Application directory when --data-dir is not given.
    XV4_ACP        The system code page (936, 950 or 1252) instead of the one
                   the locale implies; it selects the language and the encoding
                   of the texts sent to the printer.
    XV4_LOCAL_PORT Local UDP port of the session (default 5001; 0: any free
                   port).

EXAMPLES
    Test the printer at 192.168.1.7:
        xv4ctl --host 192.168.1.7 test
    Give it a new address and the first alarm type:
        xv4ctl --host 192.168.1.7 --set NewIPAddrEd=192.168.1.20 --set cb_alert=0 params
    Open the drawer of a printer on a USB serial adapter:
        xv4ctl --serial /dev/ttyUSB0 --baud 115200 drawer
    Test a printer behind a modem, calling it through the modem on COM1:
        xv4ctl --serial COM1 --dial 555-1234 test
    See what the printer holds before and after a download:
        xv4ctl --host 192.168.1.7 info
    Find the alarm keys and the serial ports:
        xv4ctl settings
        xv4ctl ports
    Update the firmware:
        xv4ctl --host 192.168.1.7 program xv4-1.6.bin
)");
}

}  // namespace xv4::cli
