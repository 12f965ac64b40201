#include "platform/Files.h"

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

}  // namespace
}  // namespace xv4::platform
