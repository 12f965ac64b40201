// xv4link: files between two stations over a serial line, through modems or a cable (see
// StationHelpText()).
//
// main() checks the command line and the files before anything is opened (a refusal exits 2 with
// nothing sent), then runs one Station. Ctrl+C, SIGTERM and SIGHUP reach the main thread through a
// self-pipe and end the run cleanly; a second one ends the program at once.

#include "platform/AppDir.h"
#include "platform/Files.h"
#include "platform/Signals.h"
#include "station/Station.h"
#include "station/StationOptions.h"
#include "station/StationOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace xv4::station {
namespace {

int UsageError(const QString& text) {
  std::fprintf(stderr, "xv4link: %s\nTry 'xv4link --help' for more information.\n",
               text.toLocal8Bit().constData());
  return kExitUsage;
}

// What can be refused before the port opens: the file to send, the directories.
std::optional<QString> CheckFiles(const StationOptions& o) {
  if (o.Sending()) {
    const QFileInfo info(o.sendFile);
    QFile file(o.sendFile);
    if (!info.exists())
      return QStringLiteral("--send: no such file: %1").arg(o.sendFile);
    if (!info.isFile())
      return QStringLiteral("--send: not a plain file: %1").arg(o.sendFile);
    if (!file.open(QIODevice::ReadOnly))
      return QStringLiteral("--send: cannot read %1: %2").arg(o.sendFile, file.errorString());
  } else if (!platform::CreateDirectoryPath(QFileInfo(o.receiveDir).absoluteFilePath())) {
    return QStringLiteral("--receive-dir: cannot make the directory %1").arg(o.receiveDir);
  }
  if (!o.dataDir.isEmpty() && !QDir(o.dataDir).exists())
    return QStringLiteral("--data-dir: no such directory: %1").arg(o.dataDir);
  return std::nullopt;
}

}  // namespace
}  // namespace xv4::station

int main(int argc, char** argv) {
  using namespace xv4;
  using namespace xv4::station;
  QCoreApplication app(argc, argv);
  std::signal(SIGPIPE, SIG_IGN);

  StationOptions options;
  const QString envPassword = qEnvironmentVariable("XV4_PASSWORD");
  if (const auto error = ParseStationCommandLine(app.arguments().mid(1), envPassword, &options))
    return UsageError(*error);
  if (options.help) {
    std::fputs(StationHelpText().toLocal8Bit().constData(), stdout);
    return kExitSuccess;
  }
  if (options.version) {
    std::fputs(StationVersionText().toLocal8Bit().constData(), stdout);
    return kExitSuccess;
  }
  if (const auto error = CheckFiles(options))
    return UsageError(*error);
  if (!options.dataDir.isEmpty()) {
    platform::SetApplicationDir(QDir(options.dataDir).absolutePath());
  } else if (QString error; !platform::CreatePerUserDirs(&error)) {
    std::fprintf(stderr, "xv4link: %s\n", error.toLocal8Bit().constData());
  }

  StationOutput output(stdout, stderr, ::isatty(STDERR_FILENO) == 1);
  Station station(options, output);
  if (platform::CatchSignals({SIGINT, SIGTERM, SIGHUP}, platform::RepeatedSignal::EndsProgram)) {
    platform::DeliverCaughtSignals(&station, [&station](int signo) {
      station.Interrupt(signo == SIGTERM  ? QStringLiteral("terminated")
                        : signo == SIGHUP ? QStringLiteral("hung up")
                                          : QStringLiteral("interrupted"));
    });
  }
  return station.Run();
}
