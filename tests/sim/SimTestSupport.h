#pragma once
// Raw clients for driving the simulator from tests: a UDP socket on 127.0.0.1 and the slave
// side of the simulator's pseudo-terminal, both with bounded waits.

#include "protocol/DeviceRecord.h"
#include "sim/FrameFinder.h"
#include "sim/PrinterEngine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace xv4::sim::test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous upper bound for anything the simulator should do at once.
constexpr milliseconds kPatience{5000};

inline Record MakeRecord(std::uint8_t command, std::uint16_t word, Bytes data = {}) {
  Record r{};
  r[0] = command;
  r[1] = static_cast<std::uint8_t>(word & 0xFF);
  r[2] = static_cast<std::uint8_t>(word >> 8);
  for (std::size_t i = 0; i < data.size() && i < kDataSize; ++i)
    r[3 + i] = data[i];
  return r;
}

inline Bytes FrameOf(const Record& record, bool breakChecksum = false) {
  std::array<std::uint8_t, kRecordWithChecksum> area{};
  std::copy(record.begin(), record.end(), area.begin());
  StoreChecksum(area);
  if (breakChecksum)
    area[kRecordSize] ^= 0x01;
  std::array<std::uint8_t, kFrameSize> frame{};
  PackFrame(area, frame);
  return {frame.begin(), frame.end()};
}

inline int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class UdpClient {
 public:
  explicit UdpClient(std::uint16_t serverPort) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(serverPort);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  ~UdpClient() { ::close(fd_); }
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  void Send(const Bytes& bytes) {
    ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                       sizeof server_),
              static_cast<ssize_t>(bytes.size()));
  }
  void Send(const Record& r) { Send(Bytes(r.begin(), r.end())); }

  // The next datagram, or nothing when none arrives within the wait.
  std::optional<Bytes> Receive(milliseconds wait = kPatience) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1)
      return std::nullopt;
    Bytes buffer(2048);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
      return std::nullopt;
    lastFromPort_ = ntohs(from.sin_port);
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }
  std::uint16_t LastFromPort() const { return lastFromPort_; }

 private:
  int fd_ = -1;
  sockaddr_in server_{};
  std::uint16_t lastFromPort_ = 0;
};

// The tool's end of the simulator's pseudo-terminal, in raw mode.
class PtyClient {
 public:
  explicit PtyClient(const std::string& path, speed_t speed = B9600) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd_, 0) << path;
    SetSpeed(speed);
  }
  ~PtyClient() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  void SetSpeed(speed_t speed) {
    termios t{};
    ASSERT_EQ(::tcgetattr(fd_, &t), 0);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &t), 0);
  }

  void Write(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + kPatience;
    while (done < bytes.size() && Clock::now() < deadline) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, RemainingMs(deadline));
      }
    }
    ASSERT_EQ(done, bytes.size());
  }

  // Reads what arrives until `count` bytes are held or the wait runs out.
  Bytes Read(std::size_t count, milliseconds wait = kPatience) {
    Bytes out;
    const auto deadline = Clock::now() + wait;
    while (out.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, RemainingMs(deadline)) != 1)
        break;
      std::uint8_t buffer[1024];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0)
        break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

  // Reads until a complete frame has been found (skipping anything around it), or the wait ends.
  std::optional<Record> ReadReplyRecord(bool* checksumOk = nullptr, Bytes* raw = nullptr,
                                        milliseconds wait = kPatience) {
    FrameFinder finder;
    std::optional<Record> record;
    const auto deadline = Clock::now() + wait;
    while (!record && Clock::now() < deadline) {
      const Bytes chunk = Read(1, milliseconds(RemainingMs(deadline)));
      if (raw)
        raw->insert(raw->end(), chunk.begin(), chunk.end());
      finder.Feed(chunk, [&](ConstFrameBytes frame) {
        std::array<std::uint8_t, kRecordWithChecksum> area{};
        const bool ok = UnpackFrame(frame, area);
        if (checksumOk)
          *checksumOk = ok;
        Record r;
        std::copy_n(area.begin(), kRecordSize, r.begin());
        record = r;
      });
    }
    return record;
  }

  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace xv4::sim::test
