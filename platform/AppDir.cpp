#include "platform/AppDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace xv4::platform {
namespace {

const QString kShareSubdir = QStringLiteral("../share/xv4tool/");

QString WithSlash(QString dir) {
  if (!dir.endsWith(QLatin1Char('/')))
    dir += QLatin1Char('/');
  return dir;
}

QString& ChosenDir() {
  static QString dir;
  return dir;
}

// An XDG base directory: the variable when it holds an absolute path, else HOME + fallback.
QString XdgDir(const QProcessEnvironment& env, const QString& variable, const QString& fallback) {
  const QString value = env.value(variable);
  if (!value.isEmpty() && QDir::isAbsolutePath(value))
    return value;
  QString home = env.value(QStringLiteral("HOME"));
  if (home.isEmpty() || !QDir::isAbsolutePath(home))
    home = QDir::homePath();
  return home + QLatin1Char('/') + fallback;
}

DataDirs CurrentDataDirs() {
  QProcessEnvironment env;
  for (const char* name : {"XV4_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "HOME"}) {
    if (qEnvironmentVariableIsSet(name))
      env.insert(QLatin1String(name), qEnvironmentVariable(name));
  }
  return ChooseDataDirs(ChosenDir(), ExecutableDir(), env);
}

}  // namespace

QString ExecutablePath() {
  static const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
  return path;
}

QString ExecutableDir() {
  return WithSlash(QFileInfo(ExecutablePath()).absolutePath());
}

bool IsInstalledLayout(const QString& executableDir) {
  return QDir(executableDir).dirName() == QLatin1String("bin") &&
         QFileInfo(WithSlash(executableDir) + kShareSubdir).isDir();
}

DataDirs ChooseDataDirs(const QString& chosenDir, const QString& executableDir,
                        const QProcessEnvironment& env) {
  QString one = chosenDir;
  if (one.isEmpty() && !env.value(QStringLiteral("XV4_HOME")).isEmpty())
    one = env.value(QStringLiteral("XV4_HOME"));
  if (one.isEmpty() && !IsInstalledLayout(executableDir))
    one = executableDir;
  if (!one.isEmpty()) {
    const QString dir = WithSlash(QDir(one).absolutePath());
    return {dir, dir, false};
  }
  const QString name = QStringLiteral("/xv4tool/");
  return {QDir::cleanPath(XdgDir(env, QStringLiteral("XDG_CONFIG_HOME"), ".config")) + name,
          QDir::cleanPath(XdgDir(env, QStringLiteral("XDG_STATE_HOME"), ".local/state")) + name,
          true};
}

QString ApplicationDir() {
  return CurrentDataDirs().config;
}

QString StateDir() {
  return CurrentDataDirs().state;
}

void SetApplicationDir(const QString& dir) {
  ChosenDir() = dir.isEmpty() ? QString() : WithSlash(QDir(dir).absolutePath());
}

bool CreatePerUserDirs(QString* error) {
  const DataDirs dirs = CurrentDataDirs();
  if (!dirs.perUser)
    return true;
  for (const QString& dir : {dirs.config, dirs.state}) {
    if (QFileInfo(dir).isDir())
      continue;
    if (!QDir().mkpath(dir)) {
      if (error != nullptr)
        *error = QStringLiteral("cannot create the directory %1").arg(dir);
      return false;
    }
    ::chmod(QFile::encodeName(dir).constData(), 0700);
  }
  return true;
}

QString ShippedFilePath(const QString& fileName) {
  const QString candidates[] = {
      ApplicationDir() + fileName,
      ExecutableDir() + fileName,
      ExecutableDir() + kShareSubdir + fileName,
  };
  for (const QString& c : candidates) {
    if (QFileInfo(c).isFile())
      return QDir::cleanPath(c);
  }
  return candidates[0];
}

}  // namespace xv4::platform
