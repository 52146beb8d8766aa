// SOCKS 4/4a/5 and HTTP CONNECT against scripted loopback proxies; other addresses are only bytes.

#include <gtest/gtest.h>

#include "net/BlockSocket.h"
#include "net/NetUtil.h"
#include "support/FakePeer.h"

namespace kova {
namespace {

using test::FakePeer;
using test::ToHex;
constexpr auto V4 = TSocksType::Socks4;
constexpr auto V5 = TSocksType::Socks5;

void UseProxy(bool socks, TTCPBlockSocket& s, const FakePeer& p, int timeoutMs = 3000) {
  (socks ? s.SocksProxyHost : s.TunnelProxyHost) = p.host();
  (socks ? s.SocksProxyPort : s.TunnelProxyPort) = p.portText();
  (socks ? s.SocksTimeout : s.TunnelTimeout) = timeoutMs;
}

std::string Side(TBlockSocket& s, bool local) {  // "address:port" of one end
  return local ? s.LocalAddressText() + ":" + std::to_string(s.LocalPort())
               : s.RemoteAddressText() + ":" + std::to_string(s.RemotePort());
}

TEST(Socks, ScriptedExchanges) {
  const std::string ok = "05 00 00 01 C6 33 64 07 04 38";  // success, bound at 198.51.100.7:1080
  const std::string hello = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | ";
  const std::string auth = "> 05 02 02 00 | < 05 02 | > ";
  const std::string done = " | < 01 00 | > 05 01 00 01 C0 00 02 01 00 50 | < " + ok;
  const std::string s4 = "> 04 01 00 50 C0 00 02 01 00 | < ";
  const std::string u255(255, 'u');
  constexpr int kRefused = kErrNetUnusable;
  // {what, version, user, password, target, port, script, error, reply code, local side ("" = not checked)}
  const std::tuple<const char*, TSocksType, std::string, std::string, std::string, std::string, std::string, int, int,
                   std::string> rows[] = {
    {"no authentication", V5, "", "", "192.0.2.1", "80", hello + "< " + ok, 0, 0, "198.51.100.7:1080"},
    {"user, empty password", V5, "u", "", "192.0.2.1", "80", auth + "01 01 75 00" + done, 0, 0, ""},
    {"255-byte user name", V5, u255, "p", "192.0.2.1", "80", auth + "01 FF" + ToHex(u255) + "01 70" + done, 0, 0, ""},
    {"no user, proxy insists", V5, "", "", "192.0.2.1", "80", "> 05 01 00 | < 05 02 | > 01 00 00" + done, 0, 0, ""},
    {"bad version, method", V5, "", "", "192.0.2.1", "80", "> 05 01 00 | < 04 00", kRefused, 0, ""},
    {"bad version, reply", V5, "", "", "192.0.2.1", "80", hello + "< 04 00 00 01 00 00 00 00 00 00", kRefused, -1, ""},
    {"unknown address type", V5, "", "", "192.0.2.1", "80", hello + "< 05 00 00 07 00 00 00 00 00 00", kRefused, -1, ""},
    {"reply names a host", V5, "", "", "192.0.2.1", "80", hello + "< 05 00 00 03 0B 70 72 6F 78 79 2E 6C 6F 63 61 6C 1F 90", 0, 0, "proxy.local:8080"},
    {"reply, empty name", V5, "", "", "192.0.2.1", "80", hello + "< 05 00 00 03 00 00 15", 0, 0, ":21"},
    {"reply, IPv6", V5, "", "", "192.0.2.1", "80", hello + "< 05 00 00 04 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 16", 0, 0, "fe80::2:22"},
    {"name target, single bytes", V5, "", "", "srv", "80", "> 05 01 00 | ~ 05 00 | > 05 01 00 03 03 73 72 76 00 50 | ~ 05 00 00 03 03 61 62 63 00 50", 0, 0, "abc:80"},
    {"hex-looking name", V5, "", "", "cafe", "http", "> 05 01 00 | < 05 00 | > 05 01 00 03 04 63 61 66 65 00 50 | < " + ok, 0, 0, ""},
    {"unknown service", V5, "", "", "192.0.2.1", "no-such-service", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 00 | < " + ok, 0, 0, ""},
    {"IPv6 target", V5, "", "", "2001:db8::a:1", "443", "> 05 01 00 | < 05 00 | > 05 01 00 04 20 01 0D B8 00 00 00 00 00 00 00 00 00 0A 00 01 01 BB | < " + ok, 0, 0, ""},
    // Values that do not fit a one-byte length fail before the proxy sees a single byte.
    {"256-byte user name", V5, std::string(256, 'u'), "p", "192.0.2.1", "80", "", kRefused, 0, ""},
    {"300-byte password", V5, "u", std::string(300, 'p'), "192.0.2.1", "80", "", kRefused, 0, ""},
    {"256-byte host name", V5, "", "", std::string(256, 'h'), "80", "", kRefused, 0, ""},
    {"SOCKS 4, leading zeros", V4, "", "", "0192.0.2.01", "80", s4 + "00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 bad first byte", V4, "", "", "192.0.2.1", "80", s4 + "04 5A 00 00 00 00 00 00", kRefused, -1, ""},
    {"SOCKS 4a with user id", V4, "me", "", "srv", "80", "> 04 01 00 50 00 00 00 01 6D 65 00 73 72 76 00 | < 00 5A 00 00 00 00 00 00", 0, 0x5A, ""},
    {"SOCKS 4 single bytes", V4, "", "", "192.0.2.1", "8080", "> 04 01 1F 90 C0 00 02 01 00 | ~ 00 5A 04 38 C6 33 64 07", 0, 0x5A, "198.51.100.7:1080"},
  };
  for (const auto& [what, version, user, password, host, port, script, error, replyCode, local] : rows) {
    SCOPED_TRACE(what);
    FakePeer proxy(script);
    TTCPBlockSocket s;
    UseProxy(true, s, proxy.Start(), 300);
    s.SocksVersion = version;
    s.SocksUser = user;
    s.SocksPassword = password;
    s.Connect(host, port);
    EXPECT_RESULT(s, s.SocksReplyCode(), replyCode, error);
    if (!local.empty()) { EXPECT_EQ(Side(s, true), local); }
    s.Close();
    // Nothing beyond the script: no request after a refusal, nothing after the reply.
    EXPECT_EQ(ToHex(proxy.Finish()), ToHex(proxy.Expected()));
  }
}

// Listening at the proxy: the first reply is where it listens ("0.0.0.0": its own), the second who came in.
TEST(Socks, ListenThenAccept) {
  // {the proxy's second reply ("" = it refuses any method), the peer Accept then reports}
  const std::pair<std::string, const char*> rows[] = {
      {"05 00 00 01 C0 00 02 05 C3 50", "192.0.2.5:50000"}, {"05 02 00 01 00 00 00 00 00 00", ""}, {"", ""}};
  for (const auto& [second, peer] : rows) {
    TTCPBlockSocket s;
    s.Bind("127.0.0.1", "0");
    const std::string port = ToHex(WordToBytes(static_cast<uint16_t>(s.TBlockSocket::LocalPort())));
    FakePeer proxy(second.empty() ? "> 05 01 00 | < 05 FF"
                                  : "> 05 01 00 | < 05 00 | > 05 02 00 01 7F 00 00 01" + port +
                                        "| < 05 00 00 01 00 00 00 00 13 88 | < " + second);
    UseProxy(true, s, proxy.Start());
    s.Listen();
    EXPECT_EQ(s.LastError(), second.empty() ? kErrNonRecoverable : 0) << s.LastErrorText();
    if (!second.empty()) {
      EXPECT_EQ(Side(s, true), proxy.host() + ":5000");
      EXPECT_RESULT(s, s.Accept(), *peer ? s.Handle() : -1, *peer ? 0 : kErrNonRecoverable);
      EXPECT_EQ(Side(s, false), *peer ? peer : ":0");
    }
    s.Close();
    EXPECT_EQ(ToHex(proxy.Finish()), ToHex(proxy.Expected()));
  }
}

// Lines and headers are bounded: a proxy that never ends them is a refusal that closes, not a memory sink.
TEST(Tunnel, AnswersDecide) {
  const std::string header = "X-Pad: " + std::string(1000, 'p') + "\r\n";  // 1009 bytes a line
  std::string fill = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 64; ++i) fill += header;
  const std::string pad(65536 - fill.size() - 7, 'y'), line(8192 - 14, 'z');  // to 64 KiB, to 8 KiB
  // {'<' at once, '~' byte by byte, 'x' then closes, '*' again and again; answer; the target's bytes behind; error}
  const std::tuple<char, std::string, const char*, int> rows[] = {
      {'<', "HTTP/1.1 201 Created\r\n\r\n", "", 0}, {'<', "HTTP/1.1 301 Moved\r\n\r\n", "", kErrNetUnusable},
      {'<', "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {'<', "HTTP/1.0 200 OK\nVia: fake\n\nhi", "hi", 0}, {'~', "HTTP/1.0 200 OK\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {'<', "HTTP/1.0 2\r\n\r\n", "", kErrNetUnusable}, {'<', "HTTP/1.0 200\r\n\r\n", "", 0},  // too short to judge
      {'<', "HTTP/1.0 407 No\r\nHTTP/1.0 200 OK\r\n\r\n", "", 0},  // a later status line wins
      {'<', "HTTP/1.0 200 OK\r\nHTTP/1.1 503 Busy\r\n\r\n", "", kErrNetUnusable},
      {'<', "X-Note: HTTP/1.0 200 OK\r\n\r\n", "", kErrNetUnusable},
      {'<', "HTTP/1.0 200 OK\r\n", "", kErrTimedOut},  // the header block never ends
      {'x', "HTTP/1.0 403 Forb", "", kErrConnReset}, {'*', "HTTP/1.0 200 " + line, "", kErrNetUnusable},
      {'<', "HTTP/1.0 200 " + line + "\r\n\r\n", "", 0}, {'<', "HTTP/1.0 200 " + line + "z\r\n\r\n", "", kErrNetUnusable},
      {'<', fill + fill.substr(17) + "\r\n", "", kErrNetUnusable},  // endless headers
      {'<', fill + "X: " + pad + "\r\n\r\n", "", 0}, {'<', fill + "X: " + pad + "y\r\n\r\n", "", kErrNetUnusable}};
  for (const auto& [how, answer, behind, error] : rows) {
    SCOPED_TRACE(answer.substr(0, 40) + "... of " + std::to_string(answer.size()));
    FakePeer proxy;
    proxy.Expect("CONNECT 192.0.2.1:80 HTTP/1.0\r\n\r\n").Step(how == 'x' ? '<' : how, answer).Script(how == 'x' ? "x" : "");
    TTCPBlockSocket s;
    // The proxy stays open after its answer: a wait past the end times out.
    UseProxy(false, s, proxy.Start(), error == kErrTimedOut ? 300 : 5000);
    s.Connect("192.0.2.1", "80");
    EXPECT_EQ(s.LastError(), error) << s.LastErrorText();
    if (error != kErrTimedOut) { EXPECT_EQ(s.TunnelOpen(), error == 0); }
    EXPECT_EQ(s.Handle() < 0, error != 0 && (how == '*' || answer.size() > 8192)) << "closed past a bound";
    if (*behind) { EXPECT_EQ(s.ReceiveExactText(static_cast<int>(strlen(behind)), 3000), behind); }
    s.Close();
  }
}

// One object reused across paths: each request as it should be, each connection's own peer, still after Close.
TEST(ProxyPaths, RequestsAndPeersOfAReusedObject) {
  test::EchoServer echo;
  TTCPBlockSocket s;
  const std::string socks = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 07 00 16 | < 05 00 00 01 7F 00 00 01 10 00";
  // {h(ttp)/s(ocks)/d(irect), user, password, target, port, peer as the request names it, credentials or script}
  const std::tuple<char, const char*, const char*, std::string, std::string, std::string, std::string> rows[] = {
      {'h', "", "", "2001:db8::5", "8080", "[2001:db8::5]:8080", ""}, {'s', "", "", "192.0.2.7", "22", "192.0.2.7:22", socks},
      {'h', "kova", "pw", "target.example", "8443", "target.example:8443", "a292YTpwdw=="},
      {'d', "", "", "127.0.0.1", echo.portText(), "127.0.0.1:" + echo.portText(), ""},
      {'h', "u", "", "192.0.2.8", "http", "192.0.2.8:80", "dTo="},  // an empty password keeps the colon
      {'h', "", "", "cafe", "80", "cafe:80", ""},
      {'h', "", "", "0192.000.002.001", "80", "192.0.2.1:80", ""}};  // decimal, as SOCKS reads it
  for (const auto& [path, user, password, host, port, shown, script] : rows) {
    SCOPED_TRACE(shown);
    FakePeer proxy(path == 's' ? script : "");
    const std::string credentials = script.empty() ? "" : "Proxy-Authorization: Basic " + script + "\r\n";
    if (path == 'h') proxy.Expect("CONNECT " + shown + " HTTP/1.0\r\n" + credentials + "\r\n").Reply("HTTP/1.0 200 OK\r\n\r\n");
    s.SocksProxyHost = s.TunnelProxyHost = "";
    if (path != 'd') UseProxy(path == 's', s, proxy.Start());
    s.TunnelUser = user;
    s.TunnelPassword = password;
    s.Connect(host, port);
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(std::make_pair(s.SocksActive(), s.TunnelOpen()), std::make_pair(path == 's', path == 'h'));
    EXPECT_EQ(Side(s, false), shown);
    if (path == 'h') { EXPECT_EQ(s.LocalAddressText(), "127.0.0.1") << "the local side is the handle's own"; }
    s.Close();
    EXPECT_EQ(s.RemoteAddressText(), shown.substr(0, shown.rfind(':'))) << "still shown after Close";
    EXPECT_EQ(ToHex(proxy.Finish()), ToHex(proxy.Expected())) << "nothing but the request";
  }
}

}  // namespace
}  // namespace kova
