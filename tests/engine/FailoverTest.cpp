// Failover under load: concurrent failures move the current server once, each client tries each
// server once and is not dropped while a listed server it has not tried answers, a proxy's own
// failure is not charged to the servers, and a server that never answers costs seconds.

#include <fcntl.h>

#include <set>

#include "RelayHarness.h"
#include "net/BlockSocket.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

// A loopback listener whose accept queue is full: further connection attempts go unanswered,
// as to a host that is down.
struct TBlackhole {
  TBlackhole() {
    ::listen(listener.fd(), 0);
    for (int i = 0; i < 8; ++i) {
      UniqueFd& c = fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      auto a = LoopbackAddress("127.0.0.1", listener.port());
      ::connect(c.get(), a->ai_addr, a->ai_addrlen);
    }
  }
  RawListener listener;
  std::vector<UniqueFd> fillers;
  std::string Text() const { return "127.0.0.1:" + listener.portText(); }
};

std::vector<TRelayOutcome> Outcomes(THost& host) {
  return host.Window->Query([&] { return host.Window->Engine()->RecentOutcomes(); });
}

std::string Target(THost& host) {
  return host.Window->Query([&] { return host.Window->Engine()->TargetHost() + ":" + host.Window->Engine()->TargetPort(); });
}

// Each row three times over, 40 clients at once; an unusable entry is skipped like a dead one.
TEST(Failover, FortyClientsAtOnceAreAllServedWhileAListedServerAnswers) {
  EchoServer live;
  auto microsocks = RealProxy::Start(RealProxy::Kind::Microsocks, {"kova", "right"});
  ASSERT_TRUE(microsocks);
  const std::string L = "127.0.0.1:" + live.portText(), D = UnusedTarget(1), D2 = UnusedTarget(2);
  const TProxySettings none, wrongLogin{3, "127.0.0.1:" + microsocks->portText(), "kova", "wrong"},
      noProxy{3, UnusedTarget(), "", ""};
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> list;
    bool autoSwitch, served;
    int nextIndex;           // -1: not checked
    TProxySettings proxy;
    bool halfClose = false;  // the client ends its sending side after its byte
    size_t maxAttempts = 0;  // per dropped client; 0: not checked
    TRelayEnd end = TRelayEnd::ListUsedUp;
  } cases[] = {
      {"dead, live", D, {D, L}, true, true, -1, none},
      {"dead, dead, live", D, {D, UnusedTarget(3), L}, true, true, -1, none},
      {"live", L, {L}, true, true, -1, none},
      {"past dead and unusable entries", D,
       {UnusedTarget(3), "nocolon", ":80", "host:", "127.0.0.1:0", "127.0.0.1:65536", "[::1", "[zz]:80", L, D}, true, true, 9, none},
      {"half-closed while it waits", D, {D, L}, true, true, -1, none, true},
      {"dead, dead, dead: the list is used up", D, {UnusedTarget(3), UnusedTarget(4)}, true, false, 0, none, false, 3},
      {"each server once, however often listed", D, {D2, D, D2, D, D2}, true, false, 0, none, false, 2},
      {"switching off", D, {L}, false, false, 0, none, false, 1},
      // The proxy's own failure leaves the list where it was, whatever it holds.
      {"login refused", L, {L, D, D2}, true, false, 0, wrongLogin, false, 1, TRelayEnd::ProxyFailed},
      {"proxy unreachable", L, {L, D, D2}, true, false, 0, noProxy, false, 1, TRelayEnd::ProxyFailed},
  };
  for (const auto& tc : cases) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(tc.name) + ", round " + std::to_string(round));
      THeadlessSettings s = Direct(tc.text);
      s.Servers = tc.list;
      s.AutoSwitch = tc.autoSwitch;
      s.ProxyType = tc.proxy.Type, s.ProxyText = tc.proxy.Text, s.ProxyUser = tc.proxy.User;
      s.ProxyPassword = tc.proxy.Password;
      THost host(s);
      ASSERT_TRUE(host.Ok);
      const int accepted = live.connectionsAccepted();
      std::vector<UniqueFd> clients(40);
      // Data already waiting cuts each pause between tries short.
      for (auto& c : clients) {
        ASSERT_TRUE(SendAll((c = host.Connect()).get(), "x"));
        if (tc.halfClose) ::shutdown(c.get(), SHUT_WR);
      }
      const auto begin = std::chrono::steady_clock::now();
      int served = 0, dropped = 0;
      for (auto& c : clients) {
        if (ReadExactly(c.get(), 1, 10000) == "x") ++served;
        else dropped += WaitPeerClosed(c.get(), 10000);
      }
      EXPECT_EQ(served, tc.served ? 40 : 0);
      EXPECT_EQ(dropped, tc.served ? 0 : 40);
      if (tc.halfClose) { EXPECT_TRUE(WaitPeerClosed(clients[0].get())) << "the half-close was passed on"; }
      if (!tc.served) { EXPECT_EQ(live.connectionsAccepted(), accepted); }
      // A dropped client tried each server once at most, each try well under a second here.
      EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
      clients.clear();  // every relay ends and is recorded
      ASSERT_TRUE(WaitUntil([&] { return Outcomes(host).size() == 40; }));
      for (const TRelayOutcome& o : Outcomes(host)) {
        std::set<std::string> tried;
        for (const TAttempt& a : o.Attempts) EXPECT_TRUE(tried.insert(a.Server).second) << OutcomeLine(o);
        if (tc.served) continue;
        EXPECT_EQ(o.End, tc.end) << OutcomeLine(o);
        if (tc.maxAttempts) { EXPECT_LE(o.Attempts.size(), tc.maxAttempts) << OutcomeLine(o); }
      }
      host.Window->Call([&] {
        auto& e = *host.Window->Engine();
        const std::string target = e.TargetHost() + ":" + e.TargetPort();
        if (tc.nextIndex >= 0) { EXPECT_EQ(e.NextServerIndex(), tc.nextIndex); }
        if (tc.served) {
          EXPECT_EQ(target, L);
          EXPECT_EQ(host.Window->ServerText(), L) << "the text field follows";
        } else if (tc.autoSwitch && tc.end == TRelayEnd::ListUsedUp) {
          EXPECT_EQ(target, ":");
        } else {
          EXPECT_EQ(target, tc.text) << "switching off or a failing proxy never moves the target";
          EXPECT_EQ(host.Window->ServerText(), tc.text);
        }
      });
      if (tc.served || tc.end != TRelayEnd::ListUsedUp || !tc.autoSwitch) continue;
      // A used-up list cleared the target: the next client starts from the text, then the list.
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L}; });
      EXPECT_TRUE(RoundTrip(host.Connect().get(), "y"));
    }
  }

  // [A, B] with B the last entry in use, then B down and A up: the next client is served by A,
  // not turned away because the shared walk ran off the end.
  auto b = std::make_unique<RawListener>();
  const std::string B = "127.0.0.1:" + b->portText();
  THeadlessSettings s = Direct(D);
  s.Servers = {D2, B};
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto first = host.Connect();
  ASSERT_TRUE(SendAll(first.get(), "x"));
  ASSERT_TRUE(b->Accept().valid()) << "B serves the first client";
  EXPECT_EQ(host.Window->Query([&] { return host.Window->Engine()->NextServerIndex(); }), 2);
  b.reset();
  host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L, B}; });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(RoundTrip(host.Connect().get(), "z")) << "client " << i;
  EXPECT_EQ(Target(host), L);
}

// A client that resets while its relay pauses between two tries ends the attempt there.
TEST(Failover, AClientThatResetsDuringThePauseEndsTheAttempt) {
  THeadlessSettings s = Direct(UnusedTarget());
  for (int i = 2; i < 8; ++i) s.Servers.push_back(UnusedTarget(i));
  THost host(s);
  ASSERT_TRUE(host.Ok);
  for (int run = 0; run < 3; ++run) {
    auto c = host.Connect();  // sends nothing, so each pause lasts its full second
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 1; }));
    const auto begin = std::chrono::steady_clock::now();
    ResetConnection(c.get());
    ASSERT_TRUE(WaitUntil([&] { return Outcomes(host).size() == static_cast<size_t>(run + 1); }));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
    const TRelayOutcome o = Outcomes(host).front();
    EXPECT_EQ(o.End, TRelayEnd::ClientReset) << OutcomeLine(o);
    EXPECT_LE(o.Attempts.size(), 2u) << OutcomeLine(o);
  }
}

// A long list costs the window thread nothing per failover: it answers within 100 ms while
// clients fail over through a million entries, all dead but the last, and once that one is down
// too a client is turned away as soon as its tries ran out.
TEST(Failover, AMillionEntriesKeepTheWindowThreadFree) {
  auto live = std::make_unique<EchoServer>();
  const std::string L = "127.0.0.1:" + live->portText(), D = UnusedTarget(1);
  THeadlessSettings s = Direct(D);
  for (int i = 0; i < 1'000'000; ++i) s.Servers.push_back(i % 3 ? D : "nocolon");
  s.Servers.back() = L;
  THost host(s);
  ASSERT_TRUE(host.Ok);
  std::atomic<bool> done{false};
  std::atomic<int64_t> slowestMs{0};
  std::thread pinger([&] {
    while (!done.load()) {
      const auto begin = std::chrono::steady_clock::now();
      host.Window->Call([] {});
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
      slowestMs.store(std::max<int64_t>(slowestMs.load(), took.count()));
      std::this_thread::sleep_for(5ms);
    }
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(RoundTrip(host.Connect().get(), "m")) << "client " << i;
  EXPECT_EQ(Target(host), L);
  live.reset();
  host.SetTarget(D);
  auto c = host.Connect();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitPeerClosed(c.get(), 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << "turned away when its tries ran out, not later";
  done.store(true);
  pinger.join();
  EXPECT_LT(slowestMs.load(), 100);
  const TRelayOutcome o = Outcomes(host).front();
  EXPECT_EQ(o.Attempts.size(), 2u) << OutcomeLine(o);
}

// Servers that never answer, each in its own host at the same time: {what, settings, served,
// seconds within which the client is answered or closed}.
TEST(Failover, AServerThatNeverAnswersCostsOneConnectTimeOutPerClient) {
  TBlackhole hole;
  {  // the socket layer: the bounded wait, its code, and a Close from another thread
    kova::TTCPBlockSocket s;
    s.ConnectTimeout = 300;
    auto begin = std::chrono::steady_clock::now();
    s.Connect("127.0.0.1", hole.listener.portText());
    EXPECT_EQ(s.LastError(), kErrTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    s.Close();
    s.ConnectTimeout = 60000;
    std::atomic<bool> returned{false};
    std::thread connecting([&] {
      s.Connect("127.0.0.1", hole.listener.portText());
      returned.store(true);
    });
    std::this_thread::sleep_for(200ms);  // lets it wait; correct either way
    begin = std::chrono::steady_clock::now();
    s.Close();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 2s)) << "Close did not end the connect";
    connecting.join();  // its code is not judged: Close clears LastError after its half-close woke it
  }
  EchoServer live;
  RawListener stalled;  // a proxy whose system accepts the connection and which never answers
  const std::string L = "127.0.0.1:" + live.portText(), H = hole.Text();
  auto with = [](std::string text, std::vector<std::string> list, int proxyType = 0, std::string proxy = "") {
    THeadlessSettings s = Direct(text);
    s.Servers = std::move(list);
    s.ProxyType = proxyType, s.ProxyText = std::move(proxy);
    return s;
  };
  const struct {
    const char* what;
    THeadlessSettings settings;
    bool served;
    std::chrono::seconds within;
  } rows[] = {
      {"typed and listed first, then a live one", with(H, {H, L}), true, 25s},
      {"typed, the list holds the next", with(H, {L}), true, 25s},
      {"alone", with(H, {H}), false, 25s},
      {"a stalled proxy, one server", with(L, {L}, 3, "127.0.0.1:" + stalled.portText()), false, 35s},
  };
  std::vector<std::unique_ptr<THost>> hosts;
  std::vector<UniqueFd> clients;
  for (const auto& row : rows) {
    hosts.push_back(std::make_unique<THost>(row.settings));
    ASSERT_TRUE(hosts.back()->Ok);
    clients.push_back(hosts.back()->Connect());
    ASSERT_TRUE(SendAll(clients.back().get(), "x"));
  }
  const auto begin = std::chrono::steady_clock::now();
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].what);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(begin + rows[i].within + 5s - std::chrono::steady_clock::now());
    if (rows[i].served) {
      EXPECT_EQ(ReadExactly(clients[i].get(), 1, static_cast<int>(left.count())), "x");
    } else {
      EXPECT_TRUE(WaitPeerClosed(clients[i].get(), static_cast<int>(left.count())));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, rows[i].within);
  }
}

// Program end while a connect waits on a silent server, landing between the connecting worker's
// last look at the end and its connect, or anywhere else: the engine is gone within 2 s and has
// left no descriptor open.
TEST(Failover, ProgramEndReachesAConnectWhateverInstantItLandsOn) {
  TBlackhole hole;
  const int fdsBefore = SettledFdCount();
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    auto host = std::make_unique<THost>(Direct(hole.Text()));
    ASSERT_TRUE(host->Ok);
    std::atomic<bool> reached{false};
    const bool afterTheEnd = run % 2 == 0;
    host->Window->Call([&] {
      host->Window->Engine()->SetConnectSeamForTests([&, afterTheEnd](const TTCPBlockSocket& upstream) {
        reached.store(true);
        if (afterTheEnd) WaitUntil([&] { return upstream.Abandoned(); }, 3s);
      });
    });
    auto c = host->Connect();
    ASSERT_TRUE(WaitUntil([&] { return reached.load(); }));
    if (!afterTheEnd) std::this_thread::sleep_for(std::chrono::milliseconds(run * 10));  // varies the instant
    const auto begin = std::chrono::steady_clock::now();
    host.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(WaitPeerClosed(c.get(), 1000));
  }
  // The listeners end on their own a moment after their engine.
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() <= fdsBefore; })) << CountOpenFds() << " > " << fdsBefore;
}

}  // namespace
}  // namespace kova::test
