#include "app/ProgressUi.h"

#include "app/Main.h"
#include "app/Progress.h"
#include "appcore/FormModel.h"
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

void TProgressOperationUi::ShowFinalStatus(const QString& text, const QString& detail) {
  if (ProgressForm != nullptr)
    ProgressForm->ShowFinalStatus(text, detail);
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

namespace {

// The window's own text first, as it has always shown it; the detail after a blank line.
QString BoxText(const QString& text, const QString& detail) {
  if (text.isEmpty() || detail.isEmpty())
    return text + detail;
  return text + QStringLiteral("\n\n") + detail;
}

}  // namespace

void TProgressOperationUi::MessageBox(platform::MessageKind kind, const QString& text,
                                      const QString& detail) {
  platform::ShowMessageBox(kind, BoxText(text, detail));
}

void TProgressOperationUi::SuccessMessage(const QString& text, const QString& detail) {
  platform::ShowMessageBox(platform::MessageKind::Information, BoxText(text, detail));
}

QString TProgressOperationUi::FieldText(const QString& key, const QString& value) const {
  return QStringLiteral("%1 %2").arg(SettingCaption(mainForm_, key), value);
}

std::optional<QString> TProgressOperationUi::ChooseFile(const QString& title) {
  mainForm_.OpenDialog1Title = title;
  QString file;
  if (!mainForm_.OpenDialog1Execute(&file))
    return std::nullopt;
  return file;
}

}  // namespace xv4
