#include "platform/IniFile.h"

#include "tests/support/TempDir.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace xv4::platform {
namespace {

TEST(IniFile, MissingFileReadsDefaultsAndIsCreatedBySave) {
  test::TempAppDir dir;
  IniFile ini(dir.File("Config.cfg"));
  EXPECT_FALSE(ini.Loaded());
  EXPECT_EQ(ini.ReadString("Set", "IPAddrEd", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Set", "PortCB", 7), 7);
  ini.WriteString("Set", "IPAddrEd", "10.0.0.5");
  ini.WriteInteger("Set", "PortCB", -1);
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(dir.Read("Config.cfg"), "[Set]\r\nIPAddrEd=10.0.0.5\r\nPortCB=-1\r\n");
}

TEST(IniFile, SectionsAndKeysMatchInAnyCase) {
  test::TempAppDir dir;
  dir.Write("a.ini", "[sEt]\nipaddred=1.2.3.4\n");
  IniFile ini(dir.File("a.ini"));
  EXPECT_EQ(ini.ReadString("Set", "IPAddrEd", ""), "1.2.3.4");
  ini.WriteString("SET", "IPADDRED", "5.6.7.8");
  ASSERT_TRUE(ini.Save());
  // Updated in place, keeping the spelling that the file had.
  EXPECT_EQ(dir.Read("a.ini"), "[sEt]\r\nipaddred=5.6.7.8\r\n");
}

TEST(IniFile, WritesKeepEveryOtherLineAndAppendWhereTheyBelong) {
  test::TempAppDir dir;
  dir.Write("a.ini",
            "; written by hand\r\n"
            "[Option]\r\n"
            "Port=COM2\r\n"
            "garbage line without equals\r\n"
            "\r\n"
            "[Other]\n"
            "x = spaced value \n");
  IniFile ini(dir.File("a.ini"));
  ini.WriteString("Option", "BaudRate", "8");         // new key: end of its section
  ini.WriteString("Option", "Port", "/dev/ttyUSB0");  // in place
  ini.WriteString("Window", "HWnd", "0");             // new section at the end
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ(dir.Read("a.ini"),
            "; written by hand\r\n"
            "[Option]\r\n"
            "Port=/dev/ttyUSB0\r\n"
            "garbage line without equals\r\n"
            "BaudRate=8\r\n"
            "\r\n"
            "[Other]\r\n"
            "x = spaced value \r\n"
            "[Window]\r\n"
            "HWnd=0\r\n");
  // The value is kept exactly as it stands after "=".
  EXPECT_EQ(IniFile(dir.File("a.ini")).ReadString("other", "X", ""), " spaced value ");
}

TEST(IniFile, CodePageBytesRoundTripUnchanged) {
  test::TempAppDir dir;
  const QByteArray gbk("\xC1\xAC\xBD\xD3...");   // "连接..." in GBK
  const QByteArray big5("\xB3\x73\xB1\xB5...");  // "連接..." in Big5 (0x73 is 's')
  const QByteArray binary("=[x]\xFF\x01 ");
  {
    IniFile ini(dir.File("Chinese.LNG"));
    ini.WriteString("String", "Connect", gbk);
    ini.WriteString("String", "Big5", big5);
    ini.WriteString("String", "Odd", binary);
    ASSERT_TRUE(ini.Save());
  }
  IniFile ini(dir.File("Chinese.LNG"));
  EXPECT_EQ(ini.ReadString("String", "Connect", ""), gbk);
  EXPECT_EQ(ini.ReadString("String", "Big5", ""), big5);
  EXPECT_EQ(ini.ReadString("String", "Odd", ""), binary);
}

TEST(IniFile, IntegersParseSignAndLeadingDigits) {
  test::TempAppDir dir;
  dir.Write("a.ini", "[S]\na=12\nb=-1\nc=+7\nd=42abc\ne=abc\nf=\ng= 5\nh=99999999999\n");
  IniFile ini(dir.File("a.ini"));
  EXPECT_EQ(ini.ReadInteger("S", "a", 0), 12);
  EXPECT_EQ(ini.ReadInteger("S", "b", 0), -1);
  EXPECT_EQ(ini.ReadInteger("S", "c", 0), 7);
  EXPECT_EQ(ini.ReadInteger("S", "d", 0), 42);
  EXPECT_EQ(ini.ReadInteger("S", "e", 3), 3);
  EXPECT_EQ(ini.ReadInteger("S", "f", 3), 3);
  EXPECT_EQ(ini.ReadInteger("S", "g", 0), 5);
  EXPECT_EQ(ini.ReadInteger("S", "h", 0), 2147483647);
  EXPECT_EQ(ini.ReadInteger("S", "missing", -9), -9);
  EXPECT_EQ(ini.ReadInteger("Nope", "a", -9), -9);
}

TEST(IniFile, FirstOfDuplicateKeysAndSectionsWins) {
  test::TempAppDir dir;
  dir.Write("a.ini", "[S]\nk=1\nk=2\n[S]\nk=3\nj=4\n");
  IniFile ini(dir.File("a.ini"));
  EXPECT_EQ(ini.ReadString("S", "k", ""), "1");
  EXPECT_EQ(ini.ReadString("S", "j", "none"), "none");
}

TEST(IniFile, OwnerOnlySaveIsAtomicAndPrivate) {
  test::TempAppDir dir;
  dir.Write("Config.cfg", "[Set]\nedt_wifi_pass=old\n");
  QFile::setPermissions(dir.File("Config.cfg"),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
  {
    IniFile ini(dir.File("Config.cfg"));
    ini.SetOwnerOnly(true);
    ini.WriteString("Set", "edt_wifi_pass", "secret");
    ASSERT_TRUE(ini.Save());
  }
  struct stat st {};
  ASSERT_EQ(stat(QFile::encodeName(dir.File("Config.cfg")).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing but the file itself is left behind.
  EXPECT_EQ(QDir(dir.Path()).entryList(QDir::Files), QStringList{"Config.cfg"});
  EXPECT_EQ(IniFile(dir.File("Config.cfg")).ReadString("Set", "edt_wifi_pass", ""), "secret");
}

TEST(IniFile, FailedSaveReportsAndLeavesNothing) {
  test::TempAppDir dir;
  IniFile ini(dir.File("no/such/dir/Config.cfg"));
  ini.WriteString("Set", "a", "b");
  QString error;
  EXPECT_FALSE(ini.Save(&error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_TRUE(ini.Modified());
}

// A FIFO would block the reader, /dev/zero never ends, a directory has no lines, a huge file is no
// profile: each is refused with its name, read as empty, and left as it is by a save.
TEST(IniFile, WhatIsNotASmallRegularFileIsRefusedAndKept) {
  test::TempAppDir dir;
  ASSERT_EQ(::mkfifo(QFile::encodeName(dir.File("fifo.LNG")).constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkdir(dir.File("dir.LNG")));
  ASSERT_TRUE(QFile::link("/dev/zero", dir.File("zero.ini")));
  QFile big(dir.File("big.cfg"));
  ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(IniFile::kMaxFileSize + 1));
  big.close();
  for (const char* name : {"fifo.LNG", "dir.LNG", "zero.ini", "big.cfg"}) {
    IniFile ini(dir.File(name));
    EXPECT_FALSE(ini.Loaded()) << name;
    EXPECT_TRUE(ini.Error().contains(dir.File(name))) << ini.Error().toStdString();
    EXPECT_EQ(ini.ReadString("Set", "k", "dflt"), "dflt") << name;
    ini.WriteString("Set", "k", "v");
    QString error;
    EXPECT_FALSE(ini.Save(&error)) << name;
    EXPECT_EQ(error, ini.Error()) << name;
  }
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(dir.File("fifo.LNG")).constData(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(QFileInfo(dir.File("dir.LNG")).isDir());
  EXPECT_TRUE(QFileInfo(dir.File("zero.ini")).isSymLink());
  EXPECT_EQ(QFileInfo(dir.File("big.cfg")).size(), IniFile::kMaxFileSize + 1);
  // At the limit a file is read.
  ASSERT_TRUE(big.open(QIODevice::ReadWrite) && big.resize(IniFile::kMaxFileSize));
  big.close();
  EXPECT_TRUE(IniFile(dir.File("big.cfg")).Loaded());
}

// Bytes that make up the structure of a profile file, so that random files hold sections, keys,
// blanks and line ends often enough to matter, with anything else mixed in.
QByteArray RandomProfileBytes(QRandomGenerator& rng, int size) {
  static const char kShaped[] = "[]= \t\r\n\r\naAbB;k";
  QByteArray bytes(size, '\0');
  for (char& c : bytes) {
    c = rng.bounded(3) == 0 ? static_cast<char>(rng.bounded(256))
                            : kShaped[rng.bounded(static_cast<int>(sizeof kShaped - 1))];
  }
  return bytes;
}

// Whatever a file holds, reads never fail, a written value reads back exactly and every other
// value stays as it was, in memory and after a save and reload.
TEST(IniFile, ArbitraryFileContentReadsWritesAndReloadsConsistently) {
  test::TempAppDir dir;
  QRandomGenerator rng(20261208);
  const QByteArray names[] = {"a", "A", "b", "k", "aB", "Set"};
  const QByteArray kAbsent("\x7F<absent>\x7F");
  std::vector<std::pair<QByteArray, QByteArray>> pairs;
  for (const QByteArray& s : names) {
    for (const QByteArray& k : names)
      pairs.emplace_back(s, k);
  }
  auto snapshot = [&](const IniFile& ini) {
    std::vector<QByteArray> values;
    for (const auto& [s, k] : pairs) {
      const QByteArray v = ini.ReadString(s, k, kAbsent);
      EXPECT_EQ(ini.ValueExists(s, k), v != kAbsent) << s.constData() << "/" << k.constData();
      int n = 0;
      const int parsed = ini.ReadInteger(s, k, 12345);
      EXPECT_EQ(parsed, v != kAbsent && IniFile::ParseInteger(v, &n) ? n : 12345);
      values.push_back(v);
    }
    return values;
  };

  for (int round = 0; round < 300; ++round) {
    const QByteArray content = RandomProfileBytes(rng, static_cast<int>(rng.bounded(0, 400)));
    ASSERT_TRUE(dir.Write("f.ini", content));
    IniFile ini(dir.File("f.ini"));
    ASSERT_TRUE(ini.Loaded());
    std::vector<QByteArray> before = snapshot(ini);

    const auto& [section, key] = pairs[rng.bounded(static_cast<quint32>(pairs.size()))];
    QByteArray value = RandomProfileBytes(rng, static_cast<int>(rng.bounded(0, 12)));
    value.replace('\r', 'r').replace('\n', 'n');
    ini.WriteString(section, key, value);
    std::vector<QByteArray> after = snapshot(ini);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const bool same = pairs[i].first.compare(section, Qt::CaseInsensitive) == 0 &&
                        pairs[i].second.compare(key, Qt::CaseInsensitive) == 0;
      EXPECT_EQ(after[i], same ? value : before[i])
          << "round " << round << ", " << pairs[i].first.constData() << "/"
          << pairs[i].second.constData() << " in " << content.toHex().constData();
    }
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(snapshot(IniFile(dir.File("f.ini"))), after) << "round " << round;
  }
}

}  // namespace
}  // namespace xv4::platform
