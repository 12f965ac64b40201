#pragma once
// A fresh application directory for one test, removed afterwards.

#include "platform/AppDir.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace xv4::test {

class TempAppDir {
 public:
  TempAppDir() {
    EXPECT_TRUE(dir_.isValid());
    platform::SetApplicationDir(dir_.path());
  }
  ~TempAppDir() { platform::SetApplicationDir(QString()); }
  TempAppDir(const TempAppDir&) = delete;
  TempAppDir& operator=(const TempAppDir&) = delete;

  // Path with a trailing '/'.
  QString Path() const { return dir_.path() + QLatin1Char('/'); }
  QString File(const QString& name) const { return Path() + name; }

  QByteArray Read(const QString& name) const {
    QFile f(File(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  bool Write(const QString& name, const QByteArray& content) const {
    QFile f(File(name));
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
  }

 private:
  QTemporaryDir dir_;
};

}  // namespace xv4::test
