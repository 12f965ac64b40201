#pragma once
// The operations' progress interface in the window: the progress dialog (TProgressForm), the
// message boxes of the platform seam, and the main window's file dialog.
//
// Borrows the dialog through the global ProgressForm (created after the main window) at each
// call. UI thread only.

#include "appcore/Operations.h"

namespace xv4 {

class TMainForm;

class TProgressOperationUi : public OperationUi {
 public:
  // The dialog's Cancel aborts the session through the main window (TMainForm::AttachProgress).
  explicit TProgressOperationUi(TMainForm& mainForm);

  void Show() override;
  void SetStatus(int kind, const QString& text) override;
  void ShowFinalStatus(const QString& text, const QString& detail) override;
  void SetMargin(int total) override;
  void SetProgress(int current) override;
  void Close() override;
  bool Cancelled() const override;
  // Message boxes show the text, then the detail line after a blank line.
  void MessageBox(platform::MessageKind kind, const QString& text, const QString& detail) override;
  void SuccessMessage(const QString& text, const QString& detail) override;
  // A field by its caption in the window: "New IP address 10.0.0".
  QString FieldText(const QString& key, const QString& value) const override;
  std::optional<QString> ChooseFile(const QString& title) override;

 private:
  TMainForm& mainForm_;
};

}  // namespace xv4
