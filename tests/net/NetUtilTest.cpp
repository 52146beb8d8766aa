#include "net/NetUtil.h"

#include <gtest/gtest.h>

#include "net/SocketApi.h"

namespace kova {
namespace {

TEST(NetUtilTest, HostTextClassification) {
  struct Row {
    const char* text;
    bool ipv4;
    bool ipv6;
  };
  const Row rows[] = {
      {"10.0.0.1", true, false},
      {" 10 . 0 . 0 . 1 ", true, false},  // blanks around parts are tolerated
      {"007.0.0.255", true, false},
      {"256.1.1.1", false, false},
      {"1.2.3", false, false},
      {"1.2.3.4.5", false, false},
      {"1..2.3", false, false},
      {"", false, false},
      {"::1", false, true},
      {"fe80::1%4", false, true},
      {"1:2:3:4:5:6:7:8", false, true},
      {"1:2:3:4:5:6:7:8:9", false, false},
      {"abc", false, true},  // a lone hex group counts as IPv6 text
      {"beef", false, true},
      {"8080", false, true},
      {"10000", false, false},
      {"1::2::3", false, false},
      {"::", false, false},
      {"1::", false, false},
      {"::ffff:1.2.3.4", false, false},
      {"fe80::1%eth0", false, false},
      {"example.org", false, false},
      {"gateway", false, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(IsIPv4Text(r.text), r.ipv4) << "IsIPv4Text(\"" << r.text << "\")";
    EXPECT_EQ(IsIPv6Text(r.text), r.ipv6) << "IsIPv6Text(\"" << r.text << "\")";
  }
}

TEST(NetUtilTest, OctetText) {
  EXPECT_TRUE(IsOctetText("0"));
  EXPECT_TRUE(IsOctetText("255"));
  EXPECT_TRUE(IsOctetText("0000000000255"));
  EXPECT_FALSE(IsOctetText("256"));
  EXPECT_FALSE(IsOctetText("99999999999999999999"));
  EXPECT_FALSE(IsOctetText(""));
  EXPECT_FALSE(IsOctetText("1a"));
  EXPECT_FALSE(IsOctetText("-1"));
}

TEST(NetUtilTest, IPv4TextToBytesKeepsWrittenOrder) {
  struct Row {
    const char* text;
    std::string bytes;
  };
  const Row rows[] = {
      {"10.1.2.3", std::string("\x0a\x01\x02\x03", 4)},
      {"1.2.300.4", std::string("\x01\x02\x2c\x04", 4)},  // 300 mod 256
      {"0.0.0.0", std::string(4, '\0')},
      {"a.b.c.d", std::string(4, '\0')},
      {"1.2", std::string("\x01\x02\x00\x00", 4)},
      {"", std::string(4, '\0')},
      {"255.255.255.255", std::string(4, '\xff')},
      // Whatever IsIPv4Text accepts must encode to the address it names.
      {" 10 . 0 . 0 . 1 ", std::string("\x0a\x00\x00\x01", 4)},
  };
  for (const Row& r : rows) EXPECT_EQ(IPv4TextToBytes(r.text), r.bytes) << r.text;
}

TEST(NetUtilTest, WordBytesRoundTrip) {
  EXPECT_EQ(WordToBytes(1080), std::string("\x04\x38", 2));
  EXPECT_EQ(WordToBytes(0xFFFF), std::string("\xff\xff", 2));
  const std::string two("\x04\x38", 2);
  EXPECT_EQ(BytesToWord(two, 1), 1080);
  EXPECT_EQ(BytesToWord(two, 2), 0);  // index at the length
  EXPECT_EQ(BytesToWord(two, 0), 0);
  EXPECT_EQ(BytesToWord(std::string("\x00\x50\x01\xbb", 4), 3), 443);
  for (int v : {0, 1, 255, 256, 1080, 65535})
    EXPECT_EQ(BytesToWord(WordToBytes(static_cast<uint16_t>(v)), 1), v);
}

TEST(NetUtilTest, TextSplittingTrims) {
  EXPECT_EQ(TextBefore(" host : 80 ", ":"), "host");
  EXPECT_EQ(TextAfter(" host : 80 ", ":"), "80");
  EXPECT_EQ(TextBefore("a:b:c", ":"), "a");
  EXPECT_EQ(TextAfter("a:b:c", ":"), "b:c");
  EXPECT_EQ(TextBefore("\tnone\r\n", ":"), "none");
  EXPECT_EQ(TextAfter("none", ":"), "none");
  EXPECT_EQ(TextAfter("HTTP/1.0 200 OK", " "), "200 OK");
}

TEST(NetUtilTest, FetchTokenConsumes) {
  std::string s = "1.2.3";
  EXPECT_EQ(FetchToken(s, "."), "1");
  EXPECT_EQ(s, "2.3");
  EXPECT_EQ(FetchToken(s, "."), "2");
  EXPECT_EQ(FetchToken(s, "."), "3");
  EXPECT_EQ(s, "");
  // Surrounding blanks: first the trimmed text is left, the next call uses it up.
  s = " x ";
  EXPECT_EQ(FetchToken(s, ","), "x");
  EXPECT_EQ(s, "x");
  EXPECT_EQ(FetchToken(s, ","), "x");
  EXPECT_EQ(s, "");
  s = "a,,b";
  EXPECT_EQ(FetchToken(s, ","), "a");
  EXPECT_EQ(FetchToken(s, ","), "");
  EXPECT_EQ(FetchToken(s, ","), "b");
  EXPECT_EQ(s, "");
}

TEST(NetUtilTest, IPv6RecordsAndHostName) {
  TSockAddr rec;
  TextToIPv6Address("fe80::1", rec);
  EXPECT_EQ(rec.sa.sa_family, AF_INET6);
  EXPECT_EQ(IPv6AddressToText(rec), "fe80::1");
  TextToIPv6Address("::1", rec);
  EXPECT_EQ(IPv6AddressToText(rec), "::1");
  TextToIPv6Address("localhost", rec);  // numeric only: never a name look-up
  EXPECT_EQ(rec.sa.sa_family, 0);
  TextToIPv6Address("1.2.3.4", rec);
  EXPECT_EQ(rec.sa.sa_family, 0);
  EXPECT_FALSE(LocalHostName().empty());
}

TEST(SocketApiTest, LoadCountsAndStartFailureThrows) {
  const int before = SocketInterfaceStarts();
  EXPECT_TRUE(LoadSocketInterface());
  EXPECT_TRUE(HasNameInfoApi.load());
  EXPECT_FALSE(HasIPv6HelperApi.load());
  EXPECT_EQ(SocketInterfaceStarts(), before + 1);
  UnloadSocketInterface();
  EXPECT_EQ(SocketInterfaceStarts(), before);
  for (int i = 0; i < before + 3; ++i) UnloadSocketInterface();  // never below zero
  EXPECT_EQ(SocketInterfaceStarts(), 0);
  for (int i = 0; i < before; ++i) LoadSocketInterface();

  EXPECT_NO_THROW(StartSocketInterface());
  StopSocketInterface();
  try {
    StartSocketInterface([](const std::string&) { return false; });
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode, 0);
    EXPECT_STREQ(e.what(), "Error loading Socket interface (ws2_32.dll)!");
    EXPECT_EQ(e.ErrorMessage, "Error loading Socket interface (ws2_32.dll)!");
  }
}

}  // namespace
}  // namespace kova
