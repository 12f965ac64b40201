// The xv4tool executable: its options and its data directory.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace xv4 {
namespace {

struct ToolRun {
  int exitCode = -1;
  QString out;
};

ToolRun RunTool(const QStringList& args) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("XV4_ACP", "1252");
  env.insert("XV4_LOCAL_PORT", "0");
  env.remove("XV4_HOME");
  p.setProcessEnvironment(env);
  p.start(QString::fromLocal8Bit(qgetenv("XV4_TEST_BIN")) + "/xv4tool", args);
  EXPECT_TRUE(p.waitForFinished(60000));
  return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput())};
}

TEST(Program, VersionAndHelpPrintAndExit) {
  ToolRun version = RunTool({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(version.out.startsWith("XV4 Ver1.504\nbuild 1.504")) << version.out.toStdString();
  ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.contains("--data-dir DIR"));
  EXPECT_EQ(RunTool({"--bogus"}).exitCode, 2);
}

TEST(Program, DataDirIsCreatedAndHoldsTheFilesOfARun) {
  QTemporaryDir tmp;
  const QString data = tmp.path() + "/new/data";
  ToolRun run = RunTool({"--data-dir", data, "--screenshot", tmp.path() + "/shot"});
  EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
  EXPECT_TRUE(QFileInfo(data + "/Chinese.LNG").isFile());
  QFileInfo cfg(data + "/Config.cfg");
  ASSERT_TRUE(cfg.isFile());
  EXPECT_FALSE(cfg.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther));
  for (const char* picture : {"main", "revealed", "progress", "final"})
    EXPECT_TRUE(QFileInfo(tmp.path() + "/shot-" + picture + ".png").size() > 0) << picture;
}

}  // namespace
}  // namespace xv4
