#include "sim/DrawerServer.h"

#include "sim/Posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace xv4::sim {
namespace {

constexpr std::size_t kMaxClients = 32;  // more at once are closed as soon as accepted
constexpr std::size_t kReadChunk = 2048;
constexpr std::size_t kShownBytes = 16;

struct Client {
  UniqueFd socket;
  DrawerReceipt receipt;
};

std::string AddressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

struct DrawerServer::Impl {
  UniqueFd listener;
  StopSignal stop;
  std::vector<Client> clients;
};

DrawerServer::DrawerServer() = default;

DrawerServer::~DrawerServer() {
  Stop();
}

void DrawerServer::Start(const std::string& address, std::uint16_t port, bool allowRemote) {
  if (Running())
    throw std::logic_error("DrawerServer already started");
  auto impl = std::make_unique<Impl>();
  BoundSocket bound = BindSocket(SOCK_STREAM, address, port, allowRemote);
  if (::listen(bound.fd.Get(), 16) != 0)
    ThrowErrno("listen", errno);
  impl->listener = std::move(bound.fd);
  address_ = bound.address;
  port_ = bound.port;
  impl_ = std::move(impl);
  worker_ = std::thread([this] { Run(); });
}

void DrawerServer::Stop() {
  if (!worker_.joinable())
    return;
  impl_->stop.Raise();
  worker_.join();
  impl_.reset();
}

void DrawerServer::Run() {
  Impl& s = *impl_;
  const auto finish = [this](Client& c) {
    if (observer_)
      observer_(c.receipt);
    c.socket.Reset();
  };
  std::vector<std::uint8_t> buffer(kReadChunk);
  for (;;) {
    std::vector<PollEntry> entries{{s.stop.Fd(), POLLIN, 0}, {s.listener.Get(), POLLIN, 0}};
    for (const Client& c : s.clients)
      entries.push_back({c.socket.Get(), POLLIN, 0});
    if (!PollUntil(entries, std::nullopt) || entries[0].revents != 0)
      break;

    for (std::size_t i = 0; i < s.clients.size(); ++i) {
      Client& c = s.clients[i];
      if (entries[2 + i].revents == 0)
        continue;
      const ssize_t n = ::recv(c.socket.Get(), buffer.data(), buffer.size(), 0);
      if (n > 0) {
        const auto got = static_cast<std::size_t>(n);
        c.receipt.total += got;
        const std::size_t keep = std::min(got, kDrawerMaxBytes - c.receipt.bytes.size());
        c.receipt.bytes.insert(c.receipt.bytes.end(), buffer.begin(), buffer.begin() + keep);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        finish(c);  // closed by the peer, or reset
      }
    }
    std::erase_if(s.clients, [](const Client& c) { return !c.socket.Valid(); });

    if (entries[1].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t fromLen = sizeof from;
      UniqueFd accepted(::accept4(s.listener.Get(), reinterpret_cast<sockaddr*>(&from), &fromLen,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (accepted.Valid() && s.clients.size() < kMaxClients) {
        ++connections_;
        Client c;
        c.socket = std::move(accepted);
        c.receipt.peer = AddressText(from);
        s.clients.push_back(std::move(c));
      }
    }
  }
  for (Client& c : s.clients)
    finish(c);
  s.clients.clear();
}

int CountDrawerCommands(const std::vector<std::uint8_t>& bytes) {
  int count = 0;
  for (std::size_t i = 0; i + 5 <= bytes.size(); ++i) {
    if (bytes[i] == 0x1B && bytes[i + 1] == 'p') {
      ++count;
      i += 4;
    }
  }
  return count;
}

std::string DescribeDrawerReceipt(const DrawerReceipt& receipt, std::uint16_t port) {
  std::string text = "tcp " + std::to_string(port) + " from " + receipt.peer + ": " +
                     std::to_string(receipt.total) + (receipt.total == 1 ? " byte" : " bytes");
  for (std::size_t i = 0; i < receipt.bytes.size() && i < kShownBytes; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", receipt.bytes[i]);
    text += hex;
  }
  if (receipt.total > kShownBytes)
    text += " ...";
  const int commands = CountDrawerCommands(receipt.bytes);
  if (commands == 0)
    text += " -> no drawer command";
  else if (commands == 1)
    text += " -> drawer opened";
  else
    text += " -> drawer opened " + std::to_string(commands) + " times";
  return text;
}

std::string FormatDrawerCaptureLine(const DrawerReceipt& receipt) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = "DRAWER ";
  for (std::uint8_t b : receipt.bytes) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0x0F]);
  }
  return line;
}

}  // namespace xv4::sim
