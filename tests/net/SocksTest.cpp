// The SOCKS 4/4a/5 client against scripted proxies on loopback: exact bytes each way.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include <gtest/gtest.h>

#include <string>

#include "net/BlockSocket.h"
#include "support/FakePeer.h"
#include "support/Loopback.h"

namespace kova {
namespace {

using test::FakePeer;
using test::FromHex;
using test::ToHex;

const std::string kGreetNoAuth = FromHex("05 01 00");

// ---- request encoding (no network) -------------------------------------------------------------

struct EncodeCase {
  TSocksType version;
  std::string user;
  std::string host;
  std::string port;
  std::string expected;  // hex
};

TEST(SocksEncode, AddressPartOfRequests) {
  const EncodeCase cases[] = {
      {TSocksType::Socks5, "", "10.0.0.1", "80", "01 0A 00 00 01 00 50"},
      {TSocksType::Socks5, "", "192.168.1.254", "65535", "01 C0 A8 01 FE FF FF"},
      {TSocksType::Socks5, "", "srv", "80", "03 03 73 72 76 00 50"},
      {TSocksType::Socks5, "", "::1", "80",
       "04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 50"},
      {TSocksType::Socks5, "", "2001:db8::a:1", "443",
       "04 20 01 0D B8 00 00 00 00 00 00 00 00 00 0A 00 01 01 BB"},
      // Names that look like one hex group are still names, not the address ::.
      {TSocksType::Socks5, "", "cafe", "80", "03 04 63 61 66 65 00 50"},
      {TSocksType::Socks5, "", "10.0.0.1", "http", "01 0A 00 00 01 00 50"},
      {TSocksType::Socks5, "", "10.0.0.1", "no-such-service", "01 0A 00 00 01 00 00"},
      {TSocksType::Socks4, "", "10.0.0.1", "80", "00 50 0A 00 00 01 00"},
      {TSocksType::Socks4, "bob", "10.0.0.1", "1080", "04 38 0A 00 00 01 62 6F 62 00"},
      {TSocksType::Socks4, "id", "srv", "80", "00 50 00 00 00 01 69 64 00 73 72 76 00"},
      {TSocksType::Socks4, "", "::1", "80", "00 50 00 00 00 01 00 3A 3A 31 00"},
  };
  for (const auto& c : cases) {
    TSocksBlockSocket s;
    s.SocksVersion = c.version;
    s.SocksUser = c.user;
    EXPECT_EQ(ToHex(s.SocksEncodeAddress(c.host, c.port)), c.expected)
        << (c.version == TSocksType::Socks4 ? "SOCKS 4 " : "SOCKS 5 ") << c.host << ":" << c.port;
  }
}

TEST(SocksEncode, LocalResolutionSendsAnAddress) {
  TSocksBlockSocket s;
  s.SocksRemoteResolve = false;
  // localhost comes from the hosts file; either family is a correct answer.
  const std::string hex = ToHex(s.SocksEncodeAddress("localhost", "80"));
  EXPECT_TRUE(hex == "01 7F 00 00 01 00 50" ||
              hex == "04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 50")
      << hex;
  s.SocksVersion = TSocksType::Socks4;
  EXPECT_EQ(ToHex(s.SocksEncodeAddress("127.0.0.1", "80")), "00 50 7F 00 00 01 00");
}

// ---- exchanges with a scripted proxy ---------------------------------------------------------

// Script: steps split by '|'. "> hex" the client must send these bytes, "< hex" the proxy
// answers, "~ hex" it answers one byte at a time, "x" it closes. Then the proxy stays silent.
struct Exchange {
  const char* what;
  TSocksType version;
  std::string user, password, host, port;
  std::string script;
  int error;
  int replyCode;
  std::string local;  // "host:port" the client then reports as its local side; "" = not checked
};

TEST(SocksConnect, ScriptedExchanges) {
  const std::string ok = "05 00 00 01 0A 09 08 07 04 38";  // success, bound at 10.9.8.7:1080
  const std::string hello = "> 05 01 00 | < 05 00 | > 05 01 00 01 0A 00 00 01 00 50 | ";
  const std::string auth = "> 05 02 02 00 | < 05 02 | > ";
  const std::string done = " | < 01 00 | > 05 01 00 01 0A 00 00 01 00 50 | < " + ok;
  const std::string s4 = "> 04 01 00 50 0A 00 00 01 00 | ";
  const std::string user255(255, 'u');
  constexpr auto V5 = TSocksType::Socks5;
  constexpr auto V4 = TSocksType::Socks4;
  constexpr int kRefused = kErrNetUnusable;
  // clang-format off
  const Exchange cases[] = {
    {"no authentication", V5, "", "", "10.0.0.1", "80", hello + "< " + ok, 0, 0, "10.9.8.7:1080"},
    {"user, empty password", V5, "u", "", "10.0.0.1", "80", auth + "01 01 75 00" + done, 0, 0, ""},
    {"user and password", V5, "user", "pw", "10.0.0.1", "80", auth + "01 04 75 73 65 72 02 70 77" + done, 0, 0, ""},
    {"255-byte user name", V5, user255, "p", "10.0.0.1", "80", auth + "01 FF" + ToHex(user255) + "01 70" + done, 0, 0, ""},
    {"no user, proxy insists", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 02 | > 01 00 00" + done, 0, 0, ""},
    {"no acceptable method", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 FF", kRefused, 0, ""},
    {"method never offered", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 01", kRefused, 0, ""},
    {"bad version, method", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 04 00", kRefused, 0, ""},
    {"authentication failed", V5, "u", "p", "10.0.0.1", "80", auth + "01 01 75 01 70 | < 01 01", kRefused, 0, ""},
    {"general failure", V5, "", "", "10.0.0.1", "80", hello + "< 05 01 00 01 00 00 00 00 00 00", kRefused, 1, ""},
    {"bad version, reply", V5, "", "", "10.0.0.1", "80", hello + "< 04 00 00 01 00 00 00 00 00 00", kRefused, -1, ""},
    {"unknown address type", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 07 00 00 00 00 00 00", kRefused, -1, ""},
    {"status 90 succeeds", V5, "", "", "10.0.0.1", "80", hello + "< 05 5A 00 01 0A 09 08 07 04 38", 0, 0x5A, ""},
    {"reply names a host", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 03 0B 70 72 6F 78 79 2E 6C 6F 63 61 6C 1F 90", 0, 0, "proxy.local:8080"},
    {"reply, empty name", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 03 00 00 15", 0, 0, ":21"},
    {"reply, IPv6", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 04 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 16", 0, 0, "fe80::2:22"},
    {"name target, single bytes", V5, "", "", "srv", "80", "> 05 01 00 | ~ 05 00 | > 05 01 00 03 03 73 72 76 00 50 | ~ 05 00 00 03 03 61 62 63 00 50", 0, 0, "abc:80"},
    {"silent proxy", V5, "", "", "10.0.0.1", "80", "> 05 01 00", kErrTimedOut, 0, ""},
    {"closes mid-reply", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 01 0A | x", kErrConnReset, -1, ""},
    {"SOCKS 4 granted", V4, "", "", "10.0.0.1", "80", s4 + "< 00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 status 0", V4, "", "", "10.0.0.1", "80", s4 + "< 00 00 00 00 00 00 00 00", 0, 0, ""},
    {"SOCKS 4 rejected", V4, "", "", "10.0.0.1", "80", s4 + "< 00 5B 00 00 00 00 00 00", kRefused, 0x5B, ""},
    {"SOCKS 4 bad first byte", V4, "", "", "10.0.0.1", "80", s4 + "< 04 5A 00 00 00 00 00 00", kRefused, -1, ""},
    {"SOCKS 4a with user id", V4, "me", "", "srv", "80", "> 04 01 00 50 00 00 00 01 6D 65 00 73 72 76 00 | < 00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 single bytes", V4, "", "", "10.0.0.1", "8080", "> 04 01 1F 90 0A 00 00 01 00 | ~ 00 5A 04 38 0A 09 08 07", 0, 0x5A, "10.9.8.7:1080"},
  };
  // clang-format on
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    std::string sent;
    size_t at = 0;
    while (at < k.script.size()) {
      size_t bar = k.script.find('|', at);
      if (bar == std::string::npos) bar = k.script.size();
      const std::string step = k.script.substr(at, bar - at);
      const size_t kind = step.find_first_not_of(' ');
      const std::string bytes = FromHex(step.substr(kind + 1));
      switch (step[kind]) {
        case '>':
          proxy.Expect(bytes);
          sent += bytes;
          break;
        case '<':
          proxy.Reply(bytes);
          break;
        case '~':
          proxy.ReplyBytewise(bytes);
          break;
        default:
          proxy.CloseNow();
          break;
      }
      at = bar + 1;
    }
    proxy.Start();
    TTCPBlockSocket s;
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.SocksVersion = k.version;
    s.SocksUser = k.user;
    s.SocksPassword = k.password;
    s.SocksTimeout = 300;
    s.Connect(k.host, k.port);
    EXPECT_EQ(s.LastError(), k.error) << s.LastErrorText();
    EXPECT_EQ(s.SocksReplyCode(), k.replyCode);
    if (k.error == 0) {
      EXPECT_TRUE(s.SocksActive());
      EXPECT_EQ(s.RemoteAddressText(), k.host);
      EXPECT_EQ(std::to_string(s.RemotePort()), k.port);
    }
    if (!k.local.empty()) {
      EXPECT_EQ(s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), k.local);
    }
    s.Close();
    ASSERT_TRUE(proxy.Finish()) << "the client never reached the proxy";
    EXPECT_EQ(proxy.Mismatch(), "");
    // Nothing beyond the script: no request after a refusal, nothing after the reply.
    EXPECT_EQ(ToHex(proxy.Received()), ToHex(sent));
    if (k.error == 0) {
      EXPECT_EQ(s.RemoteAddressText(), k.host) << "the last connection stays readable after Close";
    }
  }
}

// Values that do not fit a one-byte length must fail before the proxy sees a single byte.
TEST(SocksConnect, OverlongFieldsFailWithoutSendingAnything) {
  struct Case {
    const char* what;
    std::string user, password, host;
  } cases[] = {
      {"user", std::string(256, 'u'), "p", "10.0.0.1"},
      {"password", "u", std::string(300, 'p'), "10.0.0.1"},
      {"host name", "", "", std::string(256, 'h')},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    proxy.Start();
    TTCPBlockSocket s;
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.SocksUser = k.user;
    s.SocksPassword = k.password;
    s.Connect(k.host, "80");
    EXPECT_EQ(s.LastError(), kErrNetUnusable);
    EXPECT_FALSE(s.SocksActive());
    s.Close();
    proxy.Finish();
    EXPECT_EQ(ToHex(proxy.Received()), "");
  }
}

// ---- listening at a SOCKS proxy ----------------------------------------------------------------

TEST(SocksBind, ListenThenAcceptReadsTheSecondReply) {
  FakePeer proxy;
  TTCPBlockSocket s;
  s.Bind("127.0.0.1", "0");
  ASSERT_EQ(s.LastError(), 0);
  const int localPort = s.TBlockSocket::LocalPort();
  const std::string request =
      FromHex("05 02 00 01 7F 00 00 01") +
      std::string{static_cast<char>(localPort >> 8), static_cast<char>(localPort & 0xFF)};
  proxy.Expect(kGreetNoAuth)
      .Reply(FromHex("05 00"))
      .Expect(request)
      .Reply(FromHex("05 00 00 01 00 00 00 00 13 88"))   // listening, address left to us
      .Reply(FromHex("05 00 00 01 0A 00 00 05 C3 50"));  // 10.0.0.5:50000 came in
  proxy.Start();
  s.SocksProxyHost = proxy.host();
  s.SocksProxyPort = proxy.portText();
  s.SocksTimeout = 3000;
  s.Listen();
  ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_EQ(s.LocalAddressText(), proxy.host()) << "0.0.0.0 means the proxy's own address";
  EXPECT_EQ(s.LocalPort(), 5000);
  EXPECT_EQ(s.RemoteAddressText(), "");
  const int handle = s.Accept();
  EXPECT_EQ(handle, s.Handle());
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.RemoteAddressText(), "10.0.0.5");
  EXPECT_EQ(s.RemotePort(), 50000);
  s.Close();
  proxy.Finish();
  EXPECT_EQ(proxy.Mismatch(), "");
}

TEST(SocksBind, RefusalsAreNonRecoverable) {
  {
    FakePeer proxy;
    proxy.Expect(kGreetNoAuth).Reply(FromHex("05 FF"));
    proxy.Start();
    TTCPBlockSocket s;
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.Listen();
    EXPECT_EQ(s.LastError(), kErrNonRecoverable);
    s.Close();
    proxy.Finish();
  }
  {
    // Listening works, but the incoming connection is refused: Accept hands out nothing.
    FakePeer proxy;
    TTCPBlockSocket s;
    s.Bind("127.0.0.1", "0");
    const int localPort = s.TBlockSocket::LocalPort();
    proxy.Expect(kGreetNoAuth)
        .Reply(FromHex("05 00"))
        .Expect(FromHex("05 02 00 01 7F 00 00 01") +
                std::string{static_cast<char>(localPort >> 8), static_cast<char>(localPort & 0xFF)})
        .Reply(FromHex("05 00 00 01 7F 00 00 01 13 88"))
        .Reply(FromHex("05 02 00 01 00 00 00 00 00 00"));
    proxy.Start();
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.SocksTimeout = 3000;
    s.Listen();
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.LocalAddressText(), "127.0.0.1");
    EXPECT_EQ(s.Accept(), -1);
    EXPECT_EQ(s.LastError(), kErrNonRecoverable);
    EXPECT_EQ(s.SocksReplyCode(), 2);
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
  }
}

}  // namespace
}  // namespace kova
