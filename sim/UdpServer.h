#pragma once
// The simulated printer on UDP: one socket bound to a loopback address, one worker thread.
//
// Every datagram of exactly 259 bytes is a request record; the engine decides the answer, which
// goes back to the address and port the request came from, as one datagram (or several when a
// split is injected). Delays and split gaps are kept in a timer queue inside the worker's poll
// loop, so a delayed answer never holds up the next request. Other datagrams are ignored.
//
// Start() and Stop() from the controlling thread; Port(), Address() and the counters from any
// thread. Start() throws std::runtime_error when the address is refused or the socket cannot be
// bound. Send errors are counted, never thrown.

#include "sim/PrinterEngine.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace xv4::sim {

class UdpServer {
 public:
  explicit UdpServer(PrinterEngine& engine);
  ~UdpServer();  // Stop()
  UdpServer(const UdpServer&) = delete;
  UdpServer& operator=(const UdpServer&) = delete;

  // Binds address:port (port 0: the system picks a free one) and starts the worker. The address
  // must be an IPv4 loopback address (127.0.0.0/8; "localhost" means 127.0.0.1) unless
  // allowRemote is set.
  void Start(const std::string& address, std::uint16_t port, bool allowRemote = false);

  // Stops the worker and closes the socket; answers still waiting in the queue are dropped.
  // Idempotent.
  void Stop();

  bool Running() const { return worker_.joinable(); }
  std::uint16_t Port() const { return port_.load(); }
  std::string Address() const { return address_; }  // as bound, e.g. "127.0.0.1"

  std::uint64_t IgnoredDatagrams() const { return ignored_.load(); }
  std::uint64_t SendErrors() const { return sendErrors_.load(); }

 private:
  struct Impl;
  void Run();

  PrinterEngine& engine_;
  std::unique_ptr<Impl> impl_;
  std::thread worker_;
  std::string address_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<std::uint64_t> ignored_{0};
  std::atomic<std::uint64_t> sendErrors_{0};
};

// True for dotted IPv4 texts in 127.0.0.0/8 and for "localhost".
bool IsLoopbackAddress(const std::string& address);

}  // namespace xv4::sim
