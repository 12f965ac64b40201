#include "transport/Comm.h"

#include "platform/Notifier.h"
#include "transport/CommPosix.h"

#include <algorithm>
#include <chrono>
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

}  // namespace

TComm::TComm(QObject* owner, std::unique_ptr<CommBackend> backend)
    : QObject(owner),
      backend_(backend ? std::move(backend) : CreatePosixCommBackend()),
      notify_(std::make_unique<platform::NotifyTarget>(
          [this](const platform::Notification& n) { HandleNotification(n); })) {}

TComm::~TComm() {
  // The threads use this object; they must be gone before it is.
  ClosePort();
}

void TComm::SetBackend(std::unique_ptr<CommBackend> backend) {
  if (open_ || !backend)
    return;
  backend_ = std::move(backend);
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

void TComm::OpenPort() {
  if (open_)
    return;
  const CommOpenResult result = backend_->Open(DevicePathOf(commName_));
  if (result != CommOpenResult::Ok) {
    backend_->Close();
    throw ECommsError(OpenFailureText(result));
  }

  backend_->Purge(true, true);
  hangupPosted_ = false;
  ApplyTimeouts();
  ApplyCommState();

  {
    // The write thread's first duty is the report that follows every open.
    std::lock_guard lock(writeMutex_);
    writeQueue_.clear();
    writerStop_ = false;
    writerAccepting_ = true;
    writerBusy_ = false;
    reportOwed_ = true;
    reportSeq_ = queuedSeq_;
  }
  try {
    readThread_ = std::thread(&TComm::ReadLoop, this);
  } catch (const std::system_error&) {
    StopThreads();
    backend_->Close();
    throw ECommsError("Unable to create read thread");
  }
  try {
    writeThread_ = std::thread(&TComm::WriteLoop, this);
  } catch (const std::system_error&) {
    StopThreads();
    backend_->Close();
    throw ECommsError("Unable to create write thread");
  }
  open_ = true;
}

void TComm::ClosePort() {
  if (!open_)
    return;
  StopThreads();
  backend_->Close();
  open_ = false;
}

void TComm::StopThreads() {
  // Cancel wakes whatever either thread sleeps on (poll, drain); the flag ends the write
  // thread's wait for work. Purging also frees a drain that flow control holds up.
  backend_->Cancel();
  {
    std::lock_guard lock(writeMutex_);
    writerStop_ = true;
    writerAccepting_ = false;
    writeQueue_.clear();
  }
  writeWake_.notify_all();
  if (readThread_.joinable()) {
    backend_->Purge(true, false);
    readThread_.join();
  }
  if (writeThread_.joinable()) {
    backend_->Purge(false, true);
    writeThread_.join();
  }
}

bool TComm::SendData(const void* buffer, std::uint16_t length) {
  if (buffer == nullptr || length == 0)
    return false;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  {
    std::lock_guard lock(writeMutex_);
    if (!writerAccepting_)
      return false;
    const std::uint64_t seq = ++queuedSeq_;
    std::size_t done = 0;
    // With the write thread idle (nothing queued, nothing of its own in Write or Drain, every
    // earlier block reported) the bytes go to the device from this thread: that spares the
    // hand-off to the write thread and, where the device has them out at once (a
    // pseudo-terminal), the drain and its report from there.
    // Exclusion: WriteNow and OutputQueueEmpty never sleep and run under writeMutex_. The write
    // thread calls Write or Drain only after marking itself busy under this lock, another
    // sender finds the lock held, and ClosePort stops accepting under it before the device is
    // closed; so no two threads ever write to the device at once.
    // The report is posted through the same target as the threads' reports, so the owner sees
    // it in posting order and as an event, never inside this call.
    if (writeQueue_.empty() && !writerBusy_ && !reportOwed_) {
      const CommIo io = backend_->WriteNow(bytes, length, &done);
      done = std::min<std::size_t>(done, length);
      if (io == CommIo::Ok && done == length) {
        if (backend_->OutputQueueEmpty()) {
          notify_->Post(kNotifySendDataEmpty, static_cast<std::uintptr_t>(seq));
          return true;
        }
        // Still on its way out of a UART: the write thread drains it and reports.
        reportOwed_ = true;
        reportSeq_ = seq;
      }
      // Otherwise the write thread writes what is left, sleeping as long as the device needs;
      // a device that failed fails there again and is reported from there.
    }
    if (done < length) {
      writeQueue_.push_back(WriteBlock{seq, QByteArray(reinterpret_cast<const char*>(bytes) + done,
                                                       static_cast<qsizetype>(length - done))});
    }
  }
  writeWake_.notify_one();
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
  dropNulls_ = line_.ignoreNullChar;
  // Give the UART time to settle on the new settings before anything is written.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TComm::ApplyTimeouts() {
  backend_->ApplyTimeouts(timeouts_);
  readInterval_ = timeouts_.readInterval;
  readTotalMultiplier_ = timeouts_.readTotalMultiplier;
  readTotalConstant_ = timeouts_.readTotalConstant;
}

void TComm::PostHangup() {
  if (!hangupPosted_.exchange(true))
    notify_->Post(kNotifyRequestHangup);
}

void TComm::DeliverChunk(const std::uint8_t* data, std::size_t count) {
  notify_->Post(kNotifyReceiveData, count,
                QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(count)));
}

// Read thread. Bytes are gathered into chunks: a chunk ends when no byte has arrived for the
// read interval, when the total read time-out (if one is set) has run out since its first
// byte, or when it holds kReadChunk bytes. With an interval of 0 every read is a chunk.
void TComm::ReadLoop() {
  std::uint8_t buffer[kReadChunk];
  std::size_t held = 0;
  Clock::time_point gapEnd{};
  Clock::time_point chunkEnd = Clock::time_point::max();

  auto flush = [&] {
    if (held > 0)
      DeliverChunk(buffer, held);
    held = 0;
  };

  for (;;) {
    const int timeout = held == 0 ? -1 : MsUntil(std::min(gapEnd, chunkEnd));
    switch (backend_->WaitReadable(timeout)) {
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
        const CommLineEvents events = backend_->TakeLineEvents();
        if (events.lineErrors != 0)
          notify_->Post(kNotifyReceiveError, events.lineErrors);
        if (events.modemEvents != 0)
          notify_->Post(kNotifyModemState, events.modemEvents);
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
    const CommIo io = backend_->Read(buffer + held, kReadChunk - held, &got);
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
    if (dropNulls_) {
      std::uint8_t* begin = buffer + held;
      got = static_cast<std::size_t>(std::remove(begin, begin + got, std::uint8_t{0}) - begin);
      if (got == 0)
        continue;
    }
    const Clock::time_point now = Clock::now();
    if (held == 0) {
      const std::uint64_t total =
          std::uint64_t{readTotalMultiplier_} * kReadChunk + std::uint64_t{readTotalConstant_};
      chunkEnd = total == 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(total);
    }
    held += got;
    const std::uint32_t interval = readInterval_;
    if (held >= kReadChunk || interval == 0) {
      flush();
    } else {
      gapEnd = now + std::chrono::milliseconds(interval);
    }
  }
}

CommIo TComm::WriteBlockWhole(const QByteArray& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
  const auto size = static_cast<std::size_t>(bytes.size());
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t written = 0;
    const CommIo io = backend_->Write(data + offset, size - offset, &written);
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
// full queue, a drain) runs with writerBusy_ set, which keeps SendData from writing beside it.
void TComm::WriteLoop() {
  std::unique_lock lock(writeMutex_);
  auto fail = [&](CommIo io) {
    writerAccepting_ = false;
    writerBusy_ = false;
    writeQueue_.clear();
    lock.unlock();
    if (io == CommIo::Hangup)
      PostHangup();
  };

  for (;;) {
    writeWake_.wait(lock, [this] { return writerStop_ || !writeQueue_.empty() || reportOwed_; });
    if (writerStop_)
      return;
    writerBusy_ = true;
    if (!writeQueue_.empty()) {
      const WriteBlock block = std::move(writeQueue_.front());
      writeQueue_.pop_front();
      lock.unlock();
      const CommIo io = WriteBlockWhole(block.bytes);
      lock.lock();
      if (io != CommIo::Ok) {
        fail(io);
        return;
      }
      reportOwed_ = true;
      reportSeq_ = block.seq;
      continue;
    }

    const std::uint64_t seq = reportSeq_;
    lock.unlock();
    const CommIo io = backend_->Drain();
    lock.lock();
    if (io != CommIo::Ok) {
      fail(io);
      return;
    }
    // Posted under the lock: a SendData that finds the writer idle after this posts its own
    // report behind this one.
    notify_->Post(kNotifySendDataEmpty, static_cast<std::uintptr_t>(seq));
    writerBusy_ = false;
    reportOwed_ = false;
  }
}

void TComm::HandleNotification(const platform::Notification& n) {
  switch (n.code) {
    case kNotifyReceiveData:
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
        std::lock_guard lock(writeMutex_);
        stale = static_cast<std::uint64_t>(n.param) < queuedSeq_;
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
