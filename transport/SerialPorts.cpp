// Serial port discovery on Linux: device nodes in /dev, the UART type the kernel reports in its
// tty class directory, and the udev names in /dev/serial/by-id.
#include "transport/SerialPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xv4 {
namespace {

// ttyUSB2 before ttyUSB10: by the name's stem, then by its number.
std::pair<QString, qint64> NaturalKey(const QString& name) {
  qsizetype digits = name.size();
  while (digits > 0 && name[digits - 1].isDigit())
    --digits;
  return {name.left(digits), name.mid(digits).toLongLong()};
}

QStringList DeviceNames(const QString& devDir, const QStringList& patterns) {
  QStringList names =
      QDir(devDir).entryList(patterns, QDir::System | QDir::Files | QDir::NoDotAndDotDot);
  std::sort(names.begin(), names.end(),
            [](const QString& a, const QString& b) { return NaturalKey(a) < NaturalKey(b); });
  return names;
}

// The kernel's port type of a ttyS line: 0 when no UART answered at its address.
bool HasUart(const QString& ttyClass, const QString& name) {
  QFile type(ttyClass + QLatin1Char('/') + name + QStringLiteral("/type"));
  if (!type.open(QIODevice::ReadOnly))
    return false;
  bool ok = false;
  const int value = type.readAll().trimmed().toInt(&ok);
  return ok && value != 0;
}

QString GroupOf(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0)
    return {};
  const group* g = ::getgrgid(st.st_gid);
  return g != nullptr ? QString::fromLocal8Bit(g->gr_name) : QString();
}

}  // namespace

std::vector<SerialPortInfo> FindSerialPorts(const SerialPortDirs& dirs) {
  std::vector<SerialPortInfo> ports;
  const QDir dev(dirs.dev);
  for (const QString& name : DeviceNames(dirs.dev, {QStringLiteral("ttyS*")})) {
    if (!HasUart(dirs.ttyClass, name))
      continue;
    SerialPortInfo p;
    p.kind = SerialPortInfo::Uart;
    p.path = dev.absoluteFilePath(name);
    p.comName = QStringLiteral("COM%1").arg(NaturalKey(name).second + 1);
    ports.push_back(p);
  }
  for (const QString& name :
       DeviceNames(dirs.dev, {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")})) {
    SerialPortInfo p;
    p.kind = name.startsWith(QLatin1String("ttyUSB")) ? SerialPortInfo::UsbAdapter
                                                      : SerialPortInfo::UsbModem;
    p.path = dev.absoluteFilePath(name);
    ports.push_back(p);
  }
  const QDir byId(dirs.dev + QStringLiteral("/serial/by-id"));
  for (const QFileInfo& link :
       byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
    SerialPortInfo p;
    p.kind = SerialPortInfo::ById;
    p.path = link.absoluteFilePath();
    p.target = link.isSymLink() ? link.canonicalFilePath() : QString();
    if (p.target.isEmpty())
      p.target = link.symLinkTarget();  // a dangling name still says where it pointed
    ports.push_back(p);
  }
  return ports;
}

QString SerialOpenFailureReason(const QString& devicePath, const SerialPortDirs& dirs) {
  const QFileInfo info(devicePath);
  if (!info.exists()) {
    return QStringLiteral("no such device (is the adapter plugged in, and is the name right?)");
  }
  const QByteArray path = QFile::encodeName(devicePath);
  if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
    const QString group = GroupOf(devicePath);
    if (group.isEmpty() || group == QLatin1String("root"))
      return QStringLiteral("permission denied (ask for read and write access to it)");
    return QStringLiteral(
               "permission denied (add your user to the %1 group: sudo adduser $USER %1, then "
               "log out and in again)")
        .arg(group);
  }
  const QString name = info.fileName();
  if (name.startsWith(QLatin1String("ttyS")) && !HasUart(dirs.ttyClass, name))
    return QStringLiteral("no UART behind it (choose a port that is present)");
  return QStringLiteral("in use by another program, or not a serial port");
}

}  // namespace xv4
