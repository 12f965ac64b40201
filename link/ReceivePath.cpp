#include "link/ReceivePath.h"

#include <QStringList>

#include <algorithm>

namespace xv4 {
namespace {

bool HasControlCharacter(const QString& text) {
  return std::any_of(text.begin(), text.end(),
                     [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

}  // namespace

std::variant<ReceiveTarget, QString> ResolveReceivePath(const QString& root, const QString& name,
                                                        const QString& directory) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
    return QStringLiteral("file name \"%1\" is not a file name").arg(name);
  if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
    return QStringLiteral("file name \"%1\" holds a path separator").arg(name);
  if (HasControlCharacter(name) || HasControlCharacter(directory))
    return QStringLiteral("file name or directory holds control characters");

  QString dir = directory;
  dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (dir.size() >= 2 && dir[1] == QLatin1Char(':') && dir[0].isLetter())
    dir.remove(0, 2);  // a drive names a place on the sender's machine, not ours
  QStringList parts;
  for (const QString& raw : dir.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    const QString part = raw.trimmed();
    if (part.isEmpty() || part == QLatin1String("."))
      continue;
    if (part == QLatin1String("..")) {
      if (parts.isEmpty())
        return QStringLiteral("directory \"%1\" leaves the receive directory").arg(directory);
      parts.removeLast();
      continue;
    }
    parts.append(part);
  }

  QString base = root;
  while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
    base.chop(1);
  ReceiveTarget target;
  target.directory =
      parts.isEmpty() ? base : base + QLatin1Char('/') + parts.join(QLatin1Char('/'));
  target.path = target.directory + QLatin1Char('/') + name;
  return target;
}

}  // namespace xv4
