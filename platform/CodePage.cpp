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
      return "GBK";
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

  // Converts all of in; an input sequence that cannot be converted is replaced by '?' and skipped
  // (skip(in, left) says how many input bytes it spans).
  template <typename Skip>
  QByteArray Run(QByteArrayView in, Skip skip) {
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
      // EILSEQ or EINVAL (a truncated sequence at the end): one '?' for the bad sequence.
      size_t n = skip(reinterpret_cast<const unsigned char*>(src), srcLeft);
      src += n;
      srcLeft -= n;
      out.append('?');
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
  return c.Run(text.toUtf8(), Utf8SequenceLength);
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
  return QString::fromUtf8(c.Run(bytes, [](const unsigned char*, size_t) { return size_t{1}; }));
}

}  // namespace xv4::platform
