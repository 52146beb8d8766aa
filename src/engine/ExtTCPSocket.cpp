#include "engine/ExtTCPSocket.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kova {

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
int TExtTCPSocket::ReceivePending(void* buffer, int maxLength, int timeoutMs) {
  PublishError(0);
  if (maxLength < 1) return 0;
  const HandleRef h = AcquireHandle();

  // Bytes a proxy exchange read past its reply belong to the target and come first.
  std::string left = TakeReadBufferFor(h);
  if (!left.empty()) {
    const size_t n = std::min(left.size(), static_cast<size_t>(maxLength));
    std::memcpy(buffer, left.data(), n);
    if (n < left.size()) StoreReadBufferFor(h, left.substr(n));
    return static_cast<int>(n);
  }

  // After a full chunk more is likely queued: take it at once, one receive per chunk. After a
  // short one the queue is likely empty: wait first, so an idle or ping-pong pass costs no
  // receive that finds nothing.
  int err = 0;
  int received = 0;
  if (streaming_.load(std::memory_order_relaxed)) {
    received = TakeQueuedOn(h, buffer, maxLength, err);
    streaming_.store(received >= maxLength, std::memory_order_relaxed);
    if (received != 0 || err != 0) return std::max(received, 0);
  }
  if (!WaitReadableOn(h, timeoutMs, err)) {
    // A failed wait (closed object) keeps its own code: it must end the pump, not idle it.
    PublishError(err != 0 ? err : kErrTimedOut);
    return 0;
  }
  received = TakeQueuedOn(h, buffer, maxLength, err);
  streaming_.store(received >= maxLength, std::memory_order_relaxed);
  if (received == 0 && err == 0) PublishError(kErrTimedOut);  // woken for nothing: idle pass
  return std::max(received, 0);
}

// One receive that never waits: bytes (> 0, LastError 0), the peer's close (0, 10054), nothing
// queued (0, err 0, LastError untouched) or a failure (-1, its code).
int TExtTCPSocket::TakeQueuedOn(const HandleRef& h, void* buffer, int length, int& err) {
  if (!h) {
    err = kErrNotSocket;
    PublishError(err);
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(h->fd(), buffer, static_cast<size_t>(length), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    err = 0;
    return static_cast<int>(n);
  }
  if (n == 0) {
    err = kErrConnReset;  // readable with nothing to read: the peer has closed
    PublishError(err);
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    err = 0;
    return 0;
  }
  err = RecordResult(-1);
  CheckError();
  return -1;
}

}  // namespace kova
