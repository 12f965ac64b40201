#pragma once
// TMainForm: the tool's only working window.
//
// Collects the connection settings and the printer parameters, starts the operations (buttons
// F2, F7, F9), reveals the service rows on Ctrl+Alt+F3/F4/F10 (or Ctrl+Shift+F3/F4/F10), stacks
// its groups, shows the outcome of the last operation in a status line at its foot, and restores
// and saves its input controls in Config.cfg. Its controls are built from MainFormControls() and
// every rule runs through the shared functions of appcore/FormModel (this class is their widget
// FormAccess), so the command line's HeadlessMainForm behaves the same.
//
// UI thread only. Failures reach the user as message boxes (platform::ShowMessageBox).

#include "appcore/FormModel.h"
#include "appcore/OperationSettings.h"
#include "appcore/Operations.h"
#include "protocol/ValdMBus.h"
#include "widgets/Form.h"

#include <QPointer>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;

namespace xv4 {

class TProgressForm;
class TProgressOperationUi;

class TMainForm : public TForm, public FormAccess {
  Q_OBJECT
 public:
  // Runs FormCreate. Throws UDPSockError when the session's socket cannot be created.
  explicit TMainForm(QWidget* parent = nullptr);
  // Runs FormDestroy unless it ran already.
  ~TMainForm() override;

  // The device session shared by every operation: created by FormCreate (RetryCount 3,
  // RetryInterval 500), freed by FormDestroy. Its UDP endpoint is bound to local port 5001, or to
  // the port that XV4_LOCAL_PORT names (0: any free port, as the tests use).
  std::unique_ptr<TValdMBusComm> Comm;
  // Set by a communication test that succeeded; never reset during the run.
  bool CommTested = false;

  // Makes the progress dialog disable this window while it shows, and its Cancel abort the
  // session's running transaction.
  void AttachProgress(TProgressForm* progress);

  // Lifecycle handlers. FormShow runs once, on the first show; FormDestroy saves the settings and
  // returns false (after telling the user) when they could not be saved.
  void FormCreate();
  void FormShow();
  bool FormDestroy();

  // Operations: each reads the window into a snapshot and runs it through the operations layer
  // (appcore/Operations), which reports in the progress dialog and in message boxes.
  void TestBtnClick();
  void DownloadParamBtnClick();
  void btnOpenDrawerClick();
  void DownloadDataBtnClick();
  void DownloadDataFile();
  void UpdateProgramBtnClick();
  // Sends bytes over TCP to the address in IPAddrEd, port 9100 (the cash drawer in TCP/IP mode).
  OpResult SendRawTcp(const QByteArray& bytes);
  // The operations layer the handlers use (tests reach the drawer port through it).
  Operations& Ops() { return *ops_; }
  void ExitItemClick();
  // Closes the window as its close box does. While an operation runs (the progress dialog has
  // disabled the window) the operation is cancelled first, as with Cancel, and the window closes
  // as soon as the dialog has let go of it.
  void CloseWhenIdle();

  // Control handlers.
  void CommRGClick();
  void BaudRateCBChange();
  void BTlocalnameKey();
  void BTlocalnameExit();
  void edt_wifi_MacKeyPress(int key);
  void cb_LngChange();

  bool ExchangeSettings(bool load, QString* error = nullptr);
  void ArrangeGroups();
  // The window as an operation reads it (one snapshot of every field).
  OperationSettings ReadWindow();

  // OpenDialog1: "Binary Files(*.hex;*.bin)", default extension "hex", initial directory ".",
  // the file must exist. Title as set (empty: the platform's default). False when cancelled.
  QString OpenDialog1Title;
  bool OpenDialog1Execute(QString* fileName);
  // Replaces the file dialog (tests, scripted runs): returns the chosen file or an empty string.
  std::function<QString(const QString& title)> OpenDialogHook;

  // FormAccess over the widgets.
  QString Text(const QString& name) const override;
  void SetText(const QString& name, const QString& text) override;
  int ItemIndex(const QString& name) const override;
  void SetItemIndex(const QString& name, int index) override;
  QStringList Items(const QString& name) const override;
  void SetItems(const QString& name, const QStringList& items) override;
  int Value(const QString& name) const override;
  void SetValue(const QString& name, int value) override;
  bool Checked(const QString& name) const override;
  void SetChecked(const QString& name, bool checked) override;
  bool Visible(const QString& name) const override;
  void SetVisible(const QString& name, bool visible) override;
  bool Enabled(const QString& name) const override;
  void SetEnabled(const QString& name, bool enabled) override;
  QRect Bounds(const QString& name) const override;
  void SetBounds(const QString& name, const QRect& bounds) override;
  int ClientHeight() const override { return TForm::ClientHeight(); }
  void SetClientHeight(int height) override { TForm::SetClientHeight(height); }

  QWidget* Control(const QString& name) const;

  // The status line at the window's foot: the last operation's name, its outcome, where it went
  // and how long it took, e.g. "通讯测试: 通讯测试成功! (127.0.0.1:5013, 0.3 s)". Empty until an
  // operation has run; green after a success, red otherwise. Not one of the form's components:
  // the language files and Config.cfg never see it.
  QLabel* StatusLine = nullptr;

 protected:
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildControls();
  // Shows an operation's outcome, target and duration in the status line. button names the
  // operation by its caption.
  void ShowOutcome(const char* button, const OpResult& result);
  void PlaceStatusLine();

  bool shown_ = false;
  bool destroyed_ = false;
  bool closeRequested_ = false;  // CloseWhenIdle waits for the window to be enabled again
  QPointer<TProgressForm> progress_;
  std::unique_ptr<TProgressOperationUi> operationUi_;
  std::unique_ptr<Operations> ops_;
};

// The program's main window, created at start.
extern TMainForm* MainForm;

// Makes SIGTERM and SIGHUP (a logout, kill) close the window through CloseWhenIdle, so that its
// settings are saved as after the close box. A second signal that arrives before the first was
// handled ends the program at once (the UI thread is not getting to it). UI thread; call once the
// window exists (a later call moves the signals to that window).
void CloseOnTerminationSignals(TMainForm* form);

}  // namespace xv4
