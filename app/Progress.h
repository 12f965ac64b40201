#pragma once
// TProgressForm: the dialog in which every operation reports its progress.
//
// A status row, the current and total packet numbers, a bar, and one button: Cancel while the
// operation runs, OK once a final message is shown. While it is visible the main window is
// disabled. It is shown non-modally: the operations keep running on the UI thread and drive it
// from inside their event-loop waits, so OK and Cancel work during those waits.
//
// Calling pattern of an operation:
//   ProgressForm->Show();
//   ProgressForm->SetStatus(0, MessageText(Msg::Connect));   // each phase
//   ProgressForm->SetMargin(total); ProgressForm->SetProgress(i + 1);
//   success: ProgressForm->Close();
//   failure: ProgressForm->ShowFinalStatus(MessageText(Msg::ConnectFail));  // waits for OK
// Cancel calls OnAbort (the main window points it at the device session's Abort), closes the
// dialog and drops every later message; ShowFinalStatus then returns at once.
//
// UI thread only.

#include "widgets/Form.h"

#include <QPointer>

#include <cstdint>
#include <functional>

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

namespace xv4 {

class TLabel3D;

enum ProgressState : std::uint8_t {
  psRunning = 0,  // operation in progress, Cancel shown
  psFinal = 1,    // final message shown, OK shown
  psClosed = 2,   // the user closed the dialog with OK or Cancel
};

class TProgressForm : public TForm {
  Q_OBJECT
 public:
  explicit TProgressForm(QWidget* parent = nullptr);
  ~TProgressForm() override;

  // The window that is disabled while the dialog shows.
  void SetMainWindow(QWidget* window) { mainWindow_ = window; }

  void Show();
  void Close();

  // Kind 1: final message (beep, OK button, psFinal); any other kind: progress message (Cancel
  // button, psRunning). The text goes to the status row and the title. Dropped once the user has
  // closed the dialog (psClosed).
  void SetStatus(int kind, const QString& text);
  // SetStatus(1, text), then waits in the event loop until the user closes the dialog. Returns at
  // once when the dialog is closed already. A failure: the status turns red, and an error icon
  // and the detail line (where, how many tries, what to check) show under the frame.
  void ShowFinalStatus(const QString& text, const QString& detail = {});

  // Total number of packets: the total shows N (and the bar's range becomes 0..N) when N > 0,
  // "0" otherwise (the range stays); the current number and the bar go back to 0.
  void SetMargin(int total);
  // Current packet: shown and set as the bar's position.
  void SetProgress(int current);

  ProgressState State() const { return state_; }

  // Asks the running transaction to stop (the device session's Abort).
  std::function<void()> OnAbort;
  // Sounds the beep of a final message; QApplication::beep() unless replaced.
  std::function<void()> OnBeep;

  // Handlers.
  void FormShow();
  void FormClose();
  void OKBtnClick();
  void CancelBtnClick();

  TLabel3D* Label3D1 = nullptr;
  TLabel3D* Label3D2 = nullptr;
  TLabel3D* Label3D3 = nullptr;
  QLabel* StatusLabel = nullptr;
  QLabel* CurLabel = nullptr;
  QLabel* TotalLabel = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  // Shown with a failure only.
  QLabel* ErrorIcon = nullptr;
  QLabel* DetailLabel = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Shows or hides the failure look: red status, icon, detail line, a taller dialog.
  void ShowFailure(bool failed, const QString& detail = {});

  QPointer<QWidget> mainWindow_;
  ProgressState state_ = psRunning;
  bool closing_ = false;
};

// The program's progress dialog, created at start.
extern TProgressForm* ProgressForm;

}  // namespace xv4
