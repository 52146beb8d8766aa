// SOCKS 4/4a/5 client of the block sockets, the bind-style listen at a SOCKS proxy, and the
// proxy-aware address reporting of TTCPBlockSocket.

#include <arpa/inet.h>

#include <cstring>

#include "net/BlockSocket.h"
#include "net/NetUtil.h"

namespace kova {

namespace {

constexpr size_t kMaxSocks5Field = 255;  // one-byte length fields of SOCKS 5

char Byte(int v) { return static_cast<char>(v & 0xFF); }

// 0 unless the text is a plain decimal number (as the monitor expects of a port text).
int DecimalOrZero(const std::string& text) {
  if (text.empty() || text.size() > 9) return 0;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

// The 16 address bytes of a numeric IPv6 text; false for anything else, including host names
// that merely look like hex groups ("cafe"), which must go to the proxy as names.
bool IPv6LiteralBytes(const std::string& host, std::string& bytes) {
  if (!IsIPv6Literal(host)) return false;
  TSockAddr record{};
  TextToIPv6Address(host, record);
  if (record.sa.sa_family != AF_INET6) return false;
  bytes.assign(reinterpret_cast<const char*>(&record.in6.sin6_addr), 16);
  return true;
}

}  // namespace

// --- TSocksBlockSocket -------------------------------------------------------------------------

TSocksBlockSocket::TSocksBlockSocket() = default;

std::string TSocksBlockSocket::SocksReplyHost() const {
  std::lock_guard lock(mu_);
  return socksReplyHost_;
}
std::string TSocksBlockSocket::SocksReplyPort() const {
  std::lock_guard lock(mu_);
  return socksReplyPort_;
}
std::string TSocksBlockSocket::SocksLocalHost() const {
  std::lock_guard lock(mu_);
  return socksLocalHost_;
}
std::string TSocksBlockSocket::SocksLocalPort() const {
  std::lock_guard lock(mu_);
  return socksLocalPort_;
}
std::string TSocksBlockSocket::SocksTargetHost() const {
  std::lock_guard lock(mu_);
  return socksTargetHost_;
}
std::string TSocksBlockSocket::SocksTargetPort() const {
  std::lock_guard lock(mu_);
  return socksTargetPort_;
}

void TSocksBlockSocket::SetSocksReply(const std::string& host, const std::string& port) {
  std::lock_guard lock(mu_);
  socksReplyHost_ = host;
  socksReplyPort_ = port;
}
void TSocksBlockSocket::SetSocksLocal(const std::string& host, const std::string& port) {
  std::lock_guard lock(mu_);
  socksLocalHost_ = host;
  socksLocalPort_ = port;
}
void TSocksBlockSocket::SetSocksTarget(const std::string& host, const std::string& port) {
  std::lock_guard lock(mu_);
  socksTargetHost_ = host;
  socksTargetPort_ = port;
}

bool TSocksBlockSocket::SocksNegotiate() {
  SetSocksActive(false);
  if (SocksVersion == TSocksType::Socks4) {
    SetSocksActive(true);
    return true;
  }
  // Longer values cannot be framed; refuse before the proxy sees a byte.
  if (SocksUser.size() > kMaxSocks5Field || SocksPassword.size() > kMaxSocks5Field)
    return StopAt(TProxyStop::TooLong);

  SendText(SocksUser.empty() ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x02\x00", 4));
  if (LastError() != 0) return StopAt(TProxyStop::NoGreeting);
  const std::string choice = ReceiveExactText(2, SocksTimeout);
  if (choice.size() < 2 || choice[0] != 0x05) return StopAt(TProxyStop::NoGreeting);
  switch (static_cast<uint8_t>(choice[1])) {
    case 0x00:
      break;
    case 0x02: {
      std::string auth;
      auth += '\x01';
      auth += Byte(static_cast<int>(SocksUser.size()));
      auth += SocksUser;
      auth += Byte(static_cast<int>(SocksPassword.size()));
      auth += SocksPassword;
      SendText(auth);
      if (LastError() != 0) return StopAt(TProxyStop::NoAnswer);
      const std::string status = ReceiveExactText(2, SocksTimeout);
      if (status.size() < 2) return StopReading();
      if (status[1] != 0x00) return StopAt(TProxyStop::AuthRefused);
      break;
    }
    case 0xFF:
      return StopAt(TProxyStop::NoMethod);
    default:
      return StopAt(TProxyStop::NoGreeting);  // a method this client never offered
  }
  SetSocksActive(true);
  return true;
}

bool TSocksBlockSocket::SocksSendRequest(uint8_t command, const std::string& host,
                                         const std::string& port) {
  const std::string address = SocksEncodeAddress(host, port);
  if (address.empty()) {  // not encodable: send nothing
    const bool v6 = SocksVersion == TSocksType::Socks4 &&
                    IsIPv6Literal(SocksRemoteResolve ? host : ResolveToAddress(host));
    return StopAt(v6 ? TProxyStop::NoIPv6 : TProxyStop::TooLong);
  }
  std::string request;
  if (SocksVersion == TSocksType::Socks4) {
    request = std::string("\x04", 1) + Byte(command) + address;
  } else {
    request = std::string("\x05", 1) + Byte(command) + std::string(1, '\0') + address;
  }
  SendText(request);
  return LastError() == 0 || StopAt(TProxyStop::NoAnswer);
}

std::string TSocksBlockSocket::SocksEncodeAddress(const std::string& host,
                                                  const std::string& port) {
  const std::string portBytes = WordToBytes(ResolvePortNumber(port));
  const std::string target = SocksRemoteResolve ? host : ResolveToAddress(host);
  std::string out;
  if (SocksVersion == TSocksType::Socks4) {
    // Neither form carries an IPv6 address, and a 4a proxy would take one for a host name.
    if (IsIPv6Literal(target)) return {};
    out = portBytes;
    if (IsIPv4Text(target)) {
      out += IPv4TextToBytes(target) + SocksUser + '\0';
    } else {  // 4a: address 0.0.0.1 asks the proxy to resolve the name that follows
      out += std::string("\x00\x00\x00\x01", 4) + SocksUser + '\0' + target + '\0';
    }
    return out;
  }
  std::string v6;
  if (IsIPv4Text(target)) {
    out = '\x01' + IPv4TextToBytes(target);
  } else if (IPv6LiteralBytes(target, v6)) {
    out = '\x04' + v6;
  } else {
    if (target.size() > kMaxSocks5Field) return {};
    out = '\x03' + std::string(1, Byte(static_cast<int>(target.size()))) + target;
  }
  return out + portBytes;
}

bool TSocksBlockSocket::SocksReadReply() {
  SetSocksReply({}, {});
  socksReplyCode_.store(-1, std::memory_order_relaxed);
  std::string reply;
  if (SocksVersion == TSocksType::Socks4) {
    reply = ReceiveExactText(8, SocksTimeout);
    if (LastError() != 0 || reply.size() < 8 || reply[0] != 0x00) return StopReading();
  } else {
    reply = ReceiveExactText(4, SocksTimeout);
    if (LastError() != 0 || reply.size() < 4 || reply[0] != 0x05) return StopReading();
    switch (static_cast<uint8_t>(reply[3])) {
      case 0x01:
        reply += ReceiveExactText(4, SocksTimeout);
        break;
      case 0x03: {
        const uint8_t length = ReceiveByte(SocksTimeout);
        if (LastError() != 0) return StopReading();
        reply += static_cast<char>(length);
        reply += ReceiveExactText(length, SocksTimeout);
        break;
      }
      case 0x04:
        reply += ReceiveExactText(16, SocksTimeout);
        break;
      default:
        return StopAt(TProxyStop::BadAnswer);
    }
    if (LastError() != 0) return StopReading();
    reply += ReceiveExactText(2, SocksTimeout);
    if (LastError() != 0) return StopReading();
  }
  const int code = static_cast<uint8_t>(reply[1]);
  socksReplyCode_.store(code, std::memory_order_relaxed);
  if (code != 0x00 && code != 0x5A) return StopAt(TProxyStop::Refused);
  SocksDecodeAddress(reply);
  return true;
}

void TSocksBlockSocket::SocksDecodeAddress(const std::string& reply) {
  const auto at = [&](size_t pos) { return static_cast<uint8_t>(reply[pos - 1]); };  // 1-based
  const auto dotted = [&](size_t pos) {
    return std::to_string(at(pos)) + "." + std::to_string(at(pos + 1)) + "." +
           std::to_string(at(pos + 2)) + "." + std::to_string(at(pos + 3));
  };
  std::string host;
  int port = 0;
  bool decoded = true;
  if (SocksVersion == TSocksType::Socks4) {
    if (reply.size() >= 8) {
      port = BytesToWord(reply, 3);
      host = dotted(5);
    } else {
      decoded = false;
    }
  } else {
    decoded = false;
    switch (reply.size() >= 4 ? at(4) : 0) {
      case 0x01:
        if (reply.size() >= 10) {
          decoded = true;
          host = dotted(5);
          port = BytesToWord(reply, 9);
        }
        break;
      case 0x03: {
        const size_t length = reply.size() >= 5 ? at(5) : 0;
        if (reply.size() >= 5 && reply.size() >= length + 7) {
          decoded = true;
          host = reply.substr(5, length);
          port = BytesToWord(reply, length + 6);
        }
        break;
      }
      case 0x04:
        if (reply.size() >= 22) {
          decoded = true;
          char text[INET6_ADDRSTRLEN] = {};
          if (::inet_ntop(AF_INET6, reply.data() + 4, text, sizeof text)) host = text;
          port = BytesToWord(reply, 21);
        }
        break;
      default:
        break;
    }
  }
  // The port reads "0" whenever nothing was decoded; the host is then left alone.
  std::lock_guard lock(mu_);
  if (decoded) socksReplyHost_ = host;
  socksReplyPort_ = std::to_string(port);
}

// --- TTCPBlockSocket: SOCKS paths ----------------------------------------------------------------

void TTCPBlockSocket::SocksConnectExchange(const std::string& host, const std::string& port) {
  // A SOCKS 5 name over 255 bytes cannot be framed: fail before the proxy sees any byte,
  // rather than after a greeting that leads nowhere.
  std::string v6;
  const bool nameTooLong = SocksVersion == TSocksType::Socks5 && SocksRemoteResolve &&
                           host.size() > kMaxSocks5Field && !IsIPv4Text(host) &&
                           !IPv6LiteralBytes(host, v6);
  if (nameTooLong) {
    SetSocksActive(false);
    StopAt(TProxyStop::TooLong);
  }
  const bool ok =
      !nameTooLong && SocksNegotiate() && SocksSendRequest(1, host, port) && SocksReadReply();
  if (!ok && LastError() == 0) SetLastError(kErrNetUnusable);
  SetSocksLocal(SocksReplyHost(), SocksReplyPort());
  SetSocksTarget(host, port);
}

void TTCPBlockSocket::ConnectViaSocks(const std::string& host, const std::string& port) {
  proxyStop_.store(TProxyStop::None, std::memory_order_relaxed);
  DirectConnect(SocksProxyHost, SocksProxyPort);
  if (LastError() != 0) StopAt(TProxyStop::Unreachable);
  if (LastError() == 0) {
    SetTunnelOpen(false);  // a new connection, not through a tunnel
    SocksConnectExchange(host, port);
  }
  CheckError();
}

void TTCPBlockSocket::SocksListen(bool throughTunnel) {
  // The handle's own address (not a stale SOCKS report) is what the proxy is told to expect.
  std::string address = TBlockSocket::LocalAddressText();
  if (address == "0.0.0.0") {
    address = OwnAddressText();
    if (address.empty()) address = LocalHostName();
  }
  const std::string port = std::to_string(TBlockSocket::LocalPort());

  if (throughTunnel) {
    ConnectViaTunnel(SocksProxyHost, SocksProxyPort);
  } else {
    DirectConnect(SocksProxyHost, SocksProxyPort);
  }
  if (LastError() == 0) {
    if (!throughTunnel) SetTunnelOpen(false);
    const bool ok = SocksNegotiate() && SocksSendRequest(2, address, port) && SocksReadReply();
    if (!ok && LastError() == 0) SetLastError(kErrNonRecoverable);
  }
  const std::string replyHost = SocksReplyHost();
  SetSocksLocal(replyHost == "0.0.0.0" ? SocksProxyHost : replyHost, SocksReplyPort());
  SetSocksTarget({}, {});
  CheckError();
}

int TTCPBlockSocket::SocksAccept() {
  const bool ok = SocksReadReply();
  if (!ok && LastError() == 0) SetLastError(kErrNonRecoverable);
  SetSocksTarget(SocksReplyHost(), SocksReplyPort());
  CheckError();
  // A failed second reply gives no connection to hand out.
  return ok ? Handle() : -1;
}

void TTCPBlockSocket::ForgetProxySession() {
  SetSocksActive(false);
  SetTunnelOpen(false);
}

// --- TTCPBlockSocket: address reporting ----------------------------------------------------------

std::string TTCPBlockSocket::LocalAddressText() {
  if (SocksActive()) return SocksLocalHost();
  return TBlockSocket::LocalAddressText();
}

std::string TTCPBlockSocket::RemoteAddressText() {
  if (SocksActive()) return SocksTargetHost();
  if (TunnelOpen()) return TunnelTargetHost();
  return TBlockSocket::RemoteAddressText();
}

int TTCPBlockSocket::LocalPort() {
  if (SocksActive()) return DecimalOrZero(SocksLocalPort());
  return TBlockSocket::LocalPort();
}

int TTCPBlockSocket::RemotePort() {
  if (SocksActive()) return ResolvePortNumber(SocksTargetPort());
  if (TunnelOpen()) return DecimalOrZero(TunnelTargetPort());
  return TBlockSocket::RemotePort();
}

}  // namespace kova
