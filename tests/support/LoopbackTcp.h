#pragma once
// TCP peers on 127.0.0.1 for the tests of the raw sender: a listener that collects what a client
// sent, a port on which nothing listens, and a listener whose accept backlog is full, so that a
// connect to it never completes (the way to produce a connect time-out without leaving
// loopback).

#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace xv4::test {

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog = 8) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0);
    sockaddr_in a = LoopbackAddress(0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, backlog), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~LoopbackListener() {
    for (int fd : fillers_)
      ::close(fd);
    if (fd_ >= 0)
      ::close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int Port() const { return port_; }

  // Accepts one connection (waiting up to timeoutMs) and reads from it until the peer closes.
  // Returns the bytes; *closed tells whether the peer closed within the time-out.
  QByteArray AcceptAndReadAll(int timeoutMs, bool* closed = nullptr) {
    QByteArray received;
    if (closed)
      *closed = false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
      return received;
    const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
      return received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[512];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd c{conn, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&c, 1, static_cast<int>(left.count())) <= 0)
        break;
      const ssize_t n = ::recv(conn, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (closed)
          *closed = (n == 0);
        break;
      }
      received.append(buffer, n);
    }
    ::close(conn);
    return received;
  }

  // Accepts one connection, waiting up to timeoutMs; the caller closes it. -1 when none came.
  int Accept(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
      return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  // Fills the accept queue with connections that are never accepted, until a further connect
  // no longer completes. Only useful with a small backlog (listen(fd, 0)).
  bool FillBacklog() {
    for (int i = 0; i < 64; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0)
        return false;
      fillers_.push_back(fd);
      sockaddr_in a = LoopbackAddress(port_);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        continue;
      if (errno != EINPROGRESS)
        return false;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0)
        return true;  // this one hangs: the queue is full
    }
    return false;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A loopback port on which nothing listens: the port stays bound (without listen) for the
// object's life, so no other program can take it and a connect to it is refused.
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace xv4::test
