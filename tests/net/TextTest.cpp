// Text helpers, Base64, the allow-list, the error record and the interface counter, as tables.

#include <gtest/gtest.h>

#include "net/AllowList.h"
#include "net/BlockSocket.h"
#include "net/Codec.h"
#include "net/NetUtil.h"
#include "net/SocketApi.h"
#include "support/FakePeer.h"

namespace kova {
namespace {

TEST(TextHelpers, AddressKindsBytesAndTheMachinesOwn) {
  auto kind = [](const char* t) { return IsIPv4Text(t) ? (IsIPv6Text(t) ? "both" : "IPv4") : IsIPv6Text(t) ? "IPv6" : "neither"; };
  // One hex group is IPv6 text; a scope must be numeric.
  const std::pair<const char*, std::vector<const char*>> kinds[] = {
      {"IPv6", {"::1", "fe80::1%4", "1:2:3:4:5:6:7:8", "beef", "8080"}},
      {"neither", {"1.2.300.4", "1.2", "a.b.c.d", "", "1.2.3.4.5", "1..2.3", "1.2.3.99999999999999999999", "1.2.3.1a",
                   "1.2.3.-1", "1:2:3:4:5:6:7:8:9", "10000", "1::2::3", "::", "1::", "::ffff:1.2.3.4", "fe80::1%eth0", "example.org"}}};
  for (const auto& [want, texts] : kinds)
    for (const char* t : texts) EXPECT_STREQ(kind(t), want) << '"' << t << '"';
  // Dotted text, read as decimal whatever its zeros and blanks, encodes what it names.
  for (const auto& [text, bytes] : std::initializer_list<std::pair<const char*, const char*>>{
           {"198.51.2.3", "C6 33 02 03"}, {"007.0.0.255", "07 00 00 FF"}, {" 192 . 0 . 2 . 1 ", "C0 00 02 01"}, {"0.0.0.0000000000255", "00 00 00 FF"}})
    EXPECT_EQ(kind(text) + std::string(" ") + test::ToHex(IPv4TextToBytes(text)), std::string("IPv4 ") + bytes) << '"' << text << '"';
  TTCPBlockSocket s;
  auto ip = [&](const char* text) { TSockAddr a{}; s.FillAddress(a, text, "0"); return a; };  // numeric: no look-up
  auto up = [](TSockAddr a, bool loopback = false) { return TInterfaceAddress{a, true, loopback, ""}; };
  const auto lo = up(ip("127.0.0.1"), true), lo6 = up(ip("::1"), true);
  // The machine's own address: {what, addresses of the host name, interfaces in the system's order, chosen}
  const std::tuple<const char*, std::vector<TSockAddr>, std::vector<TInterfaceAddress>, const char*> rows[] = {
      {"Debian desktop", {ip("127.0.1.1")}, {lo, {ip("198.51.100.9"), false, false, ""}, up(ip("198.51.100.7"))}, "198.51.100.7"},
      {"container", {ip("127.0.0.1")}, {lo, up(ip("fe80::1")), up(ip("192.0.2.2"))}, "192.0.2.2"},
      {"name has a LAN address", {ip("2001:db8::1"), ip("203.0.113.5")}, {lo, up(ip("192.0.2.2"))}, "203.0.113.5"},
      {"only IPv6", {ip("127.0.1.1")}, {lo, lo6, up(ip("fe80::1")), up(ip("2001:db8::2"))}, "2001:db8::2"},
      {"no interface at all", {ip("127.0.1.1"), ip("::1")}, {}, "127.0.1.1"},
      {"nothing", {}, {}, ""}};
  for (const auto& [what, resolved, interfaces, chosen] : rows)
    EXPECT_EQ(s.AddressToText(ChooseOwnAddress(resolved, interfaces)), chosen) << what;
}

// Per list, the clients it lets in and keeps out (a range's host bits ignored); then refused entries.
TEST(TextHelpers, AllowList) {
  const std::tuple<const char*, std::vector<const char*>, std::vector<const char*>> rows[] = {
      {"", {"127.0.0.2", "::1", "garbage"}, {}}, {" # only a comment\n\n", {"192.0.2.9"}, {}},  // everyone, as without a list
      {"127.0.0.0/8", {"127.0.0.0", "127.255.255.255", "::ffff:127.9.9.9"}, {"126.255.255.255", "128.0.0.0", "::1", "garbage"}},
      {"192.0.2.128/25", {"192.0.2.128", "192.0.2.255"}, {"192.0.2.127"}}, {"192.0.2.7/31", {"192.0.2.6"}, {"192.0.2.8"}},
      {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255", "::ffff:192.0.2.1"}, {"::1", "2001:db8::1"}},
      {"::/0", {"::1", "2001:db8::1"}, {"192.0.2.1", "::ffff:192.0.2.1"}},  // IPv6 only
      {"fd00::/8", {"fd12:3456::1", "fdff::"}, {"fc00::1", "fe00::"}},
      {"2001:db8::/127", {"2001:db8::", "2001:db8::1"}, {"2001:db8::2"}},
      {"::ffff:192.0.2.0/120", {"192.0.2.7", "::ffff:192.0.2.7"}, {"192.0.3.7"}},  // a mapped range is IPv4
      {"# office\n192.0.2.1 , 198.51.100.0/24 # lab\r\n::1\t2001:db8::5",
       {"192.0.2.1", "198.51.100.77", "::1", "2001:db8::5"}, {"192.0.2.2", "#", "lab"}}};
  std::string named;
  for (const auto& [text, allowed, refused] : rows) {
    SCOPED_TRACE(text);
    TAllowList list;
    ASSERT_TRUE(list.Add(text, named));
    for (const char* c : allowed) EXPECT_TRUE(list.Allows(std::string(c))) << c;
    for (const char* c : refused) EXPECT_FALSE(list.Allows(std::string(c))) << c;
  }
  // A refused text names its bad entry and leaves the list as it was.
  for (const std::string bad : {"300.1.1.1", "192.0.2.0/33", "::1/129", "1.2.3.4/", "1.2.3.4/08", "1.2.3.4/-1",
                                "1.2.3.4/8/8", "01.2.3.4", "1.2.3", "fe80::1%eth0", "/8", "example.org", "abc"}) {
    TAllowList list;
    ASSERT_TRUE(list.Add("192.0.2.200", named));
    EXPECT_FALSE(list.Add("192.0.2.1 " + bad + " 192.0.2.2", named));
    EXPECT_EQ(named + "|" + list.Text(), bad + "|192.0.2.200/32\n");
  }
}


TEST(TextHelpers, WordsSplitsTokensAndBase64) {
  for (int v : {0, 255, 256, 65535}) EXPECT_EQ(BytesToWord(WordToBytes(static_cast<uint16_t>(v)), 1), v);
  EXPECT_EQ(BytesToWord("\x04\x38", 2) + BytesToWord("\x04\x38", 0), 0);  // no read outside the text
  // {text, separator, before|after, the tokens FetchToken takes one by one}: a missing separator is the whole text.
  const std::tuple<const char*, const char*, const char*, const char*> splits[] = {
      {" host : 80 ", ":", "host|80", "host/80"}, {"a:b:c", ":", "a|b:c", "a/b/c"}, {"a,,b", ",", "a|,b", "a//b"},
      {"\tnone\r\n", ":", "none|none", "none/none"}, {"HTTP/1.0 200 OK", " ", "HTTP/1.0|200 OK", "HTTP/1.0/200/OK"}};
  for (const auto& [text, sep, parts, tokens] : splits) {
    std::string rest = text, got;
    for (int i = 0; i < 5 && !rest.empty(); ++i) got += (i ? "/" : "") + FetchToken(rest, sep);
    EXPECT_EQ(TextBefore(text, sep) + "|" + TextAfter(text, sep) + " " + got, std::string(parts) + " " + tokens) << text;
  }
  // {text, SplitTarget ("-" = none), UsableTarget takes it, rebuilt as it was}: brackets only around IPv6,
  // else split at the first ":" untrimmed; a numeric port 1..65535, a service name left to the resolver.
  const std::tuple<const char*, const char*, bool> targets[] = {
      {"a:b:c", "a|b:c", true}, {" h : 80 ", " h | 80 ", true}, {"h:http", "h|http", true}, {"h:065535", "h|065535", true},
      {"h:0", "h|0", false}, {"h:65536", "h|65536", false}, {"[::1]:8080", "::1|8080", true}, {"[::1]:0", "::1|0", false},
      {"[2001:db8::1]:443", "2001:db8::1|443", true}, {"[fe80::1%lo]:22", "fe80::1%lo|22", true}, {"nocolon", "-", false},
      {":80", "-", false}, {"h:", "-", false}, {"", "-", false}, {"[::1", "-", false}, {"[::1]", "-", false},
      {"[::1]:", "-", false}, {"[zz]:80", "-", false}, {"[127.0.0.1]:80", "-", false}, {"::1:80", "-", false}};
  for (const auto& [text, split, usable] : targets) {
    SCOPED_TRACE('"' + std::string(text) + '"');
    std::string host = "x", port = "y";
    EXPECT_EQ(SplitTarget(text, host, port) ? host + "|" + port : "-", split);
    host = "x", port = "y";
    EXPECT_EQ(UsableTarget(text, host, port) ? host + "|" + port : "-", usable ? split : "-");
    if (usable) { EXPECT_EQ(TargetText(host, port), text); }
  }
  // Every padding length, and the table's last digits from bytes with the sign bit set.
  const std::pair<const char*, const char*> base64[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xef\xff", "++//"}};
  for (const auto& [in, out] : base64) EXPECT_EQ(EncodeBase64(in), out) << in;
}

TEST(ErrorRecord, TextsRaisingAndTheInterfaceCount) {
  for (int gap : {10072, -1}) EXPECT_EQ(GetErrorDesc(gap), "Not a Winsock error (" + std::to_string(gap) + ")");
  TTCPBlockSocket s;
  s.RaiseOnError = true;
  s.SetLastError(10036);  // "in progress" never raises
  EXPECT_NO_THROW(s.CheckError());
  errno = ECONNREFUSED;
  EXPECT_EQ(s.RecordResult(-1), 10061);
  EXPECT_THROW(s.CheckError(), ESocketError);
  const int before = SocketInterfaceStarts();
  for (int i = 0; i < before + 3; ++i) UnloadSocketInterface();
  EXPECT_EQ(SocketInterfaceStarts(), 0) << "never below zero";
  for (int i = 0; i < before; ++i) LoadSocketInterface();
  EXPECT_THROW(StartSocketInterface([](const std::string&) { return false; }), ESocketError);
}

}  // namespace
}  // namespace kova
