#include "platform/MessageBox.h"

#include <cstdio>

namespace xv4::platform {
namespace {

MessageBoxHandler& Handler() {
  static MessageBoxHandler handler;
  return handler;
}

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
  Handler() = std::move(handler);
}

void ShowMessageBox(MessageKind kind, const QString& text) {
  if (Handler()) {
    Handler()(kind, text);
    return;
  }
  std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

}  // namespace xv4::platform
