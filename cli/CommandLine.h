#pragma once
// xv4ctl's command line: the options, their order, the command and its file, and the help text.
// Pure functions; any thread.

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace xv4::cli {

// Exit status of xv4ctl.
enum ExitCode {
  kExitSuccess = 0,
  kExitFailed = 1,      // the operation failed or was interrupted
  kExitUsage = 2,       // bad usage or bad input; nothing was sent
  kExitLinkFailed = 3,  // the link could not be opened
};

// One option that changes the window's controls; applied in command-line order.
struct FormAction {
  enum Kind {
    Host,    // IPAddrEd, TCP/IP mode
    Port,    // IPPortEd, TCP/IP mode
    Serial,  // PortCB, RS232 mode
    Baud,    // BaudRateCB, RS232 mode
    Id,      // IdEd, RS232 mode
    Set,     // any Config.cfg key
    Check,   // chkBT, chkRadio, chkClear, LabelModeCB
    Reveal,  // a service row: label-probe, machine-no, printer-type
  };
  Kind kind;
  QString key;    // Set: the key; Check: the control; Reveal: the row name
  QString value;  // the option's value
};

struct Options {
  bool help = false;
  bool version = false;
  bool quiet = false;
  bool json = false;  // one JSON object on standard output
  bool logTraffic = false;
  QString command;   // test, drawer, params, data, program, info, settings, ports
  QString file;      // data [FILE], program FILE
  QString dataFile;  // --data-file (params)
  QString dataDir;   // --data-dir
  QString dial;      // --dial: the printer's phone number (RS232 through a modem)
  std::optional<int> retryCount;
  std::optional<int> retryInterval;
  int drawerPort = 9100;
  std::vector<FormAction> actions;
};

// Parses the arguments after the program name. Returns an error text (for "xv4ctl: TEXT"),
// or nothing on success. *options holds what was parsed up to the error (--json among it).
std::optional<QString> ParseCommandLine(const QStringList& args, Options* options);

// Whether the command talks to the printer (ports and settings do not).
bool CommandUsesPrinter(const QString& command);

// The service rows --reveal accepts, in the order of their key combinations.
const QStringList& RevealRowNames();

QString HelpText();
QString VersionText();

}  // namespace xv4::cli
