// bench_cli: a program download of a 2 MiB file through xv4ctl against the simulator on
// loopback, in records per second, beside the raw-socket baseline (bench_udp's client) in the
// same run; and what xv4ctl's terminal progress display costs.
//
// The simulator runs in this process on its own thread and stamps every record it receives, so
// a rate is taken from the first to the last record on the wire (without the program's start).
// The baseline client runs as a process of its own (bench_cli --raw), as xv4ctl does: on a
// virtual machine whose idle cores wake slowly, a client thread inside the simulator's process
// exchanges several times faster than any separate process, so only the separate baseline
// compares like with like (the in-process figure is printed beside it). The kinds of run take
// turns in rotating order, so that all see the same machine load.
//
// The display's cost is measured directly (the CPU that one download's progress updates take
// when drawing on a terminal, against the download's time); the end-to-end difference between
// runs with and without the display is printed too, but it is below the noise of the exchange.
#include "bench/BenchSupport.h"
#include "cli/TerminalUi.h"
#include "sim/PrinterEngine.h"
#include "sim/UdpServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace xv4;
using namespace xv4::bench;

constexpr int kRounds = 15;
constexpr int kFileBytes = 2 * 1024 * 1024;
constexpr int kRecords = kFileBytes / kDataSize + 1 + 2;  // opening record, handshake, model read
constexpr double kRatioBar = 0.60;
constexpr double kProgressCostBar = 0.01;  // the display may cost at most this share

// First and last arrival of a record at the simulator.
class Stamps {
 public:
  void Reset() {
    std::lock_guard lock(mutex_);
    count_ = 0;
  }
  void Record() {
    const double now = WallSeconds();
    std::lock_guard lock(mutex_);
    if (count_ == 0)
      first_ = now;
    last_ = now;
    ++count_;
  }
  int Count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  double Rate() const {
    std::lock_guard lock(mutex_);
    return count_ > 1 ? (count_ - 1) / (last_ - first_) : 0;
  }

 private:
  mutable std::mutex mutex_;
  int count_ = 0;
  double first_ = 0;
  double last_ = 0;
};

// A pseudo-terminal whose master side is read (and thrown away) by a thread of its own, so that
// a program writing its progress to the slave side never blocks. The slave stays open here as
// well, so the master never sees a hang-up between runs; a pipe wakes the reader to stop.
class DrainedTerminal {
 public:
  DrainedTerminal() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0 || ::pipe(stop_) != 0)
      return;
    name_ = name;
    reader_ = std::thread([this] {
      char buffer[4096];
      for (;;) {
        pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
          return;
        if (p[1].revents != 0)
          return;
        if (p[0].revents & POLLIN) {
          const ssize_t n = ::read(master_, buffer, sizeof buffer);
          if (n > 0)
            bytes_ += n;
        }
      }
    });
  }
  ~DrainedTerminal() {
    if (reader_.joinable()) {
      [[maybe_unused]] const ssize_t n = ::write(stop_[1], "x", 1);
      reader_.join();
    }
    for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
      if (fd >= 0)
        ::close(fd);
    }
  }
  DrainedTerminal(const DrainedTerminal&) = delete;
  DrainedTerminal& operator=(const DrainedTerminal&) = delete;

  const std::string& SlavePath() const { return name_; }
  long long Bytes() const { return bytes_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  int stop_[2] = {-1, -1};
  std::string name_;
  std::thread reader_;
  std::atomic<long long> bytes_{0};
};

struct CliRun {
  bool ok = false;
  double rate = 0;  // records per second on the wire
  double wall = 0;  // seconds from start to exit of xv4ctl
  double cpu = 0;   // user + system CPU seconds of xv4ctl
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// Runs xv4ctl with standard output on /dev/null and standard error on stderrPath, and takes
// its CPU time from wait4.
CliRun RunXv4ctl(const std::string& program, const std::vector<std::string>& args,
                 const std::string& stderrPath, Stamps& stamps) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = {"XV4_LOCAL_PORT=0", "XV4_ACP=1252"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "XV4_", 4) != 0)
      env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, STDERR_FILENO, stderrPath.c_str(), O_WRONLY, 0);

  CliRun r;
  stamps.Reset();
  const double start = WallSeconds();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0)
    return r;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid)
    return r;
  r.wall = WallSeconds() - start;
  r.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && stamps.Count() == kRecords;
  r.rate = stamps.Rate();
  return r;
}

// The raw-socket baseline in a process of its own, as xv4ctl is: bench_cli --raw PORT COUNT
// prints the exchange rate.
double RunRawBaseline(const std::string& self, std::uint16_t port, int count) {
  QProcess p;
  p.start(QString::fromStdString(self), {"--raw", QString::number(port), QString::number(count)});
  if (!p.waitForFinished(600000) || p.exitCode() != 0)
    return 0;
  return p.readAllStandardOutput().trimmed().toDouble();
}

int RawBaselineMain(std::uint16_t port, int count) {
  RawClient raw(port);
  int failures = 0;
  Measure([&] { return raw.Exchange(); }, 200, &failures);  // warm-up
  const Sample sample = Measure([&] { return raw.Exchange(); }, count, &failures);
  std::printf("%.0f\n", sample.rate);
  return failures == 0 ? 0 : 1;
}

// CPU seconds that xv4ctl's terminal display spends on one download's progress updates (a
// status, the total, then every record), drawing on the given terminal.
double ProgressDisplayCpu(const std::string& terminalPath) {
  std::FILE* err = std::fopen(terminalPath.c_str(), "w");
  std::FILE* out = std::fopen("/dev/null", "w");
  if (err == nullptr || out == nullptr)
    return 0;
  std::vector<double> runs;
  for (int run = 0; run < 5; ++run) {
    cli::TerminalUi ui(out, err, true, false);
    const double cpu0 = ThreadCpuSeconds();
    ui.Show();
    ui.SetStatus(0, QStringLiteral("Updating the program, do not switch the printer off..."));
    ui.SetMargin(kRecords - 2);
    ui.SetProgress(1);
    for (int i = 1; i <= kRecords - 2; ++i)
      ui.SetProgress(i);
    ui.Close();
    runs.push_back(ThreadCpuSeconds() - cpu0);
  }
  std::fclose(err);
  std::fclose(out);
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

double MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--raw") == 0)
    return RawBaselineMain(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  QCoreApplication app(argc, argv);
  const std::string self = QCoreApplication::applicationFilePath().toStdString();
  const std::string xv4ctl = (QCoreApplication::applicationDirPath() + "/xv4ctl").toStdString();
  if (::access(xv4ctl.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "bench_cli: %s is missing; build xv4ctl first\n", xv4ctl.c_str());
    return 1;
  }

  Stamps stamps;
  sim::PrinterEngine engine;
  engine.SetCaptureLimit(0);
  engine.SetObserver(
      [&stamps](const sim::CapturedRecord&, const sim::Answer&) { stamps.Record(); });
  sim::UdpServer server(engine);
  server.Start("127.0.0.1", 0);

  QTemporaryDir dir;
  const QString firmware = dir.filePath("fw.bin");
  {
    QFile f(firmware);
    if (!f.open(QIODevice::WriteOnly))
      return 1;
    QByteArray content(kFileBytes, '\0');
    for (int i = 0; i < kFileBytes; ++i)
      content[i] = static_cast<char>(i * 31 + (i >> 8));
    f.write(content);
  }
  const std::vector<std::string> base = {"--data-dir", dir.path().toStdString(),
                                         "--host",     "127.0.0.1",
                                         "--port",     std::to_string(server.Port())};
  auto with = [&base](std::vector<std::string> more) {
    std::vector<std::string> all = base;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const std::string file = firmware.toStdString();
  DrainedTerminal terminal;
  if (terminal.SlavePath().empty()) {
    std::fprintf(stderr, "bench_cli: no pseudo-terminal\n");
    return 1;
  }

  std::vector<double> rawRates, quietRates, progressRates, quietWalls, progressWalls, quietCpu,
      progressCpu;
  bool allOk = true;
  RawClient inProcess(server.Port());
  int inProcessFailures = 0;
  Measure([&] { return inProcess.Exchange(); }, 200, &inProcessFailures);  // warm-up
  std::vector<double> inProcessRates;

  // The kinds of run take turns in rotating order, so that none always follows another.
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 4; ++k) {
      switch ((round + k) % 4) {
        case 0:
          rawRates.push_back(RunRawBaseline(self, server.Port(), kRecords));
          break;
        case 3:
          inProcessRates.push_back(
              Measure([&] { return inProcess.Exchange(); }, kRecords, &inProcessFailures).rate);
          break;
        case 1: {
          const CliRun quiet =
              RunXv4ctl(xv4ctl, with({"--quiet", "program", file}), "/dev/null", stamps);
          allOk = allOk && quiet.ok;
          quietRates.push_back(quiet.rate);
          quietWalls.push_back(quiet.wall);
          quietCpu.push_back(quiet.cpu);
          break;
        }
        default: {
          const CliRun shown =
              RunXv4ctl(xv4ctl, with({"program", file}), terminal.SlavePath(), stamps);
          allOk = allOk && shown.ok;
          progressRates.push_back(shown.rate);
          progressWalls.push_back(shown.wall);
          progressCpu.push_back(shown.cpu);
          break;
        }
      }
    }
  }
  server.Stop();

  const double rawRate = MedianOf(rawRates);
  const double quietRate = MedianOf(quietRates);
  const double progressRate = MedianOf(progressRates);
  const double ratio = quietRate / rawRate;
  // The display's share: the CPU its updates take, against the time the download takes.
  const double displayCpu = ProgressDisplayCpu(terminal.SlavePath());
  const double progressCost = displayCpu / MedianOf(quietWalls);
  const double endToEnd = MedianOf(progressCpu) / MedianOf(quietCpu) - 1.0;

  std::printf(
      "bench_cli: xv4ctl program download of a %d KiB file (%d records on the wire) against "
      "the simulator on 127.0.0.1, median of %d runs each\n",
      kFileBytes / 1024, kRecords, kRounds);
  std::printf("  raw socket          %9.0f exchanges/s   (a process of its own: the baseline)\n",
              rawRate);
  std::printf(
      "  raw socket          %9.0f exchanges/s   (a thread of the simulator's process, as "
      "bench_udp runs it)\n",
      MedianOf(inProcessRates));
  std::printf("  xv4ctl --quiet      %9.0f records/s   %.2f s start to exit, %5.1f ms CPU\n",
              quietRate, MedianOf(quietWalls), MedianOf(quietCpu) * 1e3);
  std::printf(
      "  xv4ctl, progress    %9.0f records/s   %.2f s start to exit, %5.1f ms CPU "
      "(stderr a terminal; %lld bytes drawn in all runs)\n",
      progressRate, MedianOf(progressWalls), MedianOf(progressCpu) * 1e3, terminal.Bytes());
  std::printf("  ratio to raw        %9.2f   (bar >= %.2f) %s\n", ratio, kRatioBar,
              ratio >= kRatioBar ? "ok" : "MISSED");
  std::printf(
      "  progress display    %9.3f ms CPU for a whole download's updates = %.3f%% of its "
      "time   (bar < %.0f%%) %s\n",
      displayCpu * 1e3, progressCost * 100.0, kProgressCostBar * 100.0,
      progressCost < kProgressCostBar ? "ok" : "MISSED");
  std::printf(
      "                      end to end: %+.1f%% CPU with the display than with --quiet "
      "(within the run-to-run noise of the loopback exchange)\n",
      endToEnd * 100.0);
  if (!allOk) {
    std::fprintf(stderr, "bench_cli: a download failed or sent a wrong number of records\n");
    return 1;
  }
  return 0;
}
