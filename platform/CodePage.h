#pragma once
// ANSI code pages: the system's choice and conversion to and from Unicode.
//
// The tool's texts are 8-bit strings in an ANSI code page, and lengths that the printer cares
// about count their bytes (a Chinese character is two bytes in code page 936). Qt's widgets work
// in Unicode; these functions convert at that border. Thread-safe.

#include <QByteArray>
#include <QString>

namespace xv4::platform {

constexpr int kCodePageGbk = 936;     // Simplified Chinese
constexpr int kCodePageBig5 = 950;    // Traditional Chinese
constexpr int kCodePageLatin = 1252;  // Western

// The system's ANSI code page: XV4_ACP when it holds a number, else derived from the first set
// of LC_ALL, LC_CTYPE and LANG (zh_CN, zh_SG: 936; zh_TW, zh_HK, zh_MO: 950; anything else 1252).
int GetACP();

// The tables are those of Windows: 936 holds the euro sign at 0x80, and 1252's bytes 0x81, 0x8D,
// 0x8F, 0x90 and 0x9D stand for the control characters U+0081 ... U+009D.

// Unicode text to code-page bytes; a character that the code page cannot hold becomes '?'.
QByteArray EncodeText(const QString& text, int codePage);
// Code-page bytes to Unicode text; a byte sequence that the code page does not define becomes '?'.
QString DecodeText(const QByteArray& bytes, int codePage);

// The first character of text (a surrogate pair counts as one) that does not come back unchanged
// from EncodeText and DecodeText, or an empty string when the whole text does.
QString UnencodableCharacter(const QString& text, int codePage);

// The bytes of the longest start of text that fit in maxBytes, never cutting a character in two
// (a cut Chinese character would leave a lone lead byte that the next field's bytes complete).
QByteArray EncodeTextWithin(const QString& text, int codePage, int maxBytes);

// Conveniences for the system code page.
inline QByteArray ToAnsi(const QString& text) {
  return EncodeText(text, GetACP());
}
inline QByteArray ToAnsiWithin(const QString& text, int maxBytes) {
  return EncodeTextWithin(text, GetACP(), maxBytes);
}
inline QString FromAnsi(const QByteArray& bytes) {
  return DecodeText(bytes, GetACP());
}

}  // namespace xv4::platform
