#pragma once
// A serial device in memory, for the tests of TComm and of the link.
//
// The test plays the other end: it injects received bytes, line events, modem status bits and
// hang-ups, scripts open failures, holds writes or drains back, and inspects what was written,
// applied and switched. Every member is thread-safe. Byte blocks are copied in and out, never
// shared between threads (Qt's implicit sharing counts references inside the library, where the
// thread sanitizer cannot see it).

#include "platform/Time.h"
#include "transport/CommBackend.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace xv4::test {

class FakeCommBackend : public CommBackend {
 public:
  // --- the test's side ---

  // Results of the next Open calls, in order; Ok once the script is used up.
  void ScriptOpenResults(std::vector<CommOpenResult> results) {
    std::lock_guard lock(m_);
    openScript_.assign(results.begin(), results.end());
  }
  void Inject(const QByteArray& bytes) {
    std::lock_guard lock(m_);
    incoming_.append(bytes.constData(), bytes.size());
    cv_.notify_all();
  }
  void InjectLineEvents(CommLineEvents events) {
    std::lock_guard lock(m_);
    lineEvents_.push_back(events);
    cv_.notify_all();
  }
  void HangUp() {
    std::lock_guard lock(m_);
    hungUp_ = true;
    cv_.notify_all();
  }
  // The next opens succeed and the device is gone at once (an adapter pulled out as it opened).
  void HangUpAtOpen(bool on) {
    std::lock_guard lock(m_);
    hangUpAtOpen_ = on;
  }
  // While stalled, Drain does not return, not even when cancelled: a driver call that ignores
  // the close's wake-up.
  void StallDrains(bool stall) {
    std::lock_guard lock(m_);
    stallDrains_ = stall;
    cv_.notify_all();
  }
  void SetModemStatus(std::uint32_t bits) {
    std::lock_guard lock(m_);
    modemStatus_ = bits;
  }
  // While held, Write (or Drain) sleeps until released or cancelled.
  void HoldWrites(bool hold) {
    std::lock_guard lock(m_);
    holdWrites_ = hold;
    cv_.notify_all();
  }
  void HoldDrains(bool hold) {
    std::lock_guard lock(m_);
    holdDrains_ = hold;
    cv_.notify_all();
  }
  // Like a UART: written bytes stay in the output queue until a Drain has run (held drains keep
  // them there too); otherwise they leave at once, as on a pseudo-terminal.
  void SetOutputLingers(bool linger) {
    std::lock_guard lock(m_);
    outputLingers_ = linger;
  }
  // At most this many bytes per WriteNow (a nearly full driver queue); -1: no limit.
  void LimitWriteNow(int bytes) {
    std::lock_guard lock(m_);
    writeNowLimit_ = bytes;
  }

  QByteArray Written() const {
    std::lock_guard lock(m_);
    return QByteArray(written_.constData(), written_.size());
  }
  // The written bytes from offset `from` on.
  QByteArray WrittenFrom(qsizetype from) const {
    std::lock_guard lock(m_);
    return from >= written_.size()
               ? QByteArray()
               : QByteArray(written_.constData() + from, written_.size() - from);
  }
  qsizetype WrittenSize() const {
    std::lock_guard lock(m_);
    return written_.size();
  }
  // What happened on the write side, in order: "W:<bytes>" per Write or WriteNow that took
  // bytes, "D" per finished Drain.
  std::vector<std::string> WriteLog() const {
    std::lock_guard lock(m_);
    return writeLog_;
  }
  // The bytes each WriteNow took, in order (those written from the sending thread).
  std::vector<std::string> WrittenNow() const {
    std::lock_guard lock(m_);
    return writtenNow_;
  }
  // Write or WriteNow calls that overlapped another (the port must never do that).
  int OverlappingWrites() const { return Get(overlaps_); }
  int Opens() const { return Get(opens_); }
  int Closes() const { return Get(closes_); }
  int LineApplies() const { return Get(lineApplies_); }
  int TimeoutApplies() const { return Get(timeoutApplies_); }
  int Drains() const { return Get(drains_); }
  int WritesStarted() const { return Get(writesStarted_); }
  // Times WaitReadable has reported the hang-up (the read thread has seen it).
  int HangupsReported() const { return Get(hangupsReported_); }
  int DrainsStarted() const { return Get(drainsStarted_); }
  bool IsOpen() const { return Get(open_); }
  QString LastPath() const {
    std::lock_guard lock(m_);
    return path_;
  }
  CommLineSettings LastSettings() const {
    std::lock_guard lock(m_);
    return settings_;
  }
  CommTimeouts LastTimeouts() const {
    std::lock_guard lock(m_);
    return timeouts_;
  }
  std::vector<bool> DtrSwitches() const {
    std::lock_guard lock(m_);
    return dtrSwitches_;
  }

  // Sleeps (without processing events) until pred holds or the time runs out. pred takes the
  // lock itself, so it runs unlocked, and a change made while it runs wakes nobody: the wait
  // re-tests in short slices rather than trusting the notification.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (pred())
        return true;
      if (std::chrono::steady_clock::now() >= end)
        return false;
      std::unique_lock lock(m_);
      cv_.wait_for(lock, std::chrono::milliseconds(5));
    }
  }

  // --- CommBackend ---

  CommOpenResult Open(const QString& devicePath) override {
    std::lock_guard lock(m_);
    path_ = devicePath;
    CommOpenResult r = CommOpenResult::Ok;
    if (!openScript_.empty()) {
      r = openScript_.front();
      openScript_.pop_front();
    }
    if (r == CommOpenResult::Ok) {
      ++opens_;
      open_ = true;
      cancelled_ = false;
      hungUp_ = hangUpAtOpen_;
      pendingOut_ = 0;
    }
    cv_.notify_all();
    return r;
  }
  void Close() override {
    std::lock_guard lock(m_);
    if (open_)
      ++closes_;
    open_ = false;
    cv_.notify_all();
  }
  bool ApplyLineSettings(const CommLineSettings& s) override {
    std::lock_guard lock(m_);
    ++lineApplies_;
    settings_ = s;
    cv_.notify_all();
    return true;
  }
  bool ApplyTimeouts(const CommTimeouts& t) override {
    std::lock_guard lock(m_);
    ++timeoutApplies_;
    timeouts_ = t;
    return true;
  }
  void Purge(bool input, bool output) override {
    std::lock_guard lock(m_);
    if (input)
      incoming_.clear();
    if (output)
      pendingOut_ = 0;
  }
  bool ModemStatus(std::uint32_t* bits) override {
    std::lock_guard lock(m_);
    *bits = modemStatus_;
    return true;
  }
  bool SetDtr(bool on) override {
    std::lock_guard lock(m_);
    dtrSwitches_.push_back(on);
    return true;
  }
  void Cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }

  CommWait WaitReadable(int timeoutMs) override {
    std::unique_lock lock(m_);
    auto ready = [&] {
      return cancelled_ || hungUp_ || !incoming_.isEmpty() || !lineEvents_.empty();
    };
    if (timeoutMs < 0) {
      cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
      return CommWait::TimedOut;
    }
    if (cancelled_)
      return CommWait::Cancelled;
    if (!lineEvents_.empty())
      return CommWait::LineEvent;
    if (!incoming_.isEmpty())
      return CommWait::Readable;
    ++hangupsReported_;
    cv_.notify_all();
    return CommWait::Hangup;
  }
  CommIo Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) override {
    std::lock_guard lock(m_);
    if (cancelled_)
      return CommIo::Cancelled;
    const auto n = std::min<std::size_t>(capacity, static_cast<std::size_t>(incoming_.size()));
    std::copy_n(incoming_.constData(), n, reinterpret_cast<char*>(buffer));
    incoming_.remove(0, static_cast<qsizetype>(n));
    *count = n;
    if (n == 0 && hungUp_)
      return CommIo::Hangup;
    return CommIo::Ok;
  }
  CommLineEvents TakeLineEvents() override {
    std::lock_guard lock(m_);
    if (lineEvents_.empty())
      return {};
    const CommLineEvents e = lineEvents_.front();
    lineEvents_.pop_front();
    return e;
  }
  CommIo Write(const std::uint8_t* data, std::size_t length, std::size_t* written) override {
    std::unique_lock lock(m_);
    const Busy busy(*this);
    ++writesStarted_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !holdWrites_ || cancelled_; });
    if (cancelled_)
      return CommIo::Cancelled;
    if (hungUp_)
      return CommIo::Hangup;
    Take(data, length);
    *written = length;
    return CommIo::Ok;
  }
  CommIo Drain() override {
    std::unique_lock lock(m_);
    const Busy busy(*this);
    ++drainsStarted_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !stallDrains_ && (!holdDrains_ || cancelled_); });
    if (cancelled_)
      return CommIo::Cancelled;
    ++drains_;
    pendingOut_ = 0;
    writeLog_.push_back("D");
    cv_.notify_all();
    return CommIo::Ok;
  }
  CommIo WriteNow(const std::uint8_t* data, std::size_t length, std::size_t* written) override {
    std::lock_guard lock(m_);
    const Busy busy(*this);
    *written = 0;
    if (cancelled_)
      return CommIo::Cancelled;
    if (hungUp_)
      return CommIo::Hangup;
    if (holdWrites_)
      return CommIo::Ok;
    if (writeNowLimit_ >= 0)
      length = std::min(length, static_cast<std::size_t>(writeNowLimit_));
    if (length > 0) {
      Take(data, length);
      writtenNow_.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    *written = length;
    return CommIo::Ok;
  }
  bool OutputQueueEmpty() override {
    std::lock_guard lock(m_);
    return pendingOut_ == 0;
  }

 private:
  // Counts the write-side calls in progress (under m_; Write and Drain may wait with m_
  // released, which is when another call could slip in).
  struct Busy {
    explicit Busy(FakeCommBackend& f) : fake(f) {
      if (fake.writersInside_++ > 0)
        ++fake.overlaps_;
    }
    ~Busy() { --fake.writersInside_; }
    FakeCommBackend& fake;
  };
  void Take(const std::uint8_t* data, std::size_t length) {
    written_.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(length));
    writeLog_.push_back("W:" + std::string(reinterpret_cast<const char*>(data), length));
    if (outputLingers_ || holdDrains_)
      pendingOut_ += length;
    cv_.notify_all();
  }

  template <typename T>
  T Get(const T& field) const {
    std::lock_guard lock(m_);
    return field;
  }

  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::deque<CommOpenResult> openScript_;
  QString path_;
  QByteArray incoming_;
  std::deque<CommLineEvents> lineEvents_;
  QByteArray written_;
  std::vector<std::string> writeLog_;
  std::vector<bool> dtrSwitches_;
  CommLineSettings settings_;
  CommTimeouts timeouts_;
  std::uint32_t modemStatus_ = 0;
  int opens_ = 0;
  int closes_ = 0;
  int lineApplies_ = 0;
  int timeoutApplies_ = 0;
  int drains_ = 0;
  int drainsStarted_ = 0;
  int writesStarted_ = 0;
  bool open_ = false;
  bool cancelled_ = false;
  bool hungUp_ = false;
  bool holdWrites_ = false;
  bool holdDrains_ = false;
  bool stallDrains_ = false;
  bool hangUpAtOpen_ = false;
  int hangupsReported_ = 0;
  bool outputLingers_ = false;
  int writeNowLimit_ = -1;
  std::size_t pendingOut_ = 0;  // written bytes not yet out of the device
  std::vector<std::string> writtenNow_;
  int writersInside_ = 0;
  int overlaps_ = 0;
};

}  // namespace xv4::test
