#pragma once
// xv4link's command line: the options, their checks, the help text. Pure functions; any thread.

#include "link/BaudRate.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace xv4::station {

// Exit status of xv4link (the meanings of xv4ctl's).
enum ExitCode {
  kExitSuccess = 0,
  kExitFailed = 1,  // the transfer failed, the login was refused, or the run was interrupted
  kExitUsage = 2,   // bad usage or bad input: nothing was sent
  kExitNoLink = 3,  // the port could not be opened, or no connection was made
};

struct StationOptions {
  enum class Line { kNone, kDial, kAnswer, kDirect };

  bool help = false;
  bool version = false;
  QString port;  // --serial
  TBaudRate baud = tbr115200;
  Line line = Line::kNone;
  QString number;  // --dial
  int rings = 1;   // --answer --rings
  bool login = false;
  QString password;  // --password, or XV4_PASSWORD
  // --send FILE REMOTE_PATH [--remark TEXT]
  QString sendFile;
  QString remotePath;
  QString remark;
  // --receive-dir DIR [--keep-going]
  QString receiveDir;
  bool keepGoing = false;
  int ackMode = 1;         // TFMode
  int packSize = 1024;     // FilePackSize
  int timeoutSeconds = 0;  // 0: none
  bool debug = false;
  QString dataDir;

  bool Sending() const { return !sendFile.isEmpty(); }
};

// Parses the arguments after the program name. environmentPassword is XV4_PASSWORD (empty when
// unset); it stands for --password when that is not given. Returns an error text (for
// "xv4link: TEXT"), or nothing on success. Checks what can be checked without the files: the
// combinations, the numbers, texts that could not travel in a line.
std::optional<QString> ParseStationCommandLine(const QStringList& args,
                                               const QString& environmentPassword,
                                               StationOptions* options);

QString StationHelpText();
QString StationVersionText();

}  // namespace xv4::station
