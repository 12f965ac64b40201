#include "widgets/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace xv4 {
namespace {

QString FirstInstalled(const QStringList& candidates, const QString& otherwise) {
  const QStringList installed = QFontDatabase::families();
  for (const QString& c : candidates) {
    if (installed.contains(c, Qt::CaseInsensitive))
      return c;
  }
  return otherwise;
}

}  // namespace

QString CjkFamily() {
  static const QString family = [] {
    QString f =
        FirstInstalled({QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Noto Sans CJK SC"),
                        QStringLiteral("Noto Sans SC"), QStringLiteral("AR PL UMing CN")},
                       QString());
    if (f.isEmpty()) {
      for (const QString& fam : QFontDatabase::families(QFontDatabase::SimplifiedChinese)) {
        f = fam;
        break;
      }
    }
    return f;
  }();
  return family;
}

QFont DesignFont(const QString& face, int pixelSize) {
  QFont font;
  if (face == QStringLiteral("宋体") || face == QStringLiteral("SimSun")) {
    const QString cjk = CjkFamily();
    if (!cjk.isEmpty())
      font.setFamilies({cjk});
  } else if (face == QStringLiteral("Times New Roman")) {
    font.setFamilies(
        {FirstInstalled({QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")},
                        QFontDatabase::systemFont(QFontDatabase::GeneralFont).family())});
  } else {
    // "MS Sans Serif" and anything else: the desktop's sans-serif font.
    font.setFamilies(
        {FirstInstalled({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")},
                        QFontDatabase::systemFont(QFontDatabase::GeneralFont).family())});
  }
  font.setPixelSize(pixelSize);
  return font;
}

QFont WithCharset(const QFont& font, int charset) {
  QFont result = font;
  QStringList families = font.families();
  if (families.isEmpty())
    families << font.family();
  const QString cjk = CjkFamily();
  families.removeAll(cjk);
  if (families.isEmpty() && !cjk.isEmpty())
    families << cjk;  // the CJK family was the face itself
  else if ((charset == kGb2312Charset || charset == kBig5Charset) && !cjk.isEmpty())
    families << cjk;
  result.setFamilies(families);
  return result;
}

}  // namespace xv4
