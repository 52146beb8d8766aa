#pragma once
// Which clients may use the relay: IPv4 and IPv6 addresses and CIDR ranges. An empty list lets
// everyone in. An IPv4 client that arrives as an IPv4-mapped IPv6 address is judged as IPv4, so
// one entry covers it whichever listener accepted it.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace kova {

class TAllowList {
 public:
  // Adds the entries of `text`: separated by line breaks, commas or blanks; '#' starts a comment
  // that runs to the end of its line. All or nothing: on the first malformed entry nothing is
  // added, false is returned and `bad` holds that entry as written.
  bool Add(std::string_view text, std::string& bad);

  bool Empty() const { return entries_.empty(); }
  size_t Size() const { return entries_.size(); }
  // An IPv4 or IPv6 socket address; any other family is refused unless the list is empty.
  bool Allows(const sockaddr& client) const;
  // A numeric address literal; a text that is no address is refused unless the list is empty.
  bool Allows(const std::string& client) const;
  // One canonical entry per line ("10.0.0.0/8", "::1/128"); adding it back gives the same list.
  std::string Text() const;

  bool operator==(const TAllowList&) const = default;

 private:
  struct TEntry {
    bool V4 = false;
    std::array<uint8_t, 16> Bytes{};  // the network, host bits cleared; IPv4 in the first 4
    int Prefix = 0;
    bool operator==(const TEntry&) const = default;
  };
  static bool ParseEntry(std::string_view text, TEntry& out);
  bool Matches(bool v4, const uint8_t* bytes) const;

  std::vector<TEntry> entries_;
};

}  // namespace kova
