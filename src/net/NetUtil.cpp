#include "net/NetUtil.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace kova {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Trim drops everything at or below the blank: blanks and control characters.
std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// A hexadecimal number of at most FFFF; leading zeros do not count against the limit.
bool IsHexWord(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsHexDigit(c)) return false;
  size_t first = s.find_first_not_of('0');
  return first == std::string::npos || s.size() - first <= 4;
}

// Decimal value modulo 256, or 0 when the part is not a plain number.
uint8_t DecimalByte(const std::string& part) {
  std::string p = Trim(part);
  if (p.empty()) return 0;
  unsigned v = 0;
  for (char c : p) {
    if (!IsDigit(c)) return 0;
    v = (v * 10 + static_cast<unsigned>(c - '0')) % 256;
  }
  return static_cast<uint8_t>(v);
}

}  // namespace

std::string LocalHostName() {
  char buf[255] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) buf[0] = 0;
  buf[sizeof buf - 1] = 0;
  std::string name(buf, ::strnlen(buf, sizeof buf));
  return name.empty() ? "127.0.0.1" : name;
}

namespace {

bool IsLoopbackV4(const TSockAddr& a) {
  return a.sa.sa_family == AF_INET && (ntohl(a.in4.sin_addr.s_addr) >> 24) == 127;
}

// Reachable beyond this link: not loopback, link-local, multicast, unspecified or v4-mapped.
bool IsGlobalV6(const TSockAddr& a) {
  if (a.sa.sa_family != AF_INET6) return false;
  const in6_addr& x = a.in6.sin6_addr;
  return !IN6_IS_ADDR_LOOPBACK(&x) && !IN6_IS_ADDR_LINKLOCAL(&x) && !IN6_IS_ADDR_MULTICAST(&x) &&
         !IN6_IS_ADDR_UNSPECIFIED(&x) && !IN6_IS_ADDR_V4MAPPED(&x) && !IN6_IS_ADDR_SITELOCAL(&x);
}

}  // namespace

TSockAddr ChooseOwnAddress(const std::vector<TSockAddr>& resolved,
                           const std::vector<TInterfaceAddress>& interfaces) {
  for (const TSockAddr& a : resolved)
    if (a.sa.sa_family == AF_INET) {
      if (!IsLoopbackV4(a)) return a;
      break;  // only the first IPv4 address of the name counts
    }
  for (const TInterfaceAddress& i : interfaces)
    if (i.Up && !i.Loopback && i.Address.sa.sa_family == AF_INET) return i.Address;
  for (const TInterfaceAddress& i : interfaces)
    if (i.Up && !i.Loopback && IsGlobalV6(i.Address)) return i.Address;
  for (const TSockAddr& a : resolved)
    if (a.sa.sa_family == AF_INET) return a;
  return resolved.empty() ? TSockAddr{} : resolved.front();
}

std::vector<TInterfaceAddress> InterfaceAddresses() {
  std::vector<TInterfaceAddress> interfaces;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return interfaces;
  for (const ifaddrs* p = list; p; p = p->ifa_next) {
    if (!p->ifa_addr || (p->ifa_addr->sa_family != AF_INET && p->ifa_addr->sa_family != AF_INET6))
      continue;
    TInterfaceAddress i;
    std::memcpy(&i.Address, p->ifa_addr,
                p->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    i.Up = (p->ifa_flags & IFF_UP) != 0;
    i.Loopback = (p->ifa_flags & IFF_LOOPBACK) != 0;
    i.Name = p->ifa_name ? p->ifa_name : "";
    interfaces.push_back(std::move(i));
  }
  ::freeifaddrs(list);
  return interfaces;
}

std::string OwnAddressText() {
  std::vector<TSockAddr> resolved;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string name = LocalHostName();
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0) {
    for (const addrinfo* p = res; p; p = p->ai_next) {
      if ((p->ai_family != AF_INET && p->ai_family != AF_INET6) || p->ai_addrlen > sizeof(TSockAddr))
        continue;
      TSockAddr a{};
      std::memcpy(&a, p->ai_addr, p->ai_addrlen);
      resolved.push_back(a);
    }
    ::freeaddrinfo(res);
  }
  const TSockAddr chosen = ChooseOwnAddress(resolved, InterfaceAddresses());
  if (chosen.sa.sa_family == AF_INET6) return IPv6AddressToText(chosen);
  if (chosen.sa.sa_family != AF_INET) return "";
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &chosen.in4.sin_addr, text, sizeof text);
  return text;
}

void TextToIPv6Address(const std::string& text, TSockAddr& record) {
  std::memset(&record, 0, sizeof record);
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &res) != 0) return;
  if (res && res->ai_family == AF_INET6 && res->ai_addrlen <= sizeof record)
    std::memcpy(&record, res->ai_addr, res->ai_addrlen);
  ::freeaddrinfo(res);
}

std::string IPv6AddressToText(const TSockAddr& record) {
  char host[1025];
  if (::getnameinfo(&record.sa, sizeof(sockaddr_in6), host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    return "";
  return host;
}

bool IsOctetText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsDigit(c)) return false;
  size_t first = text.find_first_not_of('0');
  if (first == std::string::npos) return true;
  return text.size() - first <= 3 && std::stoi(text.substr(first)) <= 255;
}

bool IsIPv4Text(const std::string& text) {
  std::string s = text;
  for (int i = 0; i < 3; ++i)
    if (!IsOctetText(FetchToken(s, "."))) return false;
  return IsOctetText(s);
}

bool IsIPv6Text(const std::string& text) {
  std::string s = text;
  bool result = false;
  int gaps = 0, parts = 0;
  bool first = true;
  while (!s.empty()) {
    std::string part = FetchToken(s, ":");
    if (!first && part.empty()) ++gaps;
    first = false;
    if (gaps > 1) return false;
    ++parts;
    if (part.empty()) continue;
    if (parts > 8) return false;
    if (s.empty()) {
      // The last group may carry a numeric zone: "1%4".
      std::string zone = TextAfter(part, "%");
      part = TextBefore(part, "%");
      if (!IsHexWord(zone)) return false;
    }
    if (!IsHexWord(part)) return false;
    if (s.empty()) result = true;
  }
  return result;
}

bool IsIPv6Literal(const std::string& text) {
  if (text.find(':') == std::string::npos) return false;
  const size_t zone = text.find('%');
  if (zone == 0 || zone + 1 == text.size()) return false;
  in6_addr a{};
  return ::inet_pton(AF_INET6, text.substr(0, zone).c_str(), &a) == 1;
}

bool SplitTarget(const std::string& text, std::string& host, std::string& port) {
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos || close + 2 >= text.size()) return false;
    const std::string address = text.substr(1, close - 1);
    if (!IsIPv6Literal(address)) return false;
    host = address;
    port = text.substr(close + 2);
    return true;
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  return true;
}

bool UsableTarget(const std::string& text, std::string& host, std::string& port) {
  std::string h, p;
  if (!SplitTarget(text, h, p)) return false;
  // Service names stay for the resolver; a number must name a port a connection can use.
  if (std::all_of(p.begin(), p.end(), IsDigit)) {
    const size_t first = p.find_first_not_of('0');
    if (first == std::string::npos || p.size() - first > 5 || std::stoul(p.substr(first)) > 65535) return false;
  }
  host = std::move(h);
  port = std::move(p);
  return true;
}

std::string TargetText(const std::string& host, const std::string& port) {
  if (host.find(':') != std::string::npos && host[0] != '[') return "[" + host + "]:" + port;
  return host + ":" + port;
}

std::string CanonicalIPv4Text(const std::string& text) {
  if (!IsIPv4Text(text)) return text;
  const std::string b = IPv4TextToBytes(text);
  std::string out;
  for (size_t i = 0; i < 4; ++i) out += (i ? "." : "") + std::to_string(static_cast<uint8_t>(b[i]));
  return out;
}

std::string IPv4TextToBytes(const std::string& text) {
  std::string s = text, out;
  for (int i = 0; i < 3; ++i) {
    size_t dot = s.find('.');
    std::string part = dot == std::string::npos ? s : s.substr(0, dot);
    s = dot == std::string::npos ? std::string() : s.substr(dot + 1);
    out.push_back(static_cast<char>(DecimalByte(part)));
  }
  out.push_back(static_cast<char>(DecimalByte(s)));
  return out;
}

std::string WordToBytes(uint16_t value) {
  return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

uint16_t BytesToWord(const std::string& text, int index) {
  if (index < 1) return 0;
  size_t i = static_cast<size_t>(index);
  unsigned hi = i < text.size() ? static_cast<unsigned char>(text[i - 1]) : 0;
  unsigned lo = text.size() >= i + 1 ? static_cast<unsigned char>(text[i]) : 0;
  return static_cast<uint16_t>(hi * 256 + lo);
}

std::string TextBefore(const std::string& text, const std::string& delimiter) {
  size_t p = delimiter.empty() ? std::string::npos : text.find(delimiter);
  return Trim(p == std::string::npos ? text : text.substr(0, p));
}

std::string TextAfter(const std::string& text, const std::string& delimiter) {
  size_t p = delimiter.empty() ? std::string::npos : text.find(delimiter);
  return Trim(p == std::string::npos ? text : text.substr(p + delimiter.size()));
}

std::string FetchToken(std::string& text, const std::string& delimiter) {
  std::string result = TextBefore(text, delimiter);
  std::string rest = TextAfter(text, delimiter);
  text = rest != text ? rest : std::string();
  return result;
}

}  // namespace kova
