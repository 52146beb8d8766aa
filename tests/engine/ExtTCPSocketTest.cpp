// The program socket class: path choice, the HTTP-then-SOCKS chain, the pumps' receive, and
// every proxy path through real proxy servers relaying to a loopback echo server.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include "engine/ExtTCPSocket.h"

#include <gtest/gtest.h>

#include <future>

#include "net/NetUtil.h"
#include "support/FakePeer.h"
#include "support/RealProxies.h"

namespace kova {
namespace {

using namespace std::chrono_literals;
using test::FakePeer;
using test::FromHex;
using test::RealProxy;
using Clock = std::chrono::steady_clock;

const std::string kSocksOk =
    "> 05 01 00 | < 05 00 | > 05 01 00 01 0A 00 00 01 00 50 | < 05 00 00 01 0A 09 08 07 04 38";
const std::string kOpen = "HTTP/1.0 200 OK\r\n\r\n";

// A chain's SOCKS proxy is reached only inside the CONNECT: a port where nothing listens.
struct Chain {
  std::string socksPort = test::RawListener().portText();
  std::string connect = "CONNECT 127.0.0.1:" + socksPort + " HTTP/1.0\r\n\r\n";
  void Use(TExtTCPSocket& s, const FakePeer& http) const {
    s.TunnelProxyHost = http.host();
    s.TunnelProxyPort = http.portText();
    s.SocksProxyHost = "127.0.0.1";
    s.SocksProxyPort = socksPort;
  }
};

std::string Pending(TExtTCPSocket& s, int maxLength, int timeoutMs = 2000) {
  std::string buf(static_cast<size_t>(std::max(maxLength, 1)), '\0');
  const int n = s.ReceivePending(buf.data(), maxLength, timeoutMs);
  return buf.substr(0, static_cast<size_t>(std::max(n, 0)));
}

TEST(ExtConnect, EachPathReachesItsFirstHop) {
  const Chain chain;
  const std::tuple<const char*, bool, bool, std::string> rows[] = {
      {"direct", false, false, "ping"},
      {"SOCKS", true, false, FromHex("05 01 00")},
      {"tunnel", false, true, "CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n"},
      {"tunnel then SOCKS", true, true, chain.connect},
  };
  for (const auto& [what, socks, tunnel, firstBytes] : rows) {
    SCOPED_TRACE(what);
    FakePeer hop;
    hop.Expect(firstBytes).StepTimeout(2000).Start();
    TExtTCPSocket s;
    s.SocksTimeout = s.TunnelTimeout = 100;
    if (socks) s.SocksProxyHost = "127.0.0.1";
    if (socks) s.SocksProxyPort = tunnel ? chain.socksPort : hop.portText();
    if (tunnel) s.TunnelProxyHost = hop.host();
    if (tunnel) s.TunnelProxyPort = hop.portText();
    const bool direct = !socks && !tunnel;
    s.Connect(direct ? hop.host() : "10.0.0.1", direct ? hop.portText() : "80");
    EXPECT_EQ(s.LastError(), direct ? 0 : kErrTimedOut) << "only the direct hop answers";
    if (direct) s.SendText("ping");
    s.Close();
    hop.Finish();
    EXPECT_EQ(hop.Received(), firstBytes);
  }
}

TEST(ExtConnect, ChainRunsTheSocksExchangeInsideTheTunnel) {
  const Chain chain;
  FakePeer http;
  http.Expect("CONNECT 127.0.0.1:" + chain.socksPort +
              " HTTP/1.0\r\nProxy-Authorization: Basic aDpw\r\n\r\n")
      .Reply(kOpen)
      .Script("> 05 02 02 00 | < 05 02 | > 01 01 73 01 74 | < 01 00 | > 05 01 00 01 0A 00 00 01 00 50")
      .Reply(FromHex("05 00 00 01 0A 09 08 07 04 38") + "hello from target")
      .Start();
  TExtTCPSocket s;
  chain.Use(s, http);
  s.TunnelUser = "h";
  s.TunnelPassword = "p";
  s.SocksUser = "s";
  s.SocksPassword = "t";
  s.Connect("10.0.0.1", "80");
  ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_TRUE(s.TunnelOpen() && s.SocksActive());
  EXPECT_EQ(s.TunnelTargetHost(), "127.0.0.1");
  // The SOCKS view wins: the target asked for, and the address the proxy bound.
  EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()), "10.0.0.1:80");
  EXPECT_EQ(s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), "10.9.8.7:1080");
  EXPECT_EQ(Pending(s, 8192), "hello from target") << "bytes behind the reply are not lost";
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

TEST(ExtConnect, ChainRefusalsStopTheExchange) {
  const Chain chain;
  TExtTCPSocket s;
  // A refused tunnel sends no SOCKS byte and does not claim an earlier connection's SOCKS state.
  for (const std::string& answer : {kOpen, std::string("HTTP/1.1 407 Auth Required\r\n\r\n")}) {
    FakePeer http;
    http.Expect(chain.connect).Reply(answer).Script(answer == kOpen ? kSocksOk : "").Start();
    chain.Use(s, http);
    s.Connect(answer == kOpen ? "10.0.0.1" : "10.0.0.2", "80");
    EXPECT_EQ(s.LastError(), answer == kOpen ? 0 : kErrNetUnusable);
    EXPECT_EQ(s.SocksActive(), answer == kOpen);
    EXPECT_EQ(s.TunnelOpen(), answer == kOpen);
    s.Close();
    http.Finish();
    EXPECT_EQ(http.Received(), http.Expected()) << "nothing after a refusal";
  }
  EXPECT_EQ(s.SocksLocalHost() + ":" + s.SocksLocalPort(), "10.9.8.7:1080");
  EXPECT_EQ(s.SocksTargetHost() + ":" + s.SocksTargetPort(), "10.0.0.1:80");

  FakePeer http;
  http.Expect(chain.connect).Reply(kOpen).Script("> 05 01 00 | < 05 FF").Start();
  chain.Use(s, http);
  s.Connect("srv", "http");
  EXPECT_EQ(s.LastError(), kErrNetUnusable);
  EXPECT_FALSE(s.SocksActive());
  EXPECT_EQ(s.SocksTargetHost() + ":" + s.SocksTargetPort(), "srv:http") << "as passed in";
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

TEST(ExtConnect, ListenAtASocksProxyBehindATunnel) {
  const Chain chain;
  TExtTCPSocket s;
  s.Bind("127.0.0.1", "0");
  ASSERT_EQ(s.LastError(), 0);
  const std::string port = test::ToHex(WordToBytes(static_cast<uint16_t>(s.TBlockSocket::LocalPort())));
  FakePeer http;
  http.Expect(chain.connect)
      .Reply(kOpen)
      .Script("> 05 01 00 | < 05 00 | > 05 02 00 01 7F 00 00 01 " + port + " | < 05 00 00 01 0A 00 00 09 13 88")
      .Start();
  chain.Use(s, http);
  s.Listen();
  EXPECT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_EQ(s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), "10.0.0.9:5000");
  s.Close();
  http.Finish();
  EXPECT_EQ(http.Mismatch(), "");
}

TEST(ReceivePending, LimitsTimeOutsAndClose) {
  FakePeer peer;
  peer.Reply(std::string(20000, 'q')).Expect("go").Reply("late").Expect("end").Reply("bye").CloseNow().Start();
  TExtTCPSocket s;
  s.Connect(peer.host(), peer.portText());
  ASSERT_EQ(s.LastError(), 0);
  char buf[8192];
  EXPECT_EQ(s.ReceivePending(buf, 0, 5000), 0) << "no wait for nothing";
  EXPECT_EQ(s.ReceivePending(buf, -1, 5000), 0);
  EXPECT_EQ(s.LastError(), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return s.BytesAvailable() >= 20000; }));
  for (int expected : {8192, 8192, 3616}) EXPECT_EQ(s.ReceivePending(buf, 8192, 100), expected);
  const auto t0 = Clock::now();
  EXPECT_EQ(s.ReceivePending(buf, 8192, 100), 0);
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  EXPECT_GE(Clock::now() - t0, 90ms);
  s.SendText("go");
  EXPECT_EQ(Pending(s, 16), "late");
  s.SendText("end");
  EXPECT_EQ(Pending(s, 16), "bye");
  EXPECT_EQ(s.ReceivePending(buf, 16, 2000), 0);
  EXPECT_EQ(s.LastError(), kErrConnReset);
  s.Close();
  // A closed object ends the pump with an error instead of idling in time-outs.
  EXPECT_EQ(s.ReceivePending(buf, 16, 100), 0);
  EXPECT_NE(s.LastError(), 0);
  EXPECT_NE(s.LastError(), kErrTimedOut);
}

TEST(ReceivePending, CloseFromAnotherThreadWakesIt) {
  FakePeer peer;
  peer.Start();
  TExtTCPSocket s;
  s.Connect(peer.host(), peer.portText());
  ASSERT_EQ(s.LastError(), 0);
  auto pump = std::async(std::launch::async, [&] { return Pending(s, 64, 10000); });
  std::this_thread::sleep_for(50ms);  // lets it block; correct either way
  s.Close();
  ASSERT_EQ(pump.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(pump.get(), "");
}

// A target that speaks first through a proxy: its bytes came in with the proxy's reply.
TEST(ReceivePending, BytesLeftByTheProxyExchangeComeFirstAndInOrder) {
  for (const bool socks : {true, false}) {
    SCOPED_TRACE(socks ? "SOCKS" : "tunnel");
    FakePeer proxy;
    if (socks) proxy.Script(kSocksOk.substr(0, kSocksOk.rfind('|'))).Reply(FromHex("05 00 00 01 0A 09 08 07 04 38") + "ABCDEFGHIJ");
    if (!socks) proxy.Expect("CONNECT 10.0.0.1:80 HTTP/1.0\r\n\r\n").Reply(kOpen + "ABCDEFGHIJ");
    proxy.Expect("more").Reply("KLM").Start();
    TExtTCPSocket s;
    (socks ? s.SocksProxyHost : s.TunnelProxyHost) = proxy.host();
    (socks ? s.SocksProxyPort : s.TunnelProxyPort) = proxy.portText();
    s.Connect("10.0.0.1", "80");
    ASSERT_EQ(s.LastError(), 0);
    std::string got;
    for (std::string piece = "-"; got.size() < 10 && !piece.empty(); got += piece) {
      piece = Pending(s, 4);
      EXPECT_LE(piece.size(), 4u);
    }
    EXPECT_EQ(got, "ABCDEFGHIJ");
    s.SendText("more");
    EXPECT_EQ(Pending(s, 8192), "KLM");
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
  }
}

// Every proxy path against real servers: a missing server binary fails here, never skips.
TEST(RealProxies, EveryPathRelaysToAnEchoServer) {
  test::EchoServer echo;
  std::string error;
  auto start = [&](RealProxy::Kind kind, RealProxy::Credentials c) {
    auto p = RealProxy::Start(kind, c, &error);
    EXPECT_TRUE(p) << error;
    return std::shared_ptr<RealProxy>(std::move(p));
  };
  const auto micro = start(RealProxy::Kind::Microsocks, {});
  const auto microAuth = start(RealProxy::Kind::Microsocks, {"sock", "word"});
  const auto dante = start(RealProxy::Kind::Dante, {});
  const auto tiny = start(RealProxy::Kind::Tinyproxy, {"web", "pass"});
  ASSERT_TRUE(micro && microAuth && dante && tiny);
  const auto S4 = TSocksType::Socks4, S5 = TSocksType::Socks5;
  struct Row {
    const char* what;
    RealProxy* http;
    std::string httpPassword;
    RealProxy* socks;
    TSocksType version;
    std::string socksUser, socksPassword;
    int error;
  } rows[] = {
      {"microsocks", nullptr, "", micro.get(), S5, "", "", 0},
      {"microsocks, password", nullptr, "", microAuth.get(), S5, "sock", "word", 0},
      {"microsocks, wrong password", nullptr, "", microAuth.get(), S5, "sock", "nope", kErrNetUnusable},
      {"microsocks, no credentials", nullptr, "", microAuth.get(), S5, "", "", kErrNetUnusable},
      {"dante, SOCKS 4", nullptr, "", dante.get(), S4, "", "", 0},
      {"dante, SOCKS 5", nullptr, "", dante.get(), S5, "", "", 0},
      {"tinyproxy, Basic authentication", tiny.get(), "pass", nullptr, S5, "", "", 0},
      {"tinyproxy, wrong password", tiny.get(), "nope", nullptr, S5, "", "", kErrNetUnusable},
      {"tinyproxy then microsocks", tiny.get(), "pass", microAuth.get(), S5, "sock", "word", 0},
      {"tinyproxy then dante, SOCKS 5", tiny.get(), "pass", dante.get(), S5, "", "", 0},
      {"tinyproxy then dante, SOCKS 4", tiny.get(), "pass", dante.get(), S4, "", "", 0},
      {"tinyproxy then wrong SOCKS password", tiny.get(), "pass", microAuth.get(), S5, "sock", "nope", kErrNetUnusable},
  };
  std::string payload;  // every byte value, in an order that shows swaps and drops
  for (int i = 0; i < 30000; ++i) payload += static_cast<char>((i * 31 + i / 256) & 0xFF);
  for (const Row& k : rows) {
    SCOPED_TRACE(k.what);
    TExtTCPSocket s;
    s.SocksTimeout = s.TunnelTimeout = 10000;
    if (k.http) s.TunnelProxyHost = k.http->host(), s.TunnelProxyPort = k.http->portText();
    if (k.socks) s.SocksProxyHost = k.socks->host(), s.SocksProxyPort = k.socks->portText();
    s.TunnelUser = "web";
    s.TunnelPassword = k.httpPassword;
    s.SocksVersion = k.version;
    s.SocksUser = k.socksUser;
    s.SocksPassword = k.socksPassword;
    s.Connect(echo.host(), echo.portText());
    ASSERT_EQ(s.LastError(), k.error) << s.LastErrorText() << "\n" << (k.http ? k.http->Log() : "")
                                      << (k.socks ? k.socks->Log() : "");
    EXPECT_EQ(s.TunnelOpen(), k.http && (k.error == 0 || k.socks)) << "a tunnel is granted even if SOCKS then fails";
    EXPECT_EQ(s.SocksActive(), k.socks && k.error == 0);
    if (k.error) continue;
    EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()), echo.host() + ":" + echo.portText());
    ASSERT_EQ(s.SendText(payload), static_cast<int>(payload.size())) << s.LastErrorText();
    std::string back;
    for (const auto end = Clock::now() + 10s; back.size() < payload.size() && Clock::now() < end;)
      back += Pending(s, 8192, 100);
    EXPECT_TRUE(back == payload) << "echo differs: " << back.size() << " of " << payload.size() << " bytes";
  }
}

}  // namespace
}  // namespace kova
