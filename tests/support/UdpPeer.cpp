#include "tests/support/UdpPeer.h"

#include "platform/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace xv4::test {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

LoopbackSocket::LoopbackSocket() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw std::runtime_error("test socket");
  sockaddr_in local = Loopback(0);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    throw std::runtime_error("test bind");
  socklen_t length = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
}

LoopbackSocket::~LoopbackSocket() {
  if (fd_ >= 0)
    ::close(fd_);
}

void LoopbackSocket::SendTo(std::uint16_t port, const Bytes& bytes) const {
  const sockaddr_in to = Loopback(port);
  ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<Bytes> LoopbackSocket::Receive(int timeoutMs, std::uint16_t* fromPort) const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0)
    return std::nullopt;
  Bytes bytes(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n =
      ::recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0)
    return std::nullopt;
  bytes.resize(static_cast<size_t>(n));
  if (fromPort != nullptr)
    *fromPort = ntohs(from.sin_port);
  return bytes;
}

UdpPeer::UdpPeer(Script script) : script_(std::move(script)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (wakeFd_ < 0)
    throw std::runtime_error("test eventfd");
  thread_ = std::jthread([this] { Run(); });
}

UdpPeer::~UdpPeer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
  ::close(wakeFd_);
}

std::vector<PeerDatagram> UdpPeer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

int UdpPeer::ReceivedCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(received_.size());
}

void UdpPeer::Run() {
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Bytes bytes;
    std::uint16_t port;
  };
  std::multimap<Clock::time_point, Pending> schedule;
  int index = 0;
  for (;;) {
    int timeout = -1;
    if (!schedule.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          schedule.begin()->first - Clock::now());
      timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd fds[2] = {{socket_.Fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    ::poll(fds, 2, timeout);
    if (fds[1].revents != 0)
      return;
    if (fds[0].revents & POLLIN) {
      std::uint16_t from = 0;
      if (std::optional<Bytes> request = socket_.Receive(0, &from)) {
        {
          std::lock_guard lock(mutex_);
          received_.push_back({*request, platform::GetTickCount()});
        }
        platform::WakeUiThread();
        if (script_) {
          for (PeerReply& reply : script_(index, *request)) {
            schedule.emplace(Clock::now() + std::chrono::milliseconds(reply.delayMs),
                             Pending{std::move(reply.bytes), from});
          }
        }
        ++index;
      }
    }
    while (!schedule.empty() && schedule.begin()->first <= Clock::now()) {
      socket_.SendTo(schedule.begin()->second.port, schedule.begin()->second.bytes);
      schedule.erase(schedule.begin());
    }
  }
}

Bytes ReplyRecord(const Bytes& request, std::uint8_t fill) {
  Bytes record(259);
  for (int i = 0; i < 3 && i < static_cast<int>(request.size()); ++i)
    record[i] = request[i];
  for (int i = 3; i < 259; ++i)
    record[i] = static_cast<std::uint8_t>(fill + i - 3);
  return record;
}

}  // namespace xv4::test
