#pragma once
// An emulated AT modem behind the test backend, for the tests of the link's modem layer.
//
// What the link writes reaches the simulator's ModemEmulator (echo, OK, CONNECT ...), whose
// answers the backend delivers as received bytes; the backend also reports the modem status
// bits and records the DTR switches. The test plays the telephone line: it connects or fails
// the call the modem dialled, rings, drops the carrier, sends data from the far end, and can
// make the modem deaf. A helper thread feeds the written bytes to the emulator; every member is
// thread-safe.

#include "sim/ModemEmulator.h"
#include "tests/support/FakeCommBackend.h"

#include <QByteArray>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace xv4::test {

class FakeModem : public sim::ModemEnvironment {
 public:
  explicit FakeModem(FakeCommBackend& port)
      : port_(port), modem_(*this, std::chrono::milliseconds(1000)) {
    feeder_ = std::thread([this] { Feed(); });
  }
  ~FakeModem() override {
    stop_ = true;
    feeder_.join();
  }
  FakeModem(const FakeModem&) = delete;
  FakeModem& operator=(const FakeModem&) = delete;

  // A deaf modem drops what it is sent.
  void SetDeaf(bool deaf) {
    std::lock_guard lock(m_);
    deaf_ = deaf;
  }
  // The call dialled (or answered) is up; `farEndFirst` arrives in the same chunk as CONNECT.
  void Connect(const QByteArray& farEndFirst = {}, int bps = 9600) {
    std::lock_guard lock(m_);
    batching_ = true;
    modem_.Connected(bps, Now());
    modem_.FromLine(Span(farEndFirst));
    batching_ = false;
    port_.Inject(batch_);
    batch_.clear();
  }
  void Fail(sim::ModemResult result) {
    std::lock_guard lock(m_);
    modem_.CallFailed(result);
  }
  void Ring() {
    std::lock_guard lock(m_);
    modem_.Ring(Now());
  }
  void FromFarEnd(const QByteArray& bytes) {
    std::lock_guard lock(m_);
    modem_.FromLine(Span(bytes));
  }
  void DropCarrier() {
    std::lock_guard lock(m_);
    modem_.CarrierLost();
  }

  std::string Dialled() const {
    std::lock_guard lock(m_);
    return dialled_;
  }
  int Dials() const {
    std::lock_guard lock(m_);
    return dials_;
  }
  bool Answering() const {
    std::lock_guard lock(m_);
    return answered_;
  }
  bool OnHook() const {
    std::lock_guard lock(m_);
    return modem_.OnHook();
  }
  // What reached the far end while the call was up.
  QByteArray ToFarEnd() const {
    std::lock_guard lock(m_);
    return toLine_;
  }

 private:
  using Clock = sim::ModemEmulator::Clock;
  static Clock::time_point Now() { return Clock::now(); }
  static std::span<const std::uint8_t> Span(const QByteArray& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.constData()),
            static_cast<std::size_t>(b.size())};
  }

  void Feed() {
    qsizetype fed = 0;
    while (!stop_) {
      port_.WaitFor([&] { return stop_ || port_.WrittenSize() > fed; }, 200);
      const QByteArray bytes = port_.WrittenFrom(fed);
      fed += bytes.size();
      std::lock_guard lock(m_);
      if (!deaf_ && !bytes.isEmpty())
        modem_.FromTerminal(Span(bytes), Now());
    }
  }

  // sim::ModemEnvironment, called with m_ held.
  void ToTerminal(std::span<const std::uint8_t> bytes) override {
    const QByteArray b(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<qsizetype>(bytes.size()));
    if (batching_)
      batch_ += b;
    else
      port_.Inject(b);
  }
  void ToLine(std::span<const std::uint8_t> bytes) override {
    toLine_.append(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<qsizetype>(bytes.size()));
  }
  void Dial(const std::string& number) override {
    dialled_ = number;
    ++dials_;
  }
  void Answer() override { answered_ = true; }
  void HangUp() override {}
  void Log(const std::string&) override {}

  FakeCommBackend& port_;
  mutable std::mutex m_;
  sim::ModemEmulator modem_;
  bool deaf_ = false;
  bool batching_ = false;
  QByteArray batch_;
  std::string dialled_;
  int dials_ = 0;
  bool answered_ = false;
  QByteArray toLine_;
  std::atomic<bool> stop_{false};
  std::thread feeder_;
};

}  // namespace xv4::test
