// Serial ports on Linux: a terminal device in raw mode, read and written without blocking, with
// an eventfd that wakes every wait when the port closes.
#include "transport/CommPosix.h"

#include "platform/UniqueFd.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

// A drain looks at the output queue again after about the time its bytes take on the line,
// within these bounds.
constexpr int kDrainSliceMinMs = 1;
constexpr int kDrainSliceMaxMs = 50;

// How long closing the device may keep the caller (see Close).
constexpr std::chrono::milliseconds kDeviceCloseLimit{2000};

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
    wakeFd_.Reset();
    if (!fd_.Valid())
      return;
    ::ioctl(fd_.Get(), TIOCNXCL);
    // Closing a terminal whose output has not left waits inside close(2) for up to the driver's
    // closing_wait (30 s by default, and only root may shorten it): a USB adapter whose writes
    // never complete would hold the window that long. The close runs on a helper thread that
    // owns nothing but the descriptor, so it may outlive this object; the caller waits for it a
    // short while and then leaves it to finish.
    struct Done {
      std::mutex mutex;
      std::condition_variable wake;
      bool closed = false;
    };
    auto done = std::make_shared<Done>();
    try {
      std::thread([fd = fd_.Release(), done] {
        ::close(fd);
        std::lock_guard lock(done->mutex);
        done->closed = true;
        done->wake.notify_all();
      }).detach();
    } catch (const std::system_error&) {
      fd_.Reset();  // no thread to spare: close here
      return;
    }
    std::unique_lock lock(done->mutex);
    done->wake.wait_for(lock, kDeviceCloseLimit, [&done] { return done->closed; });
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
    if (s.baudRate > 0)
      lineBps_ = s.baudRate;
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

  bool OutputQueueEmpty() override { return OutputQueued() == 0; }

  // Polls the output queue instead of blocking in tcdrain(), which the close wake-up cannot
  // interrupt: a USB adapter whose writes never complete would hold the write thread, and the
  // close that waits for it, for ever. Closing purges the output queue, which also ends a drain
  // held up by flow control.
  CommIo Drain() override {
    for (;;) {
      if (cancelled_)
        return CommIo::Cancelled;
      const int queued = OutputQueued();
      if (queued < 0)
        return cancelled_ || errno == EBADF ? CommIo::Cancelled : CommIo::Hangup;
      if (queued == 0)
        return cancelled_ ? CommIo::Cancelled : CommIo::Ok;
      const std::int64_t lineMs = std::int64_t{queued} * 10000 / std::max(lineBps_.load(), 1u);
      const int slice =
          static_cast<int>(std::clamp<std::int64_t>(lineMs, kDrainSliceMinMs, kDrainSliceMaxMs));
      pollfd wake{wakeFd_.Get(), POLLIN, 0};
      if (::poll(&wake, 1, slice) < 0 && errno != EINTR)
        return CommIo::Hangup;
      if (wake.revents != 0)
        return CommIo::Cancelled;
    }
  }

 private:
  // Bytes still to leave the device: the driver's output queue (TIOCOUTQ), plus one while a
  // UART's transmitter still holds something (where the driver reports the line status: the
  // queue does not count what is in the transmit FIFO and shift register). A pseudo-terminal
  // has neither: its queue is empty once the write has returned. -1 (errno set) on failure.
  int OutputQueued() {
    int queued = 0;
    if (::ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0)
      return -1;
    if (queued == 0 && lsrKept_) {
      unsigned int lsr = 0;
      if (::ioctl(fd_.Get(), TIOCSERGETLSR, &lsr) != 0)
        return -1;
      if ((lsr & TIOCSER_TEMT) == 0)
        queued = 1;
    }
    return std::max(queued, 0);
  }

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
  // The line speed, for pacing a drain (set by the UI thread, read by the write thread).
  std::atomic<std::uint32_t> lineBps_{9600};
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
