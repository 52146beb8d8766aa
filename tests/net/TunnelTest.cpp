// The HTTP CONNECT tunnel against scripted proxies on loopback.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/BlockSocket.h"
#include "support/FakePeer.h"
#include "support/Loopback.h"

namespace kova {
namespace {

using test::FakePeer;

// Records each send of the request so that its split into sends can be checked.
class RecordingSocket : public TTCPBlockSocket {
 public:
  int SendText(const std::string& text) override {
    sends.push_back(text);
    return TTCPBlockSocket::SendText(text);
  }
  std::vector<std::string> sends;
};

void UseProxy(TTCPBlockSocket& s, const FakePeer& proxy, int timeoutMs = 3000) {
  s.TunnelProxyHost = proxy.host();
  s.TunnelProxyPort = proxy.portText();
  s.TunnelTimeout = timeoutMs;
}

const std::string kOpen = "HTTP/1.0 200 Connection established\r\n\r\n";

TEST(TunnelRequest, LinesAndSends) {
  struct Case {
    const char* what;
    std::string user, password, host, port;
    std::vector<std::string> sends;
  } cases[] = {
      {"no user", "", "", "10.0.0.1", "80", {"CONNECT 10.0.0.1:80 HTTP/1.0\r\n", "\r\n"}},
      {"basic authentication",
       "kova",
       "pw",
       "target.example",
       "8443",
       {"CONNECT target.example:8443 HTTP/1.0\r\n", "Proxy-Authorization: Basic a292YTpwdw==\r\n",
        "\r\n"}},
      {"empty password keeps the colon",
       "u",
       "",
       "10.0.0.1",
       "80",
       {"CONNECT 10.0.0.1:80 HTTP/1.0\r\n", "Proxy-Authorization: Basic dTo=\r\n", "\r\n"}},
      {"service name", "", "", "10.0.0.1", "http", {"CONNECT 10.0.0.1:80 HTTP/1.0\r\n", "\r\n"}},
      {"IPv6 literal", "", "", "::1", "80", {"CONNECT [::1]:80 HTTP/1.0\r\n", "\r\n"}},
      {"hex-looking name is no literal",
       "",
       "",
       "cafe",
       "80",
       {"CONNECT cafe:80 HTTP/1.0\r\n", "\r\n"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    std::string wire;
    for (const auto& s : k.sends) wire += s;
    FakePeer proxy;
    proxy.Expect(wire).Reply(kOpen).Start();
    RecordingSocket s;
    UseProxy(s, proxy);
    s.TunnelUser = k.user;
    s.TunnelPassword = k.password;
    s.Connect(k.host, k.port);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.sends, k.sends);
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
    EXPECT_EQ(proxy.Received(), wire) << "nothing but the request";
  }
}

TEST(TunnelAnswer, StatusLinesDecide) {
  struct Case {
    const char* what;
    std::string answer;
    int error;
  } cases[] = {
      {"200", kOpen, 0},
      {"201", "HTTP/1.1 201 Created\r\n\r\n", 0},
      {"204", "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n", 0},
      {"lines ending in LF only", "HTTP/1.0 200 OK\nVia: fake\n\n", 0},
      {"407 with a body that is not read",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"k\"\r\n"
       "Content-Length: 10\r\n\r\n0123456789",
       kErrNetUnusable},
      {"502", "HTTP/1.0 502 Bad Gateway\r\n\r\n", kErrNetUnusable},
      {"status line too short to judge", "HTTP/1.0 2\r\n\r\n", kErrNetUnusable},
      {"12-byte status line is judged", "HTTP/1.0 200\r\n\r\n", 0},
      {"a later status line overrides", "HTTP/1.0 407 No\r\nHTTP/1.0 200 OK\r\n\r\n", 0},
      {"a later refusal overrides", "HTTP/1.0 200 OK\r\nHTTP/1.1 503 Busy\r\n\r\n",
       kErrNetUnusable},
      {"status text inside a header does not count", "X-Note: HTTP/1.0 200 OK\r\n\r\n",
       kErrNetUnusable},
      {"not HTTP at all", "SSH-2.0-OpenSSH\r\n\r\n", kErrNetUnusable},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n").Reply(k.answer).Start();
    TTCPBlockSocket s;
    UseProxy(s, proxy, 5000);
    const auto start = std::chrono::steady_clock::now();
    s.Connect("10.0.0.1", "80");
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(s.LastError(), k.error) << s.LastErrorText();
    EXPECT_EQ(s.TunnelOpen(), k.error == 0);
    // The answer ends at its empty line; the proxy keeps the connection open and says no more.
    EXPECT_LT(ms, 2500) << "waited past the end of the header block";
    EXPECT_EQ(s.TunnelTargetHost(), "10.0.0.1");
    EXPECT_EQ(s.TunnelTargetPort(), "80");
    s.Close();
    proxy.Finish();
  }
}

TEST(TunnelAnswer, SplitIntoSingleBytesWithTargetBytesBehind) {
  FakePeer proxy;
  proxy.Expect("CONNECT 10.0.0.1:25 HTTP/1.0\r\n\r\n")
      .ReplyBytewise("HTTP/1.0 200 OK\r\n\r\n220 mail\r\n")
      .Start();
  TTCPBlockSocket s;
  UseProxy(s, proxy);
  s.Connect("10.0.0.1", "25");
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.ReceiveUntil(3000, "\r\n"), "220 mail");
  s.Close();
  proxy.Finish();
}

TEST(TunnelFailure, SilentOrClosingProxy) {
  {
    FakePeer proxy;
    proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n").Reply("HTTP/1.0 200 OK\r\n").Start();
    TTCPBlockSocket s;
    UseProxy(s, proxy, 200);
    s.Connect("10.0.0.1", "80");
    EXPECT_EQ(s.LastError(), kErrTimedOut) << "the header block never ended";
    EXPECT_EQ(s.TunnelTargetHost(), "10.0.0.1");
    s.Close();
    proxy.Finish();
  }
  {
    FakePeer proxy;
    proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n")
        .Reply("HTTP/1.0 403 Forb")
        .CloseNow()
        .Start();
    TTCPBlockSocket s;
    UseProxy(s, proxy);
    s.Connect("10.0.0.1", "80");
    EXPECT_EQ(s.LastError(), kErrConnReset);
    EXPECT_FALSE(s.TunnelOpen());
    s.Close();
    proxy.Finish();
  }
}

TEST(TunnelReporting, TargetWhileOpenOwnPeerAfterADirectConnect) {
  FakePeer proxy;
  proxy.Expect("CONNECT [2001:db8::5]:8080 HTTP/1.0\r\n\r\n").Reply(kOpen).Start();
  TTCPBlockSocket s;
  UseProxy(s, proxy);
  s.Connect("2001:db8::5", "8080");
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.TunnelTargetHost(), "[2001:db8::5]");
  EXPECT_EQ(s.RemoteAddressText(), "[2001:db8::5]");
  EXPECT_EQ(s.RemotePort(), 8080);
  EXPECT_EQ(s.LocalAddressText(), "127.0.0.1") << "the local side is the handle's own";
  EXPECT_EQ(s.LocalPort(), s.TBlockSocket::LocalPort());
  s.Close();
  proxy.Finish();
  EXPECT_EQ(s.RemoteAddressText(), "[2001:db8::5]") << "still shown after Close";

  // Reused for a direct connection: the real peer, not the old tunnel target.
  test::EchoServer echo;
  s.TunnelProxyHost.clear();
  s.Connect(echo.host(), echo.portText());
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_FALSE(s.TunnelOpen());
  EXPECT_EQ(s.RemoteAddressText(), echo.host());
  EXPECT_EQ(s.RemotePort(), echo.port());
}

// A SOCKS connection after a tunnel (and the reverse) reports the newer path's target.
TEST(TunnelReporting, SwitchingBetweenProxyKinds) {
  TTCPBlockSocket s;
  {
    FakePeer socks;
    socks.Expect(test::FromHex("05 01 00"))
        .Reply(test::FromHex("05 00"))
        .Expect(test::FromHex("05 01 00 01 0A 00 00 07 00 16"))
        .Reply(test::FromHex("05 00 00 01 7F 00 00 01 10 00"))
        .Start();
    s.SocksProxyHost = socks.host();
    s.SocksProxyPort = socks.portText();
    s.Connect("10.0.0.7", "22");
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.RemoteAddressText(), "10.0.0.7");
    s.Close();
    socks.Finish();
  }
  {
    FakePeer http;
    http.Expect("CONNECT 10.0.0.8:80 HTTP/1.0\r\n\r\n").Reply(kOpen).Start();
    s.SocksProxyHost.clear();
    UseProxy(s, http);
    s.Connect("10.0.0.8", "80");
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_FALSE(s.SocksActive());
    EXPECT_EQ(s.RemoteAddressText(), "10.0.0.8");
    EXPECT_EQ(s.RemotePort(), 80);
    EXPECT_EQ(s.LocalAddressText(), "127.0.0.1");
    s.Close();
    http.Finish();
  }
  {
    FakePeer socks;
    socks.Expect(test::FromHex("04 01 00 19 0A 00 00 09 00"))
        .Reply(test::FromHex("00 5A 00 00 00 00 00 00"))
        .Start();
    s.SocksProxyHost = socks.host();
    s.SocksProxyPort = socks.portText();
    s.SocksVersion = TSocksType::Socks4;
    s.Connect("10.0.0.9", "25");
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_FALSE(s.TunnelOpen());
    EXPECT_EQ(s.RemoteAddressText(), "10.0.0.9");
    s.Close();
    socks.Finish();
  }
}

}  // namespace
}  // namespace kova
