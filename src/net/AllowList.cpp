#include "net/AllowList.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace kova {
namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const uint8_t* v6) { return std::memcmp(v6, kMappedPrefix, sizeof kMappedPrefix) == 0; }

// Whole decimal prefix length: digits only, no sign, no leading zero, at most `max`.
bool ParsePrefix(std::string_view text, int max, int& out) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

bool SameNetwork(const uint8_t* a, const uint8_t* b, int prefix) {
  const int whole = prefix / 8, rest = prefix % 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool TAllowList::ParseEntry(std::string_view text, TEntry& out) {
  const size_t slash = text.find('/');
  // inet_pton wants a terminated string; an embedded NUL would cut the entry short.
  const std::string address(text.substr(0, slash));
  if (address.find('\0') != std::string::npos) return false;
  TEntry e;
  uint8_t v6[16];
  if (::inet_pton(AF_INET, address.c_str(), e.Bytes.data()) == 1) {
    e.V4 = true;
    e.Prefix = 32;
  } else if (::inet_pton(AF_INET6, address.c_str(), v6) == 1) {
    std::memcpy(e.Bytes.data(), v6, 16);
    e.Prefix = 128;
  } else {
    return false;
  }
  if (slash != std::string_view::npos && !ParsePrefix(text.substr(slash + 1), e.Prefix, e.Prefix)) return false;
  // A mapped range is an IPv4 range: clients are judged as IPv4 when they arrive mapped.
  if (!e.V4 && e.Prefix >= 96 && IsMapped(e.Bytes.data())) {
    std::memmove(e.Bytes.data(), e.Bytes.data() + 12, 4);
    std::memset(e.Bytes.data() + 4, 0, 12);
    e.V4 = true;
    e.Prefix -= 96;
  }
  const int width = e.V4 ? 4 : 16;
  for (int i = 0; i < width; ++i) {
    const int keep = std::min(8, std::max(0, e.Prefix - i * 8));
    e.Bytes[static_cast<size_t>(i)] &= static_cast<uint8_t>(keep == 0 ? 0 : 0xFF << (8 - keep));
  }
  out = e;
  return true;
}

bool TAllowList::Add(std::string_view text, std::string& bad) {
  std::vector<TEntry> added;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    line = line.substr(0, line.find('#'));
    constexpr std::string_view kSeparators = " \t\r\f\v,";
    for (size_t from = line.find_first_not_of(kSeparators); from != std::string_view::npos;
         from = line.find_first_not_of(kSeparators, from)) {
      const size_t to = std::min(line.find_first_of(kSeparators, from), line.size());
      const std::string_view entry = line.substr(from, to - from);
      TEntry e;
      if (!ParseEntry(entry, e)) {
        bad.assign(entry);
        return false;
      }
      added.push_back(e);
      from = to;
    }
  }
  entries_.insert(entries_.end(), added.begin(), added.end());
  return true;
}

bool TAllowList::Matches(bool v4, const uint8_t* bytes) const {
  if (entries_.empty()) return true;
  if (!v4 && IsMapped(bytes)) {
    v4 = true;
    bytes += 12;
  }
  for (const TEntry& e : entries_)
    if (e.V4 == v4 && SameNetwork(e.Bytes.data(), bytes, e.Prefix)) return true;
  return false;
}

bool TAllowList::Allows(const sockaddr& client) const {
  if (client.sa_family == AF_INET) {
    sockaddr_in in4;
    std::memcpy(&in4, &client, sizeof in4);
    return Matches(true, reinterpret_cast<const uint8_t*>(&in4.sin_addr));
  }
  if (client.sa_family == AF_INET6) {
    sockaddr_in6 in6;
    std::memcpy(&in6, &client, sizeof in6);
    return Matches(false, in6.sin6_addr.s6_addr);
  }
  return entries_.empty();
}

bool TAllowList::Allows(const std::string& client) const {
  uint8_t bytes[16];
  if (::inet_pton(AF_INET, client.c_str(), bytes) == 1) return Matches(true, bytes);
  if (::inet_pton(AF_INET6, client.c_str(), bytes) == 1) return Matches(false, bytes);
  return entries_.empty();
}

std::string TAllowList::Text() const {
  std::string out;
  char text[INET6_ADDRSTRLEN];
  for (const TEntry& e : entries_) {
    ::inet_ntop(e.V4 ? AF_INET : AF_INET6, e.Bytes.data(), text, sizeof text);
    out += text;
    out += '/' + std::to_string(e.Prefix) + '\n';
  }
  return out;
}

}  // namespace kova
