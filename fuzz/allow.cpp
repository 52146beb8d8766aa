// The client allow-list as typed in the window, a file or on the command line.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "net/AllowList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  kova::TAllowList list;
  std::string bad;
  if (!list.Add(text, bad)) {
    // The named entry is a piece of the input, and nothing of a refused text stays.
    FUZZ_CHECK(!bad.empty() && text.find(bad) != std::string::npos && list.Empty());
    return 0;
  }
  // The canonical text reads back as the same list.
  kova::TAllowList again;
  FUZZ_CHECK(again.Add(list.Text(), bad) && again == list);
  // Any client: the canonical list judges it as the parsed one, a mapped IPv4 client as the
  // plain one, and each entry lets its own network in.
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  std::memcpy(v6.sin6_addr.s6_addr, data, std::min<size_t>(size, 16));
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  std::memcpy(&v4.sin_addr, data, std::min<size_t>(size, 4));
  const auto& a6 = reinterpret_cast<const sockaddr&>(v6);
  const auto& a4 = reinterpret_cast<const sockaddr&>(v4);
  FUZZ_CHECK(list.Allows(a6) == again.Allows(a6) && list.Allows(a4) == again.Allows(a4));
  std::memset(v6.sin6_addr.s6_addr, 0, 10);
  v6.sin6_addr.s6_addr[10] = v6.sin6_addr.s6_addr[11] = 0xFF;
  std::memcpy(v6.sin6_addr.s6_addr + 12, &v4.sin_addr, 4);
  FUZZ_CHECK(list.Allows(a6) == list.Allows(a4));
  const std::string canonical = list.Text();
  for (size_t at = 0, end; (end = canonical.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string entry = canonical.substr(at, end - at);
    FUZZ_CHECK(list.Allows(entry.substr(0, entry.find('/'))));
  }
  return 0;
}
