// xv4ctl as a user runs it: the executable spawned against the printer simulator on 127.0.0.1,
// with its own data directory, checked by exit status, output and the records on the wire.
#include "appcore/FormModel.h"
#include "appcore/LanguageTexts.h"
#include "appcore/ParamBlocks.h"
#include "platform/EventLoop.h"
#include "platform/IniFile.h"
#include "platform/Time.h"
#include "sim/Options.h"
#include "sim/PrinterEngine.h"
#include "sim/SerialServer.h"
#include "sim/UdpServer.h"
#include "support/AppSettings.h"
#include "support/LoopbackTcp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <condition_variable>
#include <csignal>
#include <mutex>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::Bytes;
using test::PatternFile;

struct CtlRun {
  int exitCode = -1;
  QString out;
  QString err;
};

QString BinDir() {
  const QByteArray bin = qgetenv("XV4_TEST_BIN");
  if (!bin.isEmpty())
    return QString::fromLocal8Bit(bin);
  return QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
}

class XvctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    server_.Start("127.0.0.1", 0);
  }

  QString Path(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }
  QByteArray Read(const QString& name) const {
    QFile f(Path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  void Write(const QString& name, const QByteArray& content) const {
    QFile f(Path(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
  }

  QStringList Printer() const {
    return {"--host", "127.0.0.1", "--port", QString::number(server_.Port())};
  }

  QProcessEnvironment Environment(const char* acp) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XV4_ACP", acp);
    env.insert("XV4_LOCAL_PORT", "0");
    env.remove("XV4_HOME");
    return env;
  }

  void Start(QProcess& p, const QStringList& args, const char* acp = "936") const {
    p.setProcessEnvironment(Environment(acp));
    p.start(BinDir() + "/xv4ctl", QStringList{"--data-dir", dir_.path()} + args);
    ASSERT_TRUE(p.waitForStarted(10000));
  }

  CtlRun Xvctl(const QStringList& args, const char* acp = "936") const {
    QProcess p;
    Start(p, args, acp);
    CtlRun r;
    EXPECT_TRUE(p.waitForFinished(180000));
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
  }

  std::vector<std::pair<int, int>> WireLog() const {
    std::vector<std::pair<int, int>> w;
    for (const auto& r : engine_.Captured())
      w.emplace_back(r.command, r.word);
    return w;
  }

  QTemporaryDir dir_;
  sim::PrinterEngine engine_;
  sim::UdpServer server_{engine_};
};

TEST_F(XvctlTest, HelpAndVersion) {
  const CtlRun help = Xvctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.contains("SYNOPSIS"));
  EXPECT_TRUE(help.out.contains("xv4ctl [OPTION]... program FILE"));
  EXPECT_TRUE(help.out.contains("EXIT STATUS"));
  EXPECT_TRUE(help.err.isEmpty());
  const CtlRun version = Xvctl({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "xv4ctl 1.504\n");
}

TEST_F(XvctlTest, BadUsageExitsTwoAndSendsNothing) {
  const QList<QStringList> cases = {
      {},
      {"frobnicate"},
      {"--port", "x", "test"},
      {"program"},
      {"--set", "NoSuchKey=1", "test"},
      {"--set", "cb_alert=9", "test"},
      {"--baud", "12345", "test"},
      {"--serial", "LPT1", "test"},
      {"--clear", "params"},  // the clear flag goes out with the printer-type row only
  };
  for (const QStringList& args : cases) {
    const CtlRun r = Xvctl(args);
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_TRUE(r.err.startsWith("xv4ctl: ")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Try 'xv4ctl --help'")) << r.err.toStdString();
  }
  EXPECT_TRUE(engine_.Captured().empty());
}

TEST_F(XvctlTest, TestSucceedsWithPlainProgressLines) {
  const CtlRun r = Xvctl(Printer() << "test");
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(
      r.out.startsWith(QStringLiteral("通讯测试成功!\n4 records exchanged with 127.0.0.1:%1 in ")
                           .arg(server_.Port())))
      << r.out.toStdString();
  EXPECT_EQ(r.err, "连接...\n通讯测试...\n通讯测试成功!\n断开...\n");
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 2}}));
  EXPECT_FALSE(QFile::exists(Path("Config.cfg"))) << "xv4ctl never writes Config.cfg";
}

TEST_F(XvctlTest, QuietPrintsNothingOnSuccess) {
  const CtlRun r = Xvctl(Printer() << "--quiet"
                                   << "test");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.isEmpty());
  EXPECT_TRUE(r.err.isEmpty());
}

TEST_F(XvctlTest, EnglishTextsFollowTheCodePage) {
  platform::IniFile english(BinDir() + "/English.LNG");
  ASSERT_TRUE(english.Loaded());
  ResetLanguageTexts();
  LoadLanguageTexts(english, 1252);
  const QString expected = MessageText(Msg::CommTestOk);
  ResetLanguageTexts();
  const CtlRun r = Xvctl(Printer() << "test", "1252");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.startsWith(expected + "\n")) << r.out.toStdString();
  EXPECT_NE(expected, MessageText(Msg::CommTestOk));
}

// A failure goes to standard error: the window's text, then where, how many tries over how
// long, and what to check.
TEST_F(XvctlTest, SilentPrinterFailsWithExitOne) {
  sim::FaultConfig f;
  f.dropEvery = 1;
  engine_.SetFaults(f);
  const QStringList quick = {"--retry-count", "1", "--retry-interval", "50"};
  CtlRun r = Xvctl(Printer() + quick << "test");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.isEmpty());
  const QString port = QString::number(server_.Port());
  EXPECT_TRUE(r.err.contains(
      QStringLiteral("xv4ctl: 连接...失败!\nConnecting to 127.0.0.1:%1 failed after 2 tries in ")
          .arg(port)))
      << r.err.toStdString();
  EXPECT_TRUE(r.err.endsWith(
      QStringLiteral(" s: no answer (is the printer on, and is %1 its port?)\n").arg(port)))
      << r.err.toStdString();
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 1}}));

  // A download that stops midway says at which record.
  Write("zk16.hex", PatternFile(40960));
  f.dropEvery = 0;
  f.silentAfter = 5 + 27;
  engine_.SetFaults(f);
  r = Xvctl(Printer() + quick << "params");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains(QStringLiteral("xv4ctl: 上载信息...失败!\nParameter download to "
                                            "127.0.0.1:%1 stopped at record 27 of 128: "
                                            "no acknowledgement after 2 tries in ")
                                 .arg(port)))
      << r.err.toStdString();
}

TEST_F(XvctlTest, MalformedAddressExitsTwo) {
  const CtlRun r = Xvctl({"--host", "127.0.0", "test"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err,
            "xv4ctl: --host 127.0.0: Invalid S/N (an address is four numbers from 0 to 255, such "
            "as 192.168.1.7)\n");
  EXPECT_TRUE(r.out.isEmpty());
}

TEST_F(XvctlTest, SerialPortThatCannotOpenExitsThree) {
  for (const char* command : {"test", "drawer", "params"}) {
    Write("zk16.hex", PatternFile(40960));
    const CtlRun r = Xvctl({"--serial", Path("no-such-tty"), "--baud", "115200", command});
    EXPECT_EQ(r.exitCode, 3) << command;
    EXPECT_TRUE(r.err.contains("Error opening")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(
        QStringLiteral("xv4ctl: Cannot open %1: no such device (").arg(Path("no-such-tty"))))
        << r.err.toStdString();
  }
}

TEST_F(XvctlTest, SerialLineThroughADevicePath) {
  sim::SerialServer serial(engine_);
  serial.StartPty();
  Write("zk16.hex", PatternFile(40960));
  const QString tty = QString::fromStdString(serial.Path());
  CtlRun r = Xvctl({"--serial", tty, "--baud", "115200", "--id", "77", "test"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 2}}));
  // The handshake carries machine number 77 in packed BCD, least significant pair first.
  EXPECT_EQ(Bytes(engine_.Captured()[0].data, 0, 4), Bytes({0x77, 0x00, 0x00, 0x00}));

  engine_.ClearCapture();
  r = Xvctl({"--serial", tty, "--baud", "115200", "params"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(engine_.Captured().size(), 5u + 128u + 1u);
}

// Every command over a serial line whose printer refuses once, garbles a reply, sends a bad
// checksum and puts noise before every answer: each still gets all its records through.
TEST_F(XvctlTest, EveryCommandOverRs232ThroughLineFaults) {
  sim::SerialServer serial(engine_);
  serial.StartPty();
  Write("zk16.hex", PatternFile(160 * 256));
  Write("fw.bin", PatternFile(1000));
  sim::FaultConfig faults;
  faults.nakFirst = 1;
  faults.corruptFirst = 1;
  faults.badChecksumFirst = 1;
  faults.falseStart = true;
  faults.garbageBytes = 7;
  const QStringList line = {"--serial",         QString::fromStdString(serial.Path()),
                            "--baud",           "115200",
                            "--retry-interval", "200"};
  auto records = [](int command, int from, int count) {
    std::vector<std::pair<int, int>> w;
    for (int i = from; i < from + count; ++i)
      w.emplace_back(command, i);
    return w;
  };
  auto join = [](std::initializer_list<std::vector<std::pair<int, int>>> parts) {
    std::vector<std::pair<int, int>> w;
    for (const auto& p : parts)
      w.insert(w.end(), p.begin(), p.end());
    return w;
  };
  const std::vector<std::pair<int, int>> test = {{14, 1}, {14, 16}, {63, 124}, {14, 2}};
  const std::vector<std::pair<int, int>> start = {{14, 1}, {14, 16}, {63, 124}, {14, 16}};
  const struct {
    QStringList command;
    std::vector<std::pair<int, int>> wire;
  } cases[] = {
      {{"test"}, test},
      {{"params"}, join({start, records(63, 0, 128), {{14, 2}}})},
      {{"data"}, join({start, records(63, 0, 160), {{14, 2}}})},
      {{"program", Path("fw.bin")}, join({{{14, 1}, {14, 16}}, records(15, 0, 4)})},
      {{"drawer"}, test},  // a fresh process has not tested yet: the test runs first
  };
  for (const auto& c : cases) {
    engine_.ClearCapture();
    engine_.SetFaults(faults);
    const CtlRun r = Xvctl(line + c.command);
    const std::string name = c.command.join(' ').toStdString();
    EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err.toStdString();
    std::vector<std::pair<int, int>> folded;
    for (const auto& rec : engine_.Captured()) {
      if (folded.empty() || folded.back() != std::pair<int, int>{rec.command, rec.word})
        folded.emplace_back(rec.command, rec.word);
    }
    EXPECT_EQ(folded, c.wire) << name;
    EXPECT_GT(engine_.Captured().size(), c.wire.size()) << name << ": the faults cost repeats";
  }
}

TEST_F(XvctlTest, SerialDrawerAfterAFailedTestIsSentButExitsOne) {
  sim::SerialServer serial(engine_);
  serial.StartPty();
  sim::FaultConfig silent;
  silent.dropEvery = 1;
  engine_.SetFaults(silent);
  const CtlRun r = Xvctl({"--serial", QString::fromStdString(serial.Path()), "--baud", "115200",
                          "--retry-count", "0", "--retry-interval", "50", "drawer"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
  EXPECT_TRUE(r.err.contains("连接...失败!\n")) << r.err.toStdString();
  EXPECT_TRUE(
      r.err.contains("xv4ctl: The communication test failed; the drawer command was sent anyway.\n"
                     "Cash drawer: command sent to "))
      << r.err.toStdString();
  // Outside frames: the trailer byte of each handshake frame, then the five command bytes.
  auto outside = [&serial] {
    const sim::SerialStats st = serial.Stats();
    return st.discardedBytes - st.frames;
  };
  const platform::Deadline deadline = platform::Deadline::In(10000);
  while (outside() < 5 && !deadline.Expired())
    platform::DelayMs(10);
  EXPECT_EQ(outside(), 5u);
}

TEST_F(XvctlTest, OptionsActInTheOrderGiven) {
  // The later --set wins over the earlier --host; only 127.0.0.1 answers.
  const CtlRun r = Xvctl({"--host", "127.0.0.9", "--port", QString::number(server_.Port()), "--set",
                          "IPAddrEd=127.0.0.1", "--retry-count", "1", "test"});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
}

TEST_F(XvctlTest, StartsFromConfigCfgAndLeavesItUntouched) {
  // A missing key empties its edit: without NewIPAddrEd the new address is malformed, and
  // that is found before anything is sent.
  QByteArray config =
      "[Set]\r\nIPAddrEd=127.0.0.1\r\nIPPortEd=" + QByteArray::number(server_.Port()) +
      "\r\nse1=120\r\n";
  Write("Config.cfg", config);
  Write("zk16.hex", PatternFile(40960));
  const CtlRun refused = Xvctl({"params"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(refused.err.startsWith("xv4ctl: NewIPAddrEd=\"\" (Config.cfg): Invalid S/N ("))
      << refused.err.toStdString();
  EXPECT_TRUE(engine_.Captured().empty());

  config += "NewIPAddrEd=192.168.1.7\r\nedt_WiFi_Ip=192.168.1.7\r\n";
  Write("Config.cfg", config);
  const CtlRun r = Xvctl({"params"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Read("Config.cfg"), config);
  const QByteArray log = Read("log.hex");
  ASSERT_EQ(log.size(), 512);
  EXPECT_EQ(Bytes(log, 71, 2), Bytes({0x00, 120}));
}

TEST_F(XvctlTest, ParamDownloadWorkedExample) {
  const QByteArray file = PatternFile(40960);
  Write("zk16.hex", file);
  const CtlRun r = Xvctl(Printer() << "--set"
                                   << "cb_alert=0"
                                   << "params");
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.startsWith("下载参数成功！请重新启动打印机。\n134 records exchanged with "))
      << r.out.toStdString();

  const auto c = engine_.Captured();
  ASSERT_EQ(c.size(), 5u + 128u + 1u);
  const auto& a = c[5 + 121].data;
  EXPECT_EQ(Bytes(a, 64, 9), Bytes({0xFF, 0x00, 0xD2, 160, 0xFF, 0xFF, 3, 0x00, 0x32}));
  EXPECT_EQ(Bytes(a, 80, 2), Bytes({0x00, 1}));
  EXPECT_EQ(a[106], 0xFF);
  const auto& b = c[5 + 122].data;
  EXPECT_EQ(Bytes(b, 0, 5), Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA}));
  EXPECT_EQ(Bytes(c[5 + 123].data, 0, 256), std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_EQ(Bytes(c[5 + 120].data, 0, 256), Bytes(file, 120 * 256, 256));
  const QByteArray log = Read("log.hex");
  ASSERT_EQ(log.size(), 512);
  EXPECT_EQ(Bytes(log, 0, 256), Bytes(a, 0, 256));
  EXPECT_EQ(Bytes(log, 256, 256), Bytes(b, 0, 256));
}

TEST_F(XvctlTest, ParamDownloadWithRevealedRowsAndChecks) {
  Write("font.bin", PatternFile(40960));
  const CtlRun r = Xvctl(Printer() << "--reveal"
                                   << "machine-no,printer-type"
                                   << "--set"
                                   << "PP3IDEd=12345678"
                                   << "--set"
                                   << "cbbsort=3"
                                   << "--set"
                                   << "cbbJianFan=1"
                                   << "--clear"
                                   << "--bt"
                                   << "--set"
                                   << "edtlanyani=ABC"
                                   << "--wireless"
                                   << "--data-file" << Path("font.bin") << "params");
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const auto c = engine_.Captured();
  ASSERT_EQ(c.size(), 4u + 128u + 1u) << "no machine-number read";
  const auto& a = c[4 + 121].data;
  EXPECT_EQ(Bytes(a, 4, 4), Bytes({0x00, 0xBC, 0x61, 0x4E}));
  EXPECT_EQ(Bytes(a, 102, 4), Bytes({0x01, 0x01, 0x01, 0xAA}));
  EXPECT_EQ(Bytes(a, 112, 4), Bytes({0x41, 0x42, 0x43, 0x00}));
  EXPECT_EQ(Bytes(a, 160, 12),
            Bytes({0xC0, 0xA8, 0x01, 0x09, 0xC0, 0xA8, 0x01, 0x0A, 0xD2, 0x04, 0x00, 0x00}));
}

TEST_F(XvctlTest, ParamDownloadRefusesMissingAndShortFiles) {
  CtlRun r = Xvctl(Printer() << "params");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.contains("zk16.hex")) << r.err.toStdString();
  EXPECT_TRUE(QFile::exists(Path("log.hex")));
  EXPECT_EQ(Read("log.hex").size(), 0);

  Write("zk16.hex", PatternFile(121 * 256));
  r = Xvctl(Printer() << "params");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.contains("at least 123 records")) << r.err.toStdString();
  EXPECT_TRUE(engine_.Captured().empty());

  Write("zk16.hex", PatternFile(40960));
  r = Xvctl(Printer() << "--set"
                      << "newipaddred=10.0.0"
                      << "params");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.startsWith("xv4ctl: --set NewIPAddrEd=10.0.0: Invalid S/N ("))
      << r.err.toStdString();
  EXPECT_TRUE(engine_.Captured().empty());
}

TEST_F(XvctlTest, DataDownloadDefaultAndNamedFiles) {
  Write("zk16.hex", PatternFile(40960));
  CtlRun r = Xvctl(Printer() << "--wireless"
                             << "data");
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.startsWith("下载数据成功！请重新启动打印机。\n")) << r.out.toStdString();
  auto c = engine_.Captured();
  ASSERT_EQ(c.size(), 5u + 160u + 1u);
  EXPECT_EQ(Bytes(c[5 + 122].data, 0, 21),
            Bytes({0xC0, 0xA8, 0x01, 0x07, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0xA8,
                   0x01, 0x09, 0xC0, 0xA8, 0x01, 0x0A, 0xD2, 0x04, 0x00, 0x00}));
  EXPECT_FALSE(QFile::exists(Path("log.hex")));

  engine_.ClearCapture();
  Write("small.hex", PatternFile(3 * 256));
  r = Xvctl(Printer() << "data" << Path("small.hex"));
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(engine_.Captured().size(), 5u + 3u + 1u);

  r = Xvctl(Printer() << "data" << Path("missing.hex"));
  EXPECT_EQ(r.exitCode, 2);
}

TEST_F(XvctlTest, ProgramDownloadOnTheWire) {
  Write("fw.bin", PatternFile(1000));
  const CtlRun r = Xvctl(Printer() << "program" << Path("fw.bin"));
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.startsWith("升级程序成功!\n7 records exchanged with ")) << r.out.toStdString();
  EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{
                           {14, 1}, {14, 16}, {15, 0}, {15, 0}, {15, 1}, {15, 2}, {15, 3}}));

  Write("empty.bin", QByteArray());
  const CtlRun empty = Xvctl(Printer() << "program" << Path("empty.bin"));
  EXPECT_EQ(empty.exitCode, 2);
  EXPECT_TRUE(empty.err.contains("empty")) << empty.err.toStdString();
}

TEST_F(XvctlTest, DrawerOverTcp) {
  test::LoopbackListener printer;
  const CtlRun r =
      Xvctl(Printer() << "--drawer-port" << QString::number(printer.Port()) << "drawer");
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(printer.AcceptAndReadAll(5000), QByteArray("\x1B\x70\x00\x18\x18", 5));
  EXPECT_TRUE(engine_.Captured().empty());
  EXPECT_EQ(r.out,
            QStringLiteral("Cash drawer: command sent to 127.0.0.1:%1\n").arg(printer.Port()));

  test::RefusingPort closed;
  const CtlRun refused =
      Xvctl(Printer() << "--drawer-port" << QString::number(closed.Port()) << "drawer");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.err,
            QStringLiteral("xv4ctl: Socket Error # 111\nConnection refused.\nCash drawer: "
                           "127.0.0.1:%1 refused the connection (is %1 the printer's raw printing "
                           "port, and is the address right?)\n")
                .arg(closed.Port()));
}

// info writes nothing; what the simulator was given with --info comes back decoded, as text
// and as JSON.
TEST_F(XvctlTest, InfoShowsWhatThePrinterHolds) {
  sim::DataBytes info = engine_.InfoData();
  const std::pair<const char*, const char*> given[] = {
      {"machine-no", "4321"},    {"bt-name", "Kitchen-2"}, {"wireless-ip", "10.1.2.3"},
      {"base-ip", "10.1.2.254"}, {"wireless-no", "77"},    {"model", "1"},
      {"print-speed", "0"},      {"language", "2"},        {"clear", "0xAA"}};
  for (const auto& [key, value] : given)
    ASSERT_EQ(sim::ApplyInfoSetting(key, value, &info), std::nullopt) << key;
  engine_.SetInfoData(info);

  const CtlRun r = Xvctl(Printer() << "info", "1252");
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  for (const char* line :
       {"Machine number:        4321\n", "Printer language:      English (2)\n",
        "(speed byte 0, model byte 1)\n", "Clear flag:            set", "(0xAA)\n",
        "Bluetooth name:        Kitchen-2\n", "Wireless printer IP:   10.1.2.3\n",
        "Base station IP:       10.1.2.254\n", "Wireless printer no.:  77\n",
        "  70 < 4B 69 74 63 68 65 6E 2D 32 00", "5 records exchanged with 127.0.0.1:"}) {
    EXPECT_TRUE(r.out.contains(QString::fromLatin1(line))) << line << "\n" << r.out.toStdString();
  }
  EXPECT_EQ(WireLog(),
            (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {14, 16}, {14, 16}, {14, 2}}));

  const CtlRun j = Xvctl(Printer() << "--json"
                                   << "info");
  const QJsonObject decoded = QJsonDocument::fromJson(j.out.toUtf8()).object()["info"].toObject();
  EXPECT_EQ(decoded["machine_no"].toInt(), 4321);
  EXPECT_EQ(decoded["bluetooth_name"].toString(), "Kitchen-2");
  EXPECT_EQ(decoded["wireless_printer_ip"].toString(), "10.1.2.3");
  EXPECT_EQ(decoded["base_station_ip"].toString(), "10.1.2.254");
  EXPECT_EQ(decoded["wireless_printer_no"].toInt(), 77);
  EXPECT_EQ(decoded["record"].toString().size(), 512);
}

// --json: one object on standard output, whatever the command and however it ends.
TEST_F(XvctlTest, JsonReportForEveryCommandAndExitStatus) {
  Write("fw.bin", PatternFile(1000));
  sim::SerialServer serial(engine_);
  serial.StartPty();
  test::RefusingPort closed;
  const QString tty = QString::fromStdString(serial.Path());
  const struct {
    QStringList args;
    int exit;
    const char* status;
    const char* target;  // "" when it has none
  } cases[] = {
      {Printer() << "test", 0, "success", "127.0.0.1:"},
      {{"--serial", tty, "test"}, 0, "success", " at 9600 baud"},  // no speed chosen
      {Printer() << "program" << Path("fw.bin"), 0, "success", "127.0.0.1:"},
      {Printer() << "info", 0, "success", "127.0.0.1:"},
      {{"--set", "CB_ALERT=1", "settings"}, 0, "success", ""},
      {{"ports"}, 0, "success", ""},
      {{"-V"}, 0, "success", ""},
      {Printer() << "--drawer-port" << QString::number(closed.Port()) << "drawer", 1, "failed",
       "127.0.0.1:"},
      {Printer() << "params", 2, "bad-input", "127.0.0.1:"},  // no zk16.hex
      {{"--host", "127.0.0.256", "test"}, 2, "bad-input", "127.0.0.256:5013"},
      {{"--frobnicate", "test"}, 2, "usage", ""},
      {{"--serial", Path("no-such-tty"), "test"}, 3, "link-not-opened", "no-such-tty at 9600"},
  };
  for (const auto& c : cases) {
    const CtlRun r = Xvctl(QStringList{"--json"} + c.args);
    const std::string name = c.args.join(' ').toStdString();
    EXPECT_EQ(r.exitCode, c.exit) << name << ": " << r.err.toStdString();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << name << ": " << r.out.toStdString();
    const QJsonObject o = doc.object();
    EXPECT_EQ(o["exit"].toInt(-1), c.exit) << name;
    EXPECT_EQ(o["status"].toString(), c.status) << name;
    EXPECT_TRUE(o["target"].toString().contains(c.target)) << name;
    for (const char* member : {"command", "message", "detail", "records", "duration"})
      EXPECT_TRUE(o.contains(member)) << name << ": " << member;
    if (c.exit != 0) {
      EXPECT_FALSE(o["message"].toString().isEmpty() && o["detail"].toString().isEmpty()) << name;
    }
  }

  // The settings list that shell completion reads: every Config.cfg key, as written.
  const CtlRun r = Xvctl({"--json", "--set", "CB_ALERT=1", "settings"});
  const QJsonArray settings =
      QJsonDocument::fromJson(r.out.toUtf8()).object()["settings"].toArray();
  QStringList keys;
  for (const QJsonValue& v : settings) {
    const QJsonObject s = v.toObject();
    keys << s["key"].toString();
    EXPECT_TRUE(s.contains("label") && s.contains("kind") && s.contains("value"));
    if (s["key"] == "cb_alert") {
      EXPECT_EQ(s["value"].toInt(), 1);
      EXPECT_EQ(s["items"].toArray().size(), 4);
    }
    if (s["key"] == "se1") {
      EXPECT_EQ(s["max"].toInt(), 900);
    }
  }
  EXPECT_EQ(keys, SettingKeys());

  // Revealing the printer-type row without a type warns about the model byte.
  Write("zk16.hex", PatternFile(40960));
  const CtlRun warned = Xvctl(Printer() << "--json"
                                        << "--reveal"
                                        << "printer-type"
                                        << "params");
  EXPECT_EQ(warned.exitCode, 0);
  EXPECT_TRUE(warned.err.contains("model byte will be overwritten")) << warned.err.toStdString();
  EXPECT_EQ(QJsonDocument::fromJson(warned.out.toUtf8()).object()["records"].toInt(), 134);
}

TEST_F(XvctlTest, TrafficLogOnRequest) {
  ASSERT_EQ(Xvctl(Printer() << "--log-traffic"
                            << "test")
                .exitCode,
            0);
  const QStringList logs = QDir(Path("LOG")).entryList({"*.LOG"}, QDir::Files);
  ASSERT_EQ(logs.size(), 1);
  EXPECT_TRUE(Read("LOG/" + logs.first()).contains(">>>>>>Receive data<<<<<<<<"));
}

TEST_F(XvctlTest, CtrlCOrTerminateAbortsTheTransferAndExitsOne) {
  Write("fw.bin", PatternFile(2 * 1024 * 1024));
  sim::FaultConfig f;
  f.delayMs = 20;  // the whole file would take minutes
  engine_.SetFaults(f);
  for (const int signo : {SIGINT, SIGTERM}) {
    const int before = engine_.Stats().requests;
    QProcess p;
    Start(p, Printer() << "program" << Path("fw.bin"));
    ASSERT_TRUE(engine_.WaitForRequests(before + 10, std::chrono::seconds(30))) << signo;
    ::kill(static_cast<pid_t>(p.processId()), signo);
    ASSERT_TRUE(p.waitForFinished(30000)) << signo;
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << signo;
    EXPECT_EQ(p.exitCode(), 1) << signo;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_FALSE(out.contains("升级程序成功!")) << signo;
    EXPECT_FALSE(out.contains("升级程序...失败!")) << "a cancelled run shows no failure text";
    EXPECT_TRUE(err.contains("xv4ctl: interrupted")) << err.toStdString();
    EXPECT_LT(engine_.Stats().requests - before, 200) << signo;
  }
}

// The printer behind the simulator's emulated modem on a pseudo-terminal, with the modem's
// traffic lines kept for the test.
class ModemPrinter {
 public:
  ModemPrinter(sim::PrinterEngine& engine, sim::DialOutcome dial, int dropAfter = 0)
      : serial_(engine) {
    sim::ModemOptions modem;
    modem.dial = dial;
    modem.dropAfter = dropAfter;
    sim::SerialOptions options;
    options.modem = modem;
    serial_.SetTrafficLog([this](const std::string& line) {
      std::lock_guard lock(m_);
      lines_ << QString::fromStdString(line);
      changed_.notify_all();
    });
    serial_.StartPty(options);
  }
  QString Path() const { return QString::fromStdString(serial_.Path()); }
  QStringList Traffic() const {
    std::lock_guard lock(m_);
    return lines_;
  }
  bool WaitForLine(const QString& text) {
    std::unique_lock lock(m_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return lines_.join('\n').contains(text); });
  }

 private:
  sim::SerialServer serial_;
  mutable std::mutex m_;
  std::condition_variable changed_;
  QStringList lines_;
};

// xv4ctl --dial: every way a call ends, with its own message and exit status; the carrier lost
// in the middle of a download; Ctrl+C while dialling; numbers and modes that are refused. Every
// way out hangs up before the port closes.
TEST_F(XvctlTest, DialsThePrinterThroughAModem) {
  {
    ModemPrinter printer(engine_, sim::DialOutcome::kConnect);
    const CtlRun r = Xvctl({"--serial", printer.Path(), "--dial", "555-1234", "test"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("Dialing 555-1234...\n")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(
        QStringLiteral("4 records exchanged with 555-1234 through the modem on %1 at 9600 baud")
            .arg(printer.Path())))
        << r.out.toStdString();
    EXPECT_EQ(WireLog(), (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 2}}));
    const QString traffic = printer.Traffic().join('\n');
    EXPECT_TRUE(
        traffic.contains("modem \"ATDT555-1234\" -> dialing 5551234\nmodem -> CONNECT 9600"))
        << traffic.toStdString();
    EXPECT_TRUE(traffic.endsWith(
        "modem escape \"+++AT\" -> OK\nmodem \"ATH0\" -> OK\nmodem terminal closed"))
        << traffic.toStdString();
  }

  engine_.ClearCapture();
  const struct {
    sim::DialOutcome dial;
    const char* text;
    const char* word;
  } failures[] = {
      {sim::DialOutcome::kBusy, "The printer's line is busy", "BUSY"},
      {sim::DialOutcome::kNoAnswer, "The printer's modem does not answer", "NO ANSWER"},
      {sim::DialOutcome::kNoDialtone, "No dial tone", "NO DIALTONE"},
      {sim::DialOutcome::kNoCarrier, "No connection to the printer's modem", "NO CARRIER"},
  };
  for (const auto& f : failures) {
    ModemPrinter printer(engine_, f.dial);
    const CtlRun r = Xvctl({"--serial", printer.Path(), "--dial", "5551234", "test"});
    EXPECT_EQ(r.exitCode, 3) << f.word;
    EXPECT_TRUE(r.err.contains(QStringLiteral("xv4ctl: %1\nDialing 5551234 on %2: %3 after ")
                                   .arg(f.text, printer.Path(), f.word)))
        << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(printer.Traffic().join('\n').endsWith(
        f.dial == sim::DialOutcome::kNoCarrier ? "\"+++AT\" -> OK\nmodem terminal closed"
                                               : "\"ATH0\" -> OK\nmodem terminal closed"))
        << printer.Traffic().join('\n').toStdString();
  }
  EXPECT_TRUE(engine_.Captured().empty());

  // The carrier goes after 20 records of a parameter download: the run fails at once.
  Write("zk16.hex", PatternFile(40960));
  {
    ModemPrinter printer(engine_, sim::DialOutcome::kConnect, 20);
    const CtlRun r = Xvctl({"--serial", printer.Path(), "--dial", "5551234", "params"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Parameter download to 5551234 through the modem on "
                                              "%1 at 9600 baud stopped at record 15 of 128: the "
                                              "modem line dropped (NO CARRIER) after ")
                                   .arg(printer.Path())))
        << r.err.toStdString();
    EXPECT_EQ(engine_.Captured().size(), 20u);
    const QString traffic = printer.Traffic().join('\n');
    EXPECT_TRUE(traffic.contains(QRegularExpression("-> NO CARRIER\n(.*\n)*modem \"ATH0\" -> OK")))
        << traffic.toStdString();
  }

  // Ctrl+C while the modem dials: the link hangs up and closes the port.
  {
    ModemPrinter printer(engine_, sim::DialOutcome::kSilent);
    QProcess p;
    Start(p, {"--serial", printer.Path(), "--dial", "5551234", "test"});
    ASSERT_TRUE(printer.WaitForLine("dialing 5551234"));
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).endsWith("xv4ctl: interrupted\n"));
    EXPECT_TRUE(printer.Traffic().join('\n').endsWith(
        "modem dial abandoned by the terminal\nmodem \"ATH0\" -> OK\nmodem terminal closed"))
        << printer.Traffic().join('\n').toStdString();
  }

  // A number that would carry commands of its own is refused before anything is sent.
  {
    ModemPrinter printer(engine_, sim::DialOutcome::kConnect);
    const CtlRun r = Xvctl({"--serial", printer.Path(), "--dial", "555\r\nAT&F", "test"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "xv4ctl: --dial \"555\\r\\nAT&F\": Invalid phone number (a number holds "
              "digits, * # , ; + - ( ) and blanks, and the dial modifiers W P T ! @; at "
              "most 40 characters)\n");
    EXPECT_TRUE(printer.Traffic().isEmpty()) << printer.Traffic().join('\n').toStdString();
  }
  const CtlRun network = Xvctl(Printer() << "--dial"
                                         << "5551234"
                                         << "test");
  EXPECT_EQ(network.exitCode, 2);
  EXPECT_TRUE(network.err.contains("--dial calls the printer's modem over a serial line"));
}

}  // namespace
}  // namespace xv4
