// Addresses and names of a block socket: the socket address record filled from host and port
// texts, and turned back into texts.

#include "net/BlockSocket.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "net/NetUtil.h"
#include "net/SocketApi.h"

namespace kova {
namespace {

int ResolveFamilyHint(TSocketFamily f) {
  switch (f) {
    case TSocketFamily::IPv4: return AF_INET;
    case TSocketFamily::IPv6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}
}  // namespace

// ---- addresses ----------------------------------------------------------------------------

std::string TBlockSocket::LocalAddressText() { return AddressToText(LocalAddress()); }
std::string TBlockSocket::RemoteAddressText() { return AddressToText(RemoteAddress()); }
int TBlockSocket::LocalPort() { return AddressPort(LocalAddress()); }
int TBlockSocket::RemotePort() { return AddressPort(RemoteAddress()); }

// ---- resolution ---------------------------------------------------------------------------

bool TBlockSocket::UsesNameInfoApi() const {
  return HasNameInfoApi.load() || (FamilyInUse() == TSocketFamily::IPv6 && HasIPv6HelperApi.load());
}

namespace {

// The resolver reads any text that strtoul takes whole as a number and keeps its low 16 bits, so
// "70000" would become 4464 and "-1" 65535. Only plain decimal digits up to 65535 are numbers;
// other texts the resolver would read as numbers are not ports at all.
bool PortTextUsable(const std::string& port) {
  if (port.empty()) return true;
  const bool digits = std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    const size_t first = port.find_first_not_of('0');
    return first == std::string::npos || (port.size() - first <= 5 && std::stoul(port.substr(first)) <= 65535);
  }
  char* end = nullptr;
  errno = 0;
  (void)std::strtoul(port.c_str(), &end, 10);
  return *end != '\0';  // not numeric to the resolver: a service name, looked up as such
}

// A dotted IPv4 address with a decimal port gives the record the general lookup would give,
// without its interface queries: every relayed connection connects through here.
bool FillNumericIPv4(TSockAddr& record, const std::string& host, const std::string& port) {
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long value = std::stoul(port);
  in_addr a{};
  if (value > 65535 || ::inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  record.in4.sin_family = AF_INET;
  record.in4.sin_port = htons(static_cast<uint16_t>(value));
  record.in4.sin_addr = a;
  return true;
}

}  // namespace

void TBlockSocket::FillAddress(TSockAddr& record, const std::string& host,
                               const std::string& port) {
  // The name-info calls always exist here, so there is no other lookup path.
  std::memset(&record, 0, sizeof record);
  SetResolveFailure(0);
  addrinfo hints{};
  if (!AcquireHandle())
    hints.ai_family = ResolveFamilyHint(FamilyInUse());
  else
    hints.ai_family = IsIPv6() ? AF_INET6 : AF_INET;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  std::string self;
  const char* node = host.c_str();
  if (host == "0.0.0.0") {
    node = nullptr;
    hints.ai_flags = AI_PASSIVE;
  } else if (host == "127.0.0.1") {
    node = nullptr;
  } else if (host.empty()) {
    // The machine's own address: one that other hosts can reach where there is one.
    self = OwnAddressText();
    if (self.empty()) self = LocalHostName();
    node = self.c_str();
  }
  // The resolver reads a text only up to a NUL: "127.0.0.1\0x" must not reach 127.0.0.1.
  if (!PortTextUsable(port) || port.find('\0') != std::string::npos) return SetResolveFailure(EAI_SERVICE);
  if (host.find('\0') != std::string::npos) return SetResolveFailure(EAI_NONAME);
  // Loopback in IPv4 is what the lookup below would pick for "127.0.0.1": without it, because
  // the lookup of two candidates asks the system for its interfaces and probes each candidate
  // with a socket of its own, about a dozen calls on every relayed connection to a local server.
  if (node == nullptr && hints.ai_flags == 0 &&
      (hints.ai_family == AF_INET || (hints.ai_family == AF_UNSPEC && PreferIPv4)) &&
      FillNumericIPv4(record, host, port))
    return;
  std::string dotted;
  if (node == host.c_str()) {
    if (IsIPv4Text(host)) {
      // Parts with leading zeros are decimal, as in a SOCKS request; the resolver would read
      // them as octal and reach another host.
      dotted = CanonicalIPv4Text(host);
      node = dotted.c_str();
    } else if (in_addr a{}; ::inet_aton(host.c_str(), &a) != 0) {
      // Hexadecimal, octal or short numeric forms name no host the proxies would agree on.
      return SetResolveFailure(EAI_NONAME);
    }
    if (hints.ai_family != AF_INET6 && FillNumericIPv4(record, node, port)) return;
  }
  addrinfo* res = nullptr;
  if (const int rc = ::getaddrinfo(node, port.c_str(), &hints, &res); rc != 0) return SetResolveFailure(rc);
  const addrinfo *v4 = nullptr, *v6 = nullptr;
  for (const addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET && !v4) v4 = p;
    if (p->ai_family == AF_INET6 && !v6) v6 = p;
  }
  const addrinfo* pick = v4 && v6 ? (PreferIPv4 ? v4 : v6) : (v4 ? v4 : v6);
  if (pick && pick->ai_addrlen <= sizeof record) std::memcpy(&record, pick->ai_addr, pick->ai_addrlen);
  ::freeaddrinfo(res);
}

void TBlockSocket::SetResolveFailure(int gaiCode) {
  std::lock_guard lock(mu_);
  resolveFailure_ = gaiCode == 0 ? std::string() : ::gai_strerror(gaiCode);
}

std::string TBlockSocket::ResolveFailureText() const {
  std::lock_guard lock(mu_);
  return resolveFailure_;
}

std::string TBlockSocket::AddressToText(const TSockAddr& record) const {
  char host[1025], service[32];
  socklen_t len = SockAddrLength(record);
  if (len == 0) return "";
  if (::getnameinfo(&record.sa, len, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return host;
}

uint16_t TBlockSocket::AddressPort(const TSockAddr& record) {
  switch (record.sa.sa_family) {
    case AF_INET: return ntohs(record.in4.sin_port);
    case AF_INET6: return ntohs(record.in6.sin6_port);
    default: return 0;
  }
}

void TBlockSocket::ResolveToAddressList(const std::string& name, std::vector<std::string>& list) {
  list.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  addrinfo* res = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0) {
    const TSocketFamily inUse = FamilyInUse();
    for (const addrinfo* p = res; p; p = p->ai_next) {
      if (p->ai_family == AF_INET && inUse == TSocketFamily::IPv6) continue;
      if (p->ai_family == AF_INET6 && inUse == TSocketFamily::IPv4) continue;
      if (p->ai_addrlen > sizeof(TSockAddr)) continue;
      TSockAddr a{};
      std::memcpy(&a, p->ai_addr, p->ai_addrlen);
      std::string text = AddressToText(a);
      if (!text.empty()) list.push_back(std::move(text));
    }
    ::freeaddrinfo(res);
  }
  if (list.empty()) list.push_back("0.0.0.0");
}

std::string TBlockSocket::ResolveToAddress(const std::string& name) {
  std::vector<std::string> list;
  ResolveToAddressList(name, list);
  return list.front();
}

uint16_t TBlockSocket::ResolvePortNumber(const std::string& port) {
  if (!PortTextUsable(port) || port.find('\0') != std::string::npos) return 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_PASSIVE;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  addrinfo* res = nullptr;
  if (::getaddrinfo(nullptr, port.c_str(), &hints, &res) != 0) return 0;
  uint16_t result = 0;
  if (res && (res->ai_family == AF_INET || res->ai_family == AF_INET6) &&
      res->ai_addrlen <= sizeof(TSockAddr)) {
    TSockAddr a{};
    std::memcpy(&a, res->ai_addr, res->ai_addrlen);
    result = AddressPort(a);
  }
  ::freeaddrinfo(res);
  return result;
}

}  // namespace kova
