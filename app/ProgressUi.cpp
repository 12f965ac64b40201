#include "app/ProgressUi.h"

#include "app/Main.h"
#include "app/Progress.h"
#include "platform/MessageBox.h"

namespace xv4 {

TProgressOperationUi::TProgressOperationUi(TMainForm& mainForm) : mainForm_(mainForm) {}

void TProgressOperationUi::Show() {
  if (ProgressForm != nullptr)
    ProgressForm->Show();
}

void TProgressOperationUi::SetStatus(int kind, const QString& text) {
  if (ProgressForm != nullptr)
    ProgressForm->SetStatus(kind, text);
}

void TProgressOperationUi::ShowFinalStatus(const QString& text) {
  if (ProgressForm != nullptr)
    ProgressForm->ShowFinalStatus(text);
}

void TProgressOperationUi::SetMargin(int total) {
  if (ProgressForm != nullptr)
    ProgressForm->SetMargin(total);
}

void TProgressOperationUi::SetProgress(int current) {
  if (ProgressForm != nullptr)
    ProgressForm->SetProgress(current);
}

void TProgressOperationUi::Close() {
  if (ProgressForm != nullptr)
    ProgressForm->Close();
}

bool TProgressOperationUi::Cancelled() const {
  return ProgressForm != nullptr && ProgressForm->State() == psClosed;
}

void TProgressOperationUi::MessageBox(platform::MessageKind kind, const QString& text) {
  platform::ShowMessageBox(kind, text);
}

void TProgressOperationUi::SuccessMessage(const QString& text) {
  platform::ShowMessageBox(platform::MessageKind::Information, text);
}

std::optional<QString> TProgressOperationUi::ChooseFile(const QString& title) {
  mainForm_.OpenDialog1Title = title;
  QString file;
  if (!mainForm_.OpenDialog1Execute(&file))
    return std::nullopt;
  return file;
}

}  // namespace xv4
