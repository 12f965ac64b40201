#include "platform/AppDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <mutex>

namespace xv4::platform {
namespace {

QString WithSlash(QString dir) {
  if (!dir.endsWith(QLatin1Char('/')))
    dir += QLatin1Char('/');
  return dir;
}

QString& ChosenDir() {
  static QString dir;
  return dir;
}

}  // namespace

QString ExecutablePath() {
  static const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
  return path;
}

QString ExecutableDir() {
  return WithSlash(QFileInfo(ExecutablePath()).absolutePath());
}

QString ApplicationDir() {
  if (!ChosenDir().isEmpty())
    return ChosenDir();
  if (const char* home = std::getenv("XV4_HOME"); home != nullptr && *home != '\0') {
    return WithSlash(QDir(QFile::decodeName(home)).absolutePath());
  }
  return ExecutableDir();
}

void SetApplicationDir(const QString& dir) {
  ChosenDir() = dir.isEmpty() ? QString() : WithSlash(QDir(dir).absolutePath());
}

QString ShippedFilePath(const QString& fileName) {
  const QString candidates[] = {
      ApplicationDir() + fileName,
      ExecutableDir() + fileName,
      ExecutableDir() + QStringLiteral("../share/xv4tool/") + fileName,
  };
  for (const QString& c : candidates) {
    if (QFileInfo(c).isFile())
      return QDir::cleanPath(c);
  }
  return candidates[0];
}

}  // namespace xv4::platform
