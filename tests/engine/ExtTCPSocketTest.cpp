// The program socket class: the HTTP-then-SOCKS chain, scripted and through real servers, and the
// pumps' receive. Other addresses are only bytes in requests.

#include "RelayHarness.h"
#include "engine/ExtTCPSocket.h"
#include "support/FakePeer.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

const std::string kOpen = "HTTP/1.0 200 OK\r\n\r\n";

// The pumps' receive blocks; a test waits with a bound first (bytes a proxy exchange left behind
// are already there).
std::string Pending(TExtTCPSocket& s, int maxLength, int timeoutMs = 2000) {
  std::string buf(static_cast<size_t>(std::max(maxLength, 1)), '\0');
  if (s.ReadBufferCopy().empty() && !s.WaitReadable(timeoutMs)) return "";
  return buf.substr(0, static_cast<size_t>(std::max(s.ReceivePending(buf.data(), maxLength), 0)));
}

// The chain's SOCKS exchange runs inside the tunnel; its SOCKS proxy is a port where nothing listens.
// A refusal stops the exchange, a connection that never spoke SOCKS does not claim to, and the
// pumps' receive hands out what the exchange read past its reply first.
TEST(ExtConnect, ChainRunsTheSocksExchangeInsideTheTunnel) {
  const std::string socksPort = RawListener().portText();
  const std::string auth = "> 05 02 02 00 | < 05 02 | > 01 01 73 01 74 | < 01 00 | ";
  TExtTCPSocket s;
  s.TunnelUser = "h", s.TunnelPassword = "p", s.SocksUser = "s", s.SocksPassword = "t";
  // {tunnel answer, SOCKS exchange inside, target, error, SOCKS target and local side then reported}
  const std::tuple<std::string, std::string, const char*, int, const char*> rows[] = {
      {kOpen, auth + "> 05 01 00 01 C0 00 02 01 00 50 | < 05 00 00 01 C6 33 64 07 04 38 " + ToHex("hi there"),
       "192.0.2.1", 0, "192.0.2.1:80 198.51.100.7:1080"},
      {"HTTP/1.1 407 Auth Required\r\n\r\n", "", "192.0.2.2", kErrNetUnusable, "192.0.2.1:80 198.51.100.7:1080"},
      {kOpen, "> 05 02 02 00 | < 05 FF", "srv", kErrNetUnusable, "srv:80 198.51.100.7:1080"},  // as passed in
  };
  for (const auto& [answer, socks, target, error, reported] : rows) {
    SCOPED_TRACE(target);
    FakePeer http;
    http.Expect("CONNECT 127.0.0.1:" + socksPort + " HTTP/1.0\r\nProxy-Authorization: Basic aDpw\r\n\r\n");
    http.Reply(answer).Script(socks);
    if (answer == kOpen && !socks.ends_with("FF")) http.Expect("more").Reply("KLM");
    http.Start();
    s.TunnelProxyHost = s.SocksProxyHost = "127.0.0.1";
    s.TunnelProxyPort = http.portText();
    s.SocksProxyPort = socksPort;
    s.Connect(target, "80");
    EXPECT_EQ(s.LastError(), error) << s.LastErrorText();
    EXPECT_EQ(s.SocksActive(), error == 0);
    EXPECT_EQ(s.TunnelOpen(), answer == kOpen);
    EXPECT_EQ(s.SocksTargetHost() + ":" + s.SocksTargetPort() + " " + s.SocksLocalHost() + ":" + s.SocksLocalPort(), reported);
    if (error == 0) {
      EXPECT_EQ(s.TunnelTargetHost(), "127.0.0.1");
      // The SOCKS view wins: the target asked for, and the address the proxy bound.
      EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()), "192.0.2.1:80");
      EXPECT_EQ(s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), "198.51.100.7:1080");
      std::string got;  // bytes behind the reply come first, in order and within the limit
      for (std::string piece = "-"; got.size() < 8 && !piece.empty(); got += piece) {
        piece = Pending(s, 3);
        EXPECT_LE(piece.size(), 3u);
      }
      EXPECT_EQ(got, "hi there");
      s.SendText("more");
      EXPECT_EQ(Pending(s, 8192), "KLM");
    }
    s.Close();
    EXPECT_EQ(ToHex(http.Finish()), ToHex(http.Expected())) << "nothing after a refusal";
  }
}

TEST(ReceivePending, LimitsEndsAndClose) {
  FakePeer peer;
  peer.Reply(std::string(20000, 'q')).Expect("go").Reply("late").Expect("end").Reply("bye").Script("x").Start();
  TExtTCPSocket s;
  s.Connect(peer.host(), peer.portText());
  ASSERT_EQ(s.LastError(), 0);
  char buf[8192];
  EXPECT_EQ(s.ReceivePending(buf, 0), 0) << "no wait for nothing";
  EXPECT_EQ(s.ReceivePending(buf, -1), 0);
  EXPECT_EQ(s.LastError(), 0);
  ASSERT_TRUE(WaitUntil([&] { return s.BytesAvailable() >= 20000; }));
  for (int expected : {8192, 8192, 3616}) EXPECT_EQ(s.ReceivePending(buf, 8192), expected);
  s.SendText("go");
  EXPECT_EQ(Pending(s, 16), "late");
  s.SendText("end");
  EXPECT_EQ(Pending(s, 16), "bye");
  bool orderly = false;
  EXPECT_EQ(s.ReceivePending(buf, 16, &orderly), 0);
  EXPECT_TRUE(s.LastError() == kErrConnReset && orderly) << "the peer's FIN is an orderly end, not a reset";
  s.Close();
  // A closed object ends the pump with an error at once.
  EXPECT_TRUE(s.ReceivePending(buf, 16, &orderly) == 0 && s.LastError() != 0 && !orderly);
}

// Chains through real servers (single proxies are relayed in the outcome tests); a missing
// server binary fails here, never skips.
TEST(RealProxies, ChainsRelayToAnEchoServer) {
  EchoServer echo;
  std::string error;
  auto start = [&](RealProxy::Kind kind, RealProxy::Credentials c) {
    auto p = RealProxy::Start(kind, c, &error);
    EXPECT_TRUE(p) << error;
    return std::shared_ptr<RealProxy>(std::move(p));
  };
  const auto micro = start(RealProxy::Kind::Microsocks, {"sock", "word"});
  const auto dante = start(RealProxy::Kind::Dante, {});
  const auto tiny = start(RealProxy::Kind::Tinyproxy, {"web", "pass"});
  ASSERT_TRUE(micro && dante && tiny);
  const auto S4 = TSocksType::Socks4, S5 = TSocksType::Socks5;
  // {what, HTTP proxy, SOCKS proxy, version, SOCKS user and password, error}
  const std::tuple<const char*, RealProxy*, RealProxy*, TSocksType, const char*, const char*, int> rows[] = {
      {"microsocks, no credentials", nullptr, micro.get(), S5, "", "", kErrNetUnusable},
      {"tinyproxy then microsocks", tiny.get(), micro.get(), S5, "sock", "word", 0},
      {"tinyproxy then dante, SOCKS 5", tiny.get(), dante.get(), S5, "", "", 0},
      {"tinyproxy then dante, SOCKS 4", tiny.get(), dante.get(), S4, "", "", 0},
      {"tinyproxy then wrong SOCKS password", tiny.get(), micro.get(), S5, "sock", "nope", kErrNetUnusable},
  };
  const std::string payload = RandomBytes(30000, 3);  // every byte value, in an order that shows swaps and drops
  for (const auto& [what, http, socks, version, socksUser, socksPassword, error] : rows) {
    SCOPED_TRACE(what);
    TExtTCPSocket s;
    s.SocksTimeout = s.TunnelTimeout = 10000;
    if (http) s.TunnelProxyHost = http->host(), s.TunnelProxyPort = http->portText();
    s.SocksProxyHost = socks->host(), s.SocksProxyPort = socks->portText();
    s.TunnelUser = "web", s.TunnelPassword = "pass", s.SocksVersion = version, s.SocksUser = socksUser, s.SocksPassword = socksPassword;
    s.Connect(echo.host(), echo.portText());
    ASSERT_EQ(s.LastError(), error) << s.LastErrorText() << "\n" << (http ? http->Log() : "") << socks->Log();
    EXPECT_EQ(s.TunnelOpen(), http != nullptr) << "a tunnel is granted even if SOCKS then fails";
    EXPECT_EQ(s.SocksActive(), error == 0);
    if (error) continue;
    EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()), echo.host() + ":" + echo.portText());
    ASSERT_EQ(s.SendText(payload), static_cast<int>(payload.size())) << s.LastErrorText();
    std::string back;
    for (const auto end = Clock::now() + 10s; back.size() < payload.size() && Clock::now() < end;)
      back += Pending(s, 8192, 100);
    EXPECT_TRUE(back == payload) << "echo differs: " << back.size() << " of " << payload.size() << " bytes";
  }
}

}  // namespace
}  // namespace kova::test
