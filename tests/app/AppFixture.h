#pragma once
// A fresh application directory, a chosen system code page, recorded message boxes and the
// shipped language files, for each test of the window.

#include "appcore/LanguageTexts.h"
#include "platform/MessageBox.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QString>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace xv4::test {

// Types text character by character, as a keyboard with an input method would (QTest's key
// helpers know ASCII only).
inline void TypeText(QWidget* w, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &release);
  }
}

class AppFixture : public ::testing::Test {
 protected:
  // The code page the "system" reports; 936 selects Simplified Chinese.
  explicit AppFixture(const char* acp = "936") {
    UseCodePage(acp);
    // The window's session binds a UDP port; any free one, so parallel tests never collide.
    setenv("XV4_LOCAL_PORT", "0", 1);
  }

  void SetUp() override {
    ResetLanguageTexts();
    platform::SetMessageBoxHandler([this](platform::MessageKind kind, const QString& text) {
      messages.emplace_back(kind, text);
    });
    // The translated files ship beside the executables; tests run from another directory.
    const QByteArray bin = qgetenv("XV4_TEST_BIN");
    ASSERT_FALSE(bin.isEmpty()) << "XV4_TEST_BIN names the build's bin directory";
    for (const char* name : {"BigGb.LNG", "English.LNG"}) {
      const QString from = QString::fromLocal8Bit(bin) + "/" + name;
      ASSERT_TRUE(QFile::copy(from, dir.File(name))) << "missing " << from.toStdString();
    }
  }

  void TearDown() override {
    platform::SetMessageBoxHandler({});
    ResetLanguageTexts();
    unsetenv("XV4_ACP");
    unsetenv("XV4_LOCAL_PORT");
  }

  static void UseCodePage(const char* acp) { setenv("XV4_ACP", acp, 1); }

  // The texts of the message boxes without the detail lines the operations add after a blank
  // line; MessageDetails() has those.
  QStringList MessageTexts() const {
    QStringList texts;
    for (const auto& m : messages)
      texts << m.second.section(QStringLiteral("\n\n"), 0, 0);
    return texts;
  }
  QStringList MessageDetails() const {
    QStringList details;
    for (const auto& m : messages)
      details << m.second.section(QStringLiteral("\n\n"), 1);
    return details;
  }

  TempAppDir dir;
  std::vector<std::pair<platform::MessageKind, QString>> messages;
};

}  // namespace xv4::test
