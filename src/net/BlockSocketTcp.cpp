// The TCP socket: a close that lets the peer read to the end, connect directly or through a
// proxy, listen and accept.

#include <cerrno>

#include <sys/socket.h>

#include "net/BlockSocket.h"

namespace kova {

TTCPBlockSocket::TTCPBlockSocket() = default;

TTCPBlockSocket::~TTCPBlockSocket() { TTCPBlockSocket::Close(); }

void TTCPBlockSocket::Close() {
  if (HandleRef h = AcquireHandle()) {
    // The peer sees end of data; what it already sent is read away so the close is not a reset.
    ::shutdown(h->fd(), SHUT_WR);
    DrainInput();
  }
  TBlockSocket::Close();
}

void TTCPBlockSocket::Connect(const std::string& host, const std::string& port) {
  if (!SocksProxyHost.empty()) {
    ConnectViaSocks(host, port);
  } else if (!TunnelProxyHost.empty()) {
    ConnectViaTunnel(host, port);
  } else {
    proxyStop_.store(TProxyStop::None, std::memory_order_relaxed);
    DirectConnect(host, port);
    if (LastError() == 0) ForgetProxySession();
  }
}

void TTCPBlockSocket::Listen() {
  if (!SocksProxyHost.empty()) {
    SocksListen();
    return;
  }
  HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return;
  }
  RecordResult(::listen(h->fd(), 0x7FFFFFFF));
  RefreshAddresses();
  CheckError();
}

int TTCPBlockSocket::Accept() {
  if (SocksActive()) return SocksAccept();
  HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return -1;
  }
  TSockAddr peer{};
  socklen_t len = sizeof peer;
  int fd;
  do {
    len = sizeof peer;
    fd = ::accept4(h->fd(), &peer.sa, &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  RecordResult(fd < 0 ? -1 : 0);
  if (fd >= 0) SetRemoteAddress(peer);
  CheckError();
  return fd;
}

}  // namespace kova