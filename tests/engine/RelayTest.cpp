// The relay end to end on loopback: through the headless window, or with the test as window thread.

#include <random>

#include "RelayHarness.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

TEST(Relay, GreetingBulkBothWaysSilentClientAndHalfClose) {
  TScriptedTarget greeter([](int fd) {
    SendAll(fd, "220 ready\r\n");
    Echo(fd);
  });
  std::atomic<int> ended{0};
  std::string lastGot;
  TScriptedTarget recorder([&](int fd) {
    lastGot = ReadUntilClosed(fd, 5000);
    ended.fetch_add(1);
  });
  THost host(Direct(greeter.Text()));
  ASSERT_TRUE(host.Ok);
  {
    auto c = host.Connect();
    EXPECT_EQ(ReadExactly(c.get(), 11), "220 ready\r\n");  // before the client says anything
    ASSERT_TRUE(RoundTrip(c.get(), "ping"));
    // 64 MiB each way at once, since the target echoes while it receives.
    std::string block(65537, 0);  // not a multiple of the relay's chunk, so misorder shows
    std::mt19937_64 rng(7);
    for (auto& ch : block) ch = static_cast<char>(rng());
    const size_t total = 1024 * block.size();
    std::thread sender([&] {
      for (size_t i = 0; i < 1024 && SendAll(c.get(), block); ++i) {
      }
    });
    size_t n = 0, mismatches = 0;
    std::string buf(65536, 0);
    for (ssize_t r; n < total && (r = ::recv(c.get(), buf.data(), buf.size(), 0)) > 0;) {
      for (ssize_t k = 0; k < r; ++k, ++n) mismatches += buf[static_cast<size_t>(k)] != block[n % block.size()];
    }
    sender.join();
    EXPECT_TRUE(n == total && mismatches == 0) << n << " bytes, " << mismatches << " of them wrong";
    // A direct upstream counts exactly the relayed bytes: received (with the greeting) and sent.
    const std::string counts = ";" + std::to_string(total + 15) + ";" + std::to_string(total + 4) + ";";
    EXPECT_TRUE(WaitUntil([&] { return host.Window->SweepNow().Connections.at(0).find(counts) != std::string::npos; }));
  }
  host.Window->Call([&] { host.Window->Engine()->SetTarget("127.0.0.1", recorder.Text().substr(10)); });
  host.Connect().Reset();  // leaves without a byte
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 1; }));
  EXPECT_EQ(lastGot, "");
  auto c = host.Connect();  // half-closes: the relay ends for both sides
  ASSERT_TRUE(SendAll(c.get(), "last words"));
  ::shutdown(c.get(), SHUT_WR);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 2; }));
  EXPECT_EQ(lastGot, "last words");
}

TEST(Relay, FailoverThroughTheServerList) {
  EchoServer live;
  const std::string t[] = {UnusedTarget(), UnusedTarget(), "127.0.0.1:" + live.portText()};
  const std::string junk[] = {"", "nocolon", ":80", "host:"};
  const struct {  // list: indexes into t, or -1..-3 into junk; targetAfter -1: none
    const char* name;
    bool autoSwitch;
    std::vector<int> list;
    int targetAfter, nextIndexAfter, textAfter;
  } cases[] = {
      {"walks past dead and unusable entries", true, {1, -1, -2, -3, 2, 1}, 2, 5, 2},
      {"switching off keeps the target", false, {2}, 0, 0, 0},
      {"a used-up list clears the target, the next client starts from the text", true, {1}, -1, 0, 1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    THeadlessSettings s = Direct(t[0]);
    s.AutoSwitch = tc.autoSwitch;
    for (int i : tc.list) s.Servers.push_back(i >= 0 ? t[i] : junk[-i]);
    THost host(s);
    ASSERT_TRUE(host.Ok);
    const int accepted = live.connectionsAccepted();
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), "x"));  // waiting data cuts the pause between tries short
    if (tc.targetAfter == 2) {
      EXPECT_EQ(ReadExactly(c.get(), 1), "x");
    } else {
      EXPECT_TRUE(WaitPeerClosed(c.get()));
      EXPECT_EQ(live.connectionsAccepted(), accepted);
    }
    host.Window->Call([&] {
      auto& e = *host.Window->Engine();
      EXPECT_EQ(e.TargetHost() + ":" + e.TargetPort(), tc.targetAfter < 0 ? ":" : t[tc.targetAfter]);
      EXPECT_EQ(e.NextServerIndex(), tc.nextIndexAfter);
      EXPECT_EQ(host.Window->ServerText(), t[tc.textAfter]);
    });
    if (tc.targetAfter < 0) {
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {t[2]}; });
      EXPECT_TRUE(RoundTrip(host.Connect().get(), "y"));
    }
  }
}

TEST(Relay, ThroughRealProxiesThenDirectOnTheSameSlot) {
  using K = RealProxy::Kind;
  const std::tuple<K, int, RealProxy::Credentials> cases[] = {
      {K::Microsocks, 3, {"kova", "s3cret"}}, {K::Dante, 2, {}}, {K::Dante, 3, {}},
      {K::Tinyproxy, 1, {"kova", "s3cret"}}};
  EchoServer echo;
  for (const auto& [kind, type, credentials] : cases) {
    SCOPED_TRACE("proxy type " + std::to_string(type));
    std::string error;
    auto proxy = RealProxy::Start(kind, credentials, &error);
    ASSERT_TRUE(proxy) << error;
    THeadlessSettings s = Direct("127.0.0.1:" + echo.portText());
    s.ProxyType = type, s.ProxyText = proxy->host() + ":" + proxy->portText();
    s.ProxyUser = credentials.user, s.ProxyPassword = credentials.password;
    THost host(s);
    ASSERT_TRUE(host.Ok);
    EXPECT_TRUE(RoundTrip(host.Connect().get(), "through")) << proxy->Log();
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    host.Window->UpdateSettings([](THeadlessSettings& st) { st.ProxyType = 0; });
    proxy.reset();  // a slot still set for the proxy would now fail
    EXPECT_TRUE(RoundTrip(host.Connect().get(), "direct"));
  }
}

// The test thread is the window thread here: posts are delivered, or held back, by hand.
TEST(Relay, LateReleaseRowsIdleClearingAndShutdownMidSwitch) {
  EchoServer echo;
  TFakeClock clock;
  TManualWindow window;
  window.Settings = Direct("127.0.0.1:" + echo.portText());
  auto engine = std::make_unique<TRelayEngine>(window, clock.Source());
  engine->StartService("0", "127.0.0.1");
  ASSERT_TRUE(window.DeliverUntil(*engine, WM_LISTENSTATE) && window.ListenState == 1);
  const std::string address = engine->ListeningAddress();
  ASSERT_TRUE(IsLoopbackText(address)) << "listener at '" << address << "', not loopback: not connecting";
  auto connect = [&] { return ConnectTo(address, static_cast<uint16_t>(window.ListenPort)); };
  auto accept = [&] {
    auto c = connect();
    EXPECT_TRUE(window.DeliverUntil(*engine, WM_ACCEPT));
    return c;
  };
  accept().Reset();
  auto firstId = window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(firstId);
  engine->HandleMessage(WM_CONNCLOSE, *firstId);
  ASSERT_TRUE(WaitUntil([&] { return engine->Sweep().Threads.empty(); }));
  const int reads = clock.WorkerReads.load();
  window.Settings.IdleLimitMinutes = 0;
  auto c = accept();  // gets the same slot: released slots come back first
  ASSERT_TRUE(RoundTrip(c.get(), "hello"));
  engine->HandleMessage(WM_CONNCLOSE, *firstId);         // the first relay's, late
  engine->HandleMessage(WM_CONNCLOSE, *firstId & 0xFF);  // a bare slot number
  EXPECT_EQ(engine->ConnectionsInUse(), 1);
  ASSERT_TRUE(RoundTrip(c.get(), "again"));
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == reads + 5; }));  // connect + 4 chunks

  clock.Now += 3725'000;  // minutes run past 59, no hours, no padding; limit 0 never clears
  std::vector<std::string> rows;
  EXPECT_TRUE(WaitUntil([&] {  // the sender counts its bytes just after the echo may be back
    rows = engine->Sweep().Connections;
    return rows.size() == 1 && rows[0].starts_with("0;" + address + ":") &&
           rows[0].ends_with(";127.0.0.1:" + echo.portText() + ";10;10;62:5");
  })) << rows.at(0);
  clock.Now += 100000'000;
  engine->Sweep();
  EXPECT_EQ(engine->ConnectionsInUse(), 1);
  EXPECT_EQ(clock.WorkerReads.load(), reads + 5);  // receiving alone takes no stamp

  window.Settings.IdleLimitMinutes = 1;
  ASSERT_TRUE(RoundTrip(c.get(), "fresh"));
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == reads + 7; }));
  clock.Now += 60'000;
  EXPECT_TRUE(engine->Sweep().Connections.at(0).ends_with(";1:0"));  // 60 s stays
  clock.Now += 1'000;
  EXPECT_TRUE(engine->Sweep().Connections.at(0).ends_with(";1:1"));  // 61 s goes, still listed in that tick
  EXPECT_EQ(engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_TRUE(WaitUntil([&] { return engine->Sweep().Threads.empty(); }));  // parked workers give back

  // Shutdown while a worker waits for the window thread to switch servers, and a client is queued.
  engine->SetTarget("127.0.0.1", UnusedTarget().substr(10));
  window.Settings.Servers = {"127.0.0.1:" + echo.portText()};
  auto waiting = accept();
  ASSERT_TRUE(SendAll(waiting.get(), "x"));
  ASSERT_TRUE(window.Peek(WM_SYNCCALL));  // the worker's call, never delivered
  auto queued = connect();
  ASSERT_TRUE(window.Peek(WM_ACCEPT));  // accepted, not yet handled
  const auto start = std::chrono::steady_clock::now();
  engine.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitPeerClosed(waiting.get()));
  EXPECT_TRUE(WaitPeerClosed(queued.get()));
}

// With the monitor timer off: nothing leaks and no client is turned away while there is room.
// Then stopping leaves busy relays running, and shutdown ends them at once, leaving nothing.
TEST(RelayChurn, ChurnBurstsStopAndShutdownUnderLoadSlow) {
  const int threadsBefore = SettledThreadCount(), fdsBefore = CountOpenFds();
  {
    EchoServer echo;
    std::atomic<int> flooding{0};
    TScriptedTarget flood([&](int fd) {  // both ends flood and never read: workers block in send
      ++flooding;
      for (std::string chunk(65536, 'f'); SendAll(fd, chunk);) {
      }
    });
    auto host = std::make_unique<THost>(Direct("127.0.0.1:" + echo.portText()));
    ASSERT_TRUE(host->Ok);
    const int fdsServing = CountOpenFds(), threadsServing = CountThreads();
    for (int i = 0; i < 20000; ++i) {
      ASSERT_TRUE(RoundTrip(host->Connect().get(), "k")) << "relay " << i << " turned away";
    }
    for (int round = 0; round < 3; ++round) {
      std::vector<UniqueFd> clients(200), served;  // at once: exactly the first 50 are relayed
      for (auto& c : clients) ASSERT_TRUE(SendAll((c = host->Connect()).get(), "b"));
      int closed = 0;
      for (auto& c : clients) {
        if (ReadExactly(c.get(), 1) == "b") served.push_back(std::move(c));
        else closed += WaitPeerClosed(c.get(), 1000);
      }
      EXPECT_EQ(closed, 150);
      ASSERT_EQ(served.size(), 50u);
      for (auto& c : served) EXPECT_TRUE(RoundTrip(c.get(), "flowing"));  // unharmed by the refusals
      clients.clear(), served.clear();
      ASSERT_TRUE(WaitUntil([&] { return host->Connections() == 0; }));  // the next burst has room again
    }
    EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsServing; })) << CountOpenFds();
    EXPECT_LE(CountThreads(), threadsServing + 100);  // one worker per thread slot, reused
    EXPECT_EQ(host->Window->SweepCount(), 0);

    host->Window->Call([&] { host->Window->Engine()->SetTarget("127.0.0.1", flood.Text().substr(10)); });
    std::vector<UniqueFd> clients;
    const std::string chunk(1 << 20, 'c');
    for (int i = 0; i < 50; ++i) {
      ::send(clients.emplace_back(host->Connect()).get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    ASSERT_TRUE(WaitUntil([&] { return host->Threads() == 100 && flooding.load() == 50; }));
    const int reports = host->Window->ListenReports();
    host->Window->StopService();
    EXPECT_EQ(host->Window->WaitListenReport(reports, 3000), 3);
    EXPECT_FALSE(host->Connect().valid());
    EXPECT_EQ(host->Connections(), 50);
    const auto start = std::chrono::steady_clock::now();
    host.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 2000));
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s)) << CountOpenFds();
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s)) << CountThreads();
}

}  // namespace
}  // namespace kova::test
