// xv4ctl: the operations of the window from the command line, and the read-back and discovery
// commands info, settings and ports (see HelpText()).
//
// Start-up follows the window: the headless form loads Config.cfg and applies the language of the
// system code page, the options change its controls in the order given, and the operation runs
// on its snapshot through the same operations layer as the window. Ctrl+C reaches the UI thread
// through a self-pipe and aborts the running transaction as the Cancel button does. Every way out
// goes through Finish(), which prints the JSON report when --json asks for it.

#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "appcore/Operations.h"
#include "cli/CommandLine.h"
#include "cli/Report.h"
#include "cli/TerminalUi.h"
#include "platform/AppDir.h"
#include "platform/MessageBox.h"
#include "platform/Signals.h"
#include "protocol/ValdMBus.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include <unistd.h>

namespace xv4::cli {
namespace {

void PrintError(const QString& text) {
  std::fprintf(stderr, "xv4ctl: %s\n", text.toLocal8Bit().constData());
}

// Standard output of a run without --json. --quiet drops the text of a success, not what
// info, settings and ports were asked to list.
void PrintOut(const Options& o, const QString& text, bool listing = false) {
  if (o.json || (o.quiet && !listing) || text.isEmpty())
    return;
  std::fputs(text.toLocal8Bit().constData(), stdout);
  if (!text.endsWith(QLatin1Char('\n')))
    std::fputc('\n', stdout);
}

// Ends the run: with --json the report is all that standard output receives.
int Finish(const Options& o, const RunReport& report) {
  if (o.json) {
    const QByteArray json = ReportJson(report);
    std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
  }
  std::fflush(stdout);
  return report.exitCode;
}

int UsageError(const Options& o, const QString& text) {
  PrintError(text);
  std::fprintf(stderr, "Try 'xv4ctl --help' for more information.\n");
  RunReport report;
  report.command = o.command;
  report.usageError = true;
  report.exitCode = kExitUsage;
  report.result.status = OpStatus::BadInput;
  report.result.text = text;
  return Finish(o, report);
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
// selects a list item again. *fieldOptions receives the option that set each key last.
std::optional<QString> ApplyActions(HeadlessMainForm& form, const Options& o,
                                    std::optional<QString>* portPath,
                                    std::map<QString, QString>* fieldOptions) {
  static const std::map<FormAction::Kind, QString> kOptionOf = {
      {FormAction::Host, QStringLiteral("--host")},
      {FormAction::Port, QStringLiteral("--port")},
      {FormAction::Serial, QStringLiteral("--serial")},
      {FormAction::Baud, QStringLiteral("--baud")},
      {FormAction::Id, QStringLiteral("--id")},
      {FormAction::Set, QStringLiteral("--set")}};
  for (const FormAction& a : o.actions) {
    if (const auto option = kOptionOf.find(a.kind); option != kOptionOf.end()) {
      const QString key = CanonicalSettingKey(a.key);
      (*fieldOptions)[key.isEmpty() ? a.key : key] = option->second;
    }
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
        if (error.isEmpty() && CanonicalSettingKey(a.key) == QLatin1String("PortCB"))
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

// Refusals and warnings about the service rows that only the command line can run into: the
// window shows chkClear only with the printer-type row.
std::optional<QString> CheckServiceRows(const Options& o, const HeadlessMainForm& form,
                                        const OperationSettings& s) {
  if (form.Checked(QStringLiteral("chkClear")) && !s.printTypeRowsVisible) {
    return QStringLiteral(
        "--clear would have the printer clear its maintenance parameters (flag 0xAA), but that "
        "flag goes out with the printer-type row only: add --reveal printer-type, with "
        "--set cbbsort=N and --set cbbJianFan=N for the type and language it also writes");
  }
  const bool writesBlockA =
      o.command == QLatin1String("params") || o.command == QLatin1String("data");
  if (writesBlockA && s.printTypeRowsVisible && s.printTypeIndex < 0) {
    PrintError(QStringLiteral(
                   "warning: --reveal printer-type without a printer type (--set cbbsort=0..3): "
                   "the printer's model byte will be overwritten with 0 (xv4) and its speed byte "
                   "with 0xFF%1")
                   .arg(s.printerLanguageIndex < 0
                            ? QStringLiteral(", and its language byte with 0xFF (--set "
                                             "cbbJianFan=0..2)")
                            : QString()));
  }
  return std::nullopt;
}

int Run(const Options& o) {
  RunReport report;
  report.command = o.command;
  if (o.command == QLatin1String("ports")) {
    const std::vector<SerialPortInfo> ports = FindSerialPorts();
    report.extra.insert("ports", PortsJson(ports));
    PrintOut(o, PortsText(ports), true);
    return Finish(o, report);
  }

  if (!o.dataDir.isEmpty()) {
    if (!QDir(o.dataDir).exists())
      return UsageError(o, QStringLiteral("--data-dir: no such directory: %1").arg(o.dataDir));
    platform::SetApplicationDir(QDir(o.dataDir).absolutePath());
  } else if (QString error; !platform::CreatePerUserDirs(&error)) {
    PrintError(error);  // only the files written there are lost; their writers report it
  }
  QString envError;
  const std::optional<int> localPort = SessionLocalPort(&envError);
  if (!localPort)
    return UsageError(o, envError);

  HeadlessMainForm form;
  form.StartUp();
  std::optional<QString> portPath;
  std::map<QString, QString> fieldOptions;
  if (const auto error = ApplyActions(form, o, &portPath, &fieldOptions))
    return UsageError(o, *error);
  OperationSettings settings = form.Snapshot();
  if (portPath)
    settings.portName = *portPath;
  // The speed list starts without a selection, which the session would take as 1200 baud, a
  // speed the printer's handshake does not start at; a serial run without a speed uses 9600.
  if (settings.commMode == 1 && settings.baudIndex < 0)
    settings.baudIndex =
        static_cast<int>(form.Items(QStringLiteral("BaudRateCB")).indexOf(QStringLiteral("9600")));
  if (const auto error = CheckServiceRows(o, form, settings))
    return UsageError(o, *error);
  if (!o.dial.isEmpty()) {
    if (settings.commMode != 1) {
      return UsageError(
          o,
          QStringLiteral("--dial calls the printer's modem over a serial line: add --serial PORT"));
    }
    settings.phoneNumber = o.dial;
  }

  if (o.command == QLatin1String("settings")) {
    const std::vector<SettingDescription> list = DescribeSettings(form);
    report.extra.insert("settings", SettingsJson(list));
    PrintOut(o, SettingsText(list), true);
    return Finish(o, report);
  }

  TerminalUi ui(stdout, stderr, ::isatty(STDERR_FILENO) == 1, o.quiet);
  ui.SetSilentOutput(o.json);
  for (const auto& [key, option] : fieldOptions)
    ui.SetFieldOption(key, option);
  ui.SetFieldOption(QStringLiteral("PhoneNumber"), QStringLiteral("--dial"));
  ui.SetUnsetFieldSource(QFileInfo::exists(ConfigFilePath()) ? QStringLiteral("Config.cfg")
                                                             : QStringLiteral("default"));
  platform::SetMessageBoxHandler(
      [&ui](platform::MessageKind kind, const QString& text) { ui.MessageBox(kind, text, {}); });

  std::unique_ptr<TValdMBusComm> comm;
  try {
    comm = std::make_unique<TValdMBusComm>(nullptr, nullptr, *localPort);
  } catch (const std::exception& e) {
    const QString text = QStringLiteral("cannot open the local UDP port %1: %2")
                             .arg(*localPort)
                             .arg(QString::fromLocal8Bit(e.what()));
    PrintError(text);
    report.exitCode = kExitLinkFailed;
    report.result = {OpStatus::LinkNotOpened, text};
    return Finish(o, report);
  }
  // As the window sets them when it creates its session.
  comm->SetRetryCount(o.retryCount.value_or(3));
  comm->SetRetryInterval(o.retryInterval.value_or(500));
  comm->LogTraffic = o.logTraffic;

  Operations ops(*comm, ui);
  ops.SetDrawerPort(o.drawerPort);

  // Ctrl+C, and a terminal closing or `timeout` or a service manager stopping the run, cancel it
  // the same way: the port is closed properly and the logs are written.
  QObject interrupts;
  platform::DeliverCaughtSignals(&interrupts, [&ui, &ops](int) {
    ui.Cancel();
    ops.Abort();
  });

  const QString defaultDataFile = platform::ApplicationDir() + QStringLiteral("zk16.hex");
  OpResult& result = report.result;
  if (o.command == QLatin1String("test")) {
    result = ops.CommTest(settings);
    if (result.status == OpStatus::Success)
      PrintOut(o, FinalMessage(result.text, result.detail));
  } else if (o.command == QLatin1String("drawer")) {
    result = ops.OpenDrawer(settings);
    if (result.status == OpStatus::Success) {
      PrintOut(o, result.detail);
    } else if (result.status == OpStatus::Failed && settings.commMode != 0 && !ops.CommTested()) {
      // Over RS232 the command goes out even after a failed test; the exit status 1 needs a
      // reason.
      PrintError(result.text);
      std::fprintf(stderr, "%s\n", result.detail.toLocal8Bit().constData());
    }
  } else if (o.command == QLatin1String("params")) {
    result = ops.DownloadParams(settings, o.dataFile.isEmpty() ? defaultDataFile : o.dataFile);
  } else if (o.command == QLatin1String("data")) {
    result = ops.DownloadData(settings, o.file.isEmpty() ? defaultDataFile : o.file);
  } else if (o.command == QLatin1String("info")) {
    result = ops.ReadInfo(settings);
    if (result.status == OpStatus::Success && result.device) {
      const PrinterReport decoded = DecodePrinterReport(*result.device);
      report.extra.insert("info", InfoJson(decoded, result.device->info));
      PrintOut(o, InfoText(decoded, result.device->info), true);
      PrintOut(o, result.detail);
    }
  } else {
    result = ops.DownloadProgram(settings, o.file);
  }
  std::fflush(stdout);

  platform::SetMessageBoxHandler({});
  if (ui.Interrupted() || platform::SignalCaught()) {
    PrintError(QStringLiteral("interrupted"));
    result.status = OpStatus::Cancelled;
    report.exitCode = kExitFailed;
    return Finish(o, report);
  }
  report.exitCode = ExitCodeOf(result.status);
  return Finish(o, report);
}

}  // namespace
}  // namespace xv4::cli

int main(int argc, char** argv) {
  using namespace xv4::cli;
  QCoreApplication app(argc, argv);
  std::signal(SIGPIPE, SIG_IGN);

  Options options;
  if (const auto error = ParseCommandLine(app.arguments().mid(1), &options))
    return UsageError(options, *error);
  if (options.help) {
    std::fputs(HelpText().toLocal8Bit().constData(), stdout);
    return kExitSuccess;
  }
  if (options.version) {
    if (!options.json) {
      std::fputs(VersionText().toLocal8Bit().constData(), stdout);
      return kExitSuccess;
    }
    RunReport report;
    report.command = QStringLiteral("version");
    report.result.text = VersionText().trimmed();
    return Finish(options, report);
  }
  xv4::platform::CatchSignals({SIGINT, SIGTERM, SIGHUP},
                              xv4::platform::RepeatedSignal::EndsProgram);
  return Run(options);
}
