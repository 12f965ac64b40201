// xv4link: files between two stations over a serial line, through modems or a cable (see
// StationHelpText()).
//
// main() checks the command line and the files before anything is opened (a refusal exits 2 with
// nothing sent), then runs one Station. Ctrl+C, SIGTERM and SIGHUP reach the main thread through a
// self-pipe and end the run cleanly; a second one ends the program at once.

#include "platform/AppDir.h"
#include "platform/Files.h"
#include "station/Station.h"
#include "station/StationOptions.h"
#include "station/StationOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace xv4::station {
namespace {

int g_interruptPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_lastSignal = 0;

// Async-signal context: only write() to the pipe. A second signal ends the program at once.
extern "C" void OnInterrupt(int signo) {
  const int savedErrno = errno;
  g_interrupts = g_interrupts + 1;
  g_lastSignal = signo;
  if (g_interrupts > 1) {
    std::signal(signo, SIG_DFL);
    std::raise(signo);
  } else {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_interruptPipe[1], &byte, 1);
  }
  errno = savedErrno;
}

bool InstallInterruptHandler() {
  if (::pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    if (::sigaction(signo, &action, nullptr) != 0)
      return false;
  }
  return true;
}

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
  if (InstallInterruptHandler()) {
    auto* notifier = new QSocketNotifier(g_interruptPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &station, [&station] {
      char byte = 0;
      while (::read(g_interruptPipe[0], &byte, 1) > 0) {
      }
      const int signo = g_lastSignal;
      station.Interrupt(signo == SIGTERM  ? QStringLiteral("terminated")
                        : signo == SIGHUP ? QStringLiteral("hung up")
                                          : QStringLiteral("interrupted"));
    });
  }
  return station.Run();
}
