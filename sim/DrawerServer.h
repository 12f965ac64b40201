#pragma once
// The printer's raw printing port as the cash drawer sees it: a TCP listener on a loopback
// address (9100 on a printer), served by one worker thread.
//
// The tool opens the drawer by connecting, sending the five bytes ESC p 0 24 24 and closing.
// The server takes any number of bytes per connection (the first kDrawerMaxBytes are kept) and
// reports each connection once: when the peer closes or resets it, or when the server stops.
// Nothing is ever sent back, as a printer sends nothing on this port.
//
// Start() and Stop() from the controlling thread; Port(), Address() and Connections() from any
// thread. The observer runs on the worker thread, one call at a time. Start() throws
// std::runtime_error when the address is refused or the socket cannot be bound (a port in use
// included: the message then names it).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace xv4::sim {

constexpr std::uint16_t kDrawerDefaultPort = 9100;
constexpr std::size_t kDrawerMaxBytes = 4096;  // kept per connection; the rest is read and dropped

// What one connection delivered.
struct DrawerReceipt {
  std::string peer;                 // "127.0.0.1:45678"
  std::vector<std::uint8_t> bytes;  // the first kDrawerMaxBytes bytes received
  std::uint64_t total = 0;          // bytes received in all
};

using DrawerObserver = std::function<void(const DrawerReceipt&)>;

class DrawerServer {
 public:
  DrawerServer();
  ~DrawerServer();  // Stop()
  DrawerServer(const DrawerServer&) = delete;
  DrawerServer& operator=(const DrawerServer&) = delete;

  // Set before Start().
  void SetObserver(DrawerObserver observer) { observer_ = std::move(observer); }

  // Listens on address:port (port 0: the system picks one). The address must be a loopback
  // address unless allowRemote is set.
  void Start(const std::string& address, std::uint16_t port, bool allowRemote = false);
  // Reports the connections still open, then stops the worker and closes every socket.
  // Idempotent.
  void Stop();

  bool Running() const { return worker_.joinable(); }
  std::uint16_t Port() const { return port_.load(); }
  std::string Address() const { return address_; }
  std::uint64_t Connections() const { return connections_.load(); }

 private:
  struct Impl;
  void Run();

  DrawerObserver observer_;
  std::unique_ptr<Impl> impl_;
  std::thread worker_;
  std::string address_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<std::uint64_t> connections_{0};
};

// How many complete drawer commands (ESC p m t1 t2) the bytes hold.
int CountDrawerCommands(const std::vector<std::uint8_t>& bytes);

// The traffic line of a connection, without the program's prefix:
// "tcp 9100 from 127.0.0.1:45678: 5 bytes 1B 70 00 18 18 -> drawer opened". At most 16 bytes
// are shown.
std::string DescribeDrawerReceipt(const DrawerReceipt& receipt, std::uint16_t port);

// The capture line of a connection, in the style of the record lines: "DRAWER" (which no
// two-digit command can be), a blank, the bytes kept as upper-case hex digits; no line end.
// "DRAWER 1B70001818".
std::string FormatDrawerCaptureLine(const DrawerReceipt& receipt);

}  // namespace xv4::sim
