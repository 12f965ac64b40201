#pragma once
// A line between two stations, made of programs of the build: xv4sim joining two
// pseudo-terminals (--modem-pair or --null-modem) and an xv4link process on each end. For the
// end-to-end tests and the link benchmark; no test framework inside.
//
// One thread. Every wait has a limit; nothing outlives the objects (the processes are killed).

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>

#include <signal.h>

namespace xv4::test {

// Where the programs of the build are: XV4_TEST_BIN (set by ctest), else the directory of the
// running program (a benchmark in bin/).
inline QString ProgramDir(const QString& fallback) {
  const QString env = qEnvironmentVariable("XV4_TEST_BIN");
  return env.isEmpty() ? fallback : env;
}

// xv4sim serving two terminals, A and B.
class SimLine {
 public:
  SimLine() = default;
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;
  ~SimLine() { Stop(); }

  // Starts `binDir/xv4sim args` and reads its two listening lines. False, with *error, when it
  // does not start or does not announce both terminals within the limit.
  bool Start(const QString& binDir, const QStringList& args, QString* error) {
    process_.setProgram(binDir + QStringLiteral("/xv4sim"));
    process_.setArguments(args);
    process_.start();
    if (!process_.waitForStarted(10000)) {
      *error = QStringLiteral("xv4sim does not start: ") + process_.errorString();
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((paths_[0].isEmpty() || paths_[1].isEmpty()) &&
           std::chrono::steady_clock::now() < deadline) {
      if (!process_.canReadLine() && !process_.waitForReadyRead(1000))
        continue;
      while (process_.canReadLine()) {
        const QString line = QString::fromLocal8Bit(process_.readLine()).trimmed();
        // "xv4sim: listening on null-modem A /dev/pts/6"
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() == 6 && words[1] == QLatin1String("listening"))
          paths_[words[4] == QLatin1String("A") ? 0 : 1] = words[5];
      }
    }
    if (paths_[0].isEmpty() || paths_[1].isEmpty()) {
      *error = QStringLiteral("xv4sim did not announce its terminals: ") +
               QString::fromLocal8Bit(process_.readAllStandardError());
      return false;
    }
    return true;
  }

  QString Path(int side) const { return paths_[side == 0 ? 0 : 1]; }

  // Its traffic lines (standard error) so far.
  QString Traffic() {
    process_.setReadChannel(QProcess::StandardError);
    while (process_.waitForReadyRead(200)) {
    }
    process_.setReadChannel(QProcess::StandardOutput);
    traffic_ += QString::fromLocal8Bit(process_.readAllStandardError());
    return traffic_;
  }

  void Stop() {
    if (process_.state() == QProcess::NotRunning)
      return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

 private:
  QProcess process_;
  QString paths_[2];
  QString traffic_;
};

// One xv4link process.
class StationProcess {
 public:
  StationProcess() = default;
  StationProcess(const StationProcess&) = delete;
  StationProcess& operator=(const StationProcess&) = delete;
  ~StationProcess() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }

  bool Start(const QString& binDir, const QStringList& args,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    process_.setProgram(binDir + QStringLiteral("/xv4link"));
    process_.setArguments(args);
    process_.setProcessEnvironment(env);
    process_.start();
    return process_.waitForStarted(10000);
  }

  // Waits until standard output (or, with onError, standard error) holds `text`; false when the
  // program ends or the limit passes first.
  bool WaitFor(const QString& text, int limitMs, bool onError = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
      Collect();
      if ((onError ? err_ : out_).contains(text))
        return true;
      if (process_.state() == QProcess::NotRunning || std::chrono::steady_clock::now() >= deadline)
        return false;
      process_.waitForReadyRead(100);
    }
  }

  // The exit status, or -1 when the program does not end within the limit (or crashed).
  int Wait(int limitMs) {
    if (!process_.waitForFinished(limitMs) && process_.state() != QProcess::NotRunning)
      return -1;
    Collect();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
  }

  void Signal(int signo) {
    if (process_.state() != QProcess::NotRunning)
      ::kill(static_cast<pid_t>(process_.processId()), signo);
  }

  QString Out() {
    Collect();
    return out_;
  }
  QString Err() {
    Collect();
    return err_;
  }

 private:
  void Collect() {
    out_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
    err_ += QString::fromLocal8Bit(process_.readAllStandardError());
  }

  QProcess process_;
  QString out_;
  QString err_;
};

}  // namespace xv4::test
