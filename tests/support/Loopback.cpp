#include "support/Loopback.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kova::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on fd until the deadline; false on time-out.
bool PollUntil(int fd, short events, Clock::time_point end) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, RemainingMs(end));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool FillLoopback(const std::string& host, uint16_t port, sockaddr_storage& ss, socklen_t& len) {
  std::memset(&ss, 0, sizeof ss);
  auto* in4 = reinterpret_cast<sockaddr_in*>(&ss);
  if (::inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
    return IsLoopbackText(host);
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (::inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
    return IsLoopbackText(host);
  }
  return false;
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

RawListener::RawListener(const std::string& host, int backlog) : host_(host) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!FillLoopback(host, 0, ss, len)) throw std::runtime_error("not a loopback literal: " + host);
  fd_.Reset(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) throw std::runtime_error("socket failed");
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
      ::listen(fd_.get(), backlog) != 0)
    throw std::runtime_error(std::string("listen failed: ") + std::strerror(errno));
  socklen_t got = sizeof ss;
  ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&ss), &got);
  port_ = ntohs(ss.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                         : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

UniqueFd RawListener::Accept(int timeoutMs) {
  if (!fd_.valid()) return UniqueFd();
  if (!PollUntil(fd_.get(), POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs)))
    return UniqueFd();
  return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

UniqueFd ConnectTo(const std::string& host, uint16_t port) {
  sockaddr_storage ss;
  socklen_t len = 0;
  // Refuses anything but loopback so a test can never reach out by mistake.
  if (!FillLoopback(host, port, ss, len)) return UniqueFd();
  UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return UniqueFd();
  return fd;
}

FdPair MakeConnectedPair() {
  RawListener l("127.0.0.1", 1);
  FdPair p;
  p.client = ConnectTo("127.0.0.1", l.port());
  p.server = l.Accept();
  if (!p.client.valid() || !p.server.valid()) throw std::runtime_error("loopback pair failed");
  return p;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadExactly(int fd, size_t n, int timeoutMs) {
  std::string out;
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (out.size() < n) {
    if (!PollUntil(fd, POLLIN, end)) break;
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string ReadUntilClosed(int fd, int timeoutMs) {
  std::string out;
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  for (;;) {
    if (!PollUntil(fd, POLLIN, end)) break;
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

bool WaitPeerClosed(int fd, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  for (;;) {
    if (!PollUntil(fd, POLLIN, end)) return false;
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return true;
    if (r < 0) return errno == ECONNRESET;
  }
}

void SetLingerReset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool IsLoopbackText(const std::string& address) {
  in_addr a4{};
  if (::inet_pton(AF_INET, address.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  if (::inet_pton(AF_INET6, address.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
  return false;
}

EchoServer::EchoServer(const std::string& host) : listener_(host, 64) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  wakeRead_.Reset(p[0]);
  wakeWrite_.Reset(p[1]);
  thread_ = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() { Stop(); }

void EchoServer::Stop() {
  if (!thread_.joinable()) return;
  char c = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeWrite_.get(), &c, 1);
  thread_.join();
}

// One poll loop over the listener, the wake pipe and every open connection.
void EchoServer::Run() {
  std::vector<UniqueFd> conns;
  std::vector<pollfd> fds;
  char buf[16384];
  for (;;) {
    fds.clear();
    fds.push_back({wakeRead_.get(), POLLIN, 0});
    fds.push_back({listener_.fd(), POLLIN, 0});
    for (auto& c : conns) fds.push_back({c.get(), POLLIN, 0});
    int r = ::poll(fds.data(), fds.size(), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || fds[0].revents) return;
    if (fds[1].revents & POLLIN) {
      UniqueFd c(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (c.valid()) {
        accepted_.fetch_add(1);
        conns.push_back(std::move(c));
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      UniqueFd& c = conns[i - 2];
      ssize_t n = ::recv(c.get(), buf, sizeof buf, 0);
      if (n <= 0 || !SendAll(c.get(), std::string(buf, static_cast<size_t>(n)))) c.Reset();
    }
    std::erase_if(conns, [](const UniqueFd& c) { return !c.valid(); });
  }
}

}  // namespace kova::test
