// xv4tool: the maintenance window for XV4 printers.
//
//   xv4tool [--data-dir DIR]     settings, language files and logs in DIR (created if missing)
//   xv4tool --help | --version
//
// XV4_HOME also names the data directory; without either, the executable's directory is used,
// or the per-user directories for an installed copy (platform/AppDir.h).
// XV4_LOCAL_PORT replaces the session's local UDP port 5001 (0: any free port).
// The hidden option --screenshot PREFIX starts as usual, saves pictures of the window and the
// progress dialog as PREFIX-*.png and exits (used by scripts/screenshots.sh).

#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "platform/AppDir.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

#ifndef XV4_BUILD_VERSION
#define XV4_BUILD_VERSION "unknown"
#endif

namespace {

using namespace xv4;

void PrintHelp() {
  std::printf(
      "Usage: xv4tool [--data-dir DIR]\n"
      "Maintenance tool for XV4 printers: communication test, parameter download, cash drawer.\n"
      "\n"
      "  --data-dir DIR  keep settings (Config.cfg), language files and logs in DIR\n"
      "                  (created if missing; the environment variable XV4_HOME does the same)\n"
      "  --help          show this text and exit\n"
      "  --version       show the version and exit\n"
      "\n"
      "Without --data-dir or XV4_HOME, a copy run from its build tree or an unpacked folder\n"
      "keeps every file beside the executable. An installed copy keeps Config.cfg, Option.ini\n"
      "and Chinese.LNG in $XDG_CONFIG_HOME/xv4tool (default ~/.config/xv4tool) and log.hex,\n"
      "LOG/ and debug/ in $XDG_STATE_HOME/xv4tool (default ~/.local/state/xv4tool).\n"
      "\n"
      "XV4_LOCAL_PORT=N uses local UDP port N instead of 5001 (0: any free port).\n");
}

void InstallMessageBoxes() {
  platform::SetMessageBoxHandler([](platform::MessageKind kind, const QString& text) {
    QWidget* parent = QApplication::activeWindow();
    const QString title = QString::fromLatin1(kMainFormCaption);
    switch (kind) {
      case platform::MessageKind::Information:
        QMessageBox::information(parent, title, text);
        break;
      case platform::MessageKind::Warning:
        QMessageBox::warning(parent, title, text);
        break;
      case platform::MessageKind::Error:
        QMessageBox::critical(parent, title, text);
        break;
    }
  });
}

bool Save(QWidget* w, const QString& path) {
  const bool ok = w->grab().save(path);
  std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "cannot write", qPrintable(path));
  return ok;
}

// Pictures of the window as started, with every service row revealed, and of the progress
// dialog while running and with a final message.
bool TakeScreenshots(const QString& prefix) {
  bool ok = Save(MainForm, prefix + "-main.png");
  for (ServiceRow row : {ServiceRow::LabelProbe, ServiceRow::MachineNo, ServiceRow::PrintType})
    RevealRow(*MainForm, row, LanguageIndex());
  ArrangeGroups(*MainForm);
  platform::ProcessMessages();
  ok = Save(MainForm, prefix + "-revealed.png") && ok;

  ProgressForm->OnBeep = [] {};
  ProgressForm->Show();
  ProgressForm->SetStatus(0, MessageText(Msg::DownloadParam));
  ProgressForm->SetMargin(128);
  ProgressForm->SetProgress(57);
  platform::ProcessMessages();
  ok = Save(ProgressForm, prefix + "-progress.png") && ok;
  // A failure as an operation shows it: the dialog waits for OK, which the picture gives.
  QTimer::singleShot(0, [prefix, &ok] {
    platform::ProcessMessages();
    ok = Save(ProgressForm, prefix + "-final.png") && ok;
    ProgressForm->OKBtnClick();
  });
  ProgressForm->ShowFinalStatus(
      MessageText(Msg::CommTestFail),
      QStringLiteral("The test record to 192.168.1.7:5013 failed after 4 tries in 2.0 s: no "
                     "answer (the printer answered the handshake)"));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QString dataDir;
  QString screenshotPrefix;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintHelp();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\nbuild %s\n", kMainFormCaption, XV4_BUILD_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--data-dir") == 0 && i + 1 < argc) {
      dataDir = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      screenshotPrefix = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "xv4tool: unknown option %s (try --help)\n", argv[i]);
      return 2;
    }
  }
  if (!dataDir.isEmpty()) {
    if (!platform::CreateDirectoryPath(dataDir)) {
      std::fprintf(stderr, "xv4tool: cannot create the data directory %s\n", qPrintable(dataDir));
      return 1;
    }
    platform::SetApplicationDir(dataDir);
  } else if (const char* home = std::getenv("XV4_HOME"); home != nullptr && *home != '\0') {
    platform::CreateDirectoryPath(QString::fromLocal8Bit(home));
  } else if (QString error; !platform::CreatePerUserDirs(&error)) {
    // The window still opens; saving the settings reports the failure again.
    std::fprintf(stderr, "xv4tool: %s\n", qPrintable(error));
  }

  QApplication app(argc, argv);
  // Lets the desktop match the window to xv4tool.desktop and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("xv4tool"));
  if (const QIcon icon = QIcon::fromTheme(QStringLiteral("xv4tool")); !icon.isNull())
    QApplication::setWindowIcon(icon);
  InstallMessageBoxes();

  std::unique_ptr<TMainForm> mainForm;
  try {
    mainForm = std::make_unique<TMainForm>();
  } catch (const std::exception& e) {
    platform::ShowMessageBox(platform::MessageKind::Error,
                             QStringLiteral("The network connection cannot be set up: ") +
                                 QString::fromLocal8Bit(e.what()));
    return 1;
  }
  auto progressForm = std::make_unique<TProgressForm>();
  ProgressForm = progressForm.get();
  mainForm->AttachProgress(ProgressForm);
  CloseOnTerminationSignals(mainForm.get());

  mainForm->show();
  int rc = 0;
  if (!screenshotPrefix.isEmpty()) {
    platform::ProcessMessages();
    rc = TakeScreenshots(screenshotPrefix) ? 0 : 1;
    mainForm->close();
  } else {
    rc = app.exec();
  }
  mainForm->FormDestroy();
  progressForm.reset();
  mainForm.reset();
  return rc;
}
