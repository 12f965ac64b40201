// The INI reader and writer (Option.ini, Config.cfg and the language files are INI files).
//
// Input: a section name, a key and a value as chunks (see fuzz::Input), then the file's bytes.
// The file is read, the named key is read and written, and the saved file is read back.
#include "platform/IniFile.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

bool HasLineBreak(const QByteArray& text) {
  return text.contains('\r') || text.contains('\n');
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

// A name that the file format can hold: not empty, no blank at either end, no line break, and
// no character that would make its line read as something else.
bool UsableName(const QByteArray& name, bool section) {
  if (name.isEmpty() || HasLineBreak(name) || Blank(name.front()) || Blank(name.back()))
    return false;
  if (section)
    return !name.contains(']');
  return !name.contains('=') && !name.startsWith('[');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xv4;
  fuzz::Environment();
  fuzz::Input in(data, size);
  const QByteArray section = fuzz::ToByteArray(in.Chunk());
  const QByteArray key = fuzz::ToByteArray(in.Chunk());
  const QByteArray value = fuzz::ToByteArray(in.Chunk());
  const QString path = fuzz::WriteScratchFile(QStringLiteral("fuzz.ini"), in.Rest());

  platform::IniFile ini(path);
  const bool exists = ini.ValueExists(section, key);
  const QByteArray read = ini.ReadString(section, key, "\x01");
  XV4_FUZZ_CHECK(exists == (read != "\x01" || ini.ReadString(section, key, "\x02") != "\x02"));
  int number = 0;
  const int readNumber = ini.ReadInteger(section, key, -7);
  XV4_FUZZ_CHECK(readNumber == (platform::IniFile::ParseInteger(read, &number) ? number : -7) ||
                 !exists);

  if (!UsableName(section, true) || !UsableName(key, false) || HasLineBreak(value))
    return 0;
  // What is written reads back, in memory and from the saved file.
  ini.WriteString(section, key, value);
  XV4_FUZZ_CHECK(ini.ReadString(section, key, {}) == value);
  XV4_FUZZ_CHECK(ini.Save());
  const platform::IniFile saved(path);
  XV4_FUZZ_CHECK(saved.ReadString(section, key, {}) == value);
  return 0;
}
