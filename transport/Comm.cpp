#include "transport/Comm.h"

#include "platform/Notifier.h"
#include "transport/CommPosix.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

namespace xv4 {
namespace {

using Clock = std::chrono::steady_clock;

const char* OpenFailureText(CommOpenResult result) {
  switch (result) {
    case CommOpenResult::Ok:
      break;
    case CommOpenResult::CannotOpen:
      return "Error opening serial port";
    case CommOpenResult::NotATty:
      return "File handle is not a comm handle ";
    case CommOpenResult::BufferSetupFailed:
      return "Cannot setup comm buffer";
    case CommOpenResult::EventFailed:
      return "Unable to create event";
  }
  return nullptr;
}

// Milliseconds until t, rounded up so that a wait never ends just before its deadline.
int MsUntil(Clock::time_point t) {
  const auto left = t - Clock::now();
  if (left <= Clock::duration::zero())
    return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

// Read numbers, shared by every port of the program (see TComm::ReadSequence).
std::atomic<std::uint64_t> g_readSequence{0};

}  // namespace

// One open of the port: the device, the hand-off to the owner and the write queue. The owner
// and both threads hold it; everything in it is safe to touch from any of them.
struct TComm::Io {
  Io(std::shared_ptr<CommBackend> device, std::uint64_t openGeneration,
     platform::NotifyTarget* owner, std::shared_ptr<std::atomic<int>> leftBehindCount)
      : backend(std::move(device)),
        generation(openGeneration),
        target(owner),
        leftBehind(std::move(leftBehindCount)) {}

  const std::shared_ptr<CommBackend> backend;
  const std::uint64_t generation;

  // Posts to the owner, tagged with this open. The owner cuts the line (target null) when it
  // leaves a thread behind or goes away, so a late thread posts into nothing.
  void Post(int code, std::uintptr_t param = 0, QByteArray data = {}) {
    std::lock_guard lock(postMutex);
    if (target != nullptr)
      target->Post(code, param, std::move(data), generation);
  }
  void CutOff() {
    std::lock_guard lock(postMutex);
    target = nullptr;
  }
  void PostHangup() {
    if (!hangupPosted.exchange(true))
      Post(kNotifyRequestHangup);
  }

  void ReadLoop();
  void WriteLoop();
  CommIo WriteBlockWhole(const QByteArray& bytes);
  void DeliverChunk(const std::uint8_t* data, std::size_t count, std::uint64_t lastRead);

  // The thread accounting that lets ClosePort wait with a limit.
  void ThreadStarting() {
    std::lock_guard lock(exitMutex);
    ++running;
  }
  void ThreadEnded() {
    std::lock_guard lock(exitMutex);
    --running;
    if (abandoned)
      --*leftBehind;
    exitWake.notify_all();
  }

  std::mutex postMutex;
  platform::NotifyTarget* target;  // guarded by postMutex

  // Read by the read thread while the owner may change them: the chunking time-outs and the NUL
  // filter.
  std::atomic<std::uint32_t> readInterval{100};
  std::atomic<std::uint32_t> readTotalMultiplier{0};
  std::atomic<std::uint32_t> readTotalConstant{0};
  std::atomic<bool> dropNulls{false};
  // Set by whichever thread reports the first hang-up of this open.
  std::atomic<bool> hangupPosted{false};

  // The write side. writeMutex guards everything in this group; SendData, ClosePort and the
  // write thread meet only here.
  struct WriteBlock {
    std::uint64_t seq;
    QByteArray bytes;
  };
  std::mutex writeMutex;
  std::condition_variable writeWake;
  std::deque<WriteBlock> writeQueue;
  std::uint64_t queuedSeq = 0;   // sequence number of the last block SendData took
  bool writerAccepting = false;  // the write thread runs and takes blocks
  bool writerStop = false;
  bool writerBusy = false;  // the write thread is in Write or Drain, outside the lock
  // Bytes were handed to the device (or the port has just opened) and their drained report is
  // still to be made, by the write thread, tagged with reportSeq.
  bool reportOwed = false;
  std::uint64_t reportSeq = 0;

  std::mutex exitMutex;
  std::condition_variable exitWake;
  int running = 0;         // threads started and not yet ended; guarded by exitMutex
  bool abandoned = false;  // ClosePort stopped waiting; guarded by exitMutex
  const std::shared_ptr<std::atomic<int>> leftBehind;
};

TComm::TComm(QObject* owner, std::unique_ptr<CommBackend> backend)
    : QObject(owner),
      systemBackend_(backend == nullptr),
      backend_(backend ? std::move(backend) : CreatePosixCommBackend()),
      notify_(std::make_unique<platform::NotifyTarget>(
          [this](const platform::Notification& n) { HandleNotification(n); })) {}

TComm::~TComm() {
  // The threads use the device; they must be gone (or cut off) before this object is.
  ClosePort();
  if (io_)
    io_->CutOff();
}

void TComm::SetBackend(std::unique_ptr<CommBackend> backend) {
  if (open_ || !backend)
    return;
  backend_ = std::move(backend);
  systemBackend_ = false;
}

QString TComm::DevicePathOf(const QString& commName) {
  if (commName.startsWith(QLatin1Char('/')))
    return commName;
  if (commName.size() > 3 && commName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
    const QString digits = commName.mid(3);
    bool ok = std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); });
    const int number = ok ? digits.toInt(&ok) : 0;
    if (ok && number >= 1)
      return QStringLiteral("/dev/ttyS%1").arg(number - 1);
  }
  return commName;
}

std::uint64_t TComm::ReadSequence() {
  return g_readSequence.load();
}

void TComm::OpenPort() {
  if (open_)
    return;
  // A device that a thread was left behind in is still busy; without a new one there is
  // nothing to open.
  if (!backend_)
    throw ECommsError(OpenFailureText(CommOpenResult::CannotOpen));
  const CommOpenResult result = backend_->Open(DevicePathOf(commName_));
  if (result != CommOpenResult::Ok) {
    backend_->Close();
    throw ECommsError(OpenFailureText(result));
  }

  backend_->Purge(true, true);
  io_ = std::make_shared<Io>(backend_, ++generation_, notify_.get(), leftBehind_);
  ApplyTimeouts();
  ApplyCommState();

  {
    // The write thread's first duty is the report that follows every open.
    std::lock_guard lock(io_->writeMutex);
    io_->writerAccepting = true;
    io_->reportOwed = true;
  }
  const std::shared_ptr<Io> io = io_;
  const auto start = [&io](std::thread& thread, void (Io::*loop)(), const char* failure) {
    io->ThreadStarting();
    try {
      thread = std::thread([io, loop] {
        ((*io).*loop)();
        io->ThreadEnded();
      });
    } catch (const std::system_error&) {
      io->ThreadEnded();
      throw ECommsError(failure);
    }
  };
  try {
    start(readThread_, &Io::ReadLoop, "Unable to create read thread");
    start(writeThread_, &Io::WriteLoop, "Unable to create write thread");
  } catch (const ECommsError&) {
    if (StopThreads())
      backend_->Close();
    throw;
  }
  open_ = true;
}

void TComm::ClosePort() {
  if (!open_)
    return;
  open_ = false;
  if (StopThreads())
    backend_->Close();
}

bool TComm::StopThreads() {
  Io& io = *io_;
  const Clock::time_point deadline = Clock::now() + closeLimit_;
  // Cancel wakes whatever either thread sleeps on (poll, drain); the flag ends the write
  // thread's wait for work. Purging also frees a drain that flow control holds up.
  io.backend->Cancel();
  {
    std::lock_guard lock(io.writeMutex);
    io.writerStop = true;
    io.writerAccepting = false;
    io.writeQueue.clear();
  }
  io.writeWake.notify_all();
  io.backend->Purge(true, true);

  bool ended = false;
  {
    std::unique_lock lock(io.exitMutex);
    ended = io.exitWake.wait_until(lock, deadline, [&io] { return io.running == 0; });
    if (!ended) {
      io.abandoned = true;
      *leftBehind_ += io.running;
    }
  }
  if (ended) {
    if (readThread_.joinable())
      readThread_.join();
    if (writeThread_.joinable())
      writeThread_.join();
    return true;
  }
  // A thread is stuck inside the device (a driver call that ignores the wake-up). It keeps the
  // open's shared block and the device alive and closes the device when it ends; the owner
  // hears nothing more from it, and the next open needs another device.
  io.CutOff();
  if (readThread_.joinable())
    readThread_.detach();
  if (writeThread_.joinable())
    writeThread_.detach();
  backend_ = systemBackend_ ? std::shared_ptr<CommBackend>(CreatePosixCommBackend()) : nullptr;
  return false;
}

bool TComm::SendData(const void* buffer, std::uint16_t length) {
  if (buffer == nullptr || length == 0 || !io_)
    return false;
  Io& io = *io_;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  {
    std::lock_guard lock(io.writeMutex);
    if (!io.writerAccepting)
      return false;
    const std::uint64_t seq = ++io.queuedSeq;
    std::size_t done = 0;
    // With the write thread idle (nothing queued, nothing of its own in Write or Drain, every
    // earlier block reported) the bytes go to the device from this thread: that spares the
    // hand-off to the write thread and, where the device has them out at once (a
    // pseudo-terminal), the drain and its report from there.
    // Exclusion: WriteNow and OutputQueueEmpty never sleep and run under writeMutex. The write
    // thread calls Write or Drain only after marking itself busy under this lock, another
    // sender finds the lock held, and ClosePort stops accepting under it before the device is
    // closed; so no two threads ever write to the device at once.
    // The report is posted through the same target as the threads' reports, so the owner sees
    // it in posting order and as an event, never inside this call.
    if (io.writeQueue.empty() && !io.writerBusy && !io.reportOwed) {
      const CommIo result = io.backend->WriteNow(bytes, length, &done);
      done = std::min<std::size_t>(done, length);
      if (result != CommIo::Ok && done == 0) {
        // The device is gone (or closing): the caller learns it now, not after a drain that
        // will never be reported.
        io.writerAccepting = false;
        if (result == CommIo::Hangup)
          io.PostHangup();
        return false;
      }
      if (result == CommIo::Ok && done == length) {
        if (io.backend->OutputQueueEmpty()) {
          io.Post(kNotifySendDataEmpty, static_cast<std::uintptr_t>(seq));
          return true;
        }
        // Still on its way out of a UART: the write thread drains it and reports.
        io.reportOwed = true;
        io.reportSeq = seq;
      }
      // Otherwise the write thread writes what is left, sleeping as long as the device needs;
      // a device that failed fails there again and is reported from there.
    }
    if (done < length) {
      io.writeQueue.push_back(
          Io::WriteBlock{seq, QByteArray(reinterpret_cast<const char*>(bytes) + done,
                                         static_cast<qsizetype>(length - done))});
    }
  }
  io.writeWake.notify_one();
  return true;
}

bool TComm::GetModemStatus(std::uint32_t* bits) const {
  return open_ && bits != nullptr && backend_->ModemStatus(bits);
}

bool TComm::SetDtrLine(bool on) {
  return open_ && backend_->SetDtr(on);
}

void TComm::ApplyCommState() {
  backend_->ApplyLineSettings(line_);
  io_->dropNulls = line_.ignoreNullChar;
  // Give the UART time to settle on the new settings before anything is written.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TComm::ApplyTimeouts() {
  backend_->ApplyTimeouts(timeouts_);
  io_->readInterval = timeouts_.readInterval;
  io_->readTotalMultiplier = timeouts_.readTotalMultiplier;
  io_->readTotalConstant = timeouts_.readTotalConstant;
}

void TComm::Io::DeliverChunk(const std::uint8_t* data, std::size_t count, std::uint64_t lastRead) {
  Post(kNotifyReceiveData, static_cast<std::uintptr_t>(lastRead),
       QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(count)));
}

// Read thread. Bytes are gathered into chunks: a chunk ends when no byte has arrived for the
// read interval, when the total read time-out (if one is set) has run out since its first
// byte, or when it holds kReadChunk bytes. With an interval of 0 every read is a chunk.
void TComm::Io::ReadLoop() {
  std::uint8_t buffer[kReadChunk];
  std::size_t held = 0;
  std::uint64_t lastRead = 0;
  Clock::time_point gapEnd{};
  Clock::time_point chunkEnd = Clock::time_point::max();

  auto flush = [&] {
    if (held > 0)
      DeliverChunk(buffer, held, lastRead);
    held = 0;
  };

  for (;;) {
    const int timeout = held == 0 ? -1 : MsUntil(std::min(gapEnd, chunkEnd));
    switch (backend->WaitReadable(timeout)) {
      case CommWait::Cancelled:
        return;
      case CommWait::Hangup:
        flush();
        PostHangup();
        return;
      case CommWait::TimedOut:
        if (held > 0 && Clock::now() >= std::min(gapEnd, chunkEnd))
          flush();
        continue;
      case CommWait::LineEvent: {
        const CommLineEvents events = backend->TakeLineEvents();
        if (events.lineErrors != 0)
          Post(kNotifyReceiveError, events.lineErrors);
        if (events.modemEvents != 0)
          Post(kNotifyModemState, events.modemEvents);
        if (events.lineErrors == 0 && events.modemEvents == 0) {
          // The device woke the line-event wait without anything that was asked for: it is
          // no longer usable (this is how a removed adapter shows).
          flush();
          PostHangup();
          return;
        }
        continue;
      }
      case CommWait::Readable:
        break;
    }

    std::size_t got = 0;
    const CommIo io = backend->Read(buffer + held, kReadChunk - held, &got);
    if (io == CommIo::Cancelled)
      return;
    if (io == CommIo::Hangup) {
      flush();
      PostHangup();
      return;
    }
    got = std::min(got, kReadChunk - held);
    if (got == 0)
      continue;
    lastRead = ++g_readSequence;
    if (dropNulls) {
      std::uint8_t* begin = buffer + held;
      got = static_cast<std::size_t>(std::remove(begin, begin + got, std::uint8_t{0}) - begin);
      if (got == 0)
        continue;
    }
    const Clock::time_point now = Clock::now();
    if (held == 0) {
      const std::uint64_t total =
          std::uint64_t{readTotalMultiplier} * kReadChunk + std::uint64_t{readTotalConstant};
      chunkEnd = total == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(total);
    }
    held += got;
    const std::uint32_t interval = readInterval;
    if (held >= kReadChunk || interval == 0) {
      flush();
    } else {
      gapEnd = now + std::chrono::milliseconds(interval);
    }
  }
}

CommIo TComm::Io::WriteBlockWhole(const QByteArray& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
  const auto size = static_cast<std::size_t>(bytes.size());
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t written = 0;
    const CommIo io = backend->Write(data + offset, size - offset, &written);
    if (io != CommIo::Ok)
      return io;
    offset += std::min(written, size - offset);
  }
  return CommIo::Ok;
}

// Write thread. Writes queued blocks whole and in order. Each time the queue runs dry after
// bytes went out (and once at the start) it waits until they have left the port and reports it,
// tagged with the last block handed to the device, so that a report overtaken by a newer
// SendData is not taken for the newer block's. Everything here that can sleep (a write into a
// full queue, a drain) runs with writerBusy set, which keeps SendData from writing beside it.
void TComm::Io::WriteLoop() {
  std::unique_lock lock(writeMutex);
  auto fail = [&](CommIo io) {
    writerAccepting = false;
    writerBusy = false;
    writeQueue.clear();
    lock.unlock();
    if (io == CommIo::Hangup)
      PostHangup();
  };

  for (;;) {
    writeWake.wait(lock, [this] { return writerStop || !writeQueue.empty() || reportOwed; });
    if (writerStop)
      return;
    writerBusy = true;
    if (!writeQueue.empty()) {
      const WriteBlock block = std::move(writeQueue.front());
      writeQueue.pop_front();
      lock.unlock();
      const CommIo io = WriteBlockWhole(block.bytes);
      lock.lock();
      if (io != CommIo::Ok) {
        fail(io);
        return;
      }
      reportOwed = true;
      reportSeq = block.seq;
      continue;
    }

    const std::uint64_t seq = reportSeq;
    lock.unlock();
    const CommIo io = backend->Drain();
    lock.lock();
    if (io != CommIo::Ok) {
      fail(io);
      return;
    }
    // Posted under the lock: a SendData that finds the writer idle after this posts its own
    // report behind this one.
    Post(kNotifySendDataEmpty, static_cast<std::uintptr_t>(seq));
    writerBusy = false;
    reportOwed = false;
  }
}

void TComm::HandleNotification(const platform::Notification& n) {
  // What an earlier open reported (a hang-up, say) says nothing about the port as it is now.
  if (n.tag != generation_ || !io_)
    return;
  switch (n.code) {
    case kNotifyReceiveData:
      chunkSequence_ = static_cast<std::uint64_t>(n.param);
      if (TReceiveDataEvent handler = OnReceiveData) {
        handler(this, reinterpret_cast<const std::uint8_t*>(n.data.constData()),
                static_cast<std::uint16_t>(n.data.size()));
      }
      break;
    case kNotifyReceiveError:
      if (TReceiveErrorEvent handler = OnReceiveError)
        handler(this, static_cast<std::uint32_t>(n.param));
      break;
    case kNotifyRequestHangup:
      if (TCommNotifyEvent handler = OnRequestHangup)
        handler(this);
      break;
    case kNotifyModemState:
      if (TModemStateChangeEvent handler = OnModemStateChange)
        handler(this, static_cast<std::uint32_t>(n.param));
      break;
    case kNotifySendDataEmpty: {
      // A report made before the latest SendData says nothing about that block: the owner would
      // take it for the block's completion and start its reply time-out (or its next write)
      // while the bytes are still on their way.
      bool stale = false;
      {
        std::lock_guard lock(io_->writeMutex);
        stale = static_cast<std::uint64_t>(n.param) < io_->queuedSeq;
      }
      if (!stale) {
        if (TCommNotifyEvent handler = OnSendDataEmpty)
          handler(this);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace xv4
