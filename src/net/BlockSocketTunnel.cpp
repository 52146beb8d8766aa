// HTTP CONNECT tunnel of TTCPBlockSocket.

#include "net/BlockSocket.h"
#include "net/Codec.h"
#include "net/NetUtil.h"

namespace kova {

std::string TTCPBlockSocket::TunnelTargetHost() const {
  std::lock_guard lock(mu_);
  return tunnelTargetHost_;
}

std::string TTCPBlockSocket::TunnelStatus() const {
  std::lock_guard lock(mu_);
  return tunnelStatus_;
}

std::string TTCPBlockSocket::TunnelTargetPort() const {
  std::lock_guard lock(mu_);
  return tunnelTargetPort_;
}

void TTCPBlockSocket::SetTunnelTarget(const std::string& host, const std::string& port) {
  std::lock_guard lock(mu_);
  tunnelTargetHost_ = host;
  tunnelTargetPort_ = port;
}

namespace {
constexpr size_t kTunnelMaxLine = 8192;
constexpr size_t kTunnelMaxBlock = 64 * 1024;

}  // namespace

void TTCPBlockSocket::ConnectViaTunnel(const std::string& hostText, const std::string& port) {
  const std::string host = CanonicalIPv4Text(hostText);
  const std::string portText = std::to_string(ResolvePortNumber(port));
  proxyStop_.store(TProxyStop::None, std::memory_order_relaxed);
  {
    std::lock_guard lock(mu_);
    tunnelStatus_.clear();
  }
  DirectConnect(TunnelProxyHost, TunnelProxyPort);
  if (LastError() != 0) {
    StopAt(TProxyStop::Unreachable);
    return;  // the earlier tunnel state stays as it was
  }
  SetTunnelOpen(false);
  SetSocksActive(false);  // a SOCKS exchange inside the tunnel sets it again

  // Only a real IPv6 literal gets brackets; a name like "cafe" merely looks like a hex group.
  const bool ipv6 = IsIPv6Literal(host);
  const std::string target = ipv6 ? "[" + host + "]" : host;

  SendText("CONNECT " + target + ":" + portText + " HTTP/1.0\r\n");
  if (LastError() == 0 && !TunnelUser.empty())
    SendText("Proxy-Authorization: Basic " + EncodeBase64(TunnelUser + ":" + TunnelPassword) +
             "\r\n");
  if (LastError() == 0) SendText("\r\n");

  // Every status line counts, the last one wins; the header block ends at an empty line. Lines
  // and the block are bounded, so a proxy that never ends them is a refusal, not a memory sink.
  size_t block = 0;
  bool overlong = false;
  while (LastError() == 0) {
    const std::string line = ReceiveUntil(TunnelTimeout, "\n", kTunnelMaxLine);
    block += line.size() + 1;
    overlong = LastError() == kErrMessageTooLong || block > kTunnelMaxBlock;
    if (LastError() != 0 || overlong) break;
    if (line.size() > 11 && line.compare(0, 5, "HTTP/") == 0) {
      SetTunnelOpen(line[9] == '2');
      std::lock_guard lock(mu_);
      tunnelStatus_ = line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
    }
    if (line.empty() || line == "\r") break;
  }
  if (LastError() != 0 && !overlong) StopAt(TProxyStop::NoAnswer);
  if (overlong) {
    StopAt(TProxyStop::BadAnswer);
    SetTunnelOpen(false);
    TBlockSocket::Close();
    SetLastError(kErrNetUnusable);
  }
  if (LastError() == 0 && !TunnelOpen()) {
    StopAt(TunnelStatus().empty() ? TProxyStop::BadAnswer : TProxyStop::Refused);
    SetLastError(kErrNetUnusable);
  }
  SetTunnelTarget(target, portText);
  CheckError();
}

}  // namespace kova
