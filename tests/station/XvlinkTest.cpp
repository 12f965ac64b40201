// Two xv4link processes on the two ends of an xv4sim line: a null-modem cable with --direct, a
// modem pair that dials and answers. Files on disk, event lines, exit status.
#include "tests/support/SerialTestUtil.h"
#include "tests/support/StationProcesses.h"
#include "tests/support/TempDir.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

using test::Pattern;
using test::ReadFile;
using test::SimLine;
using test::StationProcess;
using test::WriteFile;

// Generous limits: the machine may be loaded, and a transfer waits 3 s before its first pack.
constexpr int kStartMs = 20000;
constexpr int kTransferMs = 120000;

QString Bin() {
  return test::ProgramDir(QStringLiteral("bin"));
}

class XvlinkTest : public ::testing::Test {
 protected:
  // Options every station of a test shares: its data directory (Option.ini, debug/).
  QStringList Common() const { return {"--data-dir", dataDir_.path()}; }

  QTemporaryDir dataDir_;
  QTemporaryDir files_;
};

TEST_F(XvlinkTest, DirectLineMovesFilesWholeInBothModes) {
  struct Mode {
    const char* ackMode;
    const char* packSize;
    std::vector<qint64> sizes;
  };
  // 0 bytes, 1 byte, exactly one pack, a multiple of the pack size, 1 MiB. TFMode 0 streams one
  // pack per 50 ms pass: its 1 MiB goes in the largest packs.
  const Mode modes[] = {{"1", "1024", {0, 1, 1024, 3 * 1024, 1 << 20}},
                        {"0", "4083", {0, 1, 4083, 3 * 4083, 1 << 20}}};
  for (const Mode& mode : modes) {
    SCOPED_TRACE(std::string("ack mode ") + mode.ackMode);
    SimLine line;
    QString error;
    ASSERT_TRUE(line.Start(Bin(), {"--null-modem", "-q"}, &error)) << error.toStdString();
    const QString inbox = files_.filePath(QStringLiteral("inbox%1").arg(mode.ackMode));
    StationProcess receiver;
    ASSERT_TRUE(receiver.Start(
        Bin(), Common() + QStringList{"--serial", line.Path(1), "--direct", "--receive-dir", inbox,
                                      "--keep-going", "--ack-mode", mode.ackMode, "--pack-size",
                                      mode.packSize}));
    ASSERT_TRUE(receiver.WaitFor("connected: direct line", kStartMs))
        << receiver.Err().toStdString();
    int n = 0;
    for (qint64 size : mode.sizes) {
      const QByteArray content = Pattern(size, ++n);
      const QString local = files_.filePath(QStringLiteral("send%1.bin").arg(n));
      ASSERT_TRUE(WriteFile(local, content));
      const QString remote = QStringLiteral("sub/dir/f%1.bin").arg(n);
      StationProcess sender;
      ASSERT_TRUE(sender.Start(
          Bin(),
          Common() + QStringList{"--serial", line.Path(0), "--direct", "--send", local, remote,
                                 "--ack-mode", mode.ackMode, "--pack-size", mode.packSize}));
      EXPECT_EQ(sender.Wait(kTransferMs), 0) << size << "\n" << sender.Err().toStdString();
      EXPECT_TRUE(
          sender.Out().contains(QStringLiteral("file done OK: %1, %2 bytes").arg(remote).arg(size)))
          << sender.Out().toStdString();
      EXPECT_TRUE(receiver.WaitFor(QStringLiteral("file done OK: %1/%2, %3 bytes")
                                       .arg(QDir::cleanPath(inbox), remote)
                                       .arg(size),
                                   kStartMs))
          << receiver.Out().toStdString();
      EXPECT_EQ(ReadFile(inbox + "/" + remote), content) << size;
    }
    // Stopped after files that all arrived: a clean end. No temporary file is left.
    receiver.Signal(SIGTERM);
    EXPECT_EQ(receiver.Wait(kStartMs), 0) << receiver.Err().toStdString();
    EXPECT_EQ(QDir(inbox + "/sub/dir").entryList(QDir::Files | QDir::Hidden).size(),
              static_cast<qsizetype>(mode.sizes.size()));
  }
}

TEST_F(XvlinkTest, ModemPairDialsAnswersLogsInAndRefusesAWrongPassword) {
  SimLine line;
  QString error;
  ASSERT_TRUE(
      line.Start(Bin(), {"--modem-pair", "--ring-interval", "300", "--modem-delay", "100"}, &error))
      << error.toStdString();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XV4_PASSWORD", "s3cret");
  const QString inbox = files_.filePath("inbox");

  struct Call {
    const char* ackMode;
    const char* password;
    bool accepted;
  };
  // The whole password in another letter case logs in; a part of it does not.
  const Call calls[] = {{"1", "S3CRET", true}, {"0", "s3cret", true}, {"1", "s3c", false}};
  int n = 0;
  for (const Call& call : calls) {
    SCOPED_TRACE(std::string("password ") + call.password);
    const QByteArray content = Pattern(50000 + n, n);
    const QString local = files_.filePath(QStringLiteral("m%1.bin").arg(++n));
    ASSERT_TRUE(WriteFile(local, content));
    StationProcess receiver;
    ASSERT_TRUE(receiver.Start(
        Bin(),
        Common() + QStringList{"--serial", line.Path(1), "--answer", "--rings", "2", "--login",
                               "--receive-dir", inbox, "--ack-mode", call.ackMode, "--debug"},
        env));
    ASSERT_TRUE(receiver.WaitFor("waiting for a call", kStartMs, true))
        << receiver.Err().toStdString();
    StationProcess sender;
    ASSERT_TRUE(sender.Start(
        Bin(), Common() + QStringList{"--serial", line.Path(0), "--dial", "5551234", "--login",
                                      "--password", call.password, "--send", local,
                                      "fonts/zk16.hex", "--ack-mode", call.ackMode}));
    if (call.accepted) {
      EXPECT_EQ(sender.Wait(kTransferMs), 0) << sender.Err().toStdString();
      EXPECT_EQ(receiver.Wait(kTransferMs), 0) << receiver.Err().toStdString();
      EXPECT_TRUE(sender.Out().startsWith("connected: dialled 5551234\nlogin OK: remote station "))
          << sender.Out().toStdString();
      EXPECT_TRUE(
          receiver.Out().startsWith("connected: answered a call\nlogin OK: remote station "))
          << receiver.Out().toStdString();
      EXPECT_EQ(ReadFile(inbox + "/fonts/zk16.hex"), content);
    } else {
      EXPECT_EQ(sender.Wait(kTransferMs), 1) << sender.Err().toStdString();
      EXPECT_TRUE(sender.Out().contains("login refused")) << sender.Out().toStdString();
      EXPECT_TRUE(receiver.WaitFor("login refused: remote station UNKNOWN", kStartMs))
          << receiver.Out().toStdString();
      receiver.Signal(SIGINT);
      EXPECT_EQ(receiver.Wait(kStartMs), 1);
      EXPECT_TRUE(receiver.Err().contains("THIS IS PC/")) << "the debug lines show the login";
    }
    // No password reaches the debug lines, on the screen or on disk.
    QString written;
    for (const QString& name : QDir(dataDir_.filePath("debug")).entryList(QDir::Files))
      written += QString::fromLatin1(ReadFile(dataDir_.filePath("debug/" + name)));
    for (const QString& text : {receiver.Err(), written}) {
      EXPECT_FALSE(text.contains(call.password, Qt::CaseInsensitive));
      EXPECT_FALSE(text.contains("s3cret", Qt::CaseInsensitive));
    }
  }
}

TEST_F(XvlinkTest, CorruptedPacksAreResentAndAReceiverThatGoesAwayFailsTheSender) {
  {
    // One data pack in 50 spoiled on the line: the receiver drops it, the sender resends it.
    SimLine line;
    QString error;
    ASSERT_TRUE(line.Start(Bin(), {"--null-modem", "--corrupt-every", "50"}, &error))
        << error.toStdString();
    const QByteArray content = Pattern(120 * 1024 + 7, 7);
    const QString local = files_.filePath("c.bin");
    ASSERT_TRUE(WriteFile(local, content));
    const QString inbox = files_.filePath("cin");
    StationProcess receiver;
    ASSERT_TRUE(receiver.Start(Bin(), Common() + QStringList{"--serial", line.Path(1), "--direct",
                                                             "--receive-dir", inbox}));
    StationProcess sender;
    ASSERT_TRUE(sender.Start(Bin(), Common() + QStringList{"--serial", line.Path(0), "--direct",
                                                           "--send", local, "c.bin", "--debug"}));
    EXPECT_EQ(sender.Wait(kTransferMs), 0) << sender.Err().toStdString();
    EXPECT_EQ(receiver.Wait(kTransferMs), 0) << receiver.Err().toStdString();
    EXPECT_EQ(ReadFile(inbox + "/c.bin"), content);
    EXPECT_TRUE(line.WaitFor("line A->B: data pack 100 corrupted", kStartMs, true))
        << line.Err().toStdString();
    EXPECT_TRUE(sender.Err().contains("send datapack again command:"));
  }
  {
    // Through modems: the receiver stops in the middle; its half file is not left behind, the
    // line drops and the sender fails at once.
    SimLine line;
    QString error;
    ASSERT_TRUE(line.Start(
        Bin(), {"--modem-pair", "--line-bps", "115200", "--modem-delay", "100", "-q"}, &error))
        << error.toStdString();
    const QString inbox = files_.filePath("gone");
    ASSERT_TRUE(QDir().mkpath(inbox));
    ASSERT_TRUE(WriteFile(inbox + "/big.bin", "the old file"));
    const QString local = files_.filePath("big.bin");
    ASSERT_TRUE(WriteFile(local, Pattern(200000, 3)));
    StationProcess receiver;
    ASSERT_TRUE(receiver.Start(Bin(), Common() + QStringList{"--serial", line.Path(1), "--answer",
                                                             "--receive-dir", inbox}));
    ASSERT_TRUE(receiver.WaitFor("waiting for a call", kStartMs, true));
    StationProcess sender;
    ASSERT_TRUE(sender.Start(Bin(), Common() + QStringList{"--serial", line.Path(0), "--dial", "1",
                                                           "--send", local, "big.bin"}));
    ASSERT_TRUE(receiver.WaitFor("receiving", kTransferMs, true)) << receiver.Err().toStdString();
    receiver.Signal(SIGTERM);
    EXPECT_EQ(receiver.Wait(kStartMs), 1);
    EXPECT_TRUE(
        receiver.Out().contains("file done ERR: " + inbox + "/big.bin, 200000 bytes: terminated"))
        << receiver.Out().toStdString();
    EXPECT_EQ(sender.Wait(kTransferMs), 1);
    EXPECT_TRUE(sender.Out().contains("file done ERR: big.bin, 200000 bytes: the line dropped"))
        << sender.Out().toStdString();
    EXPECT_EQ(ReadFile(inbox + "/big.bin"), "the old file");
    EXPECT_EQ(QDir(inbox).entryList(QDir::Files | QDir::Hidden), QStringList{"big.bin"});
  }
}

}  // namespace
}  // namespace xv4
