#pragma once
// Windows font faces and character sets mapped onto the fonts of this machine.
//
// The forms name their fonts as they were designed ("宋体", "MS Sans Serif", "Times New Roman")
// and switch the character set when a language is applied. Here a face becomes an installed
// family that looks alike, and a character set becomes a fallback family that covers its script:
// GB2312 and Big5 need a CJK family (WenQuanYi Zen Hei when installed). UI thread only.

#include <QFont>
#include <QString>

namespace xv4 {

// Character sets of the design.
constexpr int kDefaultCharset = 1;
constexpr int kGb2312Charset = 134;
constexpr int kBig5Charset = 136;

// An installed family that covers Chinese, or an empty string when none is installed.
QString CjkFamily();

// The font of a design face at a size in pixels.
QFont DesignFont(const QString& face, int pixelSize);

// The font with its character set changed: the family stays, and a CJK family follows it as
// fallback for GB2312 and Big5.
QFont WithCharset(const QFont& font, int charset);

}  // namespace xv4
