#include "platform/CodePage.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstdlib>

namespace xv4::platform {
namespace {

class LocaleEnv {
 public:
  LocaleEnv(const char* lcAll, const char* lcCtype, const char* lang, const char* acp) {
    Set("LC_ALL", lcAll);
    Set("LC_CTYPE", lcCtype);
    Set("LANG", lang);
    Set("XV4_ACP", acp);
  }
  ~LocaleEnv() {
    for (const char* n : {"LC_ALL", "LC_CTYPE", "LANG", "XV4_ACP"})
      unsetenv(n);
  }

 private:
  static void Set(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
};

TEST(CodePage, SystemCodePageFollowsTheFirstSetLocaleVariable) {
  struct Case {
    const char* lcAll;
    const char* lcCtype;
    const char* lang;
    const char* acp;
    int expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, nullptr, 1252},
      {nullptr, nullptr, "zh_CN.UTF-8", nullptr, 936},
      {nullptr, nullptr, "zh_SG", nullptr, 936},
      {nullptr, nullptr, "zh_TW.Big5", nullptr, 950},
      {nullptr, nullptr, "zh_HK.UTF-8", nullptr, 950},
      {nullptr, nullptr, "zh_MO", nullptr, 950},
      {nullptr, nullptr, "de_DE.UTF-8", nullptr, 1252},
      {"en_US.UTF-8", nullptr, "zh_CN.UTF-8", nullptr, 1252},  // LC_ALL wins
      {"", "zh_TW.UTF-8", "zh_CN.UTF-8", nullptr, 950},        // empty counts as unset
      {nullptr, nullptr, "en_US.UTF-8", "936", 936},           // XV4_ACP overrides
      {nullptr, nullptr, "zh_CN.UTF-8", "junk", 936},          // ... when it is a number
  };
  for (const Case& c : cases) {
    LocaleEnv env(c.lcAll, c.lcCtype, c.lang, c.acp);
    EXPECT_EQ(GetACP(), c.expected) << (c.lang ? c.lang : "-") << " " << (c.acp ? c.acp : "-");
  }
}

TEST(CodePage, ChineseTextsConvertToTheirCodePageBytes) {
  EXPECT_EQ(EncodeText(QStringLiteral("连接蓝牙"), kCodePageGbk),
            QByteArray("\xC1\xAC\xBD\xD3\xC0\xB6\xD1\xC0"));
  EXPECT_EQ(EncodeText(QStringLiteral("連接藍牙"), kCodePageBig5),
            QByteArray("\xB3\x73\xB1\xB5\xC2\xC5\xA4\xFA"));
  EXPECT_EQ(EncodeText(QStringLiteral("€é"), kCodePageLatin), QByteArray("\x80\xE9"));
  EXPECT_EQ(DecodeText(QByteArray("\xC1\xAC\xBD\xD3..."), kCodePageGbk), QStringLiteral("连接..."));
  EXPECT_EQ(DecodeText(QByteArray("\xB3\x73\xB1\xB5"), kCodePageBig5), QStringLiteral("連接"));
  EXPECT_EQ(DecodeText(QByteArray("\x80\xE9"), kCodePageLatin), QStringLiteral("€é"));
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(EncodeText(QStringLiteral("a连b"), kCodePageLatin), "a?b");
  EXPECT_EQ(EncodeText(QStringLiteral("x😀y"), kCodePageGbk), "x?y");
  // An invalid trail byte, and a lead byte cut off at the end.
  EXPECT_EQ(DecodeText(QByteArray("A\xC1\x01Z"), kCodePageGbk), QStringLiteral("A?\x01Z"));
  EXPECT_EQ(DecodeText(QByteArray("A\xC1"), kCodePageGbk), QStringLiteral("A?"));
}

// Every byte that Windows' 1252 and 936 hold comes back from a load and a save unchanged, so a
// settings or language file written there loses nothing; UnencodableCharacter finds what would
// not.
TEST(CodePage, WindowsBytesSurviveTheRoundTrip) {
  for (int b = 0x20; b < 0x100; ++b) {
    const QByteArray byte(1, static_cast<char>(b));
    const QString text = DecodeText(byte, kCodePageLatin);
    EXPECT_TRUE(b == '?' || text != QStringLiteral("?")) << b;
    EXPECT_EQ(EncodeText(text, kCodePageLatin), byte) << b;
    EXPECT_EQ(UnencodableCharacter(text, kCodePageLatin), QString()) << b;
  }
  EXPECT_EQ(DecodeText("\x80\x81\x9D", kCodePageLatin), QStringLiteral("€\u0081\u009D"));
  EXPECT_EQ(DecodeText("\x80", kCodePageGbk), QStringLiteral("€"));
  EXPECT_EQ(EncodeText(QStringLiteral("€"), kCodePageGbk), "\x80");
  EXPECT_EQ(UnencodableCharacter(QStringLiteral("ab连c"), kCodePageLatin), QStringLiteral("连"));
  EXPECT_EQ(UnencodableCharacter(QStringLiteral("连😀"), kCodePageGbk), QStringLiteral("😀"));
}

TEST(CodePage, ByteLengthsCountTwoPerChineseCharacter) {
  EXPECT_EQ(EncodeText(QStringLiteral("蓝牙ABC"), kCodePageGbk).size(), 7);
  EXPECT_EQ(EncodeText(QString(), kCodePageGbk).size(), 0);
  const QString long_text = QString(3000, QChar(0x4E2D));  // 中 x 3000
  EXPECT_EQ(EncodeText(long_text, kCodePageGbk).size(), 6000);
  EXPECT_EQ(DecodeText(EncodeText(long_text, kCodePageGbk), kCodePageGbk), long_text);
}

TEST(CodePage, CutToAByteLimitKeepsWholeCharacters) {
  EXPECT_EQ(EncodeTextWithin(QStringLiteral("蓝牙ABC"), kCodePageGbk, 7).size(), 7);
  EXPECT_EQ(EncodeTextWithin(QStringLiteral("A蓝牙"), kCodePageGbk, 4), QByteArray("A\xC0\xB6"));
  EXPECT_EQ(EncodeTextWithin(QStringLiteral("ab😀c"), kCodePageGbk, 3), "ab?")
      << "a surrogate pair is one character";
  EXPECT_EQ(EncodeTextWithin(QStringLiteral("蓝"), kCodePageGbk, 1), QByteArray());
  // A lone high surrogate before a pair does not swallow the pair's first half.
  const QString lone = QString(QChar(0xD800)) + QStringLiteral("😀中");
  EXPECT_EQ(EncodeTextWithin(lone, kCodePageGbk, 3), QByteArray("??"));
  EXPECT_EQ(EncodeTextWithin(lone, kCodePageGbk, 4), EncodeText(lone, kCodePageGbk));
}

// Bytes read from a file or a printer may be anything: decoding never reads past them and never
// makes more characters than there were bytes.
TEST(CodePage, ArbitraryBytesDecodeInEveryCodePage) {
  QRandomGenerator rng(936950);
  for (int round = 0; round < 2000; ++round) {
    QByteArray bytes(static_cast<qsizetype>(rng.bounded(0, 64)), '\0');
    for (char& c : bytes)
      c = static_cast<char>(rng.bounded(256));
    for (int codePage : {kCodePageGbk, kCodePageBig5, kCodePageLatin, 437}) {
      const QString text = DecodeText(bytes, codePage);
      EXPECT_LE(text.size(), bytes.size()) << codePage << " " << bytes.toHex().constData();
    }
  }
}

// Any text, cut to any byte limit, gives at most that many bytes and a start of its whole
// encoding (a cut never splits a character and never changes one).
TEST(CodePage, AnyTextCutToAnyLimitIsAStartOfItsEncoding) {
  QRandomGenerator rng(1252);
  const char16_t kPool[] = {u'A',   u'z',   u'?',   u' ',   0x00E9, 0x20AC, 0x4E2D, 0x84DD,
                            0x7259, 0xFF01, 0xD83D, 0xDE00, 0xD800, 0xDC00, 0x0000};
  for (int round = 0; round < 1500; ++round) {
    QString text;
    const int length = static_cast<int>(rng.bounded(0, 12));
    for (int i = 0; i < length; ++i)
      text += QChar(kPool[rng.bounded(static_cast<int>(std::size(kPool)))]);
    const int limit = static_cast<int>(rng.bounded(0, 26));
    for (int codePage : {kCodePageGbk, kCodePageBig5, kCodePageLatin}) {
      const QByteArray whole = EncodeText(text, codePage);
      const QByteArray cut = EncodeTextWithin(text, codePage, limit);
      EXPECT_LE(cut.size(), limit);
      EXPECT_TRUE(whole.startsWith(cut))
          << codePage << " " << text.toUtf8().toHex().constData() << " limit " << limit;
    }
  }
}

}  // namespace
}  // namespace xv4::platform
