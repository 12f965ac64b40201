#include "sim/Options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace xv4::sim {
namespace {

std::optional<std::string> Parse(std::vector<std::string> args, SimOptions* o) {
  return ParseCommandLine(args, o);
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

TEST(SimOptions, WithoutTransportListensOnLoopbackUdp) {
  SimOptions o;
  ASSERT_FALSE(Parse({}, &o));
  EXPECT_TRUE(o.udp);
  EXPECT_EQ(o.udpAddress, "127.0.0.1");
  EXPECT_EQ(o.udpPort, kDefaultUdpPort);
  EXPECT_FALSE(o.serialPty);
  EXPECT_TRUE(o.drawer && !o.drawerGiven) << "a drawer where the port is free";
  EXPECT_EQ(o.drawerAddress, "127.0.0.1");
  EXPECT_EQ(o.drawerPort, kDrawerDefaultPort);
}

// The default drawer sits on the printer's UDP address and only beside UDP; --drawer and
// --no-drawer decide otherwise, the later one winning.
TEST(SimOptions, DrawerFollowsTheUdpAddressUnlessGiven) {
  const struct {
    const char* args;
    bool drawer;
    bool given;
    const char* address;
    int port;
  } cases[] = {
      {"--udp 127.0.0.5:0", true, false, "127.0.0.5", 9100},
      {"--serial-pty", false, false, "127.0.0.1", 9100},
      {"--serial-pty --drawer 9200", true, true, "127.0.0.1", 9200},
      {"--udp 127.0.0.5:0 --drawer=127.0.0.6:0", true, true, "127.0.0.6", 0},
      {"--drawer 9200 --no-drawer", false, false, "127.0.0.1", 9200},
  };
  for (const auto& c : cases) {
    SimOptions o;
    ASSERT_FALSE(Parse(Words(c.args), &o)) << c.args;
    EXPECT_EQ(o.drawer, c.drawer) << c.args;
    EXPECT_EQ(o.drawerGiven, c.given) << c.args;
    EXPECT_EQ(o.drawerAddress, c.address) << c.args;
    EXPECT_EQ(o.drawerPort, c.port) << c.args;
  }
  SimOptions o;
  EXPECT_TRUE(Parse({"--drawer", "127.0.0.1:99999"}, &o));
}

TEST(SimOptions, ParsesTransportsFaultsAndBothValueForms) {
  SimOptions o;
  ASSERT_FALSE(Parse(Words("--udp 127.0.0.2:0 --serial-pty --baud=115200 --pace --capture cap.txt "
                           "--nak-first 2 --drop-every=3 --silent-after 9 --corrupt-first 1 "
                           "--delay 0x10 --split-at 100,200 --split-gap 5 --garbage 7 "
                           "--false-start --bad-checksum-first 4 -q"),
                     &o));
  EXPECT_TRUE(o.udp);
  EXPECT_EQ(o.udpAddress, "127.0.0.2");
  EXPECT_EQ(o.udpPort, 0);
  EXPECT_TRUE(o.serialPty);
  EXPECT_EQ(o.serial.printerBps, 115200);
  EXPECT_TRUE(o.serial.pace);
  EXPECT_EQ(o.captureFile, "cap.txt");
  EXPECT_EQ(o.faults.nakFirst, 2);
  EXPECT_EQ(o.faults.dropEvery, 3);
  EXPECT_EQ(o.faults.silentAfter, 9);
  EXPECT_EQ(o.faults.corruptFirst, 1);
  EXPECT_EQ(o.faults.delayMs, 16);
  EXPECT_EQ(o.faults.splitAt, (std::vector<int>{100, 200}));
  EXPECT_EQ(o.faults.splitGapMs, 5);
  EXPECT_EQ(o.faults.garbageBytes, 7);
  EXPECT_TRUE(o.faults.falseStart);
  EXPECT_EQ(o.faults.badChecksumFirst, 4);
  EXPECT_TRUE(o.quiet);
}

TEST(SimOptions, PortAloneKeepsTheLoopbackAddress) {
  SimOptions o;
  ASSERT_FALSE(Parse({"--udp", "6000"}, &o));
  EXPECT_EQ(o.udpAddress, "127.0.0.1");
  EXPECT_EQ(o.udpPort, 6000);
}

TEST(SimOptions, RefusesMalformedArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {"--udp", "127.0.0.1:70000"},
      {"--udp", "127.0.0.1:x"},
      {"--udp"},
      {"--nak-first", "-1"},
      {"--nak-first", "2x"},
      {"--delay"},
      {"--split-at", "200,100"},
      {"--split-at", "0"},
      {"--split-at", "100,"},
      {"--garbage", "4097"},
      {"--info", "machine-no"},
      {"--info", "colour=red"},
      {"--info", "model=256"},
      {"--info", "byte.256=1"},
      {"--info", "wireless-ip=1.2.3"},
      {"--info", "bt-name=" + std::string(32, 'n')},
      {"--pace=yes"},
      {"--serial-pty", "--serial", "/dev/ttyS0"},
      {"--frobnicate"},
  };
  for (const auto& args : bad) {
    SimOptions o;
    EXPECT_TRUE(Parse(args, &o)) << args[0] << (args.size() > 1 ? " " + args[1] : "");
  }
}

TEST(SimOptions, ModemAndLineOptionsAndTheirCombinations) {
  SimOptions o;
  ASSERT_FALSE(Parse(Words("--serial-pty --modem --modem-dial no-dialtone --modem-delay 50 "
                           "--modem-guard=200 --modem-drop-after 3 --line-bps 115200"),
                     &o));
  EXPECT_TRUE(o.modem);
  EXPECT_FALSE(o.udp);
  EXPECT_EQ(o.modemOptions.dial, DialOutcome::kNoDialtone);
  EXPECT_EQ(o.modemOptions.delay.count(), 50);
  EXPECT_EQ(o.modemOptions.guardTime.count(), 200);
  EXPECT_EQ(o.modemOptions.dropAfter, 3);
  EXPECT_EQ(o.modemOptions.lineBps, 115200);

  SimOptions pair;
  ASSERT_FALSE(
      Parse(Words("--modem-pair --ring-interval 250 --ring-limit 4 --corrupt-every 50"), &pair));
  EXPECT_TRUE(pair.modemPair);
  EXPECT_FALSE(pair.udp) << "a pair alone opens no UDP port";
  EXPECT_EQ(pair.modemOptions.ringInterval.count(), 250);
  EXPECT_EQ(pair.modemOptions.ringLimit, 4);
  EXPECT_EQ(pair.modemOptions.corruptEvery, 50);

  const std::vector<std::string> bad[] = {
      {"--modem"},
      {"--modem-pair", "--null-modem"},
      {"--serial-pty", "--modem", "--modem-dial", "maybe"},
      {"--modem-pair", "--modem-drop-after", "1"},
      {"--serial-pty", "--modem", "--ring-limit", "3"},
      {"--line-bps", "9600"},
      {"--null-modem", "--line-bps", "10"},
      {"--serial-pty", "--modem", "--corrupt-every", "5"},
      {"--serial-pty", "--pty-link", "/tmp/line-"},
      {"--serial-pty", "--modem=1"},
      {"--modem-pair", "--modem-guard", "6000"},
  };
  for (const auto& args : bad) {
    SimOptions b;
    EXPECT_TRUE(Parse(args, &b)) << args[0] << " " << args[1];
  }
}

TEST(SimOptions, InfoSettingsWriteTheirDataBytes) {
  DataBytes d;
  d.fill(0xFF);
  const std::pair<const char*, const char*> settings[] = {
      {"machine-no", "-1062731513"},  // 192.168.1.7 as a number: C0 A8 01 07
      {"print-speed", "0"},
      {"model", "1"},
      {"language", "0"},
      {"clear", "0xAA"},
      {"bt-name", "Kitchen 2"},
      {"wireless-ip", "10.0.0.9"},
      {"base-ip", "10.0.0.1"},
      {"wireless-no", "258"},
      {"byte.0x20", "7"},
  };
  for (const auto& [key, value] : settings)
    ASSERT_FALSE(ApplyInfoSetting(key, value, &d)) << key;
  EXPECT_EQ((std::vector<std::uint8_t>{d[4], d[5], d[6], d[7]}),
            (std::vector<std::uint8_t>{0xC0, 0xA8, 0x01, 0x07}));
  EXPECT_EQ((std::vector<std::uint8_t>{d[102], d[103], d[104], d[105]}),
            (std::vector<std::uint8_t>{0, 1, 0, 0xAA}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[112])), "Kitchen 2");
  EXPECT_EQ(d[142], 0);
  EXPECT_EQ((std::vector<std::uint8_t>{d[160], d[163], d[164], d[167]}),
            (std::vector<std::uint8_t>{10, 9, 10, 1}));
  EXPECT_EQ((std::vector<std::uint8_t>{d[168], d[169], d[170], d[171]}),
            (std::vector<std::uint8_t>{2, 1, 0, 0}));
  EXPECT_EQ(d[32], 7);
}

TEST(SimOptions, CaptureLineHoldsCommandWordAndDataInHex) {
  CapturedRecord r;
  r.command = 0x3F;
  r.word = 124;
  r.data[0] = 0xAB;
  r.data[255] = 0x01;
  const std::string line = FormatCaptureLine(r);
  ASSERT_EQ(line.size(), 2u + 1 + 4 + 1 + 512);
  EXPECT_EQ(line.substr(0, 10), "3F 007C AB");
  EXPECT_EQ(line.substr(line.size() - 4), "0001");
  EXPECT_EQ(line.find_first_not_of("0123456789ABCDEF ", 0), std::string::npos);
}

TEST(SimOptions, HelpNamesEveryOption) {
  const std::string help = UsageText();
  for (const std::string& option :
       Words("--udp --allow-remote --serial-pty --serial --baud --pace --capture --info "
             "--info-file --nak-first --drop-every --silent-after --corrupt-first --delay "
             "--split-at --split-gap --garbage --false-start --bad-checksum-first --quiet --help "
             "--version --modem --modem-dial --modem-delay --modem-guard --modem-drop-after "
             "--modem-pair --ring-interval --ring-limit --null-modem --line-bps "
             "--corrupt-every --pty-link"))
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace xv4::sim
