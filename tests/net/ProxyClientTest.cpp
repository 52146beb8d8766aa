// The SOCKS 4/4a/5 and HTTP CONNECT clients against scripted proxies on loopback, byte for byte.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include <gtest/gtest.h>

#include "net/BlockSocket.h"
#include "net/NetUtil.h"
#include "support/FakePeer.h"

namespace kova {
namespace {

using test::FakePeer;
using test::FromHex;
using test::ToHex;
constexpr auto V4 = TSocksType::Socks4;
constexpr auto V5 = TSocksType::Socks5;

void UseSocks(TTCPBlockSocket& s, const FakePeer& p, int timeoutMs = 3000) {
  s.SocksProxyHost = p.host();
  s.SocksProxyPort = p.portText();
  s.SocksTimeout = timeoutMs;
}

void UseTunnel(TTCPBlockSocket& s, const FakePeer& p, int timeoutMs = 3000) {
  s.TunnelProxyHost = p.host();
  s.TunnelProxyPort = p.portText();
  s.TunnelTimeout = timeoutMs;
}

TEST(Socks, AddressEncodingWithoutAProxy) {
  const std::tuple<TSocksType, const char*, const char*, const char*> rows[] = {
      {V5, "cafe", "http", "03 04 63 61 66 65 00 50"},  // one hex group is still a name
      {V5, "10.0.0.1", "no-such-service", "01 0A 00 00 01 00 00"},
      {V4, "::1", "80", "00 50 00 00 00 01 00 3A 3A 31 00"},
  };
  for (const auto& [version, host, port, hex] : rows) {
    TSocksBlockSocket s;
    s.SocksVersion = version;
    EXPECT_EQ(ToHex(s.SocksEncodeAddress(host, port)), hex) << host << ":" << port;
  }
  TSocksBlockSocket s;
  s.SocksRemoteResolve = false;  // localhost is in the hosts file; either family is right
  const std::string local = ToHex(s.SocksEncodeAddress("localhost", "80"));
  EXPECT_TRUE(local == "01 7F 00 00 01 00 50" || local == "04" + std::string(15, '\0') + FromHex("01 00 50"))
      << local;
}

TEST(Socks, ScriptedExchanges) {
  const std::string ok = "05 00 00 01 0A 09 08 07 04 38";  // success, bound at 10.9.8.7:1080
  const std::string hello = "> 05 01 00 | < 05 00 | > 05 01 00 01 0A 00 00 01 00 50 | ";
  const std::string auth = "> 05 02 02 00 | < 05 02 | > ";
  const std::string done = " | < 01 00 | > 05 01 00 01 0A 00 00 01 00 50 | < " + ok;
  const std::string s4 = "> 04 01 00 50 0A 00 00 01 00 | < ";
  const std::string u255(255, 'u');
  constexpr int kRefused = kErrNetUnusable;
  struct Row {
    const char* what;
    TSocksType version;
    std::string user, password, host, port, script;
    int error, replyCode;
    std::string local;  // "host:port" then reported as the local side; "" = not checked
  };
  // clang-format off
  const Row rows[] = {
    {"no authentication", V5, "", "", "10.0.0.1", "80", hello + "< " + ok, 0, 0, "10.9.8.7:1080"},
    {"user, empty password", V5, "u", "", "10.0.0.1", "80", auth + "01 01 75 00" + done, 0, 0, ""},
    {"user and password", V5, "user", "pw", "10.0.0.1", "80", auth + "01 04 75 73 65 72 02 70 77" + done, 0, 0, ""},
    {"255-byte user name", V5, u255, "p", "10.0.0.1", "80", auth + "01 FF" + ToHex(u255) + "01 70" + done, 0, 0, ""},
    {"no user, proxy insists", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 02 | > 01 00 00" + done, 0, 0, ""},
    {"no acceptable method", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 FF", kRefused, 0, ""},
    {"method never offered", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 05 01", kRefused, 0, ""},
    {"bad version, method", V5, "", "", "10.0.0.1", "80", "> 05 01 00 | < 04 00", kRefused, 0, ""},
    {"authentication failed", V5, "u", "p", "10.0.0.1", "80", auth + "01 01 75 01 70 | < 01 01", kRefused, 0, ""},
    {"general failure", V5, "", "", "10.0.0.1", "80", hello + "< 05 01 00 01 00 00 00 00 00 00", kRefused, 1, ""},
    {"bad version, reply", V5, "", "", "10.0.0.1", "80", hello + "< 04 00 00 01 00 00 00 00 00 00", kRefused, -1, ""},
    {"unknown address type", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 07 00 00 00 00 00 00", kRefused, -1, ""},
    {"reply names a host", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 03 0B 70 72 6F 78 79 2E 6C 6F 63 61 6C 1F 90", 0, 0, "proxy.local:8080"},
    {"reply, empty name", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 03 00 00 15", 0, 0, ":21"},
    {"reply, IPv6", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 04 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 16", 0, 0, "fe80::2:22"},
    {"name target, single bytes", V5, "", "", "srv", "80", "> 05 01 00 | ~ 05 00 | > 05 01 00 03 03 73 72 76 00 50 | ~ 05 00 00 03 03 61 62 63 00 50", 0, 0, "abc:80"},
    {"IPv6 target", V5, "", "", "2001:db8::a:1", "443", "> 05 01 00 | < 05 00 | > 05 01 00 04 20 01 0D B8 00 00 00 00 00 00 00 00 00 0A 00 01 01 BB | < " + ok, 0, 0, ""},
    {"silent proxy", V5, "", "", "10.0.0.1", "80", "> 05 01 00", kErrTimedOut, 0, ""},
    {"closes mid-reply", V5, "", "", "10.0.0.1", "80", hello + "< 05 00 00 01 0A | x", kErrConnReset, -1, ""},
    {"SOCKS 4 granted", V4, "", "", "10.0.0.1", "80", s4 + "00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 rejected", V4, "", "", "10.0.0.1", "80", s4 + "00 5B 00 00 00 00 00 00", kRefused, 0x5B, ""},
    {"SOCKS 4 bad first byte", V4, "", "", "10.0.0.1", "80", s4 + "04 5A 00 00 00 00 00 00", kRefused, -1, ""},
    {"SOCKS 4a with user id", V4, "me", "", "srv", "80", "> 04 01 00 50 00 00 00 01 6D 65 00 73 72 76 00 | < 00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 single bytes", V4, "", "", "10.0.0.1", "8080", "> 04 01 1F 90 0A 00 00 01 00 | ~ 00 5A 04 38 0A 09 08 07", 0, 0x5A, "10.9.8.7:1080"},
  };
  // clang-format on
  for (const Row& k : rows) {
    SCOPED_TRACE(k.what);
    FakePeer proxy(k.script);
    proxy.Start();
    TTCPBlockSocket s;
    UseSocks(s, proxy, 300);
    s.SocksVersion = k.version;
    s.SocksUser = k.user;
    s.SocksPassword = k.password;
    s.Connect(k.host, k.port);
    EXPECT_EQ(s.LastError(), k.error) << s.LastErrorText();
    EXPECT_EQ(s.SocksReplyCode(), k.replyCode);
    if (k.error == 0) { EXPECT_TRUE(s.SocksActive()); }
    if (k.error == 0) { EXPECT_EQ(s.RemoteAddressText() + " " + std::to_string(s.RemotePort()), k.host + " " + k.port); }
    if (!k.local.empty()) { EXPECT_EQ(s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), k.local); }
    s.Close();
    ASSERT_TRUE(proxy.Finish()) << "the client never reached the proxy";
    EXPECT_EQ(proxy.Mismatch(), "");
    // Nothing beyond the script: no request after a refusal, nothing after the reply.
    EXPECT_EQ(ToHex(proxy.Received()), ToHex(proxy.Expected()));
  }
}

// Values that do not fit a one-byte length must fail before the proxy sees a single byte.
TEST(Socks, OverlongFieldsFailWithoutSendingAnything) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {std::string(256, 'u'), "p", "10.0.0.1"},
      {"u", std::string(300, 'p'), "10.0.0.1"},
      {"", "", std::string(256, 'h')},
  };
  for (const auto& [user, password, host] : rows) {
    FakePeer proxy;
    proxy.Start();
    TTCPBlockSocket s;
    UseSocks(s, proxy);
    s.SocksUser = user;
    s.SocksPassword = password;
    s.Connect(host, "80");
    EXPECT_EQ(s.LastError(), kErrNetUnusable) << user.size() << "/" << password.size();
    EXPECT_FALSE(s.SocksActive());
    s.Close();
    proxy.Finish();
    EXPECT_EQ(ToHex(proxy.Received()), "");
  }
}

// Listening at the proxy: the first reply is where it listens, the second who came in.
TEST(Socks, ListenThenAccept) {
  const std::pair<const char*, bool> secondReplies[] = {{"05 00 00 01 0A 00 00 05 C3 50", true},
                                                        {"05 02 00 01 00 00 00 00 00 00", false}};
  for (const auto& [second, accepted] : secondReplies) {
    TTCPBlockSocket s;
    s.Bind("127.0.0.1", "0");
    ASSERT_EQ(s.LastError(), 0);
    const std::string localPort = ToHex(WordToBytes(static_cast<uint16_t>(s.TBlockSocket::LocalPort())));
    FakePeer proxy("> 05 01 00 | < 05 00 | > 05 02 00 01 7F 00 00 01" + localPort +
                   "| < 05 00 00 01 00 00 00 00 13 88 | < " + std::string(second));
    proxy.Start();
    UseSocks(s, proxy);
    s.Listen();
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
    EXPECT_EQ(s.LocalAddressText(), proxy.host()) << "0.0.0.0 means the proxy's own address";
    EXPECT_EQ(s.LocalPort(), 5000);
    if (accepted) {
      EXPECT_EQ(s.Accept(), s.Handle());
      EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()), "10.0.0.5:50000");
    } else {
      EXPECT_EQ(s.Accept(), -1);
      EXPECT_EQ(s.LastError(), kErrNonRecoverable);
    }
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
  }
  FakePeer refusing("> 05 01 00 | < 05 FF");
  refusing.Start();
  TTCPBlockSocket s;
  UseSocks(s, refusing);
  s.Listen();
  EXPECT_EQ(s.LastError(), kErrNonRecoverable);
}

TEST(Tunnel, RequestLines) {
  const std::tuple<const char*, const char*, const char*, const char*, const char*> rows[] = {
      {"", "", "10.0.0.1", "http", "CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n"},
      {"kova", "pw", "target.example", "8443",
       "CONNECT target.example:8443 HTTP/1.0\r\nProxy-Authorization: Basic a292YTpwdw==\r\n\r\n"},
      {"u", "", "10.0.0.1", "80",  // an empty password keeps the colon
       "CONNECT 10.0.0.1:80 HTTP/1.0\r\nProxy-Authorization: Basic dTo=\r\n\r\n"},
      {"", "", "::1", "80", "CONNECT [::1]:80 HTTP/1.0\r\n\r\n"},
      {"", "", "cafe", "80", "CONNECT cafe:80 HTTP/1.0\r\n\r\n"},
  };
  for (const auto& [user, password, host, port, request] : rows) {
    FakePeer proxy;
    proxy.Expect(request).Reply("HTTP/1.0 200 OK\r\n\r\n").Start();
    TTCPBlockSocket s;
    UseTunnel(s, proxy);
    s.TunnelUser = user;
    s.TunnelPassword = password;
    s.Connect(host, port);
    EXPECT_EQ(s.LastError(), 0);
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Received(), request) << "nothing but the request";
  }
}

TEST(Tunnel, AnswersDecide) {
  // {how the proxy answers: ' ' at once, '~' byte by byte, 'x' then closes; answer; bytes of
  // the target behind the answer; error}
  const std::tuple<char, const char*, const char*, int> rows[] = {
      {' ', "HTTP/1.1 201 Created\r\n\r\n", "", 0},
      {' ', "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {' ', "HTTP/1.0 200 OK\nVia: fake\n\nhi", "hi", 0},
      {'~', "HTTP/1.0 200 OK\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {' ', "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 10\r\n\r\n0123456789",
       "", kErrNetUnusable},
      {' ', "HTTP/1.0 502 Bad Gateway\r\n\r\n", "", kErrNetUnusable},
      {' ', "HTTP/1.0 2\r\n\r\n", "", kErrNetUnusable},  // too short to judge
      {' ', "HTTP/1.0 200\r\n\r\n", "", 0},
      {' ', "HTTP/1.0 407 No\r\nHTTP/1.0 200 OK\r\n\r\n", "", 0},  // a later status line wins
      {' ', "HTTP/1.0 200 OK\r\nHTTP/1.1 503 Busy\r\n\r\n", "", kErrNetUnusable},
      {' ', "X-Note: HTTP/1.0 200 OK\r\n\r\n", "", kErrNetUnusable},
      {' ', "SSH-2.0-OpenSSH\r\n\r\n", "", kErrNetUnusable},
      {' ', "HTTP/1.0 200 OK\r\n", "", kErrTimedOut},  // the header block never ends
      {'x', "HTTP/1.0 403 Forb", "", kErrConnReset},
  };
  for (const auto& [how, answer, rest, error] : rows) {
    SCOPED_TRACE(answer);
    FakePeer proxy;
    proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n");
    if (how == '~') proxy.ReplyBytewise(answer);
    if (how != '~') proxy.Reply(answer);
    if (how == 'x') proxy.CloseNow();
    proxy.Start();
    TTCPBlockSocket s;
    UseTunnel(s, proxy, 1000);  // the proxy stays open after its answer: a wait past the end fails
    s.Connect("10.0.0.1", "80");
    EXPECT_EQ(s.LastError(), error) << s.LastErrorText();
    if (error != kErrTimedOut) { EXPECT_EQ(s.TunnelOpen(), error == 0); }
    EXPECT_EQ(s.TunnelTargetHost() + ":" + s.TunnelTargetPort(), "10.0.0.1:80");
    const std::string behind = rest;
    if (!behind.empty()) { EXPECT_EQ(s.ReceiveExactText(static_cast<int>(behind.size()), 3000), behind); }
    s.Close();
    proxy.Finish();
  }
}

// One object reused across paths reports each connection's own peer, never a stale one.
TEST(ProxyReporting, ReusedObjectReportsTheCurrentPath) {
  test::EchoServer echo;
  TTCPBlockSocket s;
  const std::tuple<char, const char*, const char*, std::string> paths[] = {
      {'h', "2001:db8::5", "8080", "CONNECT [2001:db8::5]:8080 HTTP/1.0\r\n\r\n"},
      {'s', "10.0.0.7", "22", "> 05 01 00 | < 05 00 | > 05 01 00 01 0A 00 00 07 00 16 | < 05 00 00 01 7F 00 00 01 10 00"},
      {'h', "10.0.0.8", "80", "CONNECT 10.0.0.8:80 HTTP/1.0\r\n\r\n"},
      {'d', "127.0.0.1", "", ""},
  };
  for (const auto& [path, host, port, script] : paths) {
    SCOPED_TRACE(host);
    FakePeer proxy(path == 's' ? script : "");
    if (path == 'h') proxy.Expect(script).Reply("HTTP/1.0 200 OK\r\n\r\n");
    if (path != 'd') proxy.Start();
    s.SocksProxyHost = s.TunnelProxyHost = "";
    if (path == 's') UseSocks(s, proxy);
    if (path == 'h') UseTunnel(s, proxy);
    s.Connect(host, path == 'd' ? echo.portText() : port);
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.SocksActive(), path == 's');
    EXPECT_EQ(s.TunnelOpen(), path == 'h');
    const std::string shown = path == 'h' && host[0] == '2' ? "[2001:db8::5]" : host;
    EXPECT_EQ(s.RemoteAddressText() + " " + std::to_string(s.RemotePort()), shown + " " + (path == 'd' ? echo.portText() : port));
    if (path == 'h') { EXPECT_EQ(s.LocalAddressText(), "127.0.0.1") << "the local side is the handle's own"; }
    s.Close();
    EXPECT_EQ(s.RemoteAddressText(), shown) << "still shown after Close";
  }
}

}  // namespace
}  // namespace kova
