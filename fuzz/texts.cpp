// Texts that come from the settings, the server list or a proxy's reply: Base64 of the proxy
// credentials, the address classifiers and encoders, token splitting, and port texts.

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "net/BlockSocket.h"
#include "net/Codec.h"
#include "net/NetUtil.h"

namespace {

constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// An independent decoder: the encoder's output must read back to its input.
std::string DecodeBase64(const std::string& text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const char* digit = c ? std::strchr(kDigits, c) : nullptr;
    FUZZ_CHECK(digit != nullptr);
    acc = (acc << 6 | static_cast<uint32_t>(digit - kDigits)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits & 0xFF);
    }
  }
  return out;
}

bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool hasNul = text.find('\0') != std::string::npos;

  const std::string b64 = kova::EncodeBase64(text);
  FUZZ_CHECK(b64.size() == 4 * ((size + 2) / 3));
  FUZZ_CHECK(DecodeBase64(b64) == text);

  // What the system itself takes as a dotted address must be one here too, with the same bytes.
  const std::string v4 = kova::IPv4TextToBytes(text);
  FUZZ_CHECK(v4.size() == 4);
  in_addr a4{};
  if (!hasNul && ::inet_pton(AF_INET, text.c_str(), &a4) == 1)
    FUZZ_CHECK(kova::IsIPv4Text(text) && std::memcmp(v4.data(), &a4, 4) == 0);

  kova::TSockAddr record{};
  kova::TextToIPv6Address(text, record);
  if (record.sa.sa_family == AF_INET6) FUZZ_CHECK(!kova::IPv6AddressToText(record).empty());
  (void)kova::IsIPv6Text(text);

  // Splitting always ends, and every token comes out trimmed.
  std::string rest = text;
  for (size_t rounds = 0; !rest.empty(); ++rounds) {
    FUZZ_CHECK(rounds <= size);
    const std::string token = kova::FetchToken(rest, ":");
    FUZZ_CHECK(token.empty() || (!Blank(token.front()) && !Blank(token.back())));
  }

  kova::TSocksBlockSocket s;
  for (auto version : {kova::TSocksType::Socks5, kova::TSocksType::Socks4}) {
    s.SocksVersion = version;
    const std::string encoded = s.SocksEncodeAddress(text, "80");
    if (version == kova::TSocksType::Socks4) {
      // Only an IPv6 literal, which SOCKS 4 cannot carry, is refused unsent.
      if (encoded.empty())
        FUZZ_CHECK(std::string(text.c_str()).find(':') != std::string::npos);
      else
        FUZZ_CHECK(encoded.size() >= 7 && encoded.compare(0, 2, "\x00\x50", 2) == 0);
    } else if (!encoded.empty()) {
      const size_t expected = encoded[0] == 1 ? 7 : encoded[0] == 4 ? 19
                              : encoded[0] == 3 ? 4 + static_cast<uint8_t>(encoded[1]) : 0;
      FUZZ_CHECK(encoded.size() == expected);
    }
  }

  // A decimal port text is that port up to 65535 and no port above; it never wraps.
  if (size <= 16 && !hasNul) {
    const uint16_t port = s.ResolvePortNumber(text);
    if (size > 0 && text.find_first_not_of("0123456789") == std::string::npos &&
        (text[0] != '0' || size == 1)) {
      const unsigned long long value = size <= 10 ? std::stoull(text) : ~0ull;
      FUZZ_CHECK(port == (value <= 65535 ? value : 0));
    }
  }
  return 0;
}
