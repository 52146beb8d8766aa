#pragma once
// Address and text helpers of the proxy clients: host-text classification, byte encodings of
// addresses and ports, and trimmed token splitting.

#include <cstdint>
#include <string>
#include <vector>

#include "net/BlockSocket.h"

namespace kova {

// The machine's host name, or "127.0.0.1" when the system reports none.
std::string LocalHostName();

// One address of a network interface, as the system lists them.
struct TInterfaceAddress {
  TSockAddr Address{};
  bool Up = false;
  bool Loopback = false;
  std::string Name;  // the interface's, e.g. "eth0"
};
// Every IPv4 and IPv6 address of the machine's interfaces, in the system's order.
std::vector<TInterfaceAddress> InterfaceAddresses();
// The address a user means by "this machine": a non-loopback IPv4 address the host name resolves
// to, else the first IPv4 address of an interface that is up and not loopback, else the first
// global IPv6 address of such an interface, else the first address the name resolved to
// (loopback). Empty record when there is nothing at all.
TSockAddr ChooseOwnAddress(const std::vector<TSockAddr>& resolved,
                           const std::vector<TInterfaceAddress>& interfaces);
// The choice above for this machine now, as numeric text; "" when there is none.
std::string OwnAddressText();
// Numeric IPv6 text to a 28-byte record (no name service); a zero record on failure.
void TextToIPv6Address(const std::string& text, TSockAddr& record);
// Numeric text of an IPv6 record, or empty.
std::string IPv6AddressToText(const TSockAddr& record);

bool IsOctetText(const std::string& text);
// A numeric IPv6 address as the system reads one ("::1", "2001:db8::1", "fe80::1%eth0"); unlike
// IsIPv6Text, never a bare hex group such as "cafe", which names a host.
bool IsIPv6Literal(const std::string& text);

// A target or proxy address as typed: "[IPv6 address]:port" gives the address without its
// brackets and the port after "]:"; any other text is split at its first ":" and needs at least
// one character on each side. Nothing is trimmed.
bool SplitTarget(const std::string& text, std::string& host, std::string& port);
// A target the relay may try: SplitTarget, and a port that, when all digits, is 1..65535.
bool UsableTarget(const std::string& text, std::string& host, std::string& port);
// "host:port" for the user's eyes, an IPv6 host in brackets ("[::1]:80").
std::string TargetText(const std::string& host, const std::string& port);
bool IsIPv4Text(const std::string& text);
bool IsIPv6Text(const std::string& text);

// Always 4 bytes in written order; a part that is not a number gives 0, others modulo 256.
std::string IPv4TextToBytes(const std::string& text);
// Plain decimal form of an IPv4 text ("010.0.0.1" -> "10.0.0.1"); the text itself when it is
// not one. Every path reads dotted parts as decimal, so all of them reach the same host.
std::string CanonicalIPv4Text(const std::string& text);
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
