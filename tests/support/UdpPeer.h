#pragma once
// Loopback UDP helpers for tests: a plain socket on 127.0.0.1 and a scripted printer stand-in
// that answers from its own thread. Both send to 127.0.0.1 only.

#include "platform/Time.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace xv4::test {

using Bytes = std::vector<std::uint8_t>;

// A UDP socket bound to 127.0.0.1 on a port the system chooses. Blocking calls with a time-out;
// any thread.
class LoopbackSocket {
 public:
  LoopbackSocket();
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  std::uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  void SendTo(std::uint16_t port, const Bytes& bytes) const;
  // The next datagram (up to 65536 bytes) and its sender's port, or nothing after timeoutMs.
  std::optional<Bytes> Receive(int timeoutMs, std::uint16_t* fromPort = nullptr) const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

struct PeerReply {
  Bytes bytes;
  int delayMs = 0;  // after the request arrived
};

struct PeerDatagram {
  Bytes bytes;
  std::uint32_t tick = 0;  // platform::GetTickCount() at arrival
};

// A printer stand-in on 127.0.0.1. For every datagram it receives it asks the script (on the
// peer's thread) what to answer, and sends the answers back to the sender after their delays.
class UdpPeer {
 public:
  // index counts the received datagrams from 0.
  using Script = std::function<std::vector<PeerReply>(int index, const Bytes& request)>;

  explicit UdpPeer(Script script = {});
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t Port() const { return socket_.Port(); }
  std::vector<PeerDatagram> Received() const;
  int ReceivedCount() const;

 private:
  void Run();

  LoopbackSocket socket_;
  Script script_;
  int wakeFd_ = -1;
  mutable std::mutex mutex_;
  std::vector<PeerDatagram> received_;  // guarded by mutex_
  std::jthread thread_;
};

// Answers of a printer.
inline std::vector<PeerReply> Answer(Bytes bytes, int delayMs = 0) {
  return {PeerReply{std::move(bytes), delayMs}};
}
inline Bytes AckBytes() {
  return {0x02};
}
inline Bytes NakBytes() {
  return {0x55};
}
// A 259-byte record: the request's first three bytes, then data filled with fill, fill+1, ...
Bytes ReplyRecord(const Bytes& request, std::uint8_t fill);

}  // namespace xv4::test
