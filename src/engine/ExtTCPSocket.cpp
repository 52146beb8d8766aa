#include "engine/ExtTCPSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace kova {
namespace {

// The system cannot splice this pair (or not at all): nothing has moved.
bool IsRefusal(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

// A splice into a socket whose peer is gone raises SIGPIPE, with no flag to say no as a send
// has. The signal stays blocked on the sending thread and the one it caused is taken back, so
// the process's own disposition never matters.
void HoldBackBrokenPipe() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
  blocked = true;
}

void TakeBackBrokenPipe() {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  const timespec now{};
  while (sigtimedwait(&pipeSet, nullptr, &now) == SIGPIPE) {
  }
}

}  // namespace

void TExtTCPSocket::Connect(const std::string& host, const std::string& port) {
  if (SocksProxyHost.empty() || TunnelProxyHost.empty()) {
    TTCPBlockSocket::Connect(host, port);
    return;
  }
  // Both proxies set: the SOCKS proxy is reached through the HTTP tunnel, then asked for the
  // target on the same handle.
  ConnectViaTunnel(SocksProxyHost, SocksProxyPort);
  if (LastError() != 0) {
    CheckError();
    return;
  }
  SocksConnectExchange(host, port);
  CheckError();
}

void TExtTCPSocket::Listen() {
  if (SocksProxyHost.empty() || TunnelProxyHost.empty()) {
    TTCPBlockSocket::Listen();
    return;
  }
  SocksListen(/*throughTunnel=*/true);
}

// The receiving pump calls this while the other pump sends on the same object, so every
// decision here rests on this call's own results, never on the shared LastError.
int TExtTCPSocket::ReceivePending(void* buffer, int maxLength, bool* orderlyEnd) {
  if (orderlyEnd) *orderlyEnd = false;
  if (maxLength < 1) {
    PublishError(0);
    return 0;
  }
  const HandleRef h = AcquireHandle();

  // Bytes a proxy exchange read past its reply belong to the target and come first.
  std::string left = TakeReadBufferFor(h);
  if (!left.empty()) {
    PublishError(0);
    const size_t n = std::min(left.size(), static_cast<size_t>(maxLength));
    std::memcpy(buffer, left.data(), n);
    if (n < left.size()) StoreReadBufferFor(h, left.substr(n));
    return static_cast<int>(n);
  }
  return std::max(ReceiveOn(h, buffer, maxLength, 0, orderlyEnd), 0);
}

// One receive on h: bytes (> 0, LastError 0), the peer's end (0, 10054) or a failure (-1).
int TExtTCPSocket::ReceiveOn(const HandleRef& h, void* buffer, int length, int flags,
                             bool* orderlyEnd) {
  if (!h) {
    PublishError(kErrNotSocket);
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(h->fd(), buffer, static_cast<size_t>(length), flags);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    lastError_.store(0, std::memory_order_relaxed);
    bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return static_cast<int>(n);
  }
  if (n == 0) {
    // Close wakes a blocked receive with the same 0 as the peer's end: only a current handle
    // has a peer that ended.
    if (!IsCurrent(h)) {
      PublishError(kErrNotSocket);
      return -1;
    }
    if (orderlyEnd) *orderlyEnd = true;
    PublishError(kErrConnReset);
    return 0;
  }
  RecordResult(-1);
  CheckError();
  return -1;
}

int TExtTCPSocket::SendChunk(const void* buffer, int length, bool more, int* err) {
  const HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    if (err) *err = kErrNotSocket;
    return -1;
  }
  ssize_t n;
  do {
    n = ::send(h->fd(), buffer, static_cast<size_t>(length), MSG_NOSIGNAL | (more ? MSG_MORE : 0));
  } while (n < 0 && errno == EINTR);
  return SentResult(n, err);
}

int TExtTCPSocket::SentResult(ssize_t n, int* err) {
  if (n < 0) {
    const int code = RecordResult(-1);
    if (err) *err = code;
    CheckError();
    return -1;
  }
  if (err) *err = 0;
  lastError_.store(0, std::memory_order_relaxed);
  bytesSent_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  return static_cast<int>(n);
}

int TExtTCPSocket::SpliceIn(int pipeIn, int maxLength, bool* orderlyEnd, bool* refused) {
  *orderlyEnd = *refused = false;
  const HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return 0;
  }
  ssize_t n;
  do {
    // Blocks on the socket only: the pipe is empty whenever a pump asks for more.
    n = ::splice(h->fd(), nullptr, pipeIn, nullptr, static_cast<size_t>(maxLength), SPLICE_F_MOVE);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && IsRefusal(errno)) {
    *refused = true;
    return 0;
  }
  if (n > 0) {
    lastError_.store(0, std::memory_order_relaxed);
    bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    return static_cast<int>(n);
  }
  if (n <= 0 && !IsCurrent(h)) {  // woken by Close, not by the peer
    PublishError(kErrNotSocket);
    return 0;
  }
  if (n == 0) {
    *orderlyEnd = true;
    PublishError(kErrConnReset);
    return 0;
  }
  RecordResult(-1);
  CheckError();
  return 0;
}

int TExtTCPSocket::SpliceOut(int pipeOut, int length, bool more, int* err, bool* refused) {
  *refused = false;
  const HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    *err = kErrNotSocket;
    return -1;
  }
  HoldBackBrokenPipe();
  ssize_t n;
  do {
    n = ::splice(pipeOut, nullptr, h->fd(), nullptr, static_cast<size_t>(length),
                 SPLICE_F_MOVE | (more ? SPLICE_F_MORE : 0));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EPIPE) {
    TakeBackBrokenPipe();
    errno = EPIPE;
  }
  if (n < 0 && IsRefusal(errno)) {
    *refused = true;
    *err = 0;
    return 0;
  }
  return SentResult(n, err);
}

void TExtTCPSocket::ShutdownSend() {
  if (HandleRef h = AcquireHandle()) ::shutdown(h->fd(), SHUT_WR);
}

int TExtTCPSocket::PauseForPeer(int timeoutMs) {
  const HandleRef h = AcquireHandle();
  if (!h) return kErrNotSocket;
  // A reset reads as "readable" too; only the hang-up and error bits tell it from data or a FIN.
  pollfd p{h->fd(), POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int r;
  do {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    r = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
  } while (r < 0 && errno == EINTR);
  if (!IsCurrent(h)) return kErrNotSocket;
  if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return kErrConnReset;
  return 0;
}

void TExtTCPSocket::SetNoDelay() {
  if (HandleRef h = AcquireHandle()) {
    const int on = 1;
    ::setsockopt(h->fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

void TExtTCPSocket::ForgetLastRelay() {
  AdoptHandle(-1);  // zero counts, no peer
  SetSocksActive(false);
  SetTunnelOpen(false);
}

}  // namespace kova
