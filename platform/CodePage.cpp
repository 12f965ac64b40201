#include "platform/CodePage.h"

#include <QByteArrayView>

#include <iconv.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace xv4::platform {
namespace {

const char* CharsetOf(int codePage) {
  switch (codePage) {
    case kCodePageGbk:
      return "CP936";
    case kCodePageBig5:
      return "BIG5";
    default:
      return "CP1252";
  }
}

// Owns one iconv descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok())
      iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of in. An input sequence that iconv cannot convert goes to fallback(in, left,
  // &out), which appends its replacement and returns how many input bytes it spans.
  template <typename Fallback>
  QByteArray Run(QByteArrayView in, Fallback fallback) {
    QByteArray out;
    out.reserve(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = static_cast<size_t>(in.size());
    char buffer[512];
    while (srcLeft > 0) {
      char* dst = buffer;
      size_t dstLeft = sizeof buffer;
      size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      out.append(buffer, static_cast<qsizetype>(dst - buffer));
      if (r != static_cast<size_t>(-1))
        continue;
      if (errno == E2BIG)
        continue;
      // EILSEQ or EINVAL (a truncated sequence at the end).
      size_t n = fallback(reinterpret_cast<const unsigned char*>(src), srcLeft, &out);
      src += n;
      srcLeft -= n;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
    }
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence that starts at s (at least 1, at most left).
size_t Utf8SequenceLength(const unsigned char* s, size_t left) {
  size_t n = 1;
  if (s[0] >= 0xF0) {
    n = 4;
  } else if (s[0] >= 0xE0) {
    n = 3;
  } else if (s[0] >= 0xC0) {
    n = 2;
  }
  return n < left ? n : left;
}

// Bytes that Windows' tables hold and iconv's may not: in 1252 the five bytes that have no
// printable character stand for the control characters of the same number, and 936 has the euro
// sign at 0x80. A settings or language file written on Windows keeps them through a load and a
// save.
struct ExtraByte {
  int codePage;
  unsigned char byte;
  char16_t unicode;
};
constexpr ExtraByte kExtraBytes[] = {
    {kCodePageLatin, 0x81, 0x0081}, {kCodePageLatin, 0x8D, 0x008D}, {kCodePageLatin, 0x8F, 0x008F},
    {kCodePageLatin, 0x90, 0x0090}, {kCodePageLatin, 0x9D, 0x009D}, {kCodePageGbk, 0x80, 0x20AC},
};

// The code point of the UTF-8 sequence of n bytes at s (n from Utf8SequenceLength), or -1.
long Utf8CodePoint(const unsigned char* s, size_t n) {
  if (n == 1)
    return s[0] < 0x80 ? s[0] : -1;
  long cp = s[0] & (0x7F >> n);
  for (size_t i = 1; i < n; ++i)
    cp = (cp << 6) | (s[i] & 0x3F);
  return cp;
}

bool HasPrefix(const char* value, const char* prefix) {
  return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int GetACP() {
  if (const char* forced = std::getenv("XV4_ACP"); forced != nullptr && *forced != '\0') {
    char* end = nullptr;
    long cp = std::strtol(forced, &end, 10);
    if (end != forced && cp > 0)
      return static_cast<int>(cp);
  }
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') {
      locale = v;
      break;
    }
  }
  if (locale == nullptr)
    return kCodePageLatin;
  if (HasPrefix(locale, "zh_CN") || HasPrefix(locale, "zh_SG"))
    return kCodePageGbk;
  if (HasPrefix(locale, "zh_TW") || HasPrefix(locale, "zh_HK") || HasPrefix(locale, "zh_MO")) {
    return kCodePageBig5;
  }
  return kCodePageLatin;
}

QByteArray EncodeText(const QString& text, int codePage) {
  if (text.isEmpty())
    return {};
  Converter c(CharsetOf(codePage), "UTF-8");
  if (!c.ok())
    return text.toLatin1();
  return c.Run(text.toUtf8(), [codePage](const unsigned char* s, size_t left, QByteArray* out) {
    const size_t n = Utf8SequenceLength(s, left);
    const long cp = Utf8CodePoint(s, n);
    for (const ExtraByte& e : kExtraBytes) {
      if (e.codePage == codePage && e.unicode == cp) {
        out->append(static_cast<char>(e.byte));
        return n;
      }
    }
    out->append('?');
    return n;
  });
}

QByteArray EncodeTextWithin(const QString& text, int codePage, int maxBytes) {
  QByteArray bytes = EncodeText(text, codePage);
  if (bytes.size() <= maxBytes)
    return bytes;
  // Too long: take whole characters (a surrogate pair is one) while they fit. A lone surrogate is
  // a character of its own, as the whole text's encoding counts it.
  bytes.clear();
  for (qsizetype i = 0; i < text.size();) {
    const bool pair =
        text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
    const qsizetype len = pair ? 2 : 1;
    const QByteArray one = EncodeText(text.mid(i, len), codePage);
    if (bytes.size() + one.size() > maxBytes)
      break;
    bytes += one;
    i += len;
  }
  return bytes;
}

QString DecodeText(const QByteArray& bytes, int codePage) {
  if (bytes.isEmpty())
    return {};
  Converter c("UTF-8", CharsetOf(codePage));
  if (!c.ok())
    return QString::fromLatin1(bytes);
  return QString::fromUtf8(
      c.Run(bytes, [codePage](const unsigned char* s, size_t, QByteArray* out) {
        QString replacement(QLatin1Char('?'));
        for (const ExtraByte& e : kExtraBytes) {
          if (e.codePage == codePage && e.byte == s[0])
            replacement = QChar(e.unicode);
        }
        out->append(replacement.toUtf8());
        return size_t{1};
      }));
}

QString UnencodableCharacter(const QString& text, int codePage) {
  if (DecodeText(EncodeText(text, codePage), codePage) == text)
    return {};
  for (qsizetype i = 0; i < text.size();) {
    const bool pair =
        text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
    const QString one = text.mid(i, pair ? 2 : 1);
    if (DecodeText(EncodeText(one, codePage), codePage) != one)
      return one;
    i += one.size();
  }
  return {};
}

}  // namespace xv4::platform
