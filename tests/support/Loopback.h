#pragma once
// Small loopback helpers for socket tests: raw listeners on a free port, connected descriptor
// pairs, an echo server thread, and waiting for a condition with a deadline.
//
// Everything here binds and connects to loopback only; ports are always chosen by the system.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kova::test {

// Owns one raw descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A listening TCP socket on `host` (a loopback literal) and a system-chosen port.
class RawListener {
 public:
  explicit RawListener(const std::string& host = "127.0.0.1", int backlog = 16);
  int fd() const { return fd_.get(); }
  uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }
  std::string portText() const { return std::to_string(port_); }
  // Accepts one connection within the deadline; an invalid UniqueFd on time-out.
  UniqueFd Accept(int timeoutMs = 5000);
  void Close() { fd_.Reset(); }

 private:
  UniqueFd fd_;
  uint16_t port_ = 0;
  std::string host_;
};

// Raw blocking connect to a loopback host:port; an invalid UniqueFd on failure.
UniqueFd ConnectTo(const std::string& host, uint16_t port);

// A connected pair of raw TCP descriptors over 127.0.0.1 (client side, accepted side).
struct FdPair {
  UniqueFd client;
  UniqueFd server;
};
FdPair MakeConnectedPair();

// Writes everything (MSG_NOSIGNAL); false when the peer went away.
bool SendAll(int fd, const std::string& bytes);
// Reads exactly n bytes within the deadline; returns what arrived (shorter on time-out or close).
std::string ReadExactly(int fd, size_t n, int timeoutMs = 5000);
// Reads until the peer closes or the deadline passes.
std::string ReadUntilClosed(int fd, int timeoutMs = 5000);
// True when the peer has closed (read returns 0) within the deadline.
bool WaitPeerClosed(int fd, int timeoutMs = 5000);
// Makes the next close() send a reset instead of a normal end of stream.
void SetLingerReset(int fd);

// Polls `pred` until it holds or the deadline passes; returns the last result.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

// True for 127.0.0.0/8 and ::1 texts (a guard before any test connects to a reported address).
bool IsLoopbackText(const std::string& address);

// Echo server on 127.0.0.1 port 0: one thread serving every accepted connection until stopped.
// Echoes are written blocking, so a client that never reads stalls the whole server.
class EchoServer {
 public:
  explicit EchoServer(const std::string& host = "127.0.0.1");
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  uint16_t port() const { return listener_.port(); }
  std::string portText() const { return listener_.portText(); }
  const std::string& host() const { return listener_.host(); }
  int connectionsAccepted() const { return accepted_.load(); }
  void Stop();

 private:
  void Run();
  RawListener listener_;
  UniqueFd wakeRead_, wakeWrite_;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace kova::test
