#pragma once
// Byte-string encodings used on the wire.

#include <string>

namespace kova {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks, however long the output).
std::string EncodeBase64(const std::string& data);

}  // namespace kova
