#pragma once
// Hands a UDP endpoint a datagram as if its socket had received it, for tests and fuzz harnesses
// that drive a receive parser without a socket. No test framework here.

#include "transport/UdpEndpoint.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <span>

namespace xv4 {

class TUdpEndpointTestAccess {
 public:
  // A datagram of these bytes from 127.0.0.1:port: stored in the receive buffer (one larger than
  // the buffer reads as -1, as the socket reports it) and announced through OnDataReceived.
  static void Deliver(TUdpEndpoint& e, std::span<const std::uint8_t> bytes, int port) {
    if (bytes.size() > e.receiveBuffer_.size()) {
      e.lastLength_ = -1;
    } else {
      std::copy(bytes.begin(), bytes.end(), e.receiveBuffer_.begin());
      e.lastLength_ = static_cast<int>(bytes.size());
    }
    if (e.OnDataReceived)
      e.OnDataReceived(&e, e.lastLength_, QStringLiteral("127.0.0.1"), port);
  }
};

}  // namespace xv4
