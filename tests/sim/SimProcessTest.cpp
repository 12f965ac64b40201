// The xv4sim and xv4demo programs as scripts use them: the listening lines, the capture file,
// what the demo prints, the exit status.
#include "SimTestSupport.h"
#include "sim/UdpServer.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

extern char** environ;

namespace xv4::sim {
namespace {

using std::chrono::milliseconds;
using test::Bytes;
using test::Clock;
using test::MakeRecord;
using test::RemainingMs;

std::string ProgramPath(const char* name) {
  const char* bin = std::getenv("XV4_TEST_BIN");
  return std::string(bin ? bin : "bin") + "/" + name;
}

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/xv4sim-test-" + std::to_string(::getpid()) + "-" +
         name;
}

// One run of xv4sim (or another program of the build) with its standard output and error read
// through pipes.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args, const char* program = "xv4sim") {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv{ProgramPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (auto& a : argv)
      cargs.push_back(a.data());
    cargs.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, cargs[0], &actions, nullptr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
    if (rc != 0)
      pid_ = -1;
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // The next line of standard output, or "" when none comes within the wait.
  std::string ReadLine(milliseconds wait = test::kPatience) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
      const auto nl = outBuffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = outBuffer_.substr(0, nl);
        outBuffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, RemainingMs(deadline)) != 1)
        return "";
      char buffer[512];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0)
        return "";
      outBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Everything written to standard error (output) until the program closes it (at exit).
  std::string ReadAllErrors(milliseconds wait = test::kPatience) { return ReadAll(err_, wait); }
  std::string ReadAllOutput(milliseconds wait = test::kPatience) {
    return outBuffer_ + ReadAll(out_, wait);
  }

  // Waits for the exit; returns the exit status, or -1 when it does not come within the wait
  // (or the program died of a signal).
  int WaitExit(milliseconds wait = test::kPatience) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(wait.count()));
      ::close(pidfd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, pidfd >= 0 ? WNOHANG : 0) != pid_)
      return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Signal(int sig) { ::kill(pid_, sig); }

 private:
  static std::string ReadAll(int fd, milliseconds wait) {
    std::string text;
    const auto deadline = Clock::now() + wait;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, RemainingMs(deadline)) != 1)
        return text;
      char buffer[512];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0)
        return text;
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
};

std::vector<std::string> LinesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The port at the end of a listening line ("...127.0.0.1:PORT" plus an optional suffix).
std::uint16_t PortOf(const std::string& line, const std::string& prefix,
                     const std::string& suffix = "") {
  EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
  EXPECT_TRUE(line.size() >= prefix.size() + suffix.size() &&
              line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
      << line;
  const std::string digits = line.substr(
      prefix.size(), line.size() - std::min(line.size(), prefix.size() + suffix.size()));
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
    ADD_FAILURE() << line;
    return 0;
  }
  return static_cast<std::uint16_t>(std::stoi(digits));
}

// Connects to 127.0.0.1:port over TCP, sends the bytes and closes, as the tool opens a drawer.
void SendOverTcp(std::uint16_t port, const Bytes& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

TEST(SimProcess, AnnouncesItsPortsAnswersCapturesAndStopsOnSigterm) {
  const std::string capture = TempPath("capture.txt");
  SimProcess sim({"--udp", "127.0.0.1:0", "--capture", capture, "--info", "bt-name=FROM-CLI",
                  "--drawer", "127.0.0.1:0"});
  const auto port = PortOf(sim.ReadLine(), "xv4sim: listening on udp 127.0.0.1:");
  const auto drawerPort =
      PortOf(sim.ReadLine(), "xv4sim: listening on tcp 127.0.0.1:", " (cash drawer)");
  ASSERT_TRUE(port != 0 && drawerPort != 0);

  test::UdpClient client(port);
  client.Send(MakeRecord(14, 1, {0x34, 0x12}));
  EXPECT_EQ(client.Receive(), Bytes{AckByte});
  client.Send(MakeRecord(14, 16));
  const auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&(*reply)[3 + 112])), "FROM-CLI");
  // The cash drawer: the connection is reported once it has ended (at the latest on SIGTERM).
  SendOverTcp(drawerPort, {0x1B, 0x70, 0x00, 0x18, 0x18});

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
  const std::string errors = sim.ReadAllErrors();
  EXPECT_NE(errors.find("udp 14/1 handshake -> ack"), std::string::npos) << errors;
  EXPECT_NE(errors.find(": 5 bytes 1B 70 00 18 18 -> drawer opened"), std::string::npos) << errors;
  EXPECT_NE(errors.find("stopped by SIGTERM after 2 requests"), std::string::npos) << errors;

  const auto lines = LinesOf(capture);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "0E 0001 3412" + std::string(508, '0'));
  EXPECT_EQ(lines[1], "0E 0010 " + std::string(512, '0'));
  EXPECT_EQ(lines[2], "DRAWER 1B70001818");
  std::remove(capture.c_str());
}

TEST(SimProcess, SerialPtyLineNamesATerminalThatAnswersAndSigintStopsIt) {
  SimProcess sim({"--serial-pty", "--quiet"});
  const std::string line = sim.ReadLine();
  const std::string prefix = "xv4sim: listening on serial ";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  {
    test::PtyClient client(line.substr(prefix.size()));
    Bytes frame = test::FrameOf(MakeRecord(63, 124));
    frame.push_back(kFrameTrailer);
    client.Write(frame);
    EXPECT_EQ(client.Read(1), Bytes{AckByte});
  }
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_EQ(sim.ReadAllErrors(), "") << "--quiet prints no traffic";
}

TEST(SimProcess, ModemsAnnounceTheirTerminalsAndLogTheirCommands) {
  SimProcess sim({"--modem-pair", "--modem-delay", "10"});
  const std::string a = sim.ReadLine();
  const std::string b = sim.ReadLine();
  const std::string prefix = "xv4sim: listening on modem-pair ";
  ASSERT_EQ(a.rfind(prefix + "A /dev/pts/", 0), 0u) << a;
  ASSERT_EQ(b.rfind(prefix + "B /dev/pts/", 0), 0u) << b;
  SimProcess printer({"--serial-pty", "--modem", "-q"});
  const std::string line = printer.ReadLine();
  ASSERT_EQ(line.rfind("xv4sim: listening on modem /dev/pts/", 0), 0u) << line;
  {
    test::PtyClient client(a.substr(prefix.size() + 2));
    client.Write({'A', 'T', '\r'});
    EXPECT_EQ(client.Read(10), (Bytes{'A', 'T', '\r', '\r', '\n', 'O', 'K', '\r', '\n'}));
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
  const std::string errors = sim.ReadAllErrors();
  EXPECT_NE(errors.find("xv4sim: modem A terminal opened\nxv4sim: modem A \"AT\" -> OK\n"),
            std::string::npos)
      << errors;
}

TEST(SimProcess, ExitStatusTellsUsageErrorsFromSetUpErrors) {
  {
    SimProcess sim({"--nak-first", "many"});
    EXPECT_EQ(sim.WaitExit(), 2);
    EXPECT_NE(sim.ReadAllErrors().find("--help"), std::string::npos);
  }
  for (const char* option : {"--udp", "--drawer"}) {
    // Refused before any socket is opened: nothing is sent anywhere.
    SimProcess sim({option, "192.168.1.7:5013"});
    EXPECT_EQ(sim.WaitExit(), 1) << option;
    EXPECT_NE(sim.ReadAllErrors().find("not a loopback address"), std::string::npos) << option;
  }
  {
    SimProcess sim({"--help"});
    EXPECT_NE(sim.ReadLine().find("Usage: xv4sim"), std::string::npos);
    EXPECT_EQ(sim.WaitExit(), 0);
  }
  {
    // An information file that is a directory.
    SimProcess sim({"--udp", "127.0.0.1:0", "--info-file", "/"});
    EXPECT_EQ(sim.WaitExit(), 1);
    EXPECT_EQ(sim.ReadAllErrors(), "xv4sim: /: not a regular file\n");
  }
}

TEST(DemoProcess, WalksTheSessionThroughAgainstTheSimulator) {
  PrinterEngine engine;
  PrinterInfo info;
  info.bluetoothName = "DEMO-BT";
  engine.SetInfo(info);
  UdpServer server(engine);
  server.Start("127.0.0.1", 0);
  SimProcess demo({"127.0.0.1", std::to_string(server.Port())}, "xv4demo");
  const std::string output = demo.ReadAllOutput();
  EXPECT_EQ(demo.WaitExit(), 0) << output;
  EXPECT_NE(output.find("\"DEMO-BT\""), std::string::npos) << output;
  EXPECT_NE(output.find("every step succeeded"), std::string::npos) << output;

  const auto captured = engine.Captured();
  std::vector<std::pair<int, int>> requests;
  for (const CapturedRecord& r : captured)
    requests.emplace_back(r.command, r.word);
  EXPECT_EQ(requests,
            (std::vector<std::pair<int, int>>{{14, 1}, {14, 16}, {63, 124}, {14, 16}, {14, 2}}));
}

TEST(DemoProcess, ReportsAFailedStepAndRefusesNonLoopbackPrinters) {
  PrinterEngine engine;
  FaultConfig faults;
  faults.silentAfter = 2;  // handshake and model read answered, then nothing
  engine.SetFaults(faults);
  UdpServer server(engine);
  server.Start("127.0.0.1", 0);
  {
    SimProcess demo({std::to_string(server.Port())}, "xv4demo");
    const std::string output = demo.ReadAllOutput(std::chrono::seconds(30));
    EXPECT_EQ(demo.WaitExit(), 1) << output;
    EXPECT_NE(output.find("FAILED"), std::string::npos) << output;
  }
  {
    SimProcess demo({"192.168.1.7", "5013"}, "xv4demo");
    EXPECT_EQ(demo.WaitExit(), 2);
    EXPECT_NE(demo.ReadAllErrors().find("loopback"), std::string::npos);
  }
}

}  // namespace
}  // namespace xv4::sim
