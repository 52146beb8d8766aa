// The HTTP-then-SOCKS chain; why relays end, through scripted and real proxies; failover under load.
// Addresses other than loopback are only bytes here.

#include <set>

#include "RelayHarness.h"
#include "engine/ExtTCPSocket.h"
#include "net/BlockSocket.h"
#include "support/FakePeer.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

const std::string kOpen = "HTTP/1.0 200 OK\r\n\r\n";

// The SOCKS exchange runs inside the tunnel (its SOCKS proxy is a port where nothing listens); the
// pumps' receive hands out what the exchange read past its reply first.
TEST(ExtConnect, ChainRunsTheSocksExchangeInsideTheTunnel) {
  const std::string socksPort = RawListener().portText(), auth = "> 05 02 02 00 | < 05 02 | > 01 01 73 01 74 | < 01 00 | ";
  TExtTCPSocket s;
  s.TunnelUser = "h", s.TunnelPassword = "p", s.SocksUser = "s", s.SocksPassword = "t";
  s.TunnelProxyHost = s.SocksProxyHost = "127.0.0.1", s.SocksProxyPort = socksPort;
  auto pending = [&s](int maxLength) {  // the pumps' receive blocks: wait first, unless the exchange left bytes
    std::string buf(static_cast<size_t>(maxLength), '\0');
    if (s.ReadBufferCopy().empty() && !s.WaitReadable(2000)) return std::string();
    return buf.substr(0, static_cast<size_t>(std::max(s.ReceivePending(buf.data(), maxLength), 0)));
  };
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
    s.TunnelProxyPort = http.portText();
    s.Connect(target, "80");
    EXPECT_EQ(s.LastError(), error) << s.LastErrorText();
    EXPECT_EQ(s.SocksActive(), error == 0);
    EXPECT_EQ(s.TunnelOpen(), answer == kOpen);
    EXPECT_EQ(s.SocksTargetHost() + ":" + s.SocksTargetPort() + " " + s.SocksLocalHost() + ":" + s.SocksLocalPort(), reported);
    if (error == 0) {  // the SOCKS view wins: the target asked for, and the address the proxy bound
      EXPECT_EQ(s.RemoteAddressText() + ":" + std::to_string(s.RemotePort()) + " " + s.LocalAddressText() + ":" + std::to_string(s.LocalPort()), reported);
      std::string got;  // bytes behind the reply come first, in order and within the limit
      for (std::string piece = "-"; got.size() < 8 && !piece.empty(); got += piece) {
        piece = pending(3);
        EXPECT_LE(piece.size(), 3u);
      }
      EXPECT_EQ(got, "hi there");
      s.SendText("more");
      EXPECT_EQ(pending(8192), "KLM");
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
  return (ProxyItselfFailed(s, type) ? "+" : "") + DescribeConnectFailure(s, type);
}

TEST(Outcome, ScriptedRefusalsAreDecodedAndTheProxysOwnAreToldApart) {
  const std::string s5 = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | < 05 0", s4 = "> 04 01 00 50 C0 00 02 01 00 | < 00 ";
  const std::string closed = UnusedTarget(), ask = "> " + ToHex("CONNECT 192.0.2.1:80 HTTP/1.0\r\n\r\n"), http = ask + " | < ";
  // {type, proxy ("" = the script's), script, user, target, expected}: "+" only where the proxy itself failed.
  std::vector<std::tuple<int, std::string, std::string, const char*, const char*, std::string>> rows = {
      {2, "", s4 + "5B 00 00 00 00 00 00", "", "192.0.2.1", "SOCKS 4 代理拒绝: 请求被拒绝或失败 (91)\n"},
      {2, "", s4 + "5C 00 00 00 00 00 00", "", "192.0.2.1", "+SOCKS 4 代理拒绝: 无法连接客户端的 identd (92)\n"},
      {2, "", s4 + "5D 00 00 00 00 00 00", "", "192.0.2.1", "+SOCKS 4 代理拒绝: identd 报告的用户标识不匹配 (93)\n"},
      {3, "", "> 05 01 00 | < 05 FF", "", "192.0.2.1", "+SOCKS 5 代理: 没有可接受的认证方式"},
      {3, "", "> 05 02 02 00 | < 05 02 | > 01 01 75 01 70 | < 01 01", "u", "192.0.2.1", "+SOCKS 5 代理: 用户名或密码被拒绝"},
      {3, "", s5 + "0 | x", "", "192.0.2.1", "SOCKS 5 代理在应答中途关闭连接: "},
      {3, "", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50", "", "192.0.2.1", "SOCKS 5 代理应答超时"},
      {3, "", "> 05 01 00", "", "192.0.2.1", "+SOCKS 5 代理没有回应问候, 应答超时"},
      {3, "", "> 05 01 00 | x", "", "192.0.2.1", "+SOCKS 5 代理在回应问候前关闭连接"},
      {3, "", "> 05 01 00 | < 05 07", "", "192.0.2.1", "+SOCKS 5 代理对问候的应答无法识别"},
      {3, closed, "", "", "192.0.2.1", "+SOCKS 5 代理无法连接: Connection refused (10061)"},
      {3, "0x7f.1:1080", "", "", "192.0.2.1", "+SOCKS 5 代理无法连接: 无法解析代理地址: "},
      {2, "", "", "", "::1", "SOCKS 4 代理无法传送 IPv6 地址"},
      {1, "", http + ToHex("HTTP/1.1 407 Auth\r\n\r\n"), "", "192.0.2.1", "+HTTP 代理拒绝: HTTP/1.1 407 Auth (需要代理认证)"},
      {1, "", http + ToHex("HTTP/1.0 502 Bad Gateway\r\n\r\n"), "", "192.0.2.1", "HTTP 代理拒绝: HTTP/1.0 502 Bad Gateway"},
      {1, "", ask + " | x", "", "192.0.2.1", "HTTP 代理在应答中途关闭连接: "},
      {-1, closed, "", "", "", "目标服务器拒绝连接: Connection refused (10061)"},
      {-1, "nocolon", "", "", "", "不是 IP:Port 形式的服务器地址"},
      {-1, "0x7f.1:80", "", "", "", "无法解析服务器地址: "},
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
  auto start = [&](RealProxy::Kind kind, RealProxy::Credentials c) { return std::shared_ptr<RealProxy>(RealProxy::Start(kind, c, &why)); };
  const auto micro = start(RealProxy::Kind::Microsocks, {"kova", "right"}), dante = start(RealProxy::Kind::Dante, {}),
             tiny = start(RealProxy::Kind::Tinyproxy, {"kova", "right"});
  ASSERT_TRUE(micro && dante && tiny) << why;
  const std::string ms = micro->Text(), tp = tiny->Text(), da = dante->Text();
  TScriptedTarget resetting([](int fd) { ReadExactly(fd, 1), ResetConnection(fd); });
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
      s.ProxyType = type, s.ProxyText = proxy, s.ProxyUser = "kova", s.ProxyPassword = password, s.AutoSwitch = false;
    });
    auto c = host.Through(target);
    if (end == TRelayEnd::ClientClosed) {
      EXPECT_TRUE(RoundTrip(c.get(), bulk)) << proxy;
      const auto rows = host.Window->SweepNow().Connections;  // an IPv6 server in brackets, however reached
      EXPECT_TRUE(rows.size() == 1 && rows[0].find(";" + target + ";") != std::string::npos) << rows.at(0);
    } else {
      EXPECT_TRUE(SendAll(c.get(), "x") && WaitPeerClosed(c.get(), 10000));
    }
    c.Reset();
    ASSERT_TRUE(WaitUntil([&, n = ++recorded] { return host.Outcomes().size() == n; }));
    const TRelayOutcome o = host.Outcomes().front();
    EXPECT_TRUE(o.End == end && o.Failed() == (end != TRelayEnd::ClientClosed)) << OutcomeLine(o);
    // Relayed bytes only, whatever the proxy exchange moved over the same socket.
    const uint64_t both = end == TRelayEnd::ClientClosed ? bulk.size() : 0, up = end == TRelayEnd::ServerReset ? 1 : both;
    EXPECT_EQ(std::pair(o.BytesReceived, o.BytesSent), std::pair(both, up)) << OutcomeLine(o);
    ASSERT_EQ(o.Attempts.size(), 1u);
    EXPECT_TRUE(o.Attempts[0].Server == target && o.Attempts[0].Reason.starts_with(reason)) << OutcomeLine(o);
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
  EXPECT_EQ(host.Ask([](TRelayEngine& e) { return e.FailedOutcomesSince(0); }), 0) << "the failures above left the ring";
  host.Window->UpdateSettings([](THeadlessSettings& s) { s.ServerText.clear(); s.Servers.clear(); });
  host.SetTarget(":");  // turned away with no target at all
  EXPECT_TRUE(WaitPeerClosed(host.Connect().get()));
  ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().front().End == TRelayEnd::NoServer; }));
  const std::string client = host.Outcomes().front().Client;
  EXPECT_TRUE(IsLoopbackText(client.substr(0, client.rfind(':'))));
}

// Each row three times over, 40 clients at once; an unusable entry is skipped like a dead one.
TEST(Failover, FortyClientsAtOnceAreAllServedWhileAListedServerAnswers) {
  EchoServer live;
  const std::string L = live.Text(), D = UnusedTarget(1), D2 = UnusedTarget(2);
  const TProxySettings none, noProxy{3, UnusedTarget(), "", ""};
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> list;
    bool autoSwitch, served;
    int nextIndex;  // -1: not checked
    TProxySettings proxy;
    bool halfClose = false;  // the client ends its sending side after its byte
    TRelayEnd end = TRelayEnd::ListUsedUp;
  } cases[] = {
      {"dead, live", D, {D, L}, true, true, -1, none},
      {"dead, dead, live", D, {D, UnusedTarget(3), L}, true, true, -1, none},
      {"past dead and unusable entries", D,
       {UnusedTarget(3), "nocolon", ":80", "host:", "127.0.0.1:0", "127.0.0.1:65536", "[::1", "[zz]:80", L, D}, true, true, 9, none},
      {"half-closed while it waits", D, {D, L}, true, true, -1, none, true},
      {"dead, dead, dead: the list is used up", D, {UnusedTarget(3), UnusedTarget(4)}, true, false, 0, none},
      {"each server once, however often listed", D, {D2, D, D2, D, D2}, true, false, 0, none},
      {"switching off", D, {L}, false, false, 0, none},
      // The proxy's own failure leaves the list where it was, whatever it holds.
      {"proxy unreachable", L, {L, D, D2}, true, false, 0, noProxy, false, TRelayEnd::ProxyFailed},
  };
  for (const auto& tc : cases) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(tc.name) + ", round " + std::to_string(round));
      THeadlessSettings s = Direct(tc.text, tc.list, tc.proxy.Type, tc.proxy.Text);
      s.AutoSwitch = tc.autoSwitch;
      THost host(s);
      ASSERT_TRUE(host.Ok);
      const int accepted = live.connectionsAccepted();
      std::vector<UniqueFd> clients(40);
      for (auto& c : clients) {  // data already waiting cuts each pause between tries short
        ASSERT_TRUE(SendAll((c = host.Connect()).get(), "x"));
        if (tc.halfClose) ::shutdown(c.get(), SHUT_WR);
      }
      const auto begin = Clock::now();
      int served = 0, dropped = 0;
      for (auto& c : clients) {  // one deadline for all: a fault fails the row in seconds, not forty times that
        if (ReadExactly(c.get(), 1, MsLeft(begin + 10s)) == "x") ++served;
        else dropped += WaitPeerClosed(c.get(), MsLeft(begin + 10s));
      }
      ASSERT_EQ(std::pair(served, dropped), tc.served ? std::pair(40, 0) : std::pair(0, 40));
      if (tc.halfClose) { EXPECT_TRUE(WaitPeerClosed(clients[0].get())) << "the half-close was passed on"; }
      if (!tc.served) { EXPECT_EQ(live.connectionsAccepted(), accepted); }
      EXPECT_LT(Clock::now() - begin, 8s) << "a dropped client tried each server once at most, each well under a second";
      clients.clear();  // every relay ends and is recorded
      ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().size() == 40; }));
      for (const TRelayOutcome& o : host.Outcomes()) {
        std::set<std::string> tried;
        for (const TAttempt& a : o.Attempts) EXPECT_TRUE(tried.insert(a.Server).second) << OutcomeLine(o);
        if (tc.served) continue;
        EXPECT_EQ(o.End, tc.end) << OutcomeLine(o);
        if (!tc.autoSwitch || tc.end == TRelayEnd::ProxyFailed) { EXPECT_EQ(o.Attempts.size(), 1u) << OutcomeLine(o); }
      }
      if (tc.nextIndex >= 0) { EXPECT_EQ(host.Ask([](TRelayEngine& e) { return e.NextServerIndex(); }), tc.nextIndex); }
      const bool usedUp = !tc.served && tc.autoSwitch && tc.end == TRelayEnd::ListUsedUp;
      // Switching off or a failing proxy never moves the target; the text field follows it.
      EXPECT_EQ(host.Target(), tc.served ? L : usedUp ? ":" : tc.text);
      if (!usedUp) { EXPECT_EQ(host.Window->Query([&] { return host.Window->ServerText(); }), tc.served ? L : tc.text); }
      if (!usedUp) continue;  // a used-up list cleared the target: the next client starts from the text, then the list
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L}; });
      EXPECT_TRUE(RoundTrip(host.Connect().get(), "y"));
    }
  }

  // [A, B] with B the last entry in use, then B down and A up: the next client is served by A,
  // not turned away because the shared walk ran off the end.
  auto b = std::make_unique<EchoServer>();
  const std::string B = b->Text();
  THost host(Direct(D, {D2, B}));
  ASSERT_TRUE(host.Ok);
  ASSERT_TRUE(RoundTrip(host.Connect().get(), "x")) << "B serves the first client";
  b.reset();
  host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L, B}; });
  for (int i = 0; i < 3; ++i) {  // the shared walk starts again at A for the next client, too
    EXPECT_TRUE(RoundTrip(host.Connect().get(), "z")) << "client " << i;
    EXPECT_EQ(host.Target(), L) << "client " << i;
  }

  // A client that resets while its relay pauses between two tries ends the attempt there.
  THost pausing(Direct(UnusedTarget(), {UnusedTarget(2), UnusedTarget(3), UnusedTarget(4), UnusedTarget(5)}));
  ASSERT_TRUE(pausing.Ok);
  for (int run = 0; run < 3; ++run) {
    auto c = pausing.Connect();  // sends nothing, so each pause lasts its full second
    ASSERT_TRUE(WaitUntil([&] { return pausing.Connections() == 1; }));
    EXPECT_LT(Took([&] { ResetConnection(c.get()), WaitUntil([&] { return pausing.Outcomes().size() == run + 1u; }); }), 1500ms);
    const TRelayOutcome o = pausing.Outcomes().at(0);  // the newest
    EXPECT_TRUE(o.End == TRelayEnd::ClientReset && o.Attempts.size() <= 2) << OutcomeLine(o);
  }
}

// The window thread answers within 100 ms while clients fail over through a million entries, all dead
// but the last; once that one is down too a client is turned away as soon as its tries ran out.
TEST(Failover, AMillionEntriesKeepTheWindowThreadFree) {
  auto live = std::make_unique<EchoServer>();
  const std::string L = live->Text(), D = UnusedTarget(1);
  THeadlessSettings s = Direct(D);
  for (int i = 0; i < 1'000'000; ++i) s.Servers.push_back(i % 3 ? D : "nocolon");
  s.Servers.back() = L;
  THost host(s);
  ASSERT_TRUE(host.Ok);
  std::atomic<bool> done{false}, slow{false};  // slow: the window thread once took 100 ms or more to answer
  std::thread pinger([&] {
    for (; !done.load(); std::this_thread::sleep_for(5ms))
      if (Took([&] { host.Window->Call([] {}); }) >= 100ms) slow = true;
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(RoundTrip(host.Connect().get(), "m")) << "client " << i;
  EXPECT_EQ(host.Target(), L);
  live.reset();
  host.SetTarget(D);
  auto c = host.Connect();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  EXPECT_LT(Took([&] { EXPECT_TRUE(WaitPeerClosed(c.get(), 10000)); }), 3s) << "turned away when its tries ran out, not later";
  done.store(true);
  pinger.join();
  EXPECT_FALSE(slow.load());
  ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().size() == 4; }));  // recorded after the close
  EXPECT_EQ(host.Outcomes().front().Attempts.size(), 2u) << OutcomeLine(host.Outcomes().front());
}

// Servers that never answer, each in its own host at the same time, and program end landing on
// a connect that waits on one, at any instant: the engine is gone within 2 s, leaving nothing open.
TEST(Failover, AServerThatNeverAnswersCostsOneConnectTimeOutAndProgramEndReachesIt) {
  RawListener hole;  // its accept queue full: further connection attempts go unanswered, as to a host that is down
  ::listen(hole.fd(), 0);
  std::vector<UniqueFd> fillers;
  for (auto a = LoopbackAddress("127.0.0.1", hole.port()); fillers.size() < 8;)
    ::connect(fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)).get(), a->ai_addr, a->ai_addrlen);
  const int fdsBefore = SettledFdCount();
  {
    EchoServer live;
    RawListener stalled;  // a proxy whose system accepts the connection and which never answers
    const std::string L = live.Text(), H = hole.Text();
    // {what, settings, served, within}
    const std::tuple<const char*, THeadlessSettings, bool, std::chrono::seconds> rows[] = {
        {"typed and listed first, then a live one", Direct(H, {H, L}), true, 25s},
        {"typed, the list holds the next", Direct(H, {L}), true, 25s},
        {"alone", Direct(H, {H}), false, 25s},
        {"a stalled proxy, one server", Direct(L, {L}, 3, stalled.Text()), false, 35s},
    };
    std::vector<std::unique_ptr<THost>> hosts;
    std::vector<UniqueFd> clients;
    for (const auto& row : rows) {
      ASSERT_TRUE(hosts.emplace_back(std::make_unique<THost>(std::get<1>(row)))->Ok);
      ASSERT_TRUE(SendAll(clients.emplace_back(hosts.back()->Connect()).get(), "x"));
    }
    const auto begin = Clock::now();
    for (size_t i = 0; i < std::size(rows); ++i) {
      const auto& [what, settings, served, within] = rows[i];
      SCOPED_TRACE(what);
      const int left = MsLeft(begin + within + 5s);
      EXPECT_TRUE(served ? ReadExactly(clients[i].get(), 1, left) == "x" : WaitPeerClosed(clients[i].get(), left));
      EXPECT_LT(Clock::now() - begin, within);
    }
    ASSERT_TRUE(WaitUntil([&] { return !hosts[2]->Outcomes().empty(); }));  // a time-out said as one
    EXPECT_TRUE(hosts[2]->Outcomes().front().Attempts.at(0).Reason.starts_with("连接目标服务器超时")) << OutcomeLine(hosts[2]->Outcomes().front());
    // On a slot whose last relay went to the live server, its row shows neither that server nor its bytes.
    clients[1].Reset();
    ASSERT_TRUE(WaitUntil([&] { return hosts[1]->Connections() == 0; }));
    hosts[1]->SetTarget(H);
    auto c = hosts[1]->Connect();
    ASSERT_TRUE(WaitUntil([&] { return hosts[1]->Connections() == 1; }));
    const std::string row = hosts[1]->Window->SweepNow().Connections.at(0);
    EXPECT_TRUE(row.find(L) == std::string::npos && row.ends_with(";0;0;0:0")) << row;
  }
  // Between the connecting worker's last look at the end and its connect, or anywhere else.
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    auto host = std::make_unique<THost>(Direct(hole.Text()));
    ASSERT_TRUE(host->Ok);
    std::atomic<bool> reached{false};
    const bool afterTheEnd = run % 2 == 0;
    std::vector<TRelayOutcome> atEnd;
    host->Do([&](TRelayEngine& e) {
      e.SetOutcomeHandler([&](const TRelayOutcome& o) { atEnd.push_back(o); });
      e.SetConnectSeamForTests([&, afterTheEnd](const TTCPBlockSocket& upstream) {
        reached.store(true);
        if (afterTheEnd) WaitUntil([&] { return upstream.Abandoned(); }, 3s);
      });
    });
    auto c = host->Connect();
    ASSERT_TRUE(WaitUntil([&] { return reached.load(); }));
    if (!afterTheEnd) std::this_thread::sleep_for(std::chrono::milliseconds(run * 10));  // varies the instant
    EXPECT_LT(Took([&] { host.reset(); }), 2s);
    EXPECT_TRUE(WaitPeerClosed(c.get(), 1000));
    ASSERT_EQ(atEnd.size(), 1u);  // with the attempt cut short
    EXPECT_TRUE(atEnd[0].End == TRelayEnd::ProgramEnd && atEnd[0].Attempts.size() == 1 && !atEnd[0].Attempts[0].Ok) << OutcomeLine(atEnd[0]);
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() <= fdsBefore; })) << CountOpenFds() << " > " << fdsBefore;
}

}  // namespace
}  // namespace kova::test
