#pragma once
// The socket class of every relayed connection: both sockets of a connection slot.

#include "net/BlockSocket.h"

namespace kova {

class TExtTCPSocket : public TTCPBlockSocket {
 public:
  // Direct, SOCKS, HTTP tunnel, or HTTP tunnel to a SOCKS proxy when both hosts are set.
  void Connect(const std::string& host, const std::string& port) override;
  void Listen() override;
  // The pumps' receive: at most maxLength bytes that are already there (bytes a proxy exchange
  // left in the read buffer first, then the system's queue), waiting at most timeoutMs for the
  // first of them. 0 with LastError 10060 = nothing arrived; 10054 = the peer closed.
  int ReceivePending(void* buffer, int maxLength, int timeoutMs);

 private:
  int TakeQueuedOn(const HandleRef& h, void* buffer, int length, int& err);

  std::atomic<bool> streaming_{false};  // the last pass received data
};

}  // namespace kova
