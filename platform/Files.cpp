#include "platform/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace xv4::platform {

bool CreateDirectoryPath(const QString& path) {
  if (path.isEmpty())
    return false;
  if (QFileInfo(path).isDir())
    return true;
  const QStringList levels = path.split(QLatin1Char('/'));
  QString walked = path.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
  for (qsizetype i = path.startsWith(QLatin1Char('/')) ? 1 : 0; i < levels.size(); ++i) {
    const QString level = levels[i].trimmed();
    if (level.isEmpty())
      break;
    if (!walked.isEmpty() && !walked.endsWith(QLatin1Char('/')))
      walked += QLatin1Char('/');
    walked += level;
    QFileInfo info(walked);
    if (info.isDir())
      continue;
    if (info.exists())
      return false;  // a file (or something else) stands where a level belongs
    if (!QDir().mkdir(walked))
      return false;
  }
  return !walked.isEmpty() && QFileInfo(walked).isDir();
}

qint64 FileSizeOf(const QString& path) {
  QFileInfo info(path);
  return info.isFile() ? info.size() : -1;
}

bool WriteFileAtomic(const QString& path, QByteArrayView data, bool ownerOnly, QString* error) {
  QSaveFile file(path);
  auto fail = [&](const QString& what) {
    if (error != nullptr)
      *error = what + QStringLiteral(": ") + file.errorString();
    file.cancelWriting();
    return false;
  };
  if (!file.open(QIODevice::WriteOnly))
    return fail(QStringLiteral("Cannot create ") + path);
  if (ownerOnly && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
    return fail(QStringLiteral("Cannot protect ") + path);
  }
  if (file.write(data.data(), data.size()) != data.size()) {
    return fail(QStringLiteral("Cannot write ") + path);
  }
  if (!file.commit()) {
    if (error != nullptr)
      *error = QStringLiteral("Cannot save ") + path + QStringLiteral(": ") + file.errorString();
    return false;
  }
  return true;
}

void RestrictToOwner(const QString& path) {
  ::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR);
}

}  // namespace xv4::platform
