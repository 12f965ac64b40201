#include "tests/fuzz/FuzzSupport.h"

#include "platform/AppDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace xv4::fuzz {

void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

namespace {

QString TemplatePath() {
  const QFileInfo shm(QStringLiteral("/dev/shm"));
  const QString base = shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
  // The process number lets scripts/fuzz.sh remove what a harness that crashed left behind.
  return base + QStringLiteral("/xv4fuzz-%1-XXXXXX").arg(::getpid());
}

struct Process {
  Process() {
    // Warnings from the components would be printed for every input; fatal messages still abort.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::abort();
      }
    });
    app = new QCoreApplication(argc, argv);
    platform::SetApplicationDir(TheDir().path());
  }
  // Files are written and saved (with a flush to the disk) for every input: in memory when the
  // system has a shared-memory folder. Removed when the process exits through exit().
  static QTemporaryDir& TheDir() {
    static QTemporaryDir dir(TemplatePath());
    if (!dir.isValid())
      CheckFailed("a temporary directory can be created", __FILE__, __LINE__);
    return dir;
  }
  // Deliberately never destroyed: the process ends with the fuzzer, and libFuzzer may call
  // exit() from any input.
  int argc = 1;
  char name[8] = "xv4fuzz";
  char* argv[2] = {name, nullptr};
  QCoreApplication* app = nullptr;
};

Process& TheProcess() {
  static Process* process = new Process();
  return *process;
}

}  // namespace

void Environment() {
  TheProcess();
}

QString ScratchDir() {
  TheProcess();
  return Process::TheDir().path() + QLatin1Char('/');
}

QString WriteScratchFile(const QString& name, std::span<const std::uint8_t> bytes) {
  const QString path = ScratchDir() + name;
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
          static_cast<qint64>(bytes.size()))
    CheckFailed("the scratch file can be written", __FILE__, __LINE__);
  return path;
}

std::uint8_t Input::Byte() {
  const auto b = Take(1);
  return b.empty() ? 0 : b[0];
}

std::span<const std::uint8_t> Input::Chunk() {
  std::size_t length = Byte();
  if (length == 0xFF) {
    length = static_cast<std::size_t>(Byte()) << 8;
    length |= Byte();
  }
  return Take(length);
}

std::span<const std::uint8_t> Input::Rest() {
  return Take(size_ - std::min(pos_, size_));
}

std::span<const std::uint8_t> Input::Take(std::size_t count) {
  const std::size_t start = std::min(pos_, size_);
  const std::size_t n = std::min(count, size_ - start);
  pos_ = start + n;
  return {data_ + start, n};
}

}  // namespace xv4::fuzz
