#pragma once
// Helpers for the serial tests: a pseudo-terminal pair standing in for a cable, waiting on events
// with an upper bound.

#include "platform/EventLoop.h"
#include "platform/Time.h"
#include "tests/support/CpuTime.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace xv4::test {

// Processes events until pred() holds or timeoutMs has passed; returns pred(). A short timer
// keeps the loop re-testing when the condition is changed by another thread without an event.
inline bool WaitEvents(const std::function<bool()>& pred, int timeoutMs = 10000) {
  const platform::Deadline limit = platform::Deadline::In(timeoutMs);
  QTimer tick;
  tick.start(10);
  platform::WaitUntil([&] { return pred() || limit.Expired(); });
  return pred();
}

// The far end of a serial line: the master of a pseudo-terminal whose slave the port opens.
class PtyPair {
 public:
  PtyPair() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed: " << errno;
      return;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    CloseMaster();
    CloseSlave();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const QString& SlavePath() const { return slavePath_; }
  int Master() const { return master_; }

  // Writes every byte to the line (the port reads them from the slave).
  bool Write(const QByteArray& bytes, int timeoutMs = 10000) {
    const platform::Deadline limit = platform::Deadline::In(timeoutMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::write(master_, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
      if (n > 0) {
        done += n;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return false;
      if (limit.Expired())
        return false;
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 50);
    }
    return true;
  }

  // Reads what the port wrote until count bytes are there or the time runs out.
  QByteArray Read(qsizetype count, int timeoutMs = 10000) {
    const platform::Deadline limit = platform::Deadline::In(timeoutMs);
    QByteArray got;
    char buffer[4096];
    while (got.size() < count && !limit.Expired()) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, limit.RemainingMs()) <= 0)
        continue;
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0)
        got.append(buffer, n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        break;
    }
    return got;
  }

  void CloseMaster() {
    if (master_ >= 0)
      ::close(master_);
    master_ = -1;
  }
  void CloseSlave() {
    if (slave_ >= 0)
      ::close(slave_);
    slave_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  QString slavePath_;
};

// Bytes 0..255 repeated, for streams that must arrive unchanged.
inline QByteArray Pattern(qsizetype size, int seed = 0) {
  QByteArray bytes(size, '\0');
  for (qsizetype i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
  return bytes;
}

}  // namespace xv4::test
