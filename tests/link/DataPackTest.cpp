#include "link/DataPack.h"
#include "link/ReceivePath.h"

#include <gtest/gtest.h>

#include <vector>

namespace xv4 {
namespace {

std::vector<DataPackParser::Result> FeedAll(DataPackParser& parser, const QByteArray& bytes) {
  std::vector<DataPackParser::Result> results;
  for (char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (!parser.Active()) {
      if (b == kPackStart)
        parser.Start(b);
      continue;
    }
    const auto r = parser.Feed(b);
    if (r != DataPackParser::Result::More)
      results.push_back(r);
  }
  return results;
}

TEST(DataPackTest, CrcIsXmodem) {
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0x9DD6);
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x31C3);
  EXPECT_EQ(Crc16(nullptr, 0), 0);
}

TEST(DataPackTest, PacksAreBuiltAndParsedBackWhateverTheirSize) {
  using R = DataPackParser::Result;
  // An empty pack is the 11-byte header alone.
  const QByteArray empty = *BuildDataPack(u"00 01", FileDataPackText(0x012A), 0, nullptr, 0);
  EXPECT_EQ(empty.toHex(' ').toStdString(), "aa 00 01 f0 00 01 2a 00 00 00 c6");

  std::vector<std::uint8_t> data(kMaxPackData);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 7);
  DataPackParser parser;
  for (int n : {0, 1, 3, 1024, kMaxPackData}) {
    const auto pack = BuildDataPack(u" 00  01 ", u"f0 00 00 02", 0x1FF, data.data(), n);
    ASSERT_TRUE(pack) << n;
    EXPECT_EQ(pack->size(), n == 0 ? 11 : n + 13);
    // Line noise before the pack is skipped; the pack arrives byte by byte.
    EXPECT_EQ(FeedAll(parser, "noise\r\n" + *pack), std::vector<R>{R::Pack}) << n;
    EXPECT_EQ(parser.DataLength(), n);
    EXPECT_EQ(parser.Header()[7], 0xFF);  // the value's low byte
    EXPECT_EQ(PackIdentity(parser.Header()), "F0 00 00 02");
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, parser.Data()));
  }

  EXPECT_FALSE(BuildDataPack(u"00 01", u"f0 00 00", 0, nullptr, 0));  // three command bytes
  EXPECT_FALSE(BuildDataPack(u"00 01", u"f0 00 zz 01", 0, nullptr, 0));
  EXPECT_FALSE(BuildDataPack(u"00 01", u"f0 00 00 01", 0, data.data(), kMaxPackData + 1));
  EXPECT_EQ(BuildDataPack(u"", u"f0 00 00 01", 0, nullptr, 0)->mid(1, 2), QByteArray(2, '\0'));
}

TEST(DataPackTest, DamagedAndOversizedPacksAreReportedAndTheParserRecovers) {
  using R = DataPackParser::Result;
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
  const QByteArray good = *BuildDataPack(u"00 01", u"f0 00 00 01", 0, bytes, 5);
  DataPackParser parser;

  QByteArray badSum = good;
  badSum[10] = static_cast<char>(badSum[10] + 1);
  // The data of a pack whose header fails is not a pack; the next good pack is.
  EXPECT_EQ(FeedAll(parser, badSum + good), (std::vector<R>{R::BadChecksum, R::Pack}));

  QByteArray badCrc = good;
  badCrc[13] = 'x';
  EXPECT_EQ(FeedAll(parser, badCrc), std::vector<R>{R::BadCrc});
  EXPECT_EQ(parser.DataLength(), 5);
  EXPECT_NE(parser.ComputedCrc(), parser.ReceivedCrc());

  // A header announcing more than the receive area holds is dropped at once.
  QByteArray huge = good.left(11);
  huge[8] = static_cast<char>(0xFF);
  huge[9] = static_cast<char>(0xFF);
  unsigned sum = 0;
  for (int i = 0; i < 10; ++i)
    sum += static_cast<std::uint8_t>(huge[i]);
  huge[10] = static_cast<char>(sum & 0xFF);
  EXPECT_EQ(FeedAll(parser, huge + good), (std::vector<R>{R::Oversized, R::Pack}));
}

TEST(ReceivePathTest, OffersStayBelowTheReceiveDirectory) {
  struct Case {
    const char* name;
    const char* dir;
    const char* path;  // nullptr: refused
  };
  const Case cases[] = {
      {"zk16.hex", "fonts", "/in/fonts/zk16.hex"},
      {"zk16.hex", "", "/in/zk16.hex"},
      {"zk16.hex", "C:\\data\\fonts\\", "/in/data/fonts/zk16.hex"},
      {"zk16.hex", "\\fonts", "/in/fonts/zk16.hex"},
      {"zk16.hex", "/etc", "/in/etc/zk16.hex"},
      {"zk16.hex", "a/../b/./c", "/in/b/c/zk16.hex"},
      {"zk16.hex", "a/../../etc", nullptr},
      {"zk16.hex", "..\\x", nullptr},
      {"", "fonts", nullptr},
      {".", "", nullptr},
      {"..", "", nullptr},
      {"a/b", "", nullptr},
      {"a\\b", "", nullptr},
      {"a\rb", "", nullptr},
      {"ok", "fo\nnts", nullptr},
  };
  for (const Case& c : cases) {
    const auto result = ResolveReceivePath("/in/", c.name, c.dir);
    if (c.path == nullptr) {
      EXPECT_TRUE(std::holds_alternative<QString>(result)) << c.name << " in " << c.dir;
    } else {
      ASSERT_TRUE(std::holds_alternative<ReceiveTarget>(result)) << c.name << " in " << c.dir;
      EXPECT_EQ(std::get<ReceiveTarget>(result).path, c.path);
    }
  }
}

}  // namespace
}  // namespace xv4
