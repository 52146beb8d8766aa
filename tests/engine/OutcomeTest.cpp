// Why relays end: decoded proxy refusals from scripted and real proxies, outcomes of relays
// through the engine, and the fixed ring under churn. Other addresses are only bytes.

#include "RelayHarness.h"
#include "engine/ExtTCPSocket.h"
#include "support/FakePeer.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

std::string Reason(int type, const std::string& proxyText, const std::string& script, const std::string& user = "",
                   const std::string& password = "") {
  FakePeer proxy(script);
  proxy.Start();
  TExtTCPSocket s;
  ApplyProxy(s, {type, proxyText.empty() ? proxy.host() + ":" + proxy.portText() : proxyText, user, password});
  s.SocksTimeout = s.TunnelTimeout = 300;
  s.Connect("192.0.2.1", "80");
  return s.LastError() == 0 ? "connected" : DescribeConnectFailure(s, type);
}

TEST(Outcome, ScriptedRefusalsAreDecoded) {
  const std::string hello = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | < ";
  const std::string s4 = "> 04 01 00 50 C0 00 02 01 00 | < 00 ";
  const char* socks5[] = {"一般性失败", "规则不允许该连接", "网络不可达", "主机不可达", "连接被拒绝",
                          "TTL 已过期", "不支持该命令", "不支持该地址类型", "未知应答码 9"};
  for (int code = 1; code <= 9; ++code)
    EXPECT_EQ(Reason(3, "", hello + "05 0" + std::to_string(code) + " 00 01 00 00 00 00 00 00"),
              std::string("SOCKS 5 代理拒绝: ") + socks5[code - 1]);
  const std::pair<const char*, const char*> socks4[] = {{"5B", "请求被拒绝或失败 (91)"},
                                                        {"5C", "无法连接客户端的 identd (92)"},
                                                        {"5D", "identd 报告的用户标识不匹配 (93)"}};
  for (const auto& [code, text] : socks4)
    EXPECT_EQ(Reason(2, "", s4 + code + " 00 00 00 00 00 00"), std::string("SOCKS 4 代理拒绝: ") + text);
  const std::string closed = "127.0.0.1:" + RawListener().portText();
  const std::string http = "> " + ToHex("CONNECT 192.0.2.1:80 HTTP/1.0\r\n\r\n") + " | < ";
  // {proxy type, proxy text ("" = the script's), script, user, expected}
  const std::tuple<int, std::string, std::string, const char*, std::string> rows[] = {
      {3, "", "> 05 01 00 | < 05 FF", "", "SOCKS 5 代理: 没有可接受的认证方式"},
      {3, "", "> 05 02 02 00 | < 05 02 | > 01 01 75 01 70 | < 01 01", "u", "SOCKS 5 代理: 用户名或密码被拒绝"},
      {3, "", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | < 05 00 | x", "",
       "SOCKS 5 代理在应答中途关闭连接: "},
      {3, "", "> 05 01 00", "", "SOCKS 5 代理应答超时"},
      {3, "", "> 05 01 00 | < 05 07", "", "SOCKS 5 代理的应答无法识别"},
      {3, closed, "", "", "SOCKS 5 代理无法连接: Connection refused (10061)"},
      {1, "", http + ToHex("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"), "",
       "HTTP 代理拒绝: HTTP/1.1 407 Proxy Authentication Required (需要代理认证)"},
      {1, "", http + ToHex("HTTP/1.0 502 Bad Gateway\r\n\r\n"), "", "HTTP 代理拒绝: HTTP/1.0 502 Bad Gateway"},
  };
  for (const auto& [type, proxyText, script, user, expected] : rows)
    EXPECT_TRUE(Reason(type, proxyText, script, user, *user ? "p" : "").starts_with(expected)) << expected;
  EXPECT_EQ(ProbeServer(closed, {}).Reason, "目标服务器拒绝连接: Connection refused (10061)");
  EXPECT_EQ(ProbeServer("nocolon", {}).Ok, false);
}

TRelayOutcome LastOutcome(THost& host) {
  return host.Window->Query([&] {
    auto all = host.Window->Engine()->RecentOutcomes();
    return all.empty() ? TRelayOutcome{} : all.front();
  });
}

// Through the relay with real servers: every end is recorded once, with the hop that failed.
TEST(Outcome, RelaysThroughRealServersAndTheRingUnderChurn) {
  EchoServer echo;
  const std::string live = "127.0.0.1:" + echo.portText(), closed = UnusedTarget();
  auto microsocks = RealProxy::Start(RealProxy::Kind::Microsocks, {"kova", "right"});
  auto tinyproxy = RealProxy::Start(RealProxy::Kind::Tinyproxy, {"kova", "right"});
  auto dante = RealProxy::Start(RealProxy::Kind::Dante);
  ASSERT_TRUE(microsocks && tinyproxy && dante);
  RawListener resetting;  // accepts, then resets
  std::thread resetter([&] {
    UniqueFd c = resetting.Accept(10000);
    ReadExactly(c.get(), 1);
    const linger hard{1, 0};
    ::setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  THost host(Direct(live));
  ASSERT_TRUE(host.Ok);
  auto use = [&](int type, const std::string& proxy, const std::string& target) {
    host.Window->UpdateSettings([&](THeadlessSettings& s) {
      s.ProxyType = type;
      s.ProxyText = proxy;
      s.ProxyUser = "kova";
      s.ProxyPassword = "wrong-secret";
      s.AutoSwitch = false;
    });
    host.Window->Call([&] { host.Window->Engine()->SetTarget(target.substr(0, target.find(':')), target.substr(target.find(':') + 1)); });
  };
  // {proxy type, proxy, target, the failed attempt's reason starts with}
  const std::tuple<int, std::string, std::string, std::string> refused[] = {
      {3, microsocks->host() + ":" + microsocks->portText(), live, "SOCKS 5 代理: "},
      {1, tinyproxy->host() + ":" + tinyproxy->portText(), live, "HTTP 代理拒绝: HTTP/1.0 40"},
      {3, dante->host() + ":" + dante->portText(), closed, "SOCKS 5 代理拒绝: "},
      {0, "", closed, "目标服务器拒绝连接"},
  };
  for (const auto& [type, proxy, target, reason] : refused) {
    SCOPED_TRACE(reason);
    use(type, proxy, target);
    auto c = host.Connect();
    EXPECT_TRUE(WaitPeerClosed(c.get(), 10000));
    ASSERT_TRUE(WaitUntil([&] { return LastOutcome(host).Attempts.size() == 1; }));
    const TRelayOutcome o = LastOutcome(host);
    EXPECT_EQ(o.End, TRelayEnd::ListUsedUp);
    EXPECT_TRUE(o.Failed());
    EXPECT_TRUE(o.Attempts[0].Reason.starts_with(reason)) << o.Attempts[0].Reason;
    EXPECT_EQ(o.Attempts[0].Server, target);
    EXPECT_EQ(o.ProxyUser, type ? "kova" : "");
    EXPECT_EQ(OutcomeLine(o).find("wrong-secret"), std::string::npos) << "no password in any outcome";
    host.Window->Call([&] { host.Window->Engine()->RecentOutcomes(); });
  }
  const std::string resetTarget = "127.0.0.1:" + resetting.portText();
  use(0, "", resetTarget);
  {
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), "x"));
    EXPECT_TRUE(WaitPeerClosed(c.get()));
  }
  ASSERT_TRUE(WaitUntil([&] { return LastOutcome(host).Client.size() && LastOutcome(host).Attempts.size() == 1 && LastOutcome(host).Attempts[0].Server == resetTarget; }));
  resetter.join();
  EXPECT_EQ(LastOutcome(host).End, TRelayEnd::ServerReset);

  use(0, "", live);
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(RoundTrip(host.Connect().get(), "k"));
  ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  const auto outcomes = host.Window->Query([&] { return host.Window->Engine()->RecentOutcomes(); });
  ASSERT_EQ(outcomes.size(), 500u) << "a fixed ring";
  for (const auto& o : outcomes) {
    ASSERT_EQ(o.End, TRelayEnd::ClientClosed) << OutcomeLine(o);
    ASSERT_EQ(o.BytesSent, 1u);
    ASSERT_EQ(o.BytesReceived, 1u);
  }
  EXPECT_GE(outcomes.front().StartUnixMs, outcomes.back().StartUnixMs) << "newest first";
  EXPECT_EQ(host.Window->Query([&] { return host.Window->Engine()->FailedOutcomesSince(0); }), 0)
      << "the failures above left the ring";
  // Turned away with no target at all.
  host.Window->UpdateSettings([](THeadlessSettings& s) { s.ServerText.clear(); s.Servers.clear(); });
  host.Window->Call([&] { host.Window->Engine()->SetTarget("", ""); });
  EXPECT_TRUE(WaitPeerClosed(host.Connect().get()));
  ASSERT_TRUE(WaitUntil([&] { return LastOutcome(host).End == TRelayEnd::NoServer; }));
  EXPECT_TRUE(IsLoopbackText(LastOutcome(host).Client.substr(0, LastOutcome(host).Client.rfind(':'))));
}

}  // namespace
}  // namespace kova::test
