// The program socket class: path choice, the HTTP-then-SOCKS chain, and the pumps' receive.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include "engine/ExtTCPSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/FakePeer.h"
#include "support/Loopback.h"
#include "support/RealProxies.h"

namespace kova {
namespace {

using test::FakePeer;
using test::FromHex;
using test::RealProxy;

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const std::string kGreet = FromHex("05 01 00");
const std::string kRequest10001 = FromHex("05 01 00 01 0A 00 00 01 00 50");
const std::string kReplyOk = FromHex("05 00 00 01 0A 09 08 07 04 38");
const std::string kOpen = "HTTP/1.0 200 Connection established\r\n\r\n";

// A loopback port where nothing listens: a SOCKS host that only ever appears inside a CONNECT.
std::string DeadPort() {
  test::RawListener l;
  const std::string port = l.portText();
  l.Close();
  return port;
}

std::string Pending(TExtTCPSocket& s, int maxLength, int timeoutMs = 2000) {
  std::string buf(static_cast<size_t>(std::max(maxLength, 1)), '\0');
  const int n = s.ReceivePending(buf.data(), maxLength, timeoutMs);
  return buf.substr(0, static_cast<size_t>(std::max(n, 0)));
}

// ---- path table -------------------------------------------------------------------------------

// The first hop of each row sees its own first bytes: data, a SOCKS greeting, or a CONNECT for
// the target or for the SOCKS proxy.
TEST(ExtConnectPath, EachRowReachesItsFirstHop) {
  const std::string deadPort = DeadPort();
  struct Row {
    const char* what;
    bool socks, tunnel;
    std::string firstBytes;
  } rows[] = {
      {"direct", false, false, "ping"},
      {"SOCKS only", true, false, kGreet},
      {"tunnel only", false, true, "CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n"},
      {"chain", true, true, "CONNECT 127.0.0.1:" + deadPort + " HTTP/1.0\r\n\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FakePeer hop;
    hop.Expect(row.firstBytes).StepTimeout(2000).Start();
    TExtTCPSocket s;
    s.SocksTimeout = s.TunnelTimeout = 100;
    std::string host = "10.0.0.1";
    if (row.socks) {
      s.SocksProxyHost = row.tunnel ? "127.0.0.1" : hop.host();
      s.SocksProxyPort = row.tunnel ? deadPort : hop.portText();
    }
    if (row.tunnel) {
      s.TunnelProxyHost = hop.host();
      s.TunnelProxyPort = hop.portText();
    }
    if (!row.socks && !row.tunnel) host = hop.host();
    s.Connect(host, row.socks || row.tunnel ? "80" : hop.portText());
    if (!row.socks && !row.tunnel) {
      EXPECT_EQ(s.LastError(), 0);
      s.SendText("ping");
    } else {
      EXPECT_EQ(s.LastError(), kErrTimedOut) << "the hop stays silent";
    }
    s.Close();
    hop.Finish();
    EXPECT_EQ(hop.Mismatch(), "");
    EXPECT_EQ(hop.Received(), row.firstBytes);
  }
}

TEST(ExtConnectChain, SocksExchangeRunsInsideTheTunnel) {
  const std::string deadPort = DeadPort();
  FakePeer http;
  http.Expect("CONNECT 127.0.0.1:" + deadPort +
              " HTTP/1.0\r\nProxy-Authorization: Basic aDpw\r\n\r\n")
      .Reply(kOpen)
      .Expect(FromHex("05 02 02 00"))
      .Reply(FromHex("05 02"))
      .Expect(FromHex("01 01 73 01 74"))
      .Reply(FromHex("01 00"))
      .Expect(kRequest10001)
      .Reply(kReplyOk + "hello from target")
      .Start();
  TExtTCPSocket s;
  s.TunnelProxyHost = http.host();
  s.TunnelProxyPort = http.portText();
  s.TunnelUser = "h";
  s.TunnelPassword = "p";
  s.SocksProxyHost = "127.0.0.1";
  s.SocksProxyPort = deadPort;
  s.SocksUser = "s";
  s.SocksPassword = "t";
  s.Connect("10.0.0.1", "80");
  ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_TRUE(s.TunnelOpen());
  EXPECT_TRUE(s.SocksActive());
  EXPECT_EQ(s.TunnelTargetHost(), "127.0.0.1");
  // The SOCKS view wins: the target the relay asked for and the address the proxy bound.
  EXPECT_EQ(s.RemoteAddressText(), "10.0.0.1");
  EXPECT_EQ(s.RemotePort(), 80);
  EXPECT_EQ(s.LocalAddressText(), "10.9.8.7");
  EXPECT_EQ(s.LocalPort(), 1080);
  EXPECT_EQ(Pending(s, 8192), "hello from target");
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

TEST(ExtConnectChain, HttpRefusalSendsNoSocksByteAndKeepsTheSocksReport) {
  const std::string deadPort = DeadPort();
  const std::string connect = "CONNECT 127.0.0.1:" + deadPort + " HTTP/1.0\r\n\r\n";
  TExtTCPSocket s;
  s.SocksProxyHost = "127.0.0.1";
  s.SocksProxyPort = deadPort;
  {
    FakePeer http;
    http.Expect(connect)
        .Reply(kOpen)
        .Expect(kGreet)
        .Reply(FromHex("05 00"))
        .Expect(kRequest10001)
        .Reply(kReplyOk)
        .Start();
    s.TunnelProxyHost = http.host();
    s.TunnelProxyPort = http.portText();
    s.Connect("10.0.0.1", "80");
    ASSERT_EQ(s.LastError(), 0);
    s.Close();
    http.Finish();
  }
  FakePeer http;
  http.Expect(connect).Reply("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n").Start();
  s.TunnelProxyPort = http.portText();
  s.Connect("10.0.0.2", "443");
  EXPECT_EQ(s.LastError(), kErrNetUnusable);
  EXPECT_FALSE(s.TunnelOpen());
  EXPECT_FALSE(s.SocksActive()) << "this connection never spoke SOCKS";
  EXPECT_EQ(s.SocksLocalHost(), "10.9.8.7");
  EXPECT_EQ(s.SocksLocalPort(), "1080");
  EXPECT_EQ(s.SocksTargetHost(), "10.0.0.1");
  EXPECT_EQ(s.SocksTargetPort(), "80");
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Received(), connect) << "no SOCKS byte after a refused tunnel";
}

TEST(ExtConnectChain, SocksRefusalInsideTheTunnel) {
  const std::string deadPort = DeadPort();
  FakePeer http;
  http.Expect("CONNECT 127.0.0.1:" + deadPort + " HTTP/1.0\r\n\r\n")
      .Reply(kOpen)
      .Expect(kGreet)
      .Reply(FromHex("05 FF"))
      .Start();
  TExtTCPSocket s;
  s.TunnelProxyHost = http.host();
  s.TunnelProxyPort = http.portText();
  s.SocksProxyHost = "127.0.0.1";
  s.SocksProxyPort = deadPort;
  s.Connect("srv", "http");
  EXPECT_EQ(s.LastError(), kErrNetUnusable);
  EXPECT_FALSE(s.SocksActive());
  EXPECT_EQ(s.SocksTargetHost(), "srv") << "as passed in, not resolved";
  EXPECT_EQ(s.SocksTargetPort(), "http");
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

TEST(ExtListen, BindAtASocksProxyBehindATunnel) {
  const std::string deadPort = DeadPort();
  TExtTCPSocket s;
  s.Bind("127.0.0.1", "0");
  ASSERT_EQ(s.LastError(), 0);
  const int port = s.TBlockSocket::LocalPort();
  FakePeer http;
  http.Expect("CONNECT 127.0.0.1:" + deadPort + " HTTP/1.0\r\n\r\n")
      .Reply(kOpen)
      .Expect(kGreet)
      .Reply(FromHex("05 00"))
      .Expect(FromHex("05 02 00 01 7F 00 00 01") +
              std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)})
      .Reply(FromHex("05 00 00 01 0A 00 00 09 13 88"))
      .Start();
  s.TunnelProxyHost = http.host();
  s.TunnelProxyPort = http.portText();
  s.SocksProxyHost = "127.0.0.1";
  s.SocksProxyPort = deadPort;
  s.Listen();
  EXPECT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_EQ(s.LocalAddressText(), "10.0.0.9");
  EXPECT_EQ(s.LocalPort(), 5000);
  EXPECT_EQ(s.SocksTargetHost(), "");
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

// ---- ReceivePending ---------------------------------------------------------------------------

struct DirectPair {
  explicit DirectPair(FakePeer& peer) {
    peer.Start();
    s.Connect(peer.host(), peer.portText());
  }
  TExtTCPSocket s;
};

TEST(ReceivePending, NonPositiveLengthReturnsAtOnce) {
  FakePeer peer;
  DirectPair p(peer);
  ASSERT_EQ(p.s.LastError(), 0);
  char buf[4];
  for (int length : {0, -1}) {
    const auto start = Clock::now();
    EXPECT_EQ(p.s.ReceivePending(buf, length, 5000), 0);
    EXPECT_EQ(p.s.LastError(), 0);
    EXPECT_LT(MsSince(start), 1000);
  }
  p.s.Close();
  peer.Finish();
}

TEST(ReceivePending, HandsOutAtMostMaxLengthOfWhatIsQueued) {
  const std::string data(20000, 'q');
  FakePeer peer;
  peer.Reply(data);
  DirectPair p(peer);
  ASSERT_EQ(p.s.LastError(), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return p.s.BytesAvailable() >= 20000; }));
  std::string buf(8192, '\0');
  for (int expected : {8192, 8192, 3616}) {
    EXPECT_EQ(p.s.ReceivePending(buf.data(), 8192, 100), expected);
    EXPECT_EQ(p.s.LastError(), 0);
  }
  EXPECT_EQ(p.s.BytesReceived(), 20000u);
  p.s.Close();
  peer.Finish();
}

TEST(ReceivePending, TimeOutThenLaterData) {
  FakePeer peer;
  peer.Expect("go").Reply("late");
  DirectPair p(peer);
  ASSERT_EQ(p.s.LastError(), 0);
  char buf[16];
  const auto start = Clock::now();
  EXPECT_EQ(p.s.ReceivePending(buf, sizeof buf, 100), 0);
  EXPECT_EQ(p.s.LastError(), kErrTimedOut);
  EXPECT_GE(MsSince(start), 90);
  p.s.SendText("go");
  EXPECT_EQ(Pending(p.s, 16), "late");
  EXPECT_EQ(p.s.LastError(), 0);
  p.s.Close();
  peer.Finish();
}

TEST(ReceivePending, PeerCloseIsAReset) {
  FakePeer peer;
  peer.Reply("bye").CloseNow();
  DirectPair p(peer);
  ASSERT_EQ(p.s.LastError(), 0);
  EXPECT_EQ(Pending(p.s, 16), "bye");
  char buf[16];
  EXPECT_EQ(p.s.ReceivePending(buf, sizeof buf, 2000), 0);
  EXPECT_EQ(p.s.LastError(), kErrConnReset);
  peer.Finish();
}

TEST(ReceivePending, ClosedObjectEndsThePumpInsteadOfIdling) {
  TExtTCPSocket s;
  char buf[16];
  EXPECT_EQ(s.ReceivePending(buf, sizeof buf, 100), 0);
  EXPECT_NE(s.LastError(), 0);
  EXPECT_NE(s.LastError(), kErrTimedOut);
}

TEST(ReceivePending, CloseFromAnotherThreadWakesIt) {
  FakePeer peer;
  DirectPair p(peer);
  ASSERT_EQ(p.s.LastError(), 0);
  std::atomic<int> result{-2};
  std::atomic<bool> done{false};
  const auto start = Clock::now();
  std::thread pump([&] {
    char buf[64];
    result = p.s.ReceivePending(buf, sizeof buf, 10000);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block; correct either way
  p.s.Close();
  EXPECT_TRUE(test::WaitUntil([&] { return done.load(); }, std::chrono::seconds(3)));
  pump.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(MsSince(start), 5000);
  peer.Finish();
}

// A target that speaks first through a proxy: its bytes came in with the proxy's reply.
TEST(ReceivePending, BytesLeftByTheProxyExchangeComeFirstAndInOrder) {
  struct Case {
    const char* what;
    bool socks;
  } cases[] = {{"SOCKS", true}, {"HTTP tunnel", false}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    if (k.socks) {
      proxy.Expect(kGreet)
          .Reply(FromHex("05 00"))
          .Expect(kRequest10001)
          .Reply(kReplyOk + "ABCDEFGHIJ");
    } else {
      proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n").Reply(kOpen + "ABCDEFGHIJ");
    }
    proxy.Expect("more").Reply("KLM").Start();
    TExtTCPSocket s;
    if (k.socks) {
      s.SocksProxyHost = proxy.host();
      s.SocksProxyPort = proxy.portText();
    } else {
      s.TunnelProxyHost = proxy.host();
      s.TunnelProxyPort = proxy.portText();
    }
    s.Connect("10.0.0.1", "80");
    ASSERT_EQ(s.LastError(), 0);
    std::string got;
    while (got.size() < 10) {
      const std::string piece = Pending(s, 4);
      ASSERT_FALSE(piece.empty()) << "error " << s.LastError();
      EXPECT_LE(piece.size(), 4u);
      got += piece;
    }
    EXPECT_EQ(got, "ABCDEFGHIJ");
    s.SendText("more");
    EXPECT_EQ(Pending(s, 8192), "KLM");
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
  }
}

// ---- through real proxies ---------------------------------------------------------------------

std::unique_ptr<RealProxy> StartProxy(RealProxy::Kind kind,
                                      RealProxy::Credentials credentials = {}) {
  std::string error;
  auto proxy = RealProxy::Start(kind, credentials, &error);
  EXPECT_TRUE(proxy) << error;
  return proxy;
}

// Sends a payload and collects the echo with the pumps' receive.
void ExpectEchoByPending(TExtTCPSocket& s) {
  std::string payload;
  for (int i = 0; i < 30000; ++i) payload += static_cast<char>((i * 31 + i / 256) & 0xFF);
  size_t sent = 0;
  while (sent < payload.size()) {
    const int n = s.SendBytes(payload.data() + sent, static_cast<int>(payload.size() - sent));
    ASSERT_GT(n, 0) << s.LastErrorText();
    sent += static_cast<size_t>(n);
  }
  std::string back;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (back.size() < payload.size() && Clock::now() < deadline) {
    std::string piece = Pending(s, 8192, 100);
    if (piece.empty()) {
      ASSERT_EQ(s.LastError(), kErrTimedOut) << s.LastErrorText();
    }
    EXPECT_LE(piece.size(), 8192u);
    back += piece;
  }
  EXPECT_TRUE(back == payload) << "echo differs: " << back.size() << " of " << payload.size()
                               << " bytes";
}

TEST(ExtRealChain, TinyproxyThenSocksServer) {
  test::EchoServer echo;
  auto http = StartProxy(RealProxy::Kind::Tinyproxy, {"web", "pass"});
  auto microsocks = StartProxy(RealProxy::Kind::Microsocks, {"sock", "word"});
  auto dante = StartProxy(RealProxy::Kind::Dante);
  ASSERT_TRUE(http && microsocks && dante);
  struct Case {
    const char* what;
    const RealProxy* socks;
    TSocksType version;
    std::string user, password;
  } cases[] = {
      {"tinyproxy then microsocks (SOCKS 5, user and password)", microsocks.get(),
       TSocksType::Socks5, "sock", "word"},
      {"tinyproxy then dante (SOCKS 5)", dante.get(), TSocksType::Socks5, "", ""},
      {"tinyproxy then dante (SOCKS 4)", dante.get(), TSocksType::Socks4, "", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TExtTCPSocket s;
    s.TunnelProxyHost = http->host();
    s.TunnelProxyPort = http->portText();
    s.TunnelUser = "web";
    s.TunnelPassword = "pass";
    s.TunnelTimeout = 10000;
    s.SocksProxyHost = k.socks->host();
    s.SocksProxyPort = k.socks->portText();
    s.SocksVersion = k.version;
    s.SocksUser = k.user;
    s.SocksPassword = k.password;
    s.SocksTimeout = 10000;
    s.Connect(echo.host(), echo.portText());
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText() << "\n"
                                << http->Log() << "\n"
                                << k.socks->Log();
    EXPECT_TRUE(s.TunnelOpen());
    EXPECT_TRUE(s.SocksActive());
    EXPECT_EQ(s.RemoteAddressText(), echo.host());
    EXPECT_EQ(s.RemotePort(), echo.port());
    ExpectEchoByPending(s);
  }
}

TEST(ExtRealChain, WrongSocksPasswordBehindTinyproxy) {
  test::EchoServer echo;
  auto http = StartProxy(RealProxy::Kind::Tinyproxy);
  auto socks = StartProxy(RealProxy::Kind::Microsocks, {"sock", "word"});
  ASSERT_TRUE(http && socks);
  TExtTCPSocket s;
  s.TunnelProxyHost = http->host();
  s.TunnelProxyPort = http->portText();
  s.SocksProxyHost = socks->host();
  s.SocksProxyPort = socks->portText();
  s.SocksUser = "sock";
  s.SocksPassword = "nope";
  s.Connect(echo.host(), echo.portText());
  EXPECT_EQ(s.LastError(), kErrNetUnusable);
  EXPECT_TRUE(s.TunnelOpen()) << "the tunnel itself was granted";
  EXPECT_FALSE(s.SocksActive());
}

}  // namespace
}  // namespace kova
