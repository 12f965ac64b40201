#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace xv4::bench {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

RawClient::RawClient(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw std::runtime_error("socket failed");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  to_.sin_family = AF_INET;
  to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to_.sin_port = htons(port);
  record_.fill(0);
  record_[0] = 63;
  record_[1] = 124;
}

RawClient::~RawClient() {
  ::close(fd_);
}

bool RawClient::Exchange() {
  if (::sendto(fd_, record_.data(), record_.size(), 0, reinterpret_cast<sockaddr*>(&to_),
               sizeof to_) != static_cast<ssize_t>(record_.size()))
    return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 500) != 1)
    return false;
  std::uint8_t reply[16];
  return ::recv(fd_, reply, sizeof reply, 0) == 1 && reply[0] == AckByte;
}

Sample Median(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.rate < b.rate; });
  return samples[samples.size() / 2];
}

}  // namespace xv4::bench
