#pragma once
// Address and text helpers of the proxy clients: host-text classification, byte encodings of
// addresses and ports, and trimmed token splitting.

#include <cstdint>
#include <string>

#include "net/BlockSocket.h"

namespace kova {

// The machine's host name, or "127.0.0.1" when the system reports none.
std::string LocalHostName();
// Numeric IPv6 text to a 28-byte record (no name service); a zero record on failure.
void TextToIPv6Address(const std::string& text, TSockAddr& record);
// Numeric text of an IPv6 record, or empty.
std::string IPv6AddressToText(const TSockAddr& record);

bool IsOctetText(const std::string& text);
bool IsIPv4Text(const std::string& text);
bool IsIPv6Text(const std::string& text);

// Always 4 bytes in written order; a part that is not a number gives 0, others modulo 256.
std::string IPv4TextToBytes(const std::string& text);
// High byte first.
std::string WordToBytes(uint16_t value);
// Reads a big-endian word at a 1-based index; missing bytes count as 0.
uint16_t BytesToWord(const std::string& text, int index);

// Text before / after the first delimiter (all of it when absent), trimmed of blanks and controls.
std::string TextBefore(const std::string& text, const std::string& delimiter);
std::string TextAfter(const std::string& text, const std::string& delimiter);
// Returns TextBefore and leaves TextAfter in `text` (empty once nothing changes any more).
std::string FetchToken(std::string& text, const std::string& delimiter);

}  // namespace kova
