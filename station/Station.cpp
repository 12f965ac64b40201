#include "station/Station.h"

#include "platform/Time.h"
#include "transport/SerialPorts.h"

#include <QDir>
#include <QFileInfo>

namespace xv4::station {
namespace {

// The modem's initial sequence takes a few seconds; a modem that has not finished it by then is
// not answering.
constexpr int kInitialiseLimitMs = 30000;
// A calling station that is not let in by then gives up: the other side prompts within 2 s of
// the connection, and a caller that hears no prompt ends its session after 30 s.
constexpr int kLoginLimitMs = 45000;
// The hang-up sequence (escape, ATH0) takes about three seconds at worst.
constexpr int kHangUpLimitMs = 6000;
constexpr int kProgressIntervalMs = 200;

}  // namespace

Station::Station(const StationOptions& options, StationOutput& output)
    : options_(options), out_(output) {
  progressTimer_.setInterval(kProgressIntervalMs);
  connect(&progressTimer_, &QTimer::timeout, this, [this] { ShowProgress(); });
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    const bool connected = phase_ == Phase::kConnected;
    if (TransferRunning()) {
      link_->AbandonTransfer(QStringLiteral("timed out"));
      anyFailed_ = true;
    }
    out_.Note(connected ? QStringLiteral("timed out after %1 s").arg(options_.timeoutSeconds)
                        : QStringLiteral("no connection within %1 s").arg(options_.timeoutSeconds));
    Finish(connected ? kExitFailed : kExitNoLink);
  });
  stepLimit_.setSingleShot(true);
}

Station::~Station() {
  if (link_)
    link_->Activate(false);
}

int Station::Run() {
  link_ = std::make_unique<TMdmLnk>();
  TMdmLnk& l = *link_;
  const bool direct = options_.line == StationOptions::Line::kDirect;
  l.SetCommName(options_.port);
  l.SetBaudRate(options_.baud);
  l.SetIsModem(!direct);
  l.SetDirect(direct);
  // With a modem, only the answering station takes calls; on a direct line the receiving station
  // plays the answering side of the session.
  l.SetWaitForCall(options_.line == StationOptions::Line::kAnswer ||
                   (direct && !options_.Sending()));
  l.SetRingCount(options_.rings);
  l.SetPhoneNumber(options_.number);
  l.SetLoadFTCP(true);
  l.SetTFMode(static_cast<std::int16_t>(options_.ackMode));
  l.SetFilePackSize(options_.packSize);
  l.SetIsDebug(options_.debug);
  if (!options_.receiveDir.isEmpty())
    l.SetReceiveDir(QFileInfo(options_.receiveDir).absoluteFilePath());
  if (options_.login) {
    l.SetPassword(options_.password);
    l.SetWantedToShake(true);
  }
  Wire();
  l.SaveOptions(nullptr, 0);

  // The first steps run inside the loop, so that whatever ends the run can leave it.
  QMetaObject::invokeMethod(
      this,
      [this, direct] {
        try {
          link_->Activate(true);
        } catch (const ECommsError&) {
          out_.Note(
              QStringLiteral("Cannot open %1: %2")
                  .arg(options_.port, SerialOpenFailureReason(TComm::DevicePathOf(options_.port))));
          Finish(kExitNoLink);
          return;
        }
        if (options_.timeoutSeconds > 0)
          deadline_.start(options_.timeoutSeconds * 1000);
        if (direct) {
          DirectLineUp();
          return;
        }
        phase_ = Phase::kInitialising;
        link_->ModemCommand(QStringLiteral("INITIAL"));
        stepLimit_.disconnect();
        connect(&stepLimit_, &QTimer::timeout, this, [this] {
          ConnectFailed(QStringLiteral("the modem does not answer (is it on, and on this port?)"));
        });
        stepLimit_.start(kInitialiseLimitMs);
      },
      Qt::QueuedConnection);
  return loop_.exec();
}

void Station::Wire() {
  TMdmLnk& l = *link_;
  // Worker thread: each handler posts what it carries to the main thread and returns.
  const auto post = [this](std::function<void()> step) { tasks_.Post(std::move(step)); };
  l.OnFinishedExecMdmCmd = [this, post](QObject*) { post([this] { ModemFinished(); }); };
  l.OnConnection = [this, post](QObject*) {
    post([this] { Connected(QStringLiteral("dialled ") + options_.number); });
  };
  l.OnAnswerOK = [this, post](QObject*) {
    post([this] { Connected(QStringLiteral("answered a call")); });
  };
  // The modem's sequences raise these as part of their normal steps too (the initialisation and
  // the hang-up escape and hang up): they mean a failure only while a dial is out, or, for a lost
  // carrier, while connected.
  l.OnBusy = [this, post](QObject*) {
    post([this] { DialFailed(QStringLiteral("the line is busy")); });
  };
  l.OnNoAnswer = [this, post](QObject*) {
    post([this] { DialFailed(QStringLiteral("no answer")); });
  };
  l.OnNoDialTone = [this, post](QObject*) {
    post([this] { DialFailed(QStringLiteral("no dial tone, or no answer in time")); });
  };
  l.OnNoCarrier = [this, post](QObject*) {
    post([this] {
      if (phase_ == Phase::kDialing)
        DialFailed(QStringLiteral("no carrier"));
      else
        LineDropped();
    });
  };
  l.OnResponseForDial = [this, post](QObject*) {
    post([this] {
      if (phase_ == Phase::kWaitingForCall)
        out_.Note(QStringLiteral("ring"));
    });
  };
  l.OnShakeHands = [this, post](QObject*, int, const QString& remote, const QString& result,
                                const QString&) {
    post([this, remote, result] { ShakeHands(remote, result); });
  };
  l.OnTransFile = [this, post](QObject*, const QString& name, const QString& dir, qint64 size,
                               std::int16_t status, const QString&) {
    // The state of the transfer as it was at the event, not as it is when the main thread looks.
    const FileTransfer::Progress progress = link_->TransferProgress();
    const std::uint32_t tick = platform::GetTickCount();
    post([this, name, dir, size, status, progress, tick] {
      TransFile(name, dir, size, status, progress, tick);
    });
  };
  if (options_.debug)
    l.SetDebugTap([this, post](const QString& line) { post([this, line] { out_.Debug(line); }); });
}

void Station::ModemFinished() {
  switch (phase_) {
    case Phase::kInitialising:
      stepLimit_.stop();
      if (options_.line == StationOptions::Line::kDial) {
        phase_ = Phase::kDialing;
        out_.Note(QStringLiteral("dialling %1").arg(options_.number));
        link_->ModemCommand(QStringLiteral("DIALING"));
      } else {
        phase_ = Phase::kWaitingForCall;
        out_.Note(QStringLiteral("waiting for a call"));
      }
      return;
    case Phase::kHangingUp:
      Close();
      return;
    default:
      return;  // the end of a dial's or a call's own sequence
  }
}

void Station::Connected(const QString& how) {
  if (phase_ == Phase::kConnected || phase_ == Phase::kHangingUp || phase_ == Phase::kDone)
    return;
  phase_ = Phase::kConnected;
  stepLimit_.stop();
  out_.Event(QStringLiteral("connected: ") + how);
  if (!options_.Sending())
    return;
  if (!options_.login) {
    StartSend();
    return;
  }
  stepLimit_.disconnect();
  connect(&stepLimit_, &QTimer::timeout, this, [this] {
    if (loggedIn_)
      return;
    out_.Note(
        QStringLiteral("the other station did not let this one in (does it run with "
                       "--login?)"));
    Finish(kExitFailed);
  });
  stepLimit_.start(kLoginLimitMs);
}

void Station::DialFailed(const QString& why) {
  if (phase_ == Phase::kDialing)
    ConnectFailed(why);
}

void Station::ConnectFailed(const QString& why) {
  if (phase_ != Phase::kInitialising && phase_ != Phase::kDialing)
    return;
  out_.Note(QStringLiteral("no connection: ") + why);
  Finish(kExitNoLink);
}

void Station::LineDropped() {
  if (phase_ != Phase::kConnected)
    return;
  if (TransferRunning()) {
    link_->AbandonTransfer(QStringLiteral("the line dropped"));
    const FileTransfer::Progress p = link_->TransferProgress();
    out_.Event(FileDoneLine(false, current_, p.total, p, 0, QStringLiteral("the line dropped")));
    current_.clear();
    anyFailed_ = true;
  }
  loggedIn_ = false;
  if (!options_.Sending() && options_.keepGoing) {
    phase_ = Phase::kWaitingForCall;
    out_.Note(QStringLiteral("the line dropped; waiting for the next call"));
    return;
  }
  out_.Note(QStringLiteral("the line dropped"));
  Finish(kExitFailed);
}

void Station::DirectLineUp() {
  // A direct line is up from the open, and the worker may report the other station before the
  // open has returned: the connection is told first.
  if (options_.line == StationOptions::Line::kDirect && phase_ == Phase::kInitialising &&
      link_->PortOpen())
    Connected(QStringLiteral("direct line"));
}

void Station::ShakeHands(const QString& remote, const QString& result) {
  DirectLineUp();
  if (phase_ != Phase::kConnected)
    return;
  if (result == QLatin1String("OK")) {
    if (loggedIn_)
      return;  // the calling side hears both the acceptance and the first handshake line
    loggedIn_ = true;
    out_.Event(QStringLiteral("login OK: remote station ") + remote);
    if (options_.Sending()) {
      stepLimit_.stop();
      StartSend();
    }
    return;
  }
  out_.Event(remote.isEmpty() ? QStringLiteral("login refused")
                              : QStringLiteral("login refused: remote station ") + remote);
  if (options_.Sending()) {
    out_.Note(QStringLiteral("the other station refused the password"));
    Finish(kExitFailed);
  }
}

void Station::StartSend() {
  if (sendStarted_)
    return;
  sendStarted_ = true;
  QString error;
  if (!link_->TransferFile(QStringLiteral("INITIAL"), options_.sendFile, options_.remotePath,
                           options_.remark, &error)) {
    out_.Note(QStringLiteral("cannot send %1: %2").arg(options_.sendFile, error));
    Finish(kExitFailed);
    return;
  }
  current_ = options_.remotePath;
  progressTimer_.start();
}

bool Station::TransferRunning() const {
  return !current_.isEmpty();
}

void Station::TransFile(const QString& name, const QString&, qint64 size, int status,
                        const FileTransfer::Progress& progress, std::uint32_t tick) {
  DirectLineUp();
  if (phase_ == Phase::kDone || phase_ == Phase::kHangingUp)
    return;
  // A received file is named by where it went, written from the receive directory as given.
  QString shown = progress.name;
  const QString root = QFileInfo(options_.receiveDir).absoluteFilePath();
  if (!options_.receiveDir.isEmpty() && shown.startsWith(root + QLatin1Char('/')))
    shown = QDir::cleanPath(options_.receiveDir) + shown.mid(root.size());
  switch (status) {
    case FileTransfer::kOffered:
      current_ = shown;
      out_.Event(QStringLiteral("file offered: %1, %2 bytes").arg(name).arg(size));
      progressTimer_.start();
      return;
    case FileTransfer::kReceivedOk:
    case FileTransfer::kSentOk:
      ShowProgress();
      out_.Event(
          FileDoneLine(true, current_.isEmpty() ? shown : current_, size, progress, tick, {}));
      current_.clear();
      progressTimer_.stop();
      if (status == FileTransfer::kSentOk || !options_.keepGoing)
        Finish(kExitSuccess);
      return;
    case FileTransfer::kReceivedErr:
    case FileTransfer::kReceiveTimeout:
    case FileTransfer::kSentErr:
    case FileTransfer::kSendTimeout:
      out_.Event(FileDoneLine(false, current_.isEmpty() ? shown : current_, size, progress, tick,
                              progress.failure));
      current_.clear();
      progressTimer_.stop();
      anyFailed_ = true;
      if (options_.Sending() || !options_.keepGoing)
        Finish(kExitFailed);
      return;
    default:
      return;
  }
}

void Station::ShowProgress() {
  if (current_.isEmpty() || !link_)
    return;
  const FileTransfer::Progress p = link_->TransferProgress();
  if (p.direction == FileTransfer::Progress::kIdle)
    return;
  out_.Progress((p.direction == FileTransfer::Progress::kSending ? QStringLiteral("sending ")
                                                                 : QStringLiteral("receiving ")) +
                    current_,
                p.done, p.total);
}

void Station::Interrupt(const QString& why) {
  if (phase_ == Phase::kDone)
    return;
  if (phase_ == Phase::kHangingUp) {
    Close();  // asked again: the port closes now
    return;
  }
  const bool running = TransferRunning();
  if (running) {
    link_->AbandonTransfer(why);
    const FileTransfer::Progress p = link_->TransferProgress();
    out_.Event(FileDoneLine(false, current_, p.total, p, 0, why));
    current_.clear();
    anyFailed_ = true;
  }
  out_.Note(why);
  // A station that receives until it is stopped has done well when every file arrived.
  const bool clean = !options_.Sending() && options_.keepGoing && !anyFailed_;
  Finish(clean ? kExitSuccess : kExitFailed);
}

void Station::Finish(int code) {
  if (phase_ == Phase::kDone || phase_ == Phase::kHangingUp)
    return;
  exitCode_ = code;
  progressTimer_.stop();
  deadline_.stop();
  stepLimit_.stop();
  stepLimit_.disconnect();
  out_.EndProgress();
  if (link_ && link_->PortOpen() && link_->IsModem() && link_->LinkState() == 1) {
    // Hang up before the port closes; a modem that does not finish in time is left to the
    // close (which drops DTR).
    phase_ = Phase::kHangingUp;
    connect(&stepLimit_, &QTimer::timeout, this, [this] { Close(); });
    stepLimit_.start(kHangUpLimitMs);
    link_->ModemCommand(QStringLiteral("HANGUP"));
    return;
  }
  Close();
}

void Station::Close() {
  if (phase_ == Phase::kDone)
    return;
  phase_ = Phase::kDone;
  stepLimit_.stop();
  if (link_)
    link_->Activate(false);
  loop_.exit(exitCode_);
}

}  // namespace xv4::station
