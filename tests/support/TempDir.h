#pragma once
// A fresh application directory for one test, removed afterwards, and whole-file helpers.

#include "platform/AppDir.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace xv4::test {

inline bool WriteFile(const QString& path, const QByteArray& content) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

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
    return WriteFile(File(name), content);
  }

 private:
  QTemporaryDir dir_;
};

}  // namespace xv4::test
