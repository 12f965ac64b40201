// xv4ctl: the operations of the window from the command line (see HelpText()).
//
// Start-up follows the window: the headless form loads Config.cfg and applies the language of the
// system code page, the options change its controls in the order given, and the operation runs
// on its snapshot through the same operations layer as the window. Ctrl+C reaches the UI thread
// through a self-pipe and aborts the running transaction as the Cancel button does.

#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "appcore/Operations.h"
#include "cli/CommandLine.h"
#include "cli/TerminalUi.h"
#include "platform/AppDir.h"
#include "platform/MessageBox.h"
#include "protocol/ValdMBus.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace xv4::cli {
namespace {

int g_interruptPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_interrupts = 0;

// Async-signal context: only write() to the pipe. A second Ctrl+C ends the program at once.
extern "C" void OnInterrupt(int signo) {
  const int savedErrno = errno;
  g_interrupts = g_interrupts + 1;
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
  // A terminal closing and `timeout` or a service manager stopping the run cancel it the same
  // way: the port is closed properly and the logs are written.
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    if (::sigaction(signo, &action, nullptr) != 0)
      return false;
  }
  return true;
}

void PrintError(const QString& text) {
  std::fprintf(stderr, "xv4ctl: %s\n", text.toLocal8Bit().constData());
}

int UsageError(const QString& text) {
  PrintError(text);
  std::fprintf(stderr, "Try 'xv4ctl --help' for more information.\n");
  return kExitUsage;
}

ServiceRow RowOf(const QString& name) {
  if (name == QLatin1String("label-probe"))
    return ServiceRow::LabelProbe;
  if (name == QLatin1String("machine-no"))
    return ServiceRow::MachineNo;
  return ServiceRow::PrintType;
}

// Applies the options to the form in command-line order. A port that is not in PortCB's list (a
// device path) is kept aside and replaces the snapshot's port name, unless a later option
// selects a list item again.
std::optional<QString> ApplyActions(HeadlessMainForm& form, const Options& o,
                                    std::optional<QString>* portPath) {
  for (const FormAction& a : o.actions) {
    QString error;
    switch (a.kind) {
      case FormAction::Host:
      case FormAction::Port:
        form.SelectMode(0);
        error = form.Set(a.key, a.value);
        break;
      case FormAction::Serial: {
        form.SelectMode(1);
        const QStringList ports = form.Items(a.key);
        qsizetype index = -1;
        for (qsizetype i = 0; i < ports.size(); ++i) {
          if (ports[i].compare(a.value, Qt::CaseInsensitive) == 0)
            index = i;
        }
        if (index >= 0) {
          error = form.Set(a.key, QString::number(index));
          portPath->reset();
        } else if (a.value.startsWith(QLatin1Char('/'))) {
          *portPath = a.value;
        } else {
          error = QStringLiteral("--serial: '%1' is neither one of %2 nor a device path")
                      .arg(a.value, ports.join(QLatin1Char(' ')));
        }
        break;
      }
      case FormAction::Baud: {
        form.SelectMode(1);
        const qsizetype index = form.Items(a.key).indexOf(a.value);
        if (index < 0) {
          error = QStringLiteral("--baud: '%1' is not one of %2")
                      .arg(a.value, form.Items(a.key).join(QLatin1Char(' ')));
        } else {
          error = form.Set(a.key, QString::number(index));
        }
        break;
      }
      case FormAction::Id:
        form.SelectMode(1);
        error = form.Set(a.key, a.value);
        break;
      case FormAction::Set:
        error = form.Set(a.key, a.value);
        if (error.isEmpty() && a.key.compare(QLatin1String("PortCB"), Qt::CaseInsensitive) == 0)
          portPath->reset();
        break;
      case FormAction::Check:
        error = form.SetCheck(a.key, true);
        break;
      case FormAction::Reveal:
        form.Reveal(RowOf(a.key));
        break;
    }
    if (!error.isEmpty())
      return error;
  }
  return std::nullopt;
}

int ExitCodeOf(OpStatus status) {
  switch (status) {
    case OpStatus::Success:
      return kExitSuccess;
    case OpStatus::Failed:
    case OpStatus::Cancelled:
      return kExitFailed;
    case OpStatus::BadInput:
      return kExitUsage;
    case OpStatus::LinkNotOpened:
      return kExitLinkFailed;
  }
  return kExitFailed;
}

int Run(const Options& o) {
  if (!o.dataDir.isEmpty()) {
    if (!QDir(o.dataDir).exists())
      return UsageError(QStringLiteral("--data-dir: no such directory: %1").arg(o.dataDir));
    platform::SetApplicationDir(QDir(o.dataDir).absolutePath());
  } else if (QString error; !platform::CreatePerUserDirs(&error)) {
    PrintError(error);  // only the files written there are lost; their writers report it
  }
  QString envError;
  const std::optional<int> localPort = SessionLocalPort(&envError);
  if (!localPort)
    return UsageError(envError);

  HeadlessMainForm form;
  form.StartUp();
  std::optional<QString> portPath;
  if (const auto error = ApplyActions(form, o, &portPath))
    return UsageError(*error);
  OperationSettings settings = form.Snapshot();
  if (portPath)
    settings.portName = *portPath;

  TerminalUi ui(stdout, stderr, ::isatty(STDERR_FILENO) == 1, o.quiet);
  platform::SetMessageBoxHandler(
      [&ui](platform::MessageKind kind, const QString& text) { ui.MessageBox(kind, text); });

  std::unique_ptr<TValdMBusComm> comm;
  try {
    comm = std::make_unique<TValdMBusComm>(nullptr, nullptr, *localPort);
  } catch (const std::exception& e) {
    PrintError(QStringLiteral("cannot open the local UDP port %1: %2")
                   .arg(*localPort)
                   .arg(QString::fromLocal8Bit(e.what())));
    return kExitLinkFailed;
  }
  // As the window sets them when it creates its session.
  comm->SetRetryCount(o.retryCount.value_or(3));
  comm->SetRetryInterval(o.retryInterval.value_or(500));
  comm->LogTraffic = o.logTraffic;

  Operations ops(*comm, ui);
  ops.SetDrawerPort(o.drawerPort);

  std::unique_ptr<QSocketNotifier> interrupts;
  if (g_interruptPipe[0] >= 0) {
    interrupts = std::make_unique<QSocketNotifier>(g_interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(interrupts.get(), &QSocketNotifier::activated, [&ui, &ops] {
      char drain[16];
      while (::read(g_interruptPipe[0], drain, sizeof drain) > 0) {
      }
      ui.Cancel();
      ops.Abort();
    });
  }

  const QString defaultDataFile = platform::ApplicationDir() + QStringLiteral("zk16.hex");
  OpResult result;
  if (o.command == QLatin1String("test")) {
    result = ops.CommTest(settings);
    if (result.status == OpStatus::Success && !o.quiet)
      std::printf("%s\n", result.text.toLocal8Bit().constData());
  } else if (o.command == QLatin1String("drawer")) {
    result = ops.OpenDrawer(settings);
    // Over RS232 the command goes out even after a failed test; the exit status 1 needs a reason.
    if (result.status == OpStatus::Failed && settings.commMode != 0 && !ops.CommTested())
      PrintError(result.text);
  } else if (o.command == QLatin1String("params")) {
    result = ops.DownloadParams(settings, o.dataFile.isEmpty() ? defaultDataFile : o.dataFile);
  } else if (o.command == QLatin1String("data")) {
    result = ops.DownloadData(settings, o.file.isEmpty() ? defaultDataFile : o.file);
  } else {
    result = ops.DownloadProgram(settings, o.file);
  }
  std::fflush(stdout);

  platform::SetMessageBoxHandler({});
  if (ui.Interrupted() || g_interrupts > 0) {
    PrintError(QStringLiteral("interrupted"));
    return kExitFailed;
  }
  return ExitCodeOf(result.status);
}

}  // namespace
}  // namespace xv4::cli

int main(int argc, char** argv) {
  using namespace xv4::cli;
  QCoreApplication app(argc, argv);
  std::signal(SIGPIPE, SIG_IGN);

  Options options;
  if (const auto error = ParseCommandLine(app.arguments().mid(1), &options))
    return UsageError(*error);
  if (options.help) {
    std::fputs(HelpText().toLocal8Bit().constData(), stdout);
    return kExitSuccess;
  }
  if (options.version) {
    std::fputs(VersionText().toLocal8Bit().constData(), stdout);
    return kExitSuccess;
  }
  InstallInterruptHandler();
  return Run(options);
}
