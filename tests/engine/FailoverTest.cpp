// Failover under load: concurrent failures move the current server once, each client tries each
// server once and is not dropped while a listed server it has not tried answers, a proxy's own
// failure is not charged to the servers, and a server that never answers costs seconds.

#include <set>

#include "RelayHarness.h"
#include "net/BlockSocket.h"

namespace kova::test {
namespace {

// A loopback listener whose accept queue is full: further connection attempts go unanswered,
// as to a host that is down.
struct TBlackhole {
  TBlackhole() {
    ::listen(listener.fd(), 0);
    for (auto a = LoopbackAddress("127.0.0.1", listener.port()); fillers.size() < 8;)
      ::connect(fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)).get(), a->ai_addr, a->ai_addrlen);
  }
  RawListener listener;
  std::vector<UniqueFd> fillers;
};

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
    int nextIndex;           // -1: not checked
    TProxySettings proxy;
    bool halfClose = false;  // the client ends its sending side after its byte
    size_t maxAttempts = 0;  // per dropped client; 0: not checked
    TRelayEnd end = TRelayEnd::ListUsedUp;
  } cases[] = {
      {"dead, live", D, {D, L}, true, true, -1, none},
      {"dead, dead, live", D, {D, UnusedTarget(3), L}, true, true, -1, none},
      {"past dead and unusable entries", D,
       {UnusedTarget(3), "nocolon", ":80", "host:", "127.0.0.1:0", "127.0.0.1:65536", "[::1", "[zz]:80", L, D}, true, true, 9, none},
      {"half-closed while it waits", D, {D, L}, true, true, -1, none, true},
      {"dead, dead, dead: the list is used up", D, {UnusedTarget(3), UnusedTarget(4)}, true, false, 0, none, false, 3},
      {"each server once, however often listed", D, {D2, D, D2, D, D2}, true, false, 0, none, false, 2},
      {"switching off", D, {L}, false, false, 0, none, false, 1},
      // The proxy's own failure leaves the list where it was, whatever it holds.
      {"proxy unreachable", L, {L, D, D2}, true, false, 0, noProxy, false, 1, TRelayEnd::ProxyFailed},
  };
  for (const auto& tc : cases) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(tc.name) + ", round " + std::to_string(round));
      THeadlessSettings s = Direct(tc.text, tc.list, tc.proxy.Type, tc.proxy.Text);
      s.AutoSwitch = tc.autoSwitch, s.ProxyUser = tc.proxy.User, s.ProxyPassword = tc.proxy.Password;
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
        if (tc.maxAttempts) { EXPECT_LE(o.Attempts.size(), tc.maxAttempts) << OutcomeLine(o); }
      }
      if (tc.nextIndex >= 0) { EXPECT_EQ(host.Ask([](TRelayEngine& e) { return e.NextServerIndex(); }), tc.nextIndex); }
      const bool usedUp = !tc.served && tc.autoSwitch && tc.end == TRelayEnd::ListUsedUp;
      // Switching off or a failing proxy never moves the target; the text field follows it.
      EXPECT_EQ(host.Target(), tc.served ? L : usedUp ? ":" : tc.text);
      if (!usedUp) { EXPECT_EQ(host.Window->Query([&] { return host.Window->ServerText(); }), tc.served ? L : tc.text); }
      if (!usedUp) continue;
      // A used-up list cleared the target: the next client starts from the text, then the list.
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L}; });
      EXPECT_TRUE(RoundTrip(host.Connect().get(), "y"));
    }
  }

  // [A, B] with B the last entry in use, then B down and A up: the next client is served by A,
  // not turned away because the shared walk ran off the end.
  auto b = std::make_unique<RawListener>();
  const std::string B = b->Text();
  THost host(Direct(D, {D2, B}));
  ASSERT_TRUE(host.Ok);
  auto first = host.Connect();
  ASSERT_TRUE(SendAll(first.get(), "x"));
  ASSERT_TRUE(b->Accept().valid()) << "B serves the first client";
  EXPECT_EQ(host.Ask([](TRelayEngine& e) { return e.NextServerIndex(); }), 2);
  b.reset();
  host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L, B}; });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(RoundTrip(host.Connect().get(), "z")) << "client " << i;
  EXPECT_EQ(host.Target(), L);

  // A client that resets while its relay pauses between two tries ends the attempt there.
  std::vector<std::string> dead;
  for (int i = 2; i < 8; ++i) dead.push_back(UnusedTarget(i));
  THost pausing(Direct(UnusedTarget(), dead));
  ASSERT_TRUE(pausing.Ok);
  for (int run = 0; run < 3; ++run) {
    auto c = pausing.Connect();  // sends nothing, so each pause lasts its full second
    ASSERT_TRUE(WaitUntil([&] { return pausing.Connections() == 1; }));
    EXPECT_LT(Took([&] { ResetConnection(c.get()), WaitUntil([&] { return pausing.Outcomes().size() == run + 1u; }); }), 1500ms);
    ASSERT_EQ(pausing.Outcomes().size(), run + 1u);
    const TRelayOutcome o = pausing.Outcomes().front();
    EXPECT_EQ(o.End, TRelayEnd::ClientReset) << OutcomeLine(o);
    EXPECT_LE(o.Attempts.size(), 2u) << OutcomeLine(o);
  }
}

// A long list costs the window thread nothing per failover: it answers within 100 ms while
// clients fail over through a million entries, all dead but the last, and once that one is down
// too a client is turned away as soon as its tries ran out.
TEST(Failover, AMillionEntriesKeepTheWindowThreadFree) {
  auto live = std::make_unique<EchoServer>();
  const std::string L = live->Text(), D = UnusedTarget(1);
  THeadlessSettings s = Direct(D);
  for (int i = 0; i < 1'000'000; ++i) s.Servers.push_back(i % 3 ? D : "nocolon");
  s.Servers.back() = L;
  THost host(s);
  ASSERT_TRUE(host.Ok);
  std::atomic<bool> done{false};
  std::atomic<int64_t> slowestMs{0};
  std::thread pinger([&] {
    for (; !done.load(); std::this_thread::sleep_for(5ms)) {
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Took([&] { host.Window->Call([] {}); }));
      slowestMs = std::max<int64_t>(slowestMs.load(), took.count());
    }
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
  EXPECT_LT(slowestMs.load(), 100);
  ASSERT_TRUE(WaitUntil([&] { return host.Outcomes().size() == 4; }));  // recorded after the close
  EXPECT_EQ(host.Outcomes().front().Attempts.size(), 2u) << OutcomeLine(host.Outcomes().front());
}

// Servers that never answer, each in its own host at the same time, and program end landing on
// a connect that waits on one, at any instant: the engine is gone within 2 s, leaving nothing open.
TEST(Failover, AServerThatNeverAnswersCostsOneConnectTimeOutAndProgramEndReachesIt) {
  TBlackhole hole;
  const int fdsBefore = SettledFdCount();
  {
    EchoServer live;
    RawListener stalled;  // a proxy whose system accepts the connection and which never answers
    const std::string L = live.Text(), H = hole.listener.Text();
    const struct {
      const char* what;
      THeadlessSettings settings;
      bool served;
      std::chrono::seconds within;
    } rows[] = {
        {"typed and listed first, then a live one", Direct(H, {H, L}), true, 25s},
        {"typed, the list holds the next", Direct(H, {L}), true, 25s},
        {"alone", Direct(H, {H}), false, 25s},
        {"a stalled proxy, one server", Direct(L, {L}, 3, stalled.Text()), false, 35s},
    };
    std::vector<std::unique_ptr<THost>> hosts;
    std::vector<UniqueFd> clients;
    for (const auto& row : rows) {
      ASSERT_TRUE(hosts.emplace_back(std::make_unique<THost>(row.settings))->Ok);
      ASSERT_TRUE(SendAll(clients.emplace_back(hosts.back()->Connect()).get(), "x"));
    }
    const auto begin = Clock::now();
    for (size_t i = 0; i < std::size(rows); ++i) {
      SCOPED_TRACE(rows[i].what);
      const int left = MsLeft(begin + rows[i].within + 5s);
      EXPECT_TRUE(rows[i].served ? ReadExactly(clients[i].get(), 1, left) == "x" : WaitPeerClosed(clients[i].get(), left));
      EXPECT_LT(Clock::now() - begin, rows[i].within);
    }
    ASSERT_TRUE(WaitUntil([&] { return !hosts[2]->Outcomes().empty(); }));  // a time-out said as one
    EXPECT_TRUE(hosts[2]->Outcomes().front().Attempts.at(0).Reason.starts_with("连接目标服务器超时")) << OutcomeLine(hosts[2]->Outcomes().front());
  }
  // Between the connecting worker's last look at the end and its connect, or anywhere else.
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    auto host = std::make_unique<THost>(Direct(hole.listener.Text()));
    ASSERT_TRUE(host->Ok);
    std::atomic<bool> reached{false};
    const bool afterTheEnd = run % 2 == 0;
    host->Do([&](TRelayEngine& e) {
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
  }
  // The listeners end on their own a moment after their engine.
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() <= fdsBefore; })) << CountOpenFds() << " > " << fdsBefore;
}

}  // namespace
}  // namespace kova::test
