#include "engine/ExtTCPSocket.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace kova {

namespace {

int QueuedOn(const HandleRef& h) {
  int n = 0;
  if (!h || ::ioctl(h->fd(), FIONREAD, &n) != 0 || n < 0) return 0;
  return n;
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

  std::this_thread::yield();
  int err = 0;
  int available = QueuedOn(h);
  if (available < 1) {
    if (!WaitReadableOn(h, timeoutMs, err)) {
      // A failed wait (closed object) keeps its own code: it must end the pump, not idle it.
      PublishError(err != 0 ? err : kErrTimedOut);
      return 0;
    }
    available = QueuedOn(h);
    if (available < 1) {
      PublishError(kErrConnReset);  // readable with nothing queued: the peer has closed
      return 0;
    }
  }
  const int received = ReceiveBytesOn(h, buffer, std::min(available, maxLength), err);
  return received >= 0 ? received : 0;
}

}  // namespace kova
