// The proxy socket class (the HTTP-then-SOCKS chain, scripted and through real servers, and the
// pumps' receive), and why relays end: decoded proxy refusals from scripted and real proxies,
// outcomes of relays through the engine, the fixed ring under churn. Other addresses are only bytes.

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
    bool orderly = true;  // a closed object ends the pump with an error at once
    EXPECT_TRUE(s.ReceivePending(&orderly, 1, &orderly) == 0 && s.LastError() != 0 && !orderly);
    EXPECT_EQ(ToHex(http.Finish()), ToHex(http.Expected())) << "nothing after a refusal";
  }
}

// The decoded reason of one connect through a scripted proxy, and "+" when the proxy itself failed;
// type -1 checks the server `proxyText` instead.
std::string Reason(int type, const std::string& proxyText, const std::string& script, const std::string& user = "",
                   const std::string& password = "", const std::string& target = "192.0.2.1") {
  if (type < 0) return ProbeServer(proxyText, {}).Reason;  // "" when it would try
  FakePeer proxy(script);
  if (proxyText.empty()) proxy.Start();  // a proxy named by the row is never this one
  TExtTCPSocket s;
  ApplyProxy(s, {type, proxyText.empty() ? proxy.host() + ":" + proxy.portText() : proxyText, user, password});
  s.SocksTimeout = s.TunnelTimeout = 300;
  s.Connect(target, "80");
  if (s.LastError() == 0) return "connected";
  return (ProxyItselfFailed(s, type) ? "+" : "") + DescribeConnectFailure(s, type);
}

TEST(Outcome, ScriptedRefusalsAreDecodedAndTheProxysOwnAreToldApart) {
  const std::string s5 = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | < 05 0", s4 = "> 04 01 00 50 C0 00 02 01 00 | < 00 ";
  const std::string closed = UnusedTarget(), ask = "> " + ToHex("CONNECT 192.0.2.1:80 HTTP/1.0\r\n\r\n"), http = ask + " | < ";
  // {proxy type, proxy text ("" = the script's), script, user, target, expected ("+": the proxy's own)}; what the
  // proxy says about the target is the target's, so only the proxy's own failures carry "+".
  std::vector<std::tuple<int, std::string, std::string, const char*, const char*, std::string>> rows = {
      {2, "", s4 + "5B 00 00 00 00 00 00", "", "192.0.2.1", "SOCKS 4 代理拒绝: 请求被拒绝或失败 (91)\n"},
      {2, "", s4 + "5C 00 00 00 00 00 00", "", "192.0.2.1", "+SOCKS 4 代理拒绝: 无法连接客户端的 identd (92)\n"},
      {2, "", s4 + "5D 00 00 00 00 00 00", "", "192.0.2.1", "+SOCKS 4 代理拒绝: identd 报告的用户标识不匹配 (93)\n"},
      {3, "", "> 05 01 00 | < 05 FF", "", "192.0.2.1", "+SOCKS 5 代理: 没有可接受的认证方式"},
      {3, "", "> 05 02 02 00 | < 05 02 | > 01 01 75 01 70 | < 01 01", "u", "192.0.2.1", "+SOCKS 5 代理: 用户名或密码被拒绝"},
      {3, "", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | < 05 00 | x", "", "192.0.2.1",
       "SOCKS 5 代理在应答中途关闭连接: "},
      {3, "", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50", "", "192.0.2.1", "SOCKS 5 代理应答超时"},
      {3, "", "> 05 01 00", "", "192.0.2.1", "+SOCKS 5 代理没有回应问候, 应答超时"},
      {3, "", "> 05 01 00 | x", "", "192.0.2.1", "+SOCKS 5 代理在回应问候前关闭连接"},
      {3, "", "> 05 01 00 | < 05 07", "", "192.0.2.1", "+SOCKS 5 代理对问候的应答无法识别"},
      {3, closed, "", "", "192.0.2.1", "+SOCKS 5 代理无法连接: Connection refused (10061)"},
      {3, "0x7f.1:1080", "", "", "192.0.2.1", "+SOCKS 5 代理无法连接: 无法解析代理地址: "},
      {2, "", "", "", "::1", "SOCKS 4 代理无法传送 IPv6 地址"},
      {1, "", http + ToHex("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"), "", "192.0.2.1",
       "+HTTP 代理拒绝: HTTP/1.1 407 Proxy Authentication Required (需要代理认证)"},
      {1, "", http + ToHex("HTTP/1.0 502 Bad Gateway\r\n\r\n"), "", "192.0.2.1", "HTTP 代理拒绝: HTTP/1.0 502 Bad Gateway"},
      {1, "", ask + " | x", "", "192.0.2.1", "HTTP 代理在应答中途关闭连接: "},
      // Type -1: the server check, what the relay would not try and what the resolver cannot read.
      {-1, closed, "", "", "", "目标服务器拒绝连接: Connection refused (10061)"},
      {-1, "nocolon", "", "", "", "不是 IP:Port 形式的服务器地址"},
      {-1, "127.0.0.1:99999", "", "", "", "不是 IP:Port 形式的服务器地址"},
      {-1, "[::1]", "", "", "", "不是 IP:Port 形式的服务器地址"},
      {-1, "0x7f.1:80", "", "", "", "无法解析服务器地址: "},
      {-1, "127.0.0.1:-1", "", "", "", "无法解析服务器地址: "},
  };
  const char* socks5[] = {"一般性失败", "规则不允许该连接", "网络不可达", "主机不可达", "连接被拒绝",
                          "TTL 已过期", "不支持该命令", "不支持该地址类型", "未知应答码 9"};
  for (int code = 1; code <= 9; ++code)
    rows.emplace_back(3, "", s5 + std::to_string(code) + " 00 01 00 00 00 00 00 00", "", "192.0.2.1",
                      std::string("SOCKS 5 代理拒绝: ") + socks5[code - 1] + "\n");
  for (const auto& [type, proxyText, script, user, target, expected] : rows) {  // "\n" ends an exact text
    const std::string got = Reason(type, proxyText, script, user, *user ? "p" : "", target) + "\n";
    EXPECT_TRUE(got.starts_with(expected)) << expected << " | " << got;
    EXPECT_EQ(got.find("10047"), std::string::npos) << got;
  }
}

// Through the relay with real servers: every end is recorded once, with the hop that failed, and
// a slot last used through a proxy serves the next relay on its own settings.
TEST(Outcome, RelaysThroughRealServersAndTheRingUnderChurn) {
  EchoServer echo, echo6("::1");
  const std::string live = echo.Text(), closed = UnusedTarget(), live6 = echo6.Text();
  std::string why;  // a missing server binary fails here, never skips
  auto start = [&](RealProxy::Kind kind, RealProxy::Credentials c) {
    auto p = RealProxy::Start(kind, c, &why);
    EXPECT_TRUE(p) << why;
    return std::shared_ptr<RealProxy>(std::move(p));
  };
  const auto micro = start(RealProxy::Kind::Microsocks, {"kova", "right"}), dante = start(RealProxy::Kind::Dante, {}),
             tiny = start(RealProxy::Kind::Tinyproxy, {"kova", "right"});
  ASSERT_TRUE(micro && dante && tiny);
  const std::string ms = micro->Text(), tp = tiny->Text(), da = dante->Text();
  const auto S4 = TSocksType::Socks4, S5 = TSocksType::Socks5;
  // Chains through the socket class alone: {what, HTTP proxy, SOCKS proxy, version, SOCKS user and password, error}
  const std::tuple<const char*, RealProxy*, RealProxy*, TSocksType, const char*, const char*, int> chains[] = {
      {"microsocks, no credentials", nullptr, micro.get(), S5, "", "", kErrNetUnusable},
      {"tinyproxy then microsocks", tiny.get(), micro.get(), S5, "kova", "right", 0},
      {"tinyproxy then dante, SOCKS 5", tiny.get(), dante.get(), S5, "", "", 0},
      {"tinyproxy then dante, SOCKS 4", tiny.get(), dante.get(), S4, "", "", 0},
      {"tinyproxy then wrong SOCKS password", tiny.get(), micro.get(), S5, "kova", "nope", kErrNetUnusable},
  };
  const std::string payload = RandomBytes(30000, 3);  // every byte value, in an order that shows swaps and drops
  for (const auto& [what, http, socks, version, socksUser, socksPassword, error] : chains) {
    SCOPED_TRACE(what);
    TExtTCPSocket s;
    s.SocksTimeout = s.TunnelTimeout = 10000;
    if (http) s.TunnelProxyHost = http->host(), s.TunnelProxyPort = http->portText();
    s.SocksProxyHost = socks->host(), s.SocksProxyPort = socks->portText();
    s.TunnelUser = "kova", s.TunnelPassword = "right", s.SocksVersion = version, s.SocksUser = socksUser, s.SocksPassword = socksPassword;
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

  TScriptedTarget resetting([](int fd) {  // resets on the first byte
    ReadExactly(fd, 1);
    ResetConnection(fd);
  });
  THost host(Direct(live));
  ASSERT_TRUE(host.Ok);
  // {proxy type, proxy, password, target, end, the attempt's reason starts with}
  const std::tuple<int, std::string, const char*, std::string, TRelayEnd, std::string> rows[] = {
      {3, ms, "right", live, TRelayEnd::ClientClosed, ""},
      {3, ms, "wrong-secret", live, TRelayEnd::ProxyFailed, "SOCKS 5 代理: "},
      {3, ms, "right", live6, TRelayEnd::ClientClosed, ""},
      {1, tp, "right", live, TRelayEnd::ClientClosed, ""},
      {1, tp, "wrong-secret", live, TRelayEnd::ProxyFailed, "HTTP 代理拒绝: HTTP/1.0 40"},
      {1, tp, "right", live6, TRelayEnd::ClientClosed, ""},
      {2, da, "", live6, TRelayEnd::ListUsedUp, "SOCKS 4 代理无法传送 IPv6 地址"},
      {0, "", "", live6, TRelayEnd::ClientClosed, ""},
      {2, da, "", live, TRelayEnd::ClientClosed, ""},
      {3, da, "", live, TRelayEnd::ClientClosed, ""},
      {3, da, "", closed, TRelayEnd::ListUsedUp, "SOCKS 5 代理拒绝: "},
      {0, "", "", closed, TRelayEnd::ListUsedUp, "目标服务器拒绝连接"},
      {0, "", "", resetting.Text(), TRelayEnd::ServerReset, ""},
  };
  const std::string bulk = RandomBytes(256 << 10, 5);  // relayed byte-exact both ways, every byte value in it
  size_t recorded = 0;
  for (const auto& [type, proxy, password, target, end, reason] : rows) {
    SCOPED_TRACE(std::to_string(type) + " " + proxy + " " + password + " " + target);
    host.Window->UpdateSettings([&](THeadlessSettings& s) {
      s.ProxyType = type, s.ProxyText = proxy, s.ProxyUser = "kova", s.ProxyPassword = password;
      s.AutoSwitch = false;
    });
    {
      auto c = host.Through(target);
      if (end == TRelayEnd::ClientClosed) {
        EXPECT_TRUE(RoundTrip(c.get(), bulk)) << proxy;
        // The monitor shows an IPv6 server in brackets, whichever way it is reached.
        const auto rows = host.Window->SweepNow().Connections;
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_NE(rows[0].find(";" + target + ";"), std::string::npos) << rows[0];
      } else {
        EXPECT_TRUE(SendAll(c.get(), "x") && WaitPeerClosed(c.get(), 10000));
      }
    }
    ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().size() == recorded + 1; }));
    const TRelayOutcome o = host.Outcomes().front();
    ++recorded;
    EXPECT_EQ(o.End, end) << OutcomeLine(o);
    EXPECT_EQ(o.Failed(), end != TRelayEnd::ClientClosed);
    // Relayed bytes only, whatever the proxy exchange moved over the same socket.
    const uint64_t both = end == TRelayEnd::ClientClosed ? bulk.size() : 0, up = end == TRelayEnd::ServerReset ? 1 : both;
    EXPECT_EQ(std::pair(o.BytesReceived, o.BytesSent), std::pair(both, up)) << OutcomeLine(o);
    ASSERT_EQ(o.Attempts.size(), 1u);
    EXPECT_TRUE(o.Attempts[0].Reason.starts_with(reason)) << o.Attempts[0].Reason;
    EXPECT_EQ(o.Attempts[0].Server, target);
    EXPECT_EQ(o.ProxyUser, type ? "kova" : "");
    EXPECT_EQ(OutcomeLine(o).find("wrong-secret"), std::string::npos) << "no password in any outcome";
  }

  host.Window->UpdateSettings([](THeadlessSettings& s) { s.ProxyType = 0; });
  host.SetTarget(live);
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(RoundTrip(host.Connect().get(), "k"));
  ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  const auto outcomes = host.Outcomes();
  ASSERT_EQ(outcomes.size(), 500u) << "a fixed ring";
  for (const auto& o : outcomes) ASSERT_TRUE(o.End == TRelayEnd::ClientClosed && o.BytesSent == 1 && o.BytesReceived == 1) << OutcomeLine(o);
  EXPECT_GE(outcomes.front().StartUnixMs, outcomes.back().StartUnixMs) << "newest first";
  EXPECT_EQ(host.Ask([](TRelayEngine& e) { return e.FailedOutcomesSince(0); }), 0) << "the failures above left the ring";
  // Turned away with no target at all.
  host.Window->UpdateSettings([](THeadlessSettings& s) { s.ServerText.clear(); s.Servers.clear(); });
  host.SetTarget(":");
  EXPECT_TRUE(WaitPeerClosed(host.Connect().get()));
  ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().front().End == TRelayEnd::NoServer; }));
  const std::string client = host.Outcomes().front().Client;
  EXPECT_TRUE(IsLoopbackText(client.substr(0, client.rfind(':'))));

  // Program end while a proxy has not answered yet: the attempt cut short is in the outcome.
  std::atomic<bool> greeted{false};
  TScriptedTarget silent([&](int fd) {  // a SOCKS 5 proxy that takes the greeting and says nothing
    greeted.store(!ReadExactly(fd, 1).empty());
    ReadUntilClosed(fd, 20000);
  });
  host.Window->UpdateSettings([&](THeadlessSettings& s) { s.ProxyType = 3, s.ProxyText = silent.Text(); });
  host.SetTarget(live);
  std::vector<TRelayOutcome> atEnd;
  host.Do([&](TRelayEngine& e) { e.SetOutcomeHandler([&](const TRelayOutcome& o) { atEnd.push_back(o); }); });
  auto waiting = host.Connect();
  ASSERT_TRUE(WaitUntil([&] { return greeted.load(); }));  // the attempt is under way
  host.Window->Shutdown();
  ASSERT_EQ(atEnd.size(), 1u);
  EXPECT_EQ(atEnd[0].End, TRelayEnd::ProgramEnd);
  ASSERT_EQ(atEnd[0].Attempts.size(), 1u) << OutcomeLine(atEnd[0]);
  EXPECT_FALSE(atEnd[0].Attempts[0].Ok);
}

}  // namespace
}  // namespace kova::test
