#pragma once
// The progress interface of xv4ctl: progress on standard error (a redrawn line with status,
// current/total and a bar when it is a terminal, plain status lines otherwise), the text of a
// success on standard output, failures and message boxes on standard error, each with its
// detail line. A refused field is named by the option that set it ("--host 127.0.0.256").
//
// UI thread only. Redraws are rate-limited, so a progress update per record costs a comparison
// and nothing else.

#include "appcore/Operations.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>

namespace xv4::cli {

class TerminalUi : public OperationUi {
 public:
  // out: the final text; err: progress and messages. interactive: err is a terminal.
  TerminalUi(std::FILE* out, std::FILE* err, bool interactive, bool quiet);

  // Ctrl+C: the running operation is to end as if Cancel had been pressed.
  void Cancel();
  bool Interrupted() const { return cancelled_; }
  // --json: standard output carries the report alone, so a success prints nothing there.
  void SetSilentOutput(bool silent) { silentOutput_ = silent; }
  // The option that set a field last ("--host", "--set"), and where the fields that no option
  // set come from ("Config.cfg", "default"); FieldText names a refused field with them.
  void SetFieldOption(const QString& key, const QString& option) { fieldOptions_[key] = option; }
  void SetUnsetFieldSource(const QString& source) { unsetFieldSource_ = source; }

  // OperationUi.
  void Show() override;
  void SetStatus(int kind, const QString& text) override;
  void ShowFinalStatus(const QString& text, const QString& detail) override;
  void SetMargin(int total) override;
  void SetProgress(int current) override;
  void Close() override;
  bool Cancelled() const override { return cancelled_; }
  void MessageBox(platform::MessageKind kind, const QString& text, const QString& detail) override;
  void SuccessMessage(const QString& text, const QString& detail) override;
  QString FieldText(const QString& key, const QString& value) const override;
  std::optional<QString> ChooseFile(const QString& title) override;

  // Width of the bar in characters (for terminals of unusual width).
  void SetBarWidth(int width) { barWidth_ = width; }

 private:
  void Redraw(bool force);
  void EndLine();
  void Print(std::FILE* to, const QString& text);

  std::FILE* out_;
  std::FILE* err_;
  bool interactive_;
  bool quiet_;
  bool silentOutput_ = false;
  std::map<QString, QString> fieldOptions_;
  QString unsetFieldSource_ = QStringLiteral("default");
  bool cancelled_ = false;
  bool shown_ = false;
  bool lineOpen_ = false;  // a progress line without its line end is on the terminal
  QString status_;
  int total_ = 0;
  int current_ = 0;
  int barWidth_ = 30;
  std::uint32_t lastDraw_ = 0;
  int lastDrawn_ = -1;      // current record number of the last redraw
  int lastPlainStep_ = -1;  // tenth of the total last reported as a plain line
};

}  // namespace xv4::cli
