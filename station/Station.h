#pragma once
// One run of xv4link: opens the link, makes the connection (initialises the modem and dials or
// answers, or takes the direct line as connected), waits for the login when the session runs,
// sends the file or receives files, then hangs up and closes the port.
//
// Owns the link. The link raises its events on its worker thread; the handlers only post them,
// with copies of what they carry, to this object's thread (the main thread), which decides
// everything. Every wait is the event loop: Run() returns when the run has ended.
//
// Main thread only. Failures end the run with an exit status (StationOptions.h) and a message;
// nothing throws out of Run().

#include "link/MdmLnk.h"
#include "platform/Notifier.h"
#include "station/StationOptions.h"
#include "station/StationOutput.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <memory>

namespace xv4::station {

class Station : public QObject {
 public:
  Station(const StationOptions& options, StationOutput& output);
  ~Station() override;
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs until the run ends; returns the exit status.
  int Run();
  // Ctrl+C, SIGTERM, SIGHUP: a transfer in progress is abandoned as failed and the run ends.
  void Interrupt(const QString& why);

 private:
  enum class Phase {
    kInitialising,    // the modem's initial sequence runs
    kDialing,         // the dial is out
    kWaitingForCall,  // for a RING and the answer
    kConnected,
    kHangingUp,
    kDone,
  };

  void Wire();
  void ModemFinished();
  void Connected(const QString& how);
  void DirectLineUp();
  void ConnectFailed(const QString& why);
  void DialFailed(const QString& why);
  void LineDropped();
  void ShakeHands(const QString& remote, const QString& result);
  void TransFile(const QString& name, const QString& dir, qint64 size, int status,
                 const FileTransfer::Progress& progress, std::uint32_t tick);
  void StartSend();
  void ShowProgress();
  // Ends the run with `code`: hangs up a modem line first (briefly), then closes the port.
  void Finish(int code);
  void Close();
  bool TransferRunning() const;

  const StationOptions options_;
  StationOutput& out_;
  platform::TaskTarget tasks_;  // the link's events, posted by its worker; outlives link_
  std::unique_ptr<TMdmLnk> link_;
  QEventLoop loop_;
  QTimer progressTimer_;
  QTimer deadline_;   // --timeout
  QTimer stepLimit_;  // the modem's initialisation, the login, the hang-up
  Phase phase_ = Phase::kInitialising;
  int exitCode_ = kExitSuccess;
  bool loggedIn_ = false;
  bool sendStarted_ = false;
  bool anyFailed_ = false;  // --keep-going: a file failed
  QString current_;         // the file of the transfer in progress (empty: none)
};

}  // namespace xv4::station
