#pragma once
// The operations of the tool: communication test, cash drawer, parameter download, data
// download and program download, each run on a snapshot of the window's settings through the
// one device session, reporting through a progress interface that the window implements with its
// progress dialog and the command line with terminal output.
//
// Owns the TCP client of the cash drawer; borrows the session and the progress interface, which
// must outlive it. UI thread only: the session's waits handle events, so the progress
// interface's Cancel (calling Abort) runs inside an operation. No second operation may be started
// while one runs.
//
// Failures never raise: every operation returns a result, closes the link and the progress
// display on every way out, and has shown its message (a final status or a message box) before
// it returns. Beside the tool's own text of the outcome, each result carries a detail line built
// from the settings and from what the session saw: the target, the tries and the time taken,
// and the likely cause ("Connecting to 127.0.0.1:5013 failed after 4 tries in 2.0 s: no answer
// (is the printer on, and is 5013 its port?)").
//
// With a phone number in the settings (RS232), the link drives a modem: the operation waits for
// the modem's initialisation, dials and waits for the connection (a busy line, no answer, no dial
// tone or no carrier end it as LinkNotOpened, with a text of its own), runs as usual, fails
// promptly when the carrier drops meanwhile, and hangs up on every way out before the port
// closes.

#include "appcore/ModemCall.h"
#include "appcore/OperationSettings.h"
#include "appcore/ParamBlocks.h"
#include "platform/MessageBox.h"
#include "transport/TcpClient.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

namespace xv4 {

class TValdMBusComm;

// What an operation shows while it runs. The window's progress dialog implements it; so do the
// command line and the tests.
class OperationUi {
 public:
  virtual ~OperationUi() = default;

  // Opens the progress display for a new operation (current and total back to 0, running).
  virtual void Show() = 0;
  // kind 0: a progress message; kind 1: a final message (see ShowFinalStatus).
  virtual void SetStatus(int kind, const QString& text) = 0;
  // Shows a failure as the final message, with the detail line under it, and returns once the
  // user has closed the display. Returns at once, showing nothing, when the user has already
  // closed it (Cancel).
  virtual void ShowFinalStatus(const QString& text, const QString& detail) = 0;
  // Total number of records; current record number (1-based). Called once per record: must be
  // cheap.
  virtual void SetMargin(int total) = 0;
  virtual void SetProgress(int current) = 0;
  // Closes the progress display after a success.
  virtual void Close() = 0;
  // True once the user has closed the display while the operation ran (Cancel).
  virtual bool Cancelled() const = 0;

  // A message box: input refused, a socket error, a message that an operation ended. detail:
  // the line of context that goes under the text (may be empty; see FinalMessage).
  virtual void MessageBox(platform::MessageKind kind, const QString& text,
                          const QString& detail) = 0;
  // The message box that reports a successful download, with the detail line under its text.
  virtual void SuccessMessage(const QString& text, const QString& detail) = 0;
  // How a refused field and its value are named to the user: the window by its caption, the
  // command line by the option that set it. The default names the Config.cfg key.
  virtual QString FieldText(const QString& key, const QString& value) const;
  // The file-open dialog for data and program files ("Binary Files (*.hex *.bin)"). title empty:
  // the platform's default title. Nothing when the user cancelled.
  virtual std::optional<QString> ChooseFile(const QString& title) = 0;
};

enum class OpStatus {
  Success,        // the operation did what it was asked
  Failed,         // a transaction or a socket failed (or the modem line dropped); shown
  Cancelled,      // the user cancelled (Cancel, Ctrl+C, or the file dialog)
  LinkNotOpened,  // the serial port could not be opened (the session showed why), or the modem
                  // call did not come up
  BadInput,       // refused before anything was sent (malformed address, missing file, ...)
};

struct OpResult {
  OpResult() = default;
  OpResult(OpStatus s, QString t, QString d = {})
      : status(s), text(std::move(t)), detail(std::move(d)) {}

  OpStatus status = OpStatus::Success;
  // The final text: the success message, the failure shown, or the reason input was refused.
  // Empty when the operation shows none (a successful drawer command).
  QString text;
  // One line of context: where the records went, how many tries over how long, what the
  // printer or the port did, and what to check. A refused field's line names the field and its
  // value and repeats the text.
  QString detail;
  // BadInput caused by a field: its Config.cfg key.
  QString field;
  // Where the operation went: "127.0.0.1:5013", "/dev/ttyUSB0 at 9600 baud", the drawer's
  // "127.0.0.1:9100". Empty when it was refused before a target was known.
  QString target;
  int records = 0;    // records the printer acknowledged or answered
  int elapsedMs = 0;  // from the start of the operation to its end
  // ReadInfo: what the printer reported.
  std::optional<DeviceValues> device;
};

// The text and the detail line as one message: the detail under the text, or the detail alone
// when it already holds the text (a refused field), or the text alone.
QString FinalMessage(const QString& text, const QString& detail);

// The local UDP port of the device session: XV4_LOCAL_PORT when set (0: any free port, for tests
// and for running beside another copy), else 5001. Nothing and an error text when the variable
// does not hold a port number.
std::optional<int> SessionLocalPort(QString* error);

class Operations {
 public:
  static constexpr int kDrawerPort = 9100;  // the printer's raw printing port
  static constexpr int kTcpConnectTimeoutMs = 2000;
  static constexpr int kDrawerDrainLimitMs = 2000;  // serial drawer command: time to leave
  static constexpr int kMaxRecords = 65536;         // the record number travels as a 16-bit word
  static constexpr int kParamRecords = 128;         // records 0..127 of the data file
  static constexpr int kMinParamFileRecords = 123;  // up to and including record 122

  Operations(TValdMBusComm& comm, OperationUi& ui);
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;

  // Handshake, test record 63/124, end of session. Sets CommTested on success.
  OpResult CommTest(const OperationSettings& s);
  // TCP/IP: the drawer command over TCP to the drawer port; a printer address that is not a
  // dotted address is refused ("Invalid S/N") and nothing is sent. RS232: a communication test
  // first unless one succeeded in this run, then the command through the session to the port in
  // the settings. The command is sent even when that test failed; the result is then Failed, with
  // a text that says so (the window shows nothing more than the test's failure).
  OpResult OpenDrawer(const OperationSettings& s);
  // Records 0..127 of the data file with the parameter blocks as records 121 and 122; writes
  // log.hex on every way out. dataFile empty: zk16.hex in the application directory, else the
  // file dialog.
  OpResult DownloadParams(const OperationSettings& s, const QString& dataFile = {});
  // The whole data file with the data download's parameter blocks. dataFile as above.
  OpResult DownloadData(const OperationSettings& s, const QString& dataFile = {});
  // The program file as command 15 records, record 0 first as the opening record. programFile
  // empty: the file dialog.
  OpResult DownloadProgram(const OperationSettings& s, const QString& programFile = {});
  // Reads what the printer holds and changes nothing: handshake with the model information, the
  // machine-number read and the device information read as the parameter download makes them,
  // end of session. The result's device holds the replies.
  OpResult ReadInfo(const OperationSettings& s);

  // Connects to host:port within kTcpConnectTimeoutMs, sends the bytes, disconnects. A failure
  // is shown in a message box ("Connect timed out.", "Socket Error # N ...").
  OpResult SendRawTcp(const QString& host, int port, const QByteArray& bytes);

  // Asks the running transaction (or the dialling) to give up (the progress display's Cancel,
  // Ctrl+C).
  void Abort();

  // Where an operation on these settings goes: the printer's address and port, or the serial
  // port (with its device when it is a COM name) and speed, after the number it dials through a
  // modem; the drawer's TCP port for drawer.
  QString TargetOf(const OperationSettings& s, bool drawer = false) const;

  bool CommTested() const { return commTested_; }
  int DrawerPort() const { return drawerPort_; }
  void SetDrawerPort(int port) { drawerPort_ = port; }

  // The drawer command: ESC p 0 24 24 (pulse on pin 2, 48 ms on, 48 ms off).
  static QByteArray DrawerCommand();

 private:
  enum class Download { Params, Data };

  // The printer address in TCP/IP mode must convert ("Invalid S/N" otherwise); a phone number
  // must hold only dial characters ("Invalid phone number").
  std::optional<InputError> CheckConnection(const OperationSettings& s) const;
  // Reads the connection fields into the session: mode, address and port or port name and
  // speed, machine number; in RS232 mode also isModem (with a phone number) and PhoneNumber.
  void ApplyConnection(const OperationSettings& s);
  // Opens the link and, with a modem, dials. Nothing when the printer can be reached; otherwise
  // the failure, shown, with the link closed again.
  std::optional<OpResult> OpenLink(const OperationSettings& s);
  std::optional<OpResult> DialPrinter(const OperationSettings& s);
  // Hangs up a modem call, then closes the link. Every way out of an operation comes here.
  void CloseLink();

  // The running operation: its target, its start, the records answered so far, and the tries
  // and start of the transaction under way.
  void Begin(const QString& target);
  OpResult Finish(OpResult r) const;
  // Runs one transaction of the session: true when the printer answered as required.
  // handshakeBudget: the serial handshake and information request have their own budget of
  // sends; every other exchange tries RetryCount + 1 times.
  template <class Transaction>
  bool Exchange(bool handshakeBudget, Transaction&& transaction);
  // "4 tries in 2.0 s": the budget of the exchange that failed and the time it took.
  QString TriesText() const;
  // "<what> failed after N tries in T s: <what the session saw> (<hint>)".
  QString ExchangeFailure(const QString& what, const QString& hint) const;
  // "<operation> to <target> stopped at record i of n: <what the session saw> after N tries in
  // T s (...)"; i is the record's number as sent, counted from 0.
  QString RecordFailure(const QString& operation, int record, int total) const;
  QString WhatTheSessionSaw(bool acknowledgement) const;
  QString ConnectFailure(bool handshakeDone) const;
  QString Succeeded() const;

  OpResult Fail(const QString& text, const QString& detail);
  OpResult Refuse(const QString& text);
  OpResult Refuse(const InputError& error);
  OpResult LinkNotOpened(const OperationSettings& s);
  OpResult Crashed(const char* what);
  // Handshake and model-information read; false after showing the failure in *failed.
  bool Connect(OpResult* failed);
  OpResult RunCommTest(const OperationSettings& s);
  OpResult RunSendRawTcp(const QString& host, int port, const QByteArray& bytes);
  std::optional<QString> ResolveDataFile(const QString& given);
  OpResult RunDownload(Download kind, const OperationSettings& s, const QString& dataFile);
  OpResult DownloadBody(Download kind, const OperationSettings& s, const QByteArray& file,
                        QByteArray* paramLog);
  OpResult ProgramBody(const QByteArray& file);
  OpResult InfoBody();
  // The machine-number read and the device information read of the downloads and of ReadInfo.
  // *failed receives the failure when one of them is not answered.
  std::optional<DeviceValues> ReadDeviceValues(bool readMachineNo, const QString& machineNoFail,
                                               OpResult* failed);

  TValdMBusComm& comm_;
  OperationUi& ui_;
  TTcpClient tcpClient_;
  ModemCall modem_;
  bool abortRequested_ = false;  // Abort while no transaction runs (the dialling)
  bool commTested_ = false;
  int drawerPort_ = kDrawerPort;
  QString dialogTitle_;  // the file dialog keeps the title an earlier download gave it

  QString target_;
  std::uint32_t started_ = 0;
  int records_ = 0;
  std::uint32_t exchangeStarted_ = 0;
  int exchangeTries_ = 0;
};

}  // namespace xv4
