// xv4_lngencode: writes a language file in its code page from a UTF-8 master.
//
//   xv4_lngencode MASTER.ini CODEPAGE OUTPUT.LNG
//
// Comment lines (';') of the master are left out. Every line must be representable in the code
// page: a character that would turn into '?' stops the build with the line named, so no shipped
// file carries a lost character. The output has CR LF line ends, like every INI file of the tool.

#include "platform/CodePage.h"
#include "platform/Files.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: xv4_lngencode MASTER.ini CODEPAGE OUTPUT.LNG\n");
    return 2;
  }
  QFile in(QString::fromLocal8Bit(argv[1]));
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "xv4_lngencode: cannot read %s\n", argv[1]);
    return 1;
  }
  const int codePage = QString::fromLatin1(argv[2]).toInt();
  const QStringList lines = QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'));
  QByteArray out;
  int lineNo = 0;
  bool ok = true;
  for (QString line : lines) {
    ++lineNo;
    if (line.endsWith(QLatin1Char('\r')))
      line.chop(1);
    if (line.startsWith(QLatin1Char(';')) || line.isEmpty())
      continue;
    const QByteArray bytes = xv4::platform::EncodeText(line, codePage);
    if (xv4::platform::DecodeText(bytes, codePage) != line) {
      std::fprintf(stderr, "%s:%d: not representable in code page %d: %s\n", argv[1], lineNo,
                   codePage, line.toUtf8().constData());
      ok = false;
    }
    out += bytes + "\r\n";
  }
  if (!ok)
    return 1;
  QString error;
  if (!xv4::platform::WriteFileAtomic(QString::fromLocal8Bit(argv[3]), out, false, &error)) {
    std::fprintf(stderr, "xv4_lngencode: %s\n", error.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}
