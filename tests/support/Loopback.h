#pragma once
// Loopback-only socket test helpers: descriptors, listeners, peers, deadline waits and counts.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kova::test {

using Clock = std::chrono::steady_clock;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept { return Reset(o.Release()), *this; }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  for (const auto end = Clock::now() + deadline; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (Clock::now() >= end) return pred();
  return true;
}

template <class F> Clock::duration Took(F&& f) {  // how long `f` ran
  const auto begin = Clock::now();
  return f(), Clock::now() - begin;
}

inline int CountThreads() { return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }
// Sockets and pipes only: the kinds the relay opens. Files that a sanitizer's runtime or the
// listing itself hold open come and go on their own and would make the count flaky.
inline int CountOpenFds() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
    n += !ec && (target.starts_with("socket:") || target.starts_with("pipe:"));
  }
  return n;
}
// A baseline taken once the count has held still for 600 ms: an earlier test's listeners end
// within one 500 ms accept wait after their engine.
inline int SettledFdCount() {
  for (;;) {
    const int n = CountOpenFds();
    if (!WaitUntil([&] { return CountOpenFds() != n; }, std::chrono::milliseconds(600))) return n;
  }
}

// Takes the right to bind ports below 1024 from this thread, and the threads it starts, until
// it goes; running unprivileged there is nothing to take.
class NoLowPortRight {
 public:
  NoLowPortRight() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~(1u << CAP_NET_BIND_SERVICE);
    ::syscall(SYS_capset, &header_, lowered);
  }
  ~NoLowPortRight() { ::syscall(SYS_capset, &header_, saved_); }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
};

inline bool IsLoopbackText(const std::string& address) {  // 127.0.0.0/8, also mapped, or ::1
  in_addr a4{};
  in6_addr a6{};
  if (::inet_pton(AF_INET, address.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  if (::inet_pton(AF_INET6, address.c_str(), &a6) != 1) return false;
  return IN6_IS_ADDR_LOOPBACK(&a6) || (IN6_IS_ADDR_V4MAPPED(&a6) && a6.s6_addr[12] == 127);
}

// The socket address of a loopback literal; none for anything else, so no test reaches out.
inline std::unique_ptr<addrinfo, void (*)(addrinfo*)> LoopbackAddress(const std::string& host, uint16_t port) {
  addrinfo hints{}, *ai = nullptr;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  if (!IsLoopbackText(host) || ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &ai) != 0) ai = nullptr;
  return {ai, [](addrinfo* a) { if (a) ::freeaddrinfo(a); }};
}

inline int MsLeft(Clock::time_point end) {  // until `end`, for the waits below that take milliseconds
  return static_cast<int>(std::max<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count(), 0));
}
inline bool PollIn(int fd, Clock::time_point end) {
  for (int r;;) {
    pollfd p{fd, POLLIN, 0};
    if ((r = ::poll(&p, 1, MsLeft(end))) >= 0 || errno != EINTR) return r > 0;
  }
}

// Reads up to `limit` bytes until the deadline; `closed` tells whether the peer ended the stream.
inline std::string ReadUpTo(int fd, size_t limit, int timeoutMs, bool* closed = nullptr) {
  std::string out;
  char buf[4096];
  for (const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs); out.size() < limit && PollIn(fd, end);) {
    const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, limit - out.size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 && closed) *closed = r == 0 || errno == ECONNRESET;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}
inline std::string ReadExactly(int fd, size_t n, int timeoutMs = 5000) { return ReadUpTo(fd, n, timeoutMs); }
inline std::string ReadUntilClosed(int fd, int timeoutMs = 5000) { return ReadUpTo(fd, SIZE_MAX, timeoutMs); }
inline bool WaitPeerClosed(int fd, int timeoutMs = 5000) {  // end of stream or reset in time
  bool closed = false;
  return ReadUpTo(fd, SIZE_MAX, timeoutMs, &closed), closed;
}

inline bool SendAll(int fd, const std::string& bytes) {  // false when the peer went away
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
inline bool RoundTrip(int fd, const std::string& text) { return SendAll(fd, text) && ReadExactly(fd, text.size()) == text; }
inline void Echo(int fd) {
  char buf[16384];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0 && SendAll(fd, std::string(buf, static_cast<size_t>(n)));) continue;
}

// Ends the connection on `fd` with a reset; the number stays taken, by an unconnected socket.
inline void ResetConnection(int fd) {
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  UniqueFd spare(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ::dup3(spare.get(), fd, O_CLOEXEC);  // drops the connection's last reference
}

// Invalid on failure. `from` binds the client first: loopback has a second source address for
// free (127.0.0.2), so a test can be two different clients.
inline UniqueFd ConnectTo(const std::string& host, uint16_t port, const std::string& from = "") {
  auto ai = LoopbackAddress(host, port);
  auto source = LoopbackAddress(from.empty() ? host : from, 0);
  UniqueFd fd(ai && source ? ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1);
  if (fd.valid() && !from.empty() && ::bind(fd.get(), source->ai_addr, source->ai_addrlen) != 0) fd.Reset();
  if (fd.valid() && ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) fd.Reset();
  return fd;
}

// A listening TCP socket on `host` (a loopback literal; throws otherwise) and a free port.
class RawListener {
 public:
  explicit RawListener(const std::string& host = "127.0.0.1", int backlog = 16) : host_(host) {
    auto ai = LoopbackAddress(host, 0);
    if (!ai) throw std::runtime_error("not a loopback literal: " + host);
    fd_.Reset(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_.valid() || ::bind(fd_.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd_.get(), backlog) != 0)
      throw std::runtime_error(std::string("listen failed: ") + std::strerror(errno));
    sockaddr_in6 bound{};  // both address layouts keep the port at the same offset
    socklen_t len = sizeof bound;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin6_port);
  }
  int fd() const { return fd_.get(); }
  uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }
  std::string portText() const { return std::to_string(port_); }
  std::string Text() const { return (host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]") + ":" + portText(); }
  UniqueFd Accept(int timeoutMs = 5000) {  // invalid on time-out
    if (!fd_.valid() || !PollIn(fd_.get(), Clock::now() + std::chrono::milliseconds(timeoutMs))) return UniqueFd();
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  void Close() { fd_.Reset(); }

 private:
  UniqueFd fd_;
  uint16_t port_ = 0;
  std::string host_;
};

// Reads the bytes from position `at` up to `upTo` of a stream that repeats `block` over and over,
// counting those that differ; returns the position reached (short of upTo: the stream ended, or
// stalled for 10 s, so that lost bytes fail a test instead of hanging it).
inline size_t ReadPattern(int fd, const std::string& block, size_t at, size_t upTo, size_t& mismatches) {
  std::string buf(65536, 0);
  for (ssize_t r; at < upTo && PollIn(fd, Clock::now() + std::chrono::seconds(10)) &&
                  (r = ::recv(fd, buf.data(), std::min(buf.size(), upTo - at), 0)) > 0;)
    for (ssize_t k = 0; k < r; ++k, ++at) mismatches += buf[static_cast<size_t>(k)] != block[at % block.size()];
  return at;
}
// Sends `block` `times` times on a thread of its own, so that a test can read meanwhile.
inline std::thread SendRepeated(int fd, std::string block, size_t times) {
  return std::thread([fd, block = std::move(block), times] {
    for (size_t i = 0; i < times && SendAll(fd, block); ++i) continue;
  });
}
inline std::string RandomBytes(size_t n, uint64_t seed) {
  std::string s(n, 0);
  std::mt19937_64 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}
inline int QueuedToSend(int fd) {  // bytes this end has not had acknowledged yet
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}
inline long ResidentKiB() {  // this process's resident size now
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return 0;
}

// A target on 127.0.0.1:0 running `handler` on a thread per connection.
struct TScriptedTarget : private RawListener {
  explicit TScriptedTarget(std::function<void(int fd)> handler) : RawListener("127.0.0.1", 256) {
    accepter_ = std::thread([this, handler] {
      for (UniqueFd c; !stop_.load();) {
        if (!(c = Accept(50)).valid()) continue;
        workers_.emplace_back([handler, fd = fds_.emplace_back(std::move(c)).get()] {
          handler(fd);
          ::shutdown(fd, SHUT_RDWR);
        });
      }
    });
  }
  ~TScriptedTarget() {
    stop_.store(true);
    accepter_.join();
    for (auto& fd : fds_) ::shutdown(fd.get(), SHUT_RDWR);  // so handlers return
    for (auto& t : workers_) t.join();
  }
  using RawListener::Text, RawListener::portText;
  std::atomic<bool> stop_{false};
  std::vector<UniqueFd> fds_;  // closed only at destruction, so no number is reused meanwhile
  std::vector<std::thread> workers_;
  std::thread accepter_;
};

// Echoes every connection from one poll thread (so tens of thousands of short clients cost no
// thread each); a client that never reads stalls the whole server.
class EchoServer : private RawListener {
 public:
  explicit EchoServer(const std::string& host = "127.0.0.1") : RawListener(host, 64) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    if (::write(wake_[1], "x", 1) == 1) thread_.join();
    ::close(wake_[0]), ::close(wake_[1]);
  }
  using RawListener::port, RawListener::portText, RawListener::host, RawListener::Text;
  int connectionsAccepted() const { return accepted_.load(); }

 private:
  void Run() {
    std::vector<UniqueFd> conns;
    char buf[16384];
    for (;;) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {fd(), POLLIN, 0}};
      for (auto& c : conns) fds.push_back({c.get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) continue;
      if (fds[0].revents) return;
      for (size_t i = 2; i < fds.size(); ++i) {
        const ssize_t n = fds[i].revents ? ::recv(fds[i].fd, buf, sizeof buf, 0) : 1;
        if (n <= 0 || (fds[i].revents && !SendAll(fds[i].fd, std::string(buf, static_cast<size_t>(n))))) conns[i - 2].Reset();
      }
      std::erase_if(conns, [](const UniqueFd& c) { return !c.valid(); });
      UniqueFd c(fds[1].revents ? ::accept4(fd(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
      if (c.valid()) accepted_.fetch_add(1), conns.push_back(std::move(c));
    }
  }
  int wake_[2] = {-1, -1};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace kova::test
