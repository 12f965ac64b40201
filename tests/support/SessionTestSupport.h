#pragma once
// Helpers for device-session tests: loopback guard and capture of the UDP endpoint's datagrams,
// a fixed clock, and access to the receive state that the parsers work on.

#include "protocol/ValdMBus.h"
#include "transport/UdpEndpoint.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace xv4 {

// Puts the session's receiver into the state a wait gives it, without sending anything.
class TValdMBusCommTestAccess {
 public:
  static void BeginWait(TValdMBusComm& s, bool expectRecord,
                        const std::array<std::uint8_t, 3>& header) {
    s.ResetReceiver();
    s.expectRecord_ = expectRecord;
    s.expectedHeader_ = header;
  }
};

namespace test {

constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

// Any datagram the endpoint would send to an address other than 127.0.0.1 fails the test and is
// dropped unsent.
inline void GuardLoopback(TUdpEndpoint& endpoint) {
  endpoint.BeforeTransmit = [](std::uint32_t address, std::uint16_t port, const std::uint8_t*,
                               int) {
    if (address == kLoopbackAddress)
      return true;
    ADD_FAILURE() << "datagram for " << (address >> 24) << '.' << ((address >> 16) & 0xFF) << '.'
                  << ((address >> 8) & 0xFF) << '.' << (address & 0xFF) << ':' << port
                  << " was about to leave the machine";
    return false;
  };
}

struct CapturedDatagram {
  std::uint32_t address;
  std::uint16_t port;
  std::vector<std::uint8_t> bytes;
};

// Every datagram is recorded into `into` and none is sent.
inline void CaptureDatagrams(TUdpEndpoint& endpoint, std::vector<CapturedDatagram>& into) {
  endpoint.BeforeTransmit = [&into](std::uint32_t address, std::uint16_t port,
                                    const std::uint8_t* data, int length) {
    into.push_back({address, port, std::vector<std::uint8_t>(data, data + length)});
    return false;
  };
}

// 2026-12-06 21:40:32 local time.
inline QDateTime FixedMoment() {
  return QDateTime(QDate(2026, 12, 6), QTime(21, 40, 32));
}

}  // namespace test
}  // namespace xv4
