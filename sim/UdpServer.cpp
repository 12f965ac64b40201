#include "sim/UdpServer.h"

#include "sim/Posix.h"
#include "sim/ReplyShaper.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace xv4::sim {
namespace {

constexpr int kMaxDatagramsPerWakeup = 64;  // then the timer queue gets its turn
constexpr std::size_t kReceiveBuffer = 2048;

struct Outgoing {
  sockaddr_in to{};
  std::vector<std::uint8_t> bytes;
};

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  in_addr a{};
  if (!ParseIpv4(address, &a))
    return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

struct UdpServer::Impl {
  UniqueFd socket;
  StopSignal stop;
  TimerQueue<Outgoing> queue;
  std::mt19937 rng{5013};
};

UdpServer::UdpServer(PrinterEngine& engine) : engine_(engine) {}

UdpServer::~UdpServer() {
  Stop();
}

void UdpServer::Start(const std::string& address, std::uint16_t port, bool allowRemote) {
  if (Running())
    throw std::logic_error("UdpServer already started");
  auto impl = std::make_unique<Impl>();
  BoundSocket bound = BindSocket(SOCK_DGRAM, address, port, allowRemote);
  impl->socket = std::move(bound.fd);
  address_ = bound.address;
  port_ = bound.port;
  impl_ = std::move(impl);
  worker_ = std::thread([this] { Run(); });
}

void UdpServer::Stop() {
  if (!worker_.joinable())
    return;
  impl_->stop.Raise();
  worker_.join();
  impl_.reset();
}

void UdpServer::Run() {
  Impl& s = *impl_;
  std::vector<std::uint8_t> buffer(kReceiveBuffer);
  for (;;) {
    std::vector<PollEntry> entries{{s.socket.Get(), POLLIN, 0}, {s.stop.Fd(), POLLIN, 0}};
    if (!PollUntil(entries, s.queue.NextDue()))
      return;
    if (entries[1].revents != 0)
      return;

    // A pending socket error (POLLERR) is cleared by the next receive.
    if (entries[0].revents & (POLLIN | POLLERR)) {
      for (int i = 0; i < kMaxDatagramsPerWakeup; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(s.socket.Get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
          break;  // EAGAIN: drained; anything else is reported again by the next poll
        if (n != kRecordSize || fromLen != sizeof from || from.sin_family != AF_INET) {
          ++ignored_;
          continue;
        }
        const Answer answer =
            engine_.Handle(std::span<const std::uint8_t, kRecordSize>(buffer.data(), kRecordSize),
                           Transport::kUdp);
        const auto received = TimerQueue<Outgoing>::Clock::now();
        for (TimedPiece& piece : ShapeAnswer(answer, Transport::kUdp, 0, s.rng))
          s.queue.Push(received + piece.at, Outgoing{from, std::move(piece.bytes)});
      }
    }

    for (const Outgoing& out : s.queue.PopDue(TimerQueue<Outgoing>::Clock::now())) {
      // The answer goes to whoever sent the request, which on a loopback socket is local.
      if (::sendto(s.socket.Get(), out.bytes.data(), out.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&out.to), sizeof out.to) < 0)
        ++sendErrors_;
    }
  }
}

}  // namespace xv4::sim
