#include "net/Codec.h"

#include <cstddef>
#include <cstdint>

namespace kova {

namespace {
// 64 digits, then the padding character.
constexpr char kBase64Table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr char kPad = kBase64Table[64];
}  // namespace

std::string EncodeBase64(const std::string& data) {
  std::string out;
  out.reserve(4 * ((data.size() + 2) / 3));
  const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(data[i])); };
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kBase64Table[(group >> 18) & 63];
    out += kBase64Table[(group >> 12) & 63];
    out += kBase64Table[(group >> 6) & 63];
    out += kBase64Table[group & 63];
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    const uint32_t group = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kBase64Table[(group >> 18) & 63];
    out += kBase64Table[(group >> 12) & 63];
    out += rest == 2 ? kBase64Table[(group >> 6) & 63] : kPad;
    out += kPad;
  }
  return out;
}

}  // namespace kova
