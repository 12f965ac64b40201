#pragma once
// An OperationUi that records what an operation shows, for tests of the operations layer. It
// behaves like the progress dialog: after Cancel the final message is dropped, ShowFinalStatus
// returns at once (the user confirms at once).

#include "appcore/Operations.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace xv4::test {

class RecordingUi : public OperationUi {
 public:
  void Show() override {
    ++shows;
    visible = true;
    cancelled = false;
    margin = 0;
    progress = 0;
  }
  void SetStatus(int kind, const QString& text) override {
    if (cancelled)
      return;
    if (kind == 1) {
      finals << text;
      return;
    }
    statuses << text;
  }
  void ShowFinalStatus(const QString& text, const QString& detail) override {
    if (cancelled)
      return;
    finals << text;
    details << detail;
    visible = false;
  }
  void SetMargin(int total) override { margin = total; }
  void SetProgress(int current) override {
    progress = current;
    ++progressCalls;
    if (onProgress)
      onProgress(current);
  }
  void Close() override {
    ++closes;
    visible = false;
  }
  bool Cancelled() const override { return cancelled; }
  void MessageBox(platform::MessageKind, const QString& text, const QString& detail) override {
    messages << text;
    details << detail;
  }
  void SuccessMessage(const QString& text, const QString& detail) override {
    successes << text;
    details << detail;
  }
  std::optional<QString> ChooseFile(const QString& title) override {
    dialogTitles << title;
    return chosenFile;
  }

  // What the Cancel button does: the dialog closes; the caller also aborts the session.
  void PressCancel() {
    cancelled = true;
    visible = false;
  }

  int shows = 0;
  int closes = 0;
  bool visible = false;
  bool cancelled = false;
  int margin = 0;
  int progress = 0;
  int progressCalls = 0;
  QStringList statuses;
  QStringList finals;
  QStringList messages;
  QStringList successes;
  QStringList details;  // the detail lines of final messages, message boxes and successes
  QStringList dialogTitles;
  std::optional<QString> chosenFile;
  std::function<void(int)> onProgress;
};

}  // namespace xv4::test
