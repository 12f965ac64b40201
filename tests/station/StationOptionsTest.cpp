// xv4link's command line and the lines it prints.
#include "station/StationOptions.h"
#include "station/StationOutput.h"

#include <gtest/gtest.h>

namespace xv4::station {
namespace {

std::optional<QString> Parse(const QString& line, StationOptions* o, const QString& env = {}) {
  return ParseStationCommandLine(line.split(QLatin1Char(' '), Qt::SkipEmptyParts), env, o);
}

TEST(StationOptionsTest, CommandLinesAreTakenOrRefusedWithAReason) {
  StationOptions o;
  ASSERT_FALSE(
      Parse("--serial /dev/ttyUSB1 --dial 5551234 --login --password s3cret "
            "--send zk16.hex fonts/zk16.hex --remark=font --ack-mode 0 "
            "--pack-size 4083 --baud 460800 --timeout 60 --debug",
            &o));
  EXPECT_EQ(o.line, StationOptions::Line::kDial);
  EXPECT_EQ(o.number, "5551234");
  EXPECT_EQ(o.password, "s3cret");
  EXPECT_EQ(o.sendFile, "zk16.hex");
  EXPECT_EQ(o.remotePath, "fonts/zk16.hex");
  EXPECT_EQ(o.remark, "font");
  EXPECT_EQ(o.ackMode, 0);
  EXPECT_EQ(o.packSize, 4083);
  EXPECT_EQ(o.baud, tbr460800);
  EXPECT_EQ(o.timeoutSeconds, 60);

  // The defaults, and the password from the environment.
  ASSERT_FALSE(Parse("--serial COM1 --answer --rings 3 --login --receive-dir in --keep-going", &o,
                     "fromenv"));
  EXPECT_EQ(o.password, "fromenv");
  EXPECT_EQ(o.rings, 3);
  EXPECT_EQ(o.ackMode, 1);
  EXPECT_EQ(o.packSize, 1024);
  EXPECT_EQ(o.baud, tbr115200);
  EXPECT_TRUE(o.keepGoing);

  const char* bad[] = {
      "--dial 1 --send a b",                              // no --serial
      "--serial p --send a b",                            // no line
      "--serial p --dial 1 --direct --send a b",          // two lines
      "--serial p --direct",                              // nothing to do
      "--serial p --direct --send a b --receive-dir d",   // both
      "--serial p --direct --send a",                     // no remote path
      "--serial p --direct --send a dir/",                // names no file
      "--serial p --direct --send a x|y",                 // would break the line
      "--serial p --direct --send a b --login",           // no password
      "--serial p --direct --send a b --password x",      // password without login
      "--serial p --direct --send a b --pack-size 4084",  // does not fit a pack
      "--serial p --direct --send a b --pack-size 0",
      "--serial p --direct --send a b --ack-mode 2",
      "--serial p --direct --send a b --baud 12345",
      "--serial p --dial 1 --rings 2 --send a b",  // rings go with --answer
      "--serial p --direct --send a b --keep-going",
      "--serial p --direct --receive-dir d --remark r",
      "--serial p --direct --receive-dir d --frobnicate",
  };
  for (const char* line : bad) {
    StationOptions b;
    EXPECT_TRUE(Parse(QString::fromLatin1(line), &b)) << line;
  }
}

TEST(StationOptionsTest, DoneLinesGiveTheRateOfTheDataAndTheReasonOfAFailure) {
  FileTransfer::Progress p;
  p.startTick = 1000;
  p.packs = true;
  p.firstPackTick = 4000;
  p.lastPackTick = 5000;
  p.doneAfterFirstPack = 4083;
  p.done = 1004083;
  EXPECT_EQ(FileDoneLine(true, "in/a.bin", 1004083, p, 5100, {}),
            "file done OK: in/a.bin, 1004083 bytes in 4.1 s (data at 1.00 MB/s)");
  EXPECT_EQ(FileDoneLine(false, "a.bin", 5, p, 5100, "the data stopped coming"),
            "file done ERR: a.bin, 5 bytes: the data stopped coming");
  FileTransfer::Progress empty;
  EXPECT_EQ(FileDoneLine(true, "e", 0, empty, 200, {}), "file done OK: e, 0 bytes in 0.2 s");
}

}  // namespace
}  // namespace xv4::station
