#pragma once
// A line between two stations, made of programs of the build: xv4sim joining two
// pseudo-terminals (--modem-pair or --null-modem) and an xv4link process on each end. For the
// end-to-end tests and the link benchmark; no test framework inside.
//
// UI thread, with an application object. Every wait handles events, so that the output of every
// process is read as it comes (a program whose output pipe filled up would stop), and every wait
// has a limit. Nothing outlives the objects (the processes are killed).

#include "tests/support/Wait.h"

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <signal.h>

namespace xv4::test {

// Where the programs of the build are: XV4_TEST_BIN (set by ctest), else the directory given
// (a benchmark passes its own, bin/).
inline QString ProgramDir(const QString& fallback) {
  const QString env = qEnvironmentVariable("XV4_TEST_BIN");
  return env.isEmpty() ? fallback : env;
}

// One program of the build with its standard output and error collected.
class ChildProcess {
 public:
  ChildProcess() {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { out_ += QString::fromLocal8Bit(process_.readAllStandardOutput()); });
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { err_ += QString::fromLocal8Bit(process_.readAllStandardError()); });
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

  bool Start(const QString& program, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    process_.setProgram(program);
    process_.setArguments(args);
    process_.setProcessEnvironment(env);
    process_.start();
    return process_.waitForStarted(10000);
  }

  // Waits until standard output (or, with onError, standard error) holds `text`; false when the
  // program ends or the limit passes first.
  bool WaitFor(const QString& text, int limitMs, bool onError = false) {
    const QString& where = onError ? err_ : out_;
    WaitFor([&] { return where.contains(text) || !Running(); }, limitMs);
    return where.contains(text);
  }
  bool WaitFor(const std::function<bool()>& done, int limitMs) {
    return test::WaitFor(done, limitMs);
  }

  // The exit status, or -1 when the program does not end within the limit (or crashed).
  int Wait(int limitMs) {
    if (!WaitFor([this] { return !Running(); }, limitMs))
      return -1;
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }

  void Signal(int signo) {
    if (Running())
      ::kill(static_cast<pid_t>(process_.processId()), signo);
  }
  void Stop() {
    Signal(SIGTERM);
    if (Wait(5000) < 0 && Running()) {
      process_.kill();
      Wait(5000);
    }
  }

  bool Running() const { return process_.state() != QProcess::NotRunning; }
  const QString& Out() const { return out_; }
  const QString& Err() const { return err_; }

 private:
  QProcess process_;
  QString out_;
  QString err_;
};

// xv4sim serving two terminals, A and B. Its traffic lines (standard error) are Err().
class SimLine : public ChildProcess {
 public:
  ~SimLine() { Stop(); }

  // Starts `binDir/xv4sim args` and reads its two listening lines. False, with *error, when it
  // does not start or does not announce both terminals within the limit.
  bool Start(const QString& binDir, const QStringList& args, QString* error) {
    if (!ChildProcess::Start(binDir + QStringLiteral("/xv4sim"), args)) {
      *error = QStringLiteral("xv4sim does not start");
      return false;
    }
    // "xv4sim: listening on null-modem A /dev/pts/6"
    const auto announced = [this] {
      for (const QString& line : Out().split(QLatin1Char('\n'))) {
        const QStringList words = line.trimmed().split(QLatin1Char(' '));
        if (words.size() == 6 && words[1] == QLatin1String("listening"))
          paths_[words[4] == QLatin1String("A") ? 0 : 1] = words[5];
      }
      return !paths_[0].isEmpty() && !paths_[1].isEmpty();
    };
    if (!WaitFor([&] { return announced() || !Running(); }, 20000) || !announced()) {
      *error = QStringLiteral("xv4sim did not announce its terminals: ") + Err();
      return false;
    }
    return true;
  }

  QString Path(int side) const { return paths_[side == 0 ? 0 : 1]; }

 private:
  QString paths_[2];
};

// One xv4link process.
class StationProcess : public ChildProcess {
 public:
  bool Start(const QString& binDir, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return ChildProcess::Start(binDir + QStringLiteral("/xv4link"), args, env);
  }
};

}  // namespace xv4::test
