// Serial ports on Linux: a terminal device in raw mode, read and written without blocking, with
// an eventfd that wakes every wait when the port closes.
#include "transport/CommPosix.h"

#include "platform/UniqueFd.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace xv4 {
namespace {

// How often line counters are sampled where the driver keeps them. The modem-line wait of the
// kernel (TIOCMIWAIT) cannot be woken by the close eventfd, so the read thread looks at the
// counters between its polls instead; terminals without counters (pseudo-terminals, most USB
// adapters) are never sampled and the read thread sleeps without a time limit.
constexpr int kLineSampleMs = 100;

speed_t SpeedOf(std::uint32_t bps) {
  switch (bps) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    default:
      return B0;  // not a speed the terminal interface knows: leave the speed as it is
  }
}

class PosixCommBackend final : public CommBackend {
 public:
  ~PosixCommBackend() override { Close(); }

  CommOpenResult Open(const QString& devicePath) override {
    Close();
    const QByteArray path = QFile::encodeName(devicePath);
    platform::UniqueFd fd(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid())
      return CommOpenResult::CannotOpen;
    if (!::isatty(fd.Get()))
      return CommOpenResult::NotATty;
    // TIOCEXCL keeps other programs from opening the device; the lock also stops another port
    // object of this program (and privileged openers, whom TIOCEXCL lets through).
    ::ioctl(fd.Get(), TIOCEXCL);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      ::ioctl(fd.Get(), TIOCNXCL);
      return CommOpenResult::CannotOpen;
    }
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.Valid()) {
      ::ioctl(fd.Get(), TIOCNXCL);
      return CommOpenResult::EventFailed;
    }
    fd_ = std::move(fd);
    wakeFd_ = std::move(wake);
    cancelled_ = false;
    pending_ = {};
    countersKept_ = ::ioctl(fd_.Get(), TIOCGICOUNT, &counters_) == 0;
    unsigned int lsr = 0;
    lsrKept_ = ::ioctl(fd_.Get(), TIOCSERGETLSR, &lsr) == 0;
    return CommOpenResult::Ok;
  }

  void Close() override {
    if (fd_.Valid())
      ::ioctl(fd_.Get(), TIOCNXCL);
    fd_.Reset();
    wakeFd_.Reset();
  }

  bool ApplyLineSettings(const CommLineSettings& s) override {
    termios t{};
    if (!fd_.Valid() || ::tcgetattr(fd_.Get(), &t) != 0)
      return false;
    // Raw bytes both ways: no line editing, echo, signals or character translation.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[static_cast<int>(s.byteSize) & 3];
    switch (s.parity) {
      case TParity::None:
        break;
      case TParity::Odd:
        t.c_cflag |= PARENB | PARODD;
        break;
      case TParity::Even:
        t.c_cflag |= PARENB;
        break;
      case TParity::Mark:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case TParity::Space:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (s.parityCheck)
      t.c_iflag |= INPCK;
    if (s.stopBits != TStopBits::_1)
      t.c_cflag |= CSTOPB;  // one and a half stop bits is taken as two
    const bool rtsCts = s.outxCtsFlow || s.rtsControl == TRtsControl::RtsHandshake;
    if (rtsCts)
      t.c_cflag |= CRTSCTS;
    if (s.outxXonXoffFlow)
      t.c_iflag |= IXON;
    if (s.inxXonXoffFlow)
      t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (const speed_t speed = SpeedOf(s.baudRate); speed != B0) {
      ::cfsetispeed(&t, speed);
      ::cfsetospeed(&t, speed);
    }
    const bool ok = ::tcsetattr(fd_.Get(), TCSANOW, &t) == 0;

    // DTR and RTS as steady levels (terminals without modem lines refuse; that is harmless).
    int dtr = TIOCM_DTR;
    ::ioctl(fd_.Get(), s.dtrControl == TDtrControl::DtrDisable ? TIOCMBIC : TIOCMBIS, &dtr);
    if (!rtsCts) {
      int rts = TIOCM_RTS;
      ::ioctl(fd_.Get(), s.rtsControl == TRtsControl::RtsDisable ? TIOCMBIC : TIOCMBIS, &rts);
    }
    return ok;
  }

  // The time-outs shape how the read thread cuts chunks; the terminal itself needs nothing.
  bool ApplyTimeouts(const CommTimeouts&) override { return fd_.Valid(); }

  void Purge(bool input, bool output) override {
    if (!fd_.Valid() || (!input && !output))
      return;
    ::tcflush(fd_.Get(), input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH));
  }

  bool ModemStatus(std::uint32_t* bits) override {
    int lines = 0;
    if (!fd_.Valid() || ::ioctl(fd_.Get(), TIOCMGET, &lines) != 0)
      return false;
    *bits =
        ((lines & TIOCM_CTS) ? kModemStatusCts : 0) | ((lines & TIOCM_DSR) ? kModemStatusDsr : 0) |
        ((lines & TIOCM_RNG) ? kModemStatusRing : 0) | ((lines & TIOCM_CAR) ? kModemStatusRlsd : 0);
    return true;
  }

  bool SetDtr(bool on) override {
    int dtr = TIOCM_DTR;
    return fd_.Valid() && ::ioctl(fd_.Get(), on ? TIOCMBIS : TIOCMBIC, &dtr) == 0;
  }

  void Cancel() override {
    cancelled_ = true;
    if (wakeFd_.Valid()) {
      // Never read back: the eventfd stays readable, so every later wait returns at once.
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(wakeFd_.Get(), &one, sizeof one);
    }
  }

  CommWait WaitReadable(int timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const bool limited = timeoutMs >= 0;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
      int slice = -1;
      if (limited) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        slice = left > 0 ? static_cast<int>(left) : 0;
      }
      if (countersKept_ && (slice < 0 || slice > kLineSampleMs))
        slice = kLineSampleMs;

      pollfd fds[2] = {{wakeFd_.Get(), POLLIN, 0}, {fd_.Get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, slice);
      if (r < 0) {
        if (errno == EINTR)
          continue;
        return CommWait::Hangup;
      }
      if (fds[0].revents != 0 || cancelled_)
        return CommWait::Cancelled;
      if (countersKept_ && SampleCounters())
        return CommWait::LineEvent;
      if (fds[1].revents & POLLNVAL)
        return CommWait::Cancelled;
      // Bytes that arrived before a hang-up are read first; the read then reports the hang-up.
      if (fds[1].revents & POLLIN)
        return CommWait::Readable;
      if (fds[1].revents & (POLLHUP | POLLERR))
        return CommWait::Hangup;
      if (limited && Clock::now() >= end)
        return CommWait::TimedOut;
    }
  }

  CommIo Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) override {
    *count = 0;
    for (;;) {
      const ssize_t n = ::read(fd_.Get(), buffer, capacity);
      if (n > 0) {
        *count = static_cast<std::size_t>(n);
        return CommIo::Ok;
      }
      // A terminal in raw mode reads 0 bytes only once it has been hung up.
      if (n == 0)
        return CommIo::Hangup;
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN)
        return CommIo::Ok;
      return errno == EBADF ? CommIo::Cancelled : CommIo::Hangup;
    }
  }

  CommLineEvents TakeLineEvents() override {
    const CommLineEvents events = pending_;
    pending_ = {};
    return events;
  }

  CommIo Write(const std::uint8_t* data, std::size_t length, std::size_t* written) override {
    *written = 0;
    for (;;) {
      if (cancelled_)
        return CommIo::Cancelled;
      const ssize_t n = ::write(fd_.Get(), data, length);
      if (n > 0) {
        *written = static_cast<std::size_t>(n);
        return CommIo::Ok;
      }
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && errno != EAGAIN)
        return errno == EBADF ? CommIo::Cancelled : CommIo::Hangup;
      // The driver's queue is full (flow control, or a slow line): sleep until it takes more.
      pollfd fds[2] = {{wakeFd_.Get(), POLLIN, 0}, {fd_.Get(), POLLOUT, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR)
        return CommIo::Hangup;
      if (fds[0].revents != 0)
        return CommIo::Cancelled;
      if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[1].revents & POLLOUT))
        return CommIo::Hangup;
    }
  }

  CommIo WriteNow(const std::uint8_t* data, std::size_t length, std::size_t* written) override {
    *written = 0;
    if (cancelled_)
      return CommIo::Cancelled;
    for (;;) {
      const ssize_t n = ::write(fd_.Get(), data, length);
      if (n >= 0) {
        *written = static_cast<std::size_t>(n);
        return CommIo::Ok;
      }
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN)
        return CommIo::Ok;
      return errno == EBADF ? CommIo::Cancelled : CommIo::Hangup;
    }
  }

  // The driver's output queue (TIOCOUTQ) does not count what a UART already holds in its
  // transmit FIFO and shift register; where the driver reports the line status, the transmitter
  // must be empty as well. A pseudo-terminal has neither: its queue is empty once the write has
  // returned.
  bool OutputQueueEmpty() override {
    int queued = 0;
    if (::ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0 || queued != 0)
      return false;
    if (lsrKept_) {
      unsigned int lsr = 0;
      if (::ioctl(fd_.Get(), TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT) == 0)
        return false;
    }
    return true;
  }

  // Closing the port purges the output queue, which also ends a drain held up by flow control.
  CommIo Drain() override {
    for (;;) {
      if (cancelled_)
        return CommIo::Cancelled;
      if (::tcdrain(fd_.Get()) == 0)
        return cancelled_ ? CommIo::Cancelled : CommIo::Ok;
      if (errno == EINTR)
        continue;
      return errno == EBADF ? CommIo::Cancelled : CommIo::Hangup;
    }
  }

 private:
  // Compares the driver's line counters with the last sample; true when something changed.
  bool SampleCounters() {
    serial_icounter_struct now{};
    if (::ioctl(fd_.Get(), TIOCGICOUNT, &now) != 0)
      return false;
    CommLineEvents e;
    if (now.rng != counters_.rng)
      e.modemEvents |= kModemEventRing;
    if (now.dcd != counters_.dcd)
      e.modemEvents |= kModemEventRlsd;
    if (now.frame != counters_.frame)
      e.lineErrors |= kLineErrorFrame;
    if (now.overrun != counters_.overrun)
      e.lineErrors |= kLineErrorOverrun;
    if (now.parity != counters_.parity)
      e.lineErrors |= kLineErrorParity;
    if (now.brk != counters_.brk)
      e.lineErrors |= kLineErrorBreak;
    if (now.buf_overrun != counters_.buf_overrun)
      e.lineErrors |= kLineErrorRxOver;
    counters_ = now;
    pending_.modemEvents |= e.modemEvents;
    pending_.lineErrors |= e.lineErrors;
    return pending_.modemEvents != 0 || pending_.lineErrors != 0;
  }

  platform::UniqueFd fd_;
  platform::UniqueFd wakeFd_;
  std::atomic<bool> cancelled_{false};
  // Set up by Open before the threads start, read-only afterwards: the driver reports whether
  // its transmitter is empty (TIOCSERGETLSR).
  bool lsrKept_ = false;
  // Read thread only (set up by Open before the thread starts).
  bool countersKept_ = false;
  serial_icounter_struct counters_{};
  CommLineEvents pending_;
};

}  // namespace

std::unique_ptr<CommBackend> CreatePosixCommBackend() {
  return std::make_unique<PosixCommBackend>();
}

}  // namespace xv4
