#include "transport/UdpEndpoint.h"

#include "platform/EventLoop.h"
#include "platform/Time.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QStringList>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace xv4 {
namespace {

using test::Bytes;
using test::LoopbackSocket;

constexpr std::uint32_t kLoopback = 0x7F000001;

struct Delivery {
  int numberBytes;
  Bytes bytes;
  QString fromIP;
  int port;
};

// An endpoint on a port of the system's choosing that records every delivered datagram.
struct RecordingEndpoint {
  RecordingEndpoint() {
    endpoint.SetLocalPort(0);
    endpoint.OnDataReceived = [this](QObject* sender, int numberBytes, const QString& fromIP,
                                     int port) {
      EXPECT_EQ(sender, &endpoint);
      Bytes buffer(TUdpEndpoint::kReceiveBufferSize + 16, 0xEE);
      const int n = endpoint.ReadDatagram(buffer);
      buffer.resize(n < 0 ? 0 : static_cast<size_t>(n));
      EXPECT_EQ(n, numberBytes);
      deliveries.push_back({numberBytes, buffer, fromIP, port});
    };
  }
  bool WaitFor(size_t count) {
    return test::WaitFor([&] { return deliveries.size() >= count; });
  }
  std::uint16_t Port() const { return static_cast<std::uint16_t>(endpoint.BoundPort()); }

  TUdpEndpoint endpoint;
  std::vector<Delivery> deliveries;
};

Bytes Pattern(size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i)
    b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

TEST(UdpEndpoint, DeliversARecordSizedDatagramWholeWithItsSender) {
  RecordingEndpoint ep;
  ASSERT_NE(ep.Port(), 0);
  LoopbackSocket printer;
  const Bytes record = Pattern(259, 3);
  printer.SendTo(ep.Port(), record);
  ASSERT_TRUE(ep.WaitFor(1));
  ASSERT_EQ(ep.deliveries.size(), 1u);
  EXPECT_EQ(ep.deliveries[0].numberBytes, 259);
  EXPECT_EQ(ep.deliveries[0].bytes, record);
  EXPECT_EQ(ep.deliveries[0].fromIP, QStringLiteral("127.0.0.1"));
  EXPECT_EQ(ep.deliveries[0].port, printer.Port());
}

TEST(UdpEndpoint, DatagramsQueuedBeforeTheHandlerRunsAreDeliveredOneByOne) {
  RecordingEndpoint ep;
  LoopbackSocket printer;
  const Bytes first = Pattern(10, 1);
  const Bytes second = Pattern(20, 100);
  printer.SendTo(ep.Port(), first);
  printer.SendTo(ep.Port(), second);
  ASSERT_TRUE(ep.WaitFor(2));
  ASSERT_EQ(ep.deliveries.size(), 2u);
  EXPECT_EQ(ep.deliveries[0].bytes, first);
  EXPECT_EQ(ep.deliveries[1].bytes, second);
}

TEST(UdpEndpoint, DatagramSizesAtAndBeyondTheReceiveBuffer) {
  struct Case {
    size_t size;
    int reported;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {2048, 2048}, {2049, -1}, {9000, -1}, {60000, -1}};
  RecordingEndpoint ep;
  LoopbackSocket printer;
  for (const Case& c : cases) {
    ep.deliveries.clear();
    printer.SendTo(ep.Port(), Pattern(c.size, 9));
    // A short datagram after each one shows the endpoint is still receiving.
    printer.SendTo(ep.Port(), Bytes{0x02});
    ASSERT_TRUE(ep.WaitFor(2)) << c.size;
    EXPECT_EQ(ep.deliveries[0].numberBytes, c.reported) << c.size;
    if (c.reported >= 0)
      EXPECT_EQ(ep.deliveries[0].bytes, Pattern(c.size, 9)) << c.size;
    else
      EXPECT_TRUE(ep.deliveries[0].bytes.empty()) << c.size;
    EXPECT_EQ(ep.deliveries[1].bytes, Bytes{0x02}) << c.size;
  }
}

TEST(UdpEndpoint, ReadDatagramNeverWritesPastTheCallersBuffer) {
  RecordingEndpoint ep;
  std::vector<Bytes> reads;
  ep.endpoint.OnDataReceived = [&](QObject*, int, const QString&, int) {
    Bytes small(8 + 4, 0xEE);
    const int n = ep.endpoint.ReadDatagram(std::span<std::uint8_t>(small.data(), 8));
    EXPECT_EQ(n, 8);
    reads.push_back(small);
  };
  LoopbackSocket printer;
  printer.SendTo(ep.Port(), Pattern(259, 0));
  EXPECT_TRUE(test::WaitFor([&] { return !reads.empty(); }));
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(Bytes(reads[0].begin(), reads[0].begin() + 8), Pattern(8, 0));
  EXPECT_EQ(Bytes(reads[0].begin() + 8, reads[0].end()), Bytes(4, 0xEE));
}

TEST(UdpEndpoint, DottedHostIsSentToWithoutALookup) {
  LoopbackSocket printer;
  TUdpEndpoint ep;
  ep.SetLocalPort(0);
  std::atomic<int> lookups{0};
  ep.Resolver = [&](const QString&) -> std::optional<std::uint32_t> {
    ++lookups;
    return std::nullopt;
  };
  int sentEvents = 0;
  ep.OnDataSend = [&](QObject*) { ++sentEvents; };
  ep.SetRemoteHost(QStringLiteral("127.0.0.1"));
  ep.SetRemotePort(printer.Port());
  const Bytes record = Pattern(259, 5);
  ep.SendDatagram(record.data(), 259);
  std::uint16_t from = 0;
  EXPECT_EQ(printer.Receive(5000, &from), record);
  EXPECT_EQ(from, ep.BoundPort());
  EXPECT_EQ(lookups.load(), 0);
  EXPECT_EQ(sentEvents, 1);
  EXPECT_EQ(ep.ResolveRemoteAddress(), kLoopback);
}

TEST(UdpEndpoint, NullRemoteAddressRaisesAndSendsNothing) {
  TUdpEndpoint ep;
  ep.SetLocalPort(0);
  int transmitted = 0;
  int sentEvents = 0;
  ep.BeforeTransmit = [&](std::uint32_t, std::uint16_t, const std::uint8_t*, int) {
    ++transmitted;
    return false;
  };
  ep.OnDataSend = [&](QObject*) { ++sentEvents; };
  ep.SetRemoteHost(QStringLiteral("0.0.0.0"));
  ep.SetRemotePort(5001);
  const Bytes record = Pattern(259, 5);
  try {
    ep.SendDatagram(record.data(), 259);
    FAIL() << "no exception";
  } catch (const UDPSockError& e) {
    EXPECT_STREQ(e.what(), "Null Remote Address");
  }
  EXPECT_EQ(transmitted, 0);
  EXPECT_EQ(sentEvents, 0);
}

TEST(UdpEndpoint, EmptySendIsInvalidUnlessTheHandlerSuppliesABuffer) {
  LoopbackSocket printer;
  const Bytes replacement = {7, 8, 9};
  struct Case {
    const char* name;
    bool assign;
    bool handled;
    bool supply;
    bool sent;
  };
  const Case cases[] = {
      {"no handler", false, false, false, false},
      {"handler declines", true, false, true, false},
      {"handled but still empty", true, true, false, false},
      {"handler supplies a buffer", true, true, true, true},
  };
  for (const Case& c : cases) {
    TUdpEndpoint ep;
    ep.SetLocalPort(0);
    ep.SetRemoteHost(QStringLiteral("127.0.0.1"));
    ep.SetRemotePort(printer.Port());
    int calls = 0;
    if (c.assign) {
      ep.OnBufferInvalid = [&](QObject*, bool& handled, const std::uint8_t*& buffer, int& length) {
        ++calls;
        handled = c.handled;
        if (c.supply) {
          buffer = replacement.data();
          length = 3;
        }
      };
    }
    const std::uint8_t none = 0;
    if (c.sent) {
      ep.SendDatagram(&none, 0);
      EXPECT_EQ(printer.Receive(5000), replacement) << c.name;
    } else {
      try {
        ep.SendDatagram(&none, 0);
        ADD_FAILURE() << c.name << ": no exception";
      } catch (const UDPSockError&) {
        ADD_FAILURE() << c.name << ": wrong exception";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid buffer") << c.name;
      }
    }
    EXPECT_EQ(calls, c.assign ? 1 : 0) << c.name;
  }
}

TEST(UdpEndpoint, HostNameLookupKeepsDeliveringDatagrams) {
  LoopbackSocket printer;
  RecordingEndpoint ep;
  std::mutex mutex;
  std::condition_variable arrived;
  bool delivered = false;  // guarded by mutex
  const auto record = ep.endpoint.OnDataReceived;
  ep.endpoint.OnDataReceived = [&](QObject* s, int n, const QString& ip, int port) {
    record(s, n, ip, port);
    std::lock_guard lock(mutex);
    delivered = true;
    arrived.notify_all();
  };
  std::atomic<int> lookups{0};
  const std::uint16_t endpointPort = ep.Port();
  // The lookup only finishes once the UI thread has handled a datagram sent while it runs.
  ep.endpoint.Resolver = [&](const QString& name) -> std::optional<std::uint32_t> {
    ++lookups;
    if (name != QStringLiteral("printer.invalid"))
      return std::nullopt;
    printer.SendTo(endpointPort, Bytes{0x02});
    std::unique_lock lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return delivered; }))
      return std::nullopt;
    return kLoopback;
  };
  ep.endpoint.SetRemoteHost(QStringLiteral("printer.invalid"));
  ep.endpoint.SetRemotePort(printer.Port());
  const Bytes record259 = Pattern(259, 1);
  ep.endpoint.SendDatagram(record259.data(), 259);
  EXPECT_EQ(lookups.load(), 1);
  ASSERT_EQ(ep.deliveries.size(), 1u);
  EXPECT_EQ(ep.deliveries[0].bytes, Bytes{0x02});
  EXPECT_EQ(printer.Receive(5000), record259);
}

TEST(UdpEndpoint, LocalhostIsLookedUp) {
  LoopbackSocket printer;
  TUdpEndpoint ep;
  ep.SetLocalPort(0);
  ep.SetRemoteHost(QStringLiteral("localhost"));
  ep.SetRemotePort(printer.Port());
  EXPECT_EQ(ep.ResolveRemoteAddress(), kLoopback);
  const Bytes bytes = {1, 2, 3, 4, 5};
  ep.SendDatagram(bytes.data(), 5);
  EXPECT_EQ(printer.Receive(5000), bytes);
}

TEST(UdpEndpoint, FailedLookupAsksOnInvalidHostForOneMoreTry) {
  struct Case {
    bool assign;
    bool handled;
    int lookups;
    int handlerCalls;
  };
  const Case cases[] = {{false, false, 1, 0}, {true, false, 1, 1}, {true, true, 2, 1}};
  for (const Case& c : cases) {
    TUdpEndpoint ep;
    ep.SetLocalPort(0);
    std::atomic<int> lookups{0};
    ep.Resolver = [&](const QString&) -> std::optional<std::uint32_t> {
      ++lookups;
      return std::nullopt;
    };
    int handlerCalls = 0;
    if (c.assign) {
      ep.OnInvalidHost = [&](QObject*, bool& handled) {
        ++handlerCalls;
        handled = c.handled;
      };
    }
    int transmitted = 0;
    ep.BeforeTransmit = [&](std::uint32_t, std::uint16_t, const std::uint8_t*, int) {
      ++transmitted;
      return false;
    };
    ep.SetRemoteHost(QStringLiteral("no-such-printer.invalid"));
    const std::uint8_t byte = 2;
    try {
      ep.SendDatagram(&byte, 1);
      ADD_FAILURE() << "no exception";
    } catch (const UDPSockError& e) {
      EXPECT_STREQ(e.what(), "Host Lookup Canceled");
    }
    EXPECT_EQ(lookups.load(), c.lookups);
    EXPECT_EQ(handlerCalls, c.handlerCalls);
    EXPECT_EQ(transmitted, 0);
  }
}

TEST(UdpEndpoint, SendReportsItsStatusOnlyUpToReportLevel) {
  LoopbackSocket printer;
  for (int level : {1, 2, 16}) {
    TUdpEndpoint ep;
    EXPECT_EQ(ep.ReportLevel(), 1);
    ep.SetLocalPort(0);
    ep.SetReportLevel(level);
    QStringList statuses;
    ep.OnStatus = [&](QObject*, const QString& s) { statuses << s; };
    ep.SetRemoteHost(QStringLiteral("127.0.0.1"));
    ep.SetRemotePort(printer.Port());
    const std::uint8_t byte = 2;
    ep.SendDatagram(&byte, 1);
    EXPECT_EQ(statuses, level >= 2 ? QStringList{QStringLiteral("Sending Data")} : QStringList())
        << level;
    ASSERT_TRUE(printer.Receive(5000));
  }
}

// Fills every free descriptor below `limit` and lowers the descriptor limit to it, so that the
// next descriptor anyone asks for is refused with EMFILE. Undone by the destructor.
class DescriptorsExhausted {
 public:
  explicit DescriptorsExhausted(int limit) {
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        break;
      if (fd >= limit) {
        ::close(fd);
        break;
      }
      fillers_.push_back(fd);
    }
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(limit);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorsExhausted() {
    ::setrlimit(RLIMIT_NOFILE, &saved_);
    for (int fd : fillers_)
      ::close(fd);
  }

 private:
  rlimit saved_{};
  std::vector<int> fillers_;
};

TEST(UdpEndpoint, SocketThatCannotBeCreatedRaisesWithItsErrorNumber) {
  for (int level : {16, 8}) {
    // The endpoint's socket takes the lowest free descriptor, and so does its replacement.
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    TUdpEndpoint ep;
    ep.SetLocalPort(0);
    ASSERT_NE(ep.BoundPort(), 0);
    ASSERT_NE(::fcntl(lowest, F_GETFD), -1) << "the endpoint's socket is not descriptor " << lowest;
    ep.SetReportLevel(level);
    QStringList statuses;
    ep.OnStatus = [&](QObject*, const QString& s) { statuses << s; };
    {
      DescriptorsExhausted exhausted(lowest);
      try {
        ep.SetLocalPort(0);
        ADD_FAILURE() << "no exception";
      } catch (const UDPSockError& e) {
        EXPECT_STREQ(e.what(), "Unknown Error No. 24");
        EXPECT_EQ(e.Code(), EMFILE);
      }
    }
    QStringList expected;
    if (level >= 16)
      expected << QStringLiteral("Checking Error In Error Manager");
    expected << QStringLiteral("Looking Up Error MessageUnknown Error No. 24");
    EXPECT_EQ(statuses, expected) << level;
    EXPECT_EQ(ep.BoundPort(), 0);
    // Without a socket a send is lost like any refused datagram, and a later rebind recovers.
    ep.SetRemoteHost(QStringLiteral("127.0.0.1"));
    ep.SetRemotePort(9);
    const std::uint8_t byte = 2;
    EXPECT_NO_THROW(ep.SendDatagram(&byte, 1));
    ep.SetLocalPort(0);
    EXPECT_NE(ep.BoundPort(), 0);
  }
}

TEST(UdpEndpoint, PortInUseLeavesTheSocketUnboundButStillTalking) {
  RecordingEndpoint first;
  TUdpEndpoint second;
  std::vector<Bytes> received;
  second.OnDataReceived = [&](QObject*, int, const QString&, int) {
    Bytes b(64);
    b.resize(static_cast<size_t>(std::max(0, second.ReadDatagram(b))));
    received.push_back(b);
  };
  // No address reuse: a port held by one endpoint is never shared with another.
  second.SetLocalPort(first.Port());
  EXPECT_EQ(second.BoundPort(), 0);
  EXPECT_EQ(second.LastError(), EADDRINUSE);

  LoopbackSocket printer;
  second.SetRemoteHost(QStringLiteral("127.0.0.1"));
  second.SetRemotePort(printer.Port());
  const Bytes request = {0x0E, 0x01, 0x00};
  second.SendDatagram(request.data(), 3);
  std::uint16_t from = 0;
  EXPECT_EQ(printer.Receive(5000, &from), request);
  EXPECT_NE(from, first.Port());
  EXPECT_EQ(second.BoundPort(), from);
  printer.SendTo(from, Bytes{0x02});
  EXPECT_TRUE(test::WaitFor([&] { return !received.empty(); }));
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], Bytes{0x02});
  EXPECT_TRUE(first.deliveries.empty());
}

}  // namespace
}  // namespace xv4
