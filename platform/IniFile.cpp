#include "platform/IniFile.h"

#include "platform/Files.h"
#include "platform/UniqueFd.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xv4::platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

QByteArray TrimBlanks(QByteArrayView text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && IsBlank(text[begin]))
    ++begin;
  while (end > begin && IsBlank(text[end - 1]))
    --end;
  return text.sliced(begin, end - begin).toByteArray();
}

// "[name]" (blanks allowed around and inside the brackets) gives name; anything else is not a
// section header.
bool SectionName(const QByteArray& line, QByteArray* name) {
  QByteArray t = TrimBlanks(line);
  if (!t.startsWith('['))
    return false;
  qsizetype close = t.indexOf(']');
  if (close < 0)
    return false;
  *name = TrimBlanks(QByteArrayView(t).sliced(1, close - 1));
  return true;
}

// "key=value" gives the trimmed key and the value exactly as it stands after the "=".
bool KeyValue(const QByteArray& line, QByteArray* key, QByteArray* value) {
  qsizetype eq = line.indexOf('=');
  if (eq < 0)
    return false;
  *key = TrimBlanks(QByteArrayView(line).first(eq));
  if (key->isEmpty())
    return false;
  if (value != nullptr)
    *value = line.mid(eq + 1);
  return true;
}

bool SameName(const QByteArray& a, const QByteArray& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

QString IniFile::ReadContent(QByteArray* content, bool* exists) const {
  *exists = false;
  // Non-blocking, so that opening a FIFO returns at once; fstat then tells what was opened.
  const UniqueFd fd(
      ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ENOENT)
      return {};
    return QStringLiteral("Cannot read %1: %2").arg(path_, QString::fromLocal8Bit(strerror(errno)));
  }
  *exists = true;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
    return QStringLiteral("%1 is not a regular file; it was not read.").arg(path_);
  const QString tooLarge = QStringLiteral("%1 is larger than %2 MiB; it was not read.")
                               .arg(path_)
                               .arg(kMaxFileSize / (1024 * 1024));
  if (st.st_size > kMaxFileSize)
    return tooLarge;
  // Reads until the end of the file, never more than one byte past the limit (the file may grow
  // while it is read).
  content->resize(static_cast<qsizetype>(st.st_size) + 1);
  qsizetype got = 0;
  for (;;) {
    if (got == content->size()) {
      if (got > kMaxFileSize)
        return tooLarge;
      content->resize(std::min<qsizetype>(got * 2, kMaxFileSize + 1));
    }
    const ssize_t n =
        ::read(fd.Get(), content->data() + got, static_cast<size_t>(content->size() - got));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return QStringLiteral("Cannot read %1: %2")
          .arg(path_, QString::fromLocal8Bit(strerror(errno)));
    if (n == 0)
      break;
    got += n;
  }
  content->resize(got);
  return {};
}

IniFile::IniFile(QString path) : path_(std::move(path)) {
  QByteArray content;
  bool exists = false;
  error_ = ReadContent(&content, &exists);
  if (!exists || !error_.isEmpty())
    return;
  loaded_ = true;
  // A UTF-8 byte-order mark is no part of the first line.
  qsizetype start = content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
  while (start < content.size()) {
    qsizetype nl = content.indexOf('\n', start);
    qsizetype end = nl < 0 ? content.size() : nl;
    QByteArray line = content.mid(start, end - start);
    if (line.endsWith('\r'))
      line.chop(1);
    lines_.push_back(std::move(line));
    start = nl < 0 ? content.size() : nl + 1;
  }
}

IniFile::Located IniFile::Locate(const QByteArray& section, const QByteArray& key) const {
  Located at;
  QByteArray name;
  bool inSection = false;
  for (int i = 0; i < static_cast<int>(lines_.size()); ++i) {
    const QByteArray& line = lines_[i];
    if (SectionName(line, &name)) {
      if (inSection)
        break;  // the section ended; a later duplicate section is not searched
      inSection = SameName(name, section);
      if (inSection) {
        at.sectionLine = i;
        at.insertAt = i + 1;
      }
      continue;
    }
    if (!inSection)
      continue;
    QByteArray k;
    if (KeyValue(line, &k, nullptr) && at.keyLine < 0 && SameName(k, key))
      at.keyLine = i;
    if (!TrimBlanks(line).isEmpty())
      at.insertAt = i + 1;
  }
  return at;
}

QByteArray IniFile::ReadString(const QByteArray& section, const QByteArray& key,
                               const QByteArray& defaultValue) const {
  Located at = Locate(section, key);
  if (at.keyLine < 0)
    return defaultValue;
  QByteArray k, value;
  KeyValue(lines_[at.keyLine], &k, &value);
  return value;
}

bool IniFile::ParseInteger(const QByteArray& text, int* value) {
  qsizetype i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  qsizetype firstDigit = i;
  long long n = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (n <= std::numeric_limits<int>::max())
      n = n * 10 + (text[i] - '0');
    ++i;
  }
  if (i == firstDigit)
    return false;
  if (negative)
    n = -n;
  if (n > std::numeric_limits<int>::max())
    n = std::numeric_limits<int>::max();
  if (n < std::numeric_limits<int>::min())
    n = std::numeric_limits<int>::min();
  *value = static_cast<int>(n);
  return true;
}

int IniFile::ReadInteger(const QByteArray& section, const QByteArray& key, int defaultValue) const {
  int value = 0;
  Located at = Locate(section, key);
  if (at.keyLine < 0)
    return defaultValue;
  return ParseInteger(ReadString(section, key, {}), &value) ? value : defaultValue;
}

bool IniFile::ValueExists(const QByteArray& section, const QByteArray& key) const {
  return Locate(section, key).keyLine >= 0;
}

void IniFile::WriteString(const QByteArray& section, const QByteArray& key,
                          const QByteArray& value) {
  Located at = Locate(section, key);
  if (at.keyLine >= 0) {
    QByteArray k;
    KeyValue(lines_[at.keyLine], &k, nullptr);
    QByteArray line = k + '=' + value;
    if (lines_[at.keyLine] == line)
      return;
    lines_[at.keyLine] = std::move(line);
  } else if (at.sectionLine >= 0) {
    lines_.insert(lines_.begin() + at.insertAt, key + '=' + value);
  } else {
    lines_.push_back('[' + section + ']');
    lines_.push_back(key + '=' + value);
  }
  modified_ = true;
}

void IniFile::WriteInteger(const QByteArray& section, const QByteArray& key, int value) {
  WriteString(section, key, QByteArray::number(value));
}

bool IniFile::Save(QString* error) {
  if (!error_.isEmpty()) {
    if (error != nullptr)
      *error = error_;
    return false;
  }
  if (!modified_ && (loaded_ || lines_.empty())) {
    // Nothing to write; an older file that others could read is still made private.
    if (ownerOnly_ && loaded_)
      RestrictToOwner(path_);
    return true;
  }
  QByteArray content;
  for (const QByteArray& line : lines_)
    content += line + "\r\n";
  if (!WriteFileAtomic(path_, content, ownerOnly_, error))
    return false;
  modified_ = false;
  loaded_ = true;
  return true;
}

}  // namespace xv4::platform
