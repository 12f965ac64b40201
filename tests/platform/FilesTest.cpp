#include "platform/Files.h"

#include "platform/AppDir.h"

#include "tests/support/TempDir.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace xv4::platform {
namespace {

TEST(Files, CreateDirectoryPathMakesEveryMissingLevel) {
  test::TempAppDir dir;
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "a/b/c"));
  EXPECT_TRUE(QFileInfo(dir.Path() + "a/b/c").isDir());
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "a/b/c"));    // exists already
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + " x / y "));  // blanks trimmed per level
  EXPECT_TRUE(QFileInfo(dir.Path() + "x/y").isDir());
  EXPECT_TRUE(CreateDirectoryPath(dir.Path() + "p//q"));  // the walk stops at an empty level
  EXPECT_TRUE(QFileInfo(dir.Path() + "p").isDir());
  EXPECT_FALSE(QFileInfo(dir.Path() + "q").exists());
}

TEST(Files, CreateDirectoryPathFailsOnAFileInThePath) {
  test::TempAppDir dir;
  ASSERT_TRUE(dir.Write("plain", "x"));
  EXPECT_FALSE(CreateDirectoryPath(dir.Path() + "plain/below/more"));
  EXPECT_FALSE(CreateDirectoryPath(dir.Path() + "plain"));
  EXPECT_FALSE(CreateDirectoryPath(""));
}

TEST(Files, CreateDirectoryPathWalksARelativePathFromTheCurrentDirectory) {
  test::TempAppDir dir;
  const QString saved = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir.Path()));
  EXPECT_TRUE(CreateDirectoryPath("rel/one"));
  QDir::setCurrent(saved);
  EXPECT_TRUE(QFileInfo(dir.Path() + "rel/one").isDir());
}

TEST(Files, FileSizeOfGivesBytesOrMinusOne) {
  test::TempAppDir dir;
  ASSERT_TRUE(dir.Write("f", QByteArray(1000, 'z')));
  EXPECT_EQ(FileSizeOf(dir.File("f")), 1000);
  EXPECT_EQ(FileSizeOf(dir.File("missing")), -1);
  EXPECT_EQ(FileSizeOf(dir.Path()), -1);
}

TEST(Files, WriteFileAtomicReplacesContent) {
  test::TempAppDir dir;
  ASSERT_TRUE(WriteFileAtomic(dir.File("log.hex"), QByteArray(512, '\xFF'), false));
  ASSERT_TRUE(WriteFileAtomic(dir.File("log.hex"), QByteArray(), false));
  EXPECT_EQ(FileSizeOf(dir.File("log.hex")), 0);
  QString error;
  EXPECT_FALSE(WriteFileAtomic(dir.File("none/x"), "abc", false, &error));
  EXPECT_TRUE(error.contains("none/x"));
}

// Which directories a copy uses: a build tree or an unpacked folder keeps everything beside the
// executable; an installed copy (bin/ beside share/xv4tool/) follows the XDG variables, falling
// back to HOME when they are unset or relative; --data-dir and XV4_HOME win for both.
TEST(Files, DataDirsFollowTheKindOfCopy) {
  test::TempAppDir dir;
  ASSERT_TRUE(CreateDirectoryPath(dir.Path() + "usr/bin"));
  ASSERT_TRUE(CreateDirectoryPath(dir.Path() + "usr/share/xv4tool"));
  ASSERT_TRUE(CreateDirectoryPath(dir.Path() + "build/bin"));
  ASSERT_TRUE(CreateDirectoryPath(dir.Path() + "opt/tool/share/xv4tool"));
  const QString installed = dir.Path() + "usr/bin/";
  const QString buildTree = dir.Path() + "build/bin/";
  const QString notBin = dir.Path() + "opt/tool/";
  EXPECT_TRUE(IsInstalledLayout(installed));
  EXPECT_FALSE(IsInstalledLayout(buildTree));
  EXPECT_FALSE(IsInstalledLayout(notBin));

  QProcessEnvironment env;
  env.insert("HOME", "/home/u");
  env.insert("XDG_CONFIG_HOME", "/cfg");
  env.insert("XDG_STATE_HOME", "relative/state");  // ignored: not absolute
  DataDirs d = ChooseDataDirs({}, installed, env);
  EXPECT_TRUE(d.perUser);
  EXPECT_EQ(d.config, "/cfg/xv4tool/");
  EXPECT_EQ(d.state, "/home/u/.local/state/xv4tool/");
  env.remove("XDG_CONFIG_HOME");
  env.insert("XDG_STATE_HOME", "/st/");
  d = ChooseDataDirs({}, installed, env);
  EXPECT_EQ(d.config, "/home/u/.config/xv4tool/");
  EXPECT_EQ(d.state, "/st/xv4tool/");

  for (const QString& exe : {buildTree, notBin}) {
    d = ChooseDataDirs({}, exe, env);
    EXPECT_FALSE(d.perUser);
    EXPECT_EQ(d.config, exe);
    EXPECT_EQ(d.state, exe);
  }
  env.insert("XV4_HOME", "/data/home");
  for (const QString& exe : {installed, buildTree}) {
    d = ChooseDataDirs({}, exe, env);
    EXPECT_EQ(d.config, "/data/home/");
    EXPECT_EQ(d.state, "/data/home/");
    d = ChooseDataDirs("/given/", exe, env);
    EXPECT_FALSE(d.perUser);
    EXPECT_EQ(d.config, "/given/");
    EXPECT_EQ(d.state, "/given/");
  }
}

}  // namespace
}  // namespace xv4::platform
