#pragma once
// Message boxes, as a seam: the window shows them as dialogs, the command line prints them, tests
// record them. Components below the window call ShowMessageBox and never know which.
//
// UI thread only.

#include <QString>

#include <functional>

namespace xv4::platform {

enum class MessageKind { Information, Warning, Error };

using MessageBoxHandler = std::function<void(MessageKind kind, const QString& text)>;

// Installs the handler that shows message boxes; an empty handler restores the default, which
// writes the text to standard error.
void SetMessageBoxHandler(MessageBoxHandler handler);

void ShowMessageBox(MessageKind kind, const QString& text);

}  // namespace xv4::platform
