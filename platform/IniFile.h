#pragma once
// INI profile files with the semantics technicians know from Windows tools.
//
// Sections and keys match case-insensitively. Values are byte strings stored as they are: no
// quoting, escaping or re-encoding (they are texts in an ANSI code page). A read of a missing
// section or key gives the caller's default. A write replaces the key in place, or appends it to
// its section, or appends the section; every other line of the file is kept as it was. Lines
// may end in CR LF or LF; the file is written with CR LF.
//
// Changes stay in memory until Save(), which replaces the file atomically (a temporary file beside
// it, then a rename), so a crash never leaves a half-written file.
//
// Only a regular file of at most kMaxFileSize bytes is read: a FIFO would block the reader, a
// device such as /dev/zero never ends, and a directory has no lines. Such a file, and one that
// exists but cannot be read, is refused: the object starts empty, Error() names the file and
// says why, and Save() refuses too, so that nothing overwrites what could not be read. A UTF-8
// byte-order mark at the start of the file (some editors write one) is skipped.
//
// Not thread-safe: one owner at a time.

#include <QByteArray>
#include <QString>

#include <vector>

namespace xv4::platform {

class IniFile {
 public:
  // Larger files are not settings or language files.
  static constexpr qint64 kMaxFileSize = 4 * 1024 * 1024;

  // Reads the file when it exists; a missing or refused file starts empty.
  explicit IniFile(QString path);

  const QString& Path() const { return path_; }
  // True when the file existed and was read at construction.
  bool Loaded() const { return loaded_; }
  // Why an existing file was refused at construction (naming it), or an empty string.
  const QString& Error() const { return error_; }

  QByteArray ReadString(const QByteArray& section, const QByteArray& key,
                        const QByteArray& defaultValue) const;
  // An optional sign and the decimal digits that follow it; anything else gives the default.
  int ReadInteger(const QByteArray& section, const QByteArray& key, int defaultValue) const;
  bool ValueExists(const QByteArray& section, const QByteArray& key) const;

  void WriteString(const QByteArray& section, const QByteArray& key, const QByteArray& value);
  void WriteInteger(const QByteArray& section, const QByteArray& key, int value);
  void WriteBool(const QByteArray& section, const QByteArray& key, bool value) {
    WriteInteger(section, key, value ? 1 : 0);
  }

  // Files that may hold a password are created, and kept, readable by their owner only (0600).
  void SetOwnerOnly(bool ownerOnly) { ownerOnly_ = ownerOnly; }

  // Writes the file if anything changed since it was read or last saved. On failure (also when
  // the file was refused at construction) returns false, leaves the old file untouched and, when
  // error is given, describes the failure.
  bool Save(QString* error = nullptr);
  bool Modified() const { return modified_; }

  // Parses an integer the way ReadInteger does; false when the text holds no number.
  static bool ParseInteger(const QByteArray& text, int* value);

 private:
  struct Located {
    int sectionLine = -1;  // index of the "[section]" line, -1 when absent
    int keyLine = -1;      // index of the "key=value" line, -1 when absent
    int insertAt = -1;     // where a new key of this section goes
  };
  Located Locate(const QByteArray& section, const QByteArray& key) const;

  // Reads the file into content; an empty string, or why it was refused. *exists: whether there
  // is anything at the path.
  QString ReadContent(QByteArray* content, bool* exists) const;

  QString path_;
  QString error_;
  std::vector<QByteArray> lines_;  // without line ends
  bool loaded_ = false;
  bool modified_ = false;
  bool ownerOnly_ = false;
};

}  // namespace xv4::platform
