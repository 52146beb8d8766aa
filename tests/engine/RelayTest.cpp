// The relay end to end on loopback, through the headless window or message by message with the
// test thread as the window thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <random>

#include <gtest/gtest.h>

#include "RelayHarness.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

using namespace std::chrono_literals;

void Echo(int fd) {
  char buf[16384];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
    if (!SendAll(fd, std::string(buf, static_cast<size_t>(n)))) return;
  }
}

std::string Engine(THost& h, const std::function<std::string(TRelayEngine&)>& read) {
  return h.Window->Query([&] { return read(*h.Window->Engine()); });
}

TEST(Relay, OneRelayFromGreetingToHalfClose) {
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
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(RoundTrip(c.get(), "ping " + std::to_string(i)));
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
  EXPECT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return host.Window->SweepNow().Threads.empty(); }));
}

TEST(Relay, SixtyFourMebibytesEachWayAtOnce) {
  constexpr size_t kRounds = 1024;
  std::string block(65537, 0);  // not a multiple of the relay's chunk, so misorder shows
  std::mt19937_64 rng(7);
  for (auto& ch : block) ch = static_cast<char>(rng());
  const size_t total = kRounds * block.size();
  auto pump = [&](int fd, std::string* got) {
    std::thread sender([&] {
      for (size_t i = 0; i < kRounds && SendAll(fd, block); ++i) {
      }
    });
    std::hash<std::string> hash;
    size_t h = 0, n = 0;
    std::string buf(block.size(), 0), acc;
    while (n < total) {  // hash per received block-sized piece
      ssize_t r = ::recv(fd, buf.data(), std::min(buf.size(), block.size() - acc.size()), 0);
      if (r <= 0) break;
      acc.append(buf.data(), static_cast<size_t>(r));
      n += static_cast<size_t>(r);
      if (acc.size() == block.size()) h = h * 31 + hash(acc), acc.clear();
    }
    sender.join();
    *got = std::to_string(n) + "/" + std::to_string(h);
  };
  std::string atClient;
  std::mutex mu;  // the target's result comes from its own thread
  std::string atTarget;
  TScriptedTarget target([&](int fd) {
    std::string got;
    pump(fd, &got);
    {
      std::lock_guard<std::mutex> lock(mu);
      atTarget = got;
    }
    ReadUntilClosed(fd, 20000);  // keeps the relay up for the counters
  });
  auto targetResult = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return atTarget;
  };
  THost host(Direct(target.Text()));
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  pump(c.get(), &atClient);
  ASSERT_TRUE(WaitUntil([&] { return !targetResult().empty(); }, 30s));
  size_t expect = 0;
  for (size_t i = 0; i < kRounds; ++i) expect = expect * 31 + std::hash<std::string>()(block);
  std::string want = std::to_string(total) + "/" + std::to_string(expect);
  EXPECT_EQ(atClient, want);
  EXPECT_EQ(targetResult(), want);
  // A direct upstream counts exactly the relayed bytes: received and sent.
  auto row = host.Window->SweepNow().Connections.at(0);
  EXPECT_NE(row.find(";" + std::to_string(total) + ";" + std::to_string(total) + ";"), std::string::npos) << row;
}

TEST(Relay, FiftyRelaysAtOnceAndThreadSlotsBackWithoutTimer) {
  EchoServer echo;
  THost host(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host.Ok);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(host.Connect());
    ASSERT_TRUE(RoundTrip(clients.back().get(), "hi")) << i;
  }
  auto extra = host.Connect();
  EXPECT_TRUE(WaitPeerClosed(extra.get(), 2000));  // the 51st, at once
  for (auto& c : clients) EXPECT_TRUE(RoundTrip(c.get(), "again"));
  clients.clear();
  // 60 more one after another: each needs thread slots that parked workers gave back.
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    ASSERT_TRUE(RoundTrip(host.Connect().get(), "n")) << "client " << i << " turned away";
  }
  EXPECT_EQ(host.Window->SweepCount(), 0);
}

struct TFailover {
  const char* name;
  bool autoSwitch;
  int textIs;                  // index into the targets below
  std::vector<int> list;       // -1 = "nocolon", -2 = ":80", -3 = "host:"
  bool relayed;
  int targetAfter;             // -1 = none
  int nextIndexAfter;
  int textAfter;
};

TEST(Relay, FailoverThroughTheServerList) {
  EchoServer live;
  const std::string t[] = {UnusedTarget(), UnusedTarget(), "127.0.0.1:" + live.portText()};
  const std::string junk[] = {"", "nocolon", ":80", "host:"};
  const TFailover cases[] = {
      {"walks past dead and unusable entries", true, 0, {1, -1, -2, -3, 2, 1}, true, 2, 5, 2},
      {"switching off keeps the target", false, 0, {2}, false, 0, 0, 0},
      {"a used-up list clears the target", true, 0, {1}, false, -1, 0, 1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    THeadlessSettings s = Direct(t[tc.textIs]);
    s.AutoSwitch = tc.autoSwitch;
    for (int i : tc.list) s.Servers.push_back(i >= 0 ? t[i] : junk[-i]);
    THost host(s);
    ASSERT_TRUE(host.Ok);
    int accepted = live.connectionsAccepted();
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), "x"));  // waiting data cuts the pause between tries short
    if (tc.relayed) {
      EXPECT_EQ(ReadExactly(c.get(), 1), "x");
    } else {
      EXPECT_TRUE(WaitPeerClosed(c.get()));
      EXPECT_EQ(live.connectionsAccepted(), accepted);
      EXPECT_TRUE(WaitUntil([&] { return host.Window->SweepNow().Threads.empty(); }));
    }
    EXPECT_EQ(Engine(host, [](auto& e) { return e.TargetHost() + ":" + e.TargetPort(); }),
              tc.targetAfter < 0 ? ":" : t[tc.targetAfter]);
    EXPECT_EQ(Engine(host, [](auto& e) { return std::to_string(e.NextServerIndex()); }),
              std::to_string(tc.nextIndexAfter));
    EXPECT_EQ(host.Window->Query([&] { return host.Window->ServerText(); }), t[tc.textAfter]);
    if (tc.targetAfter < 0) {  // the next client starts again from the text, then the list
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {t[2]}; });
      auto c2 = host.Connect();
      EXPECT_TRUE(RoundTrip(c2.get(), "y"));
    }
  }
  THost none(Direct("no-colon"));  // no usable target at all: closed, no slot taken
  ASSERT_TRUE(none.Ok);
  EXPECT_TRUE(WaitPeerClosed(none.Connect().get()));
  EXPECT_EQ(none.Threads(), 0);
}

TEST(Relay, ThroughRealProxiesThenDirectOnTheSameSlot) {
  const struct {
    RealProxy::Kind kind;
    int type;
    RealProxy::Credentials credentials;
  } cases[] = {{RealProxy::Kind::Microsocks, 3, {"kova", "s3cret"}},
               {RealProxy::Kind::Dante, 2, {}},
               {RealProxy::Kind::Dante, 3, {}},
               {RealProxy::Kind::Tinyproxy, 1, {"kova", "s3cret"}}};
  EchoServer echo;
  for (const auto& tc : cases) {
    SCOPED_TRACE("proxy type " + std::to_string(tc.type));
    std::string error;
    auto proxy = RealProxy::Start(tc.kind, tc.credentials, &error);
    ASSERT_TRUE(proxy) << error;
    THeadlessSettings s = Direct("127.0.0.1:" + echo.portText());
    s.ProxyType = tc.type;
    s.ProxyText = proxy->host() + ":" + proxy->portText();
    s.ProxyUser = tc.credentials.user;
    s.ProxyPassword = tc.credentials.password;
    THost host(s);
    ASSERT_TRUE(host.Ok);
    EXPECT_TRUE(RoundTrip(host.Connect().get(), "through")) << proxy->Log();
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    host.Window->UpdateSettings([](THeadlessSettings& st) { st.ProxyType = 0; });
    proxy.reset();  // a slot still set for the proxy would now fail
    EXPECT_TRUE(RoundTrip(host.Connect().get(), "direct"));
  }
}

TEST(Relay, StopLeavesRelaysRunningAndShutdownUnderLoadLeavesNothing) {
  int threadsBefore = SettledThreadCount();
  int fdsBefore = CountOpenFds();
  {
    // Both ends flood and never read, so every worker ends up blocked in a send.
    TScriptedTarget flood([](int fd) {
      for (std::string chunk(65536, 'f'); SendAll(fd, chunk);) {
      }
    });
    auto host = std::make_unique<THost>(Direct(flood.Text()));
    ASSERT_TRUE(host->Ok);
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 50; ++i) {
      clients.push_back(host->Connect());
      std::string chunk(1 << 20, 'c');
      ::send(clients.back().get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    ASSERT_TRUE(WaitUntil([&] { return host->Threads() == 100 && flood.Accepted() == 50; }));
    int reports = host->Window->ListenReports();
    host->Window->StopService();
    EXPECT_EQ(host->Window->WaitListenReport(reports, 3000), 3);
    EXPECT_FALSE(host->Connect().valid());
    EXPECT_EQ(host->Connections(), 50);

    auto start = std::chrono::steady_clock::now();
    host.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 2000));
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s)) << CountOpenFds();
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s)) << CountThreads();
}

// ---- message by message ---------------------------------------------------------------------

struct TManualRig {
  explicit TManualRig(const std::string& target, TTickSource tick = SystemTick) {
    Window.Settings = Direct(target);
    Engine = std::make_unique<TRelayEngine>(Window, std::move(tick));
    Engine->StartService("0");
    EXPECT_TRUE(Window.DeliverUntil(*Engine, WM_LISTENSTATE));
    Address = Engine->ListeningAddress();
    Ok = Window.ListenState == 1 && IsLoopbackText(Address);
    EXPECT_TRUE(Ok) << "listener at '" << Address << "', not loopback: not connecting";
  }
  UniqueFd Accept() {
    auto c = ConnectTo(Address, static_cast<uint16_t>(Window.ListenPort));
    EXPECT_TRUE(Window.DeliverUntil(*Engine, WM_ACCEPT));
    return c;
  }
  bool ReleaseAndPark(intptr_t id) {
    Engine->HandleMessage(WM_CONNCLOSE, id);
    return WaitUntil([&] { return Engine->Sweep().Threads.empty(); });
  }
  TManualWindow Window;
  std::unique_ptr<TRelayEngine> Engine;
  std::string Address;
  bool Ok = false;
};

TEST(Relay, ALateReleaseMessageDoesNotEndTheSlotsNextRelay) {
  EchoServer echo;
  TManualRig rig("127.0.0.1:" + echo.portText());
  ASSERT_TRUE(rig.Ok);
  rig.Accept().Reset();
  auto firstId = rig.Window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(firstId && rig.ReleaseAndPark(*firstId));

  auto second = rig.Accept();  // gets the same slot: released slots come back first
  ASSERT_TRUE(RoundTrip(second.get(), "two"));
  ASSERT_EQ(rig.Engine->Sweep().Connections.at(0).substr(0, 2), std::to_string(*firstId & 0xFF) + ";");
  rig.Engine->HandleMessage(WM_CONNCLOSE, *firstId);         // the first relay's, late
  rig.Engine->HandleMessage(WM_CONNCLOSE, *firstId & 0xFF);  // a bare slot number
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  EXPECT_TRUE(RoundTrip(second.get(), "still here"));
  second.Reset();
  auto secondId = rig.Window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(secondId && *secondId != *firstId);
  EXPECT_TRUE(rig.ReleaseAndPark(*secondId));
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 0);
}

TEST(Relay, SweepRowsIdleClearingAndReturnOfThreadSlots) {
  EchoServer echo;
  TFakeClock clock;
  TManualRig rig("127.0.0.1:" + echo.portText(), clock.Source());
  ASSERT_TRUE(rig.Ok);
  rig.Window.Settings.IdleLimitMinutes = 0;
  auto c = rig.Accept();
  ASSERT_TRUE(RoundTrip(c.get(), "hello"));
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == 3; }));  // connect + 2 chunks
  sockaddr_in self{};
  socklen_t len = sizeof self;
  ::getsockname(c.get(), reinterpret_cast<sockaddr*>(&self), &len);
  std::string row = "0;" + rig.Address + ":" + std::to_string(ntohs(self.sin_port)) + ";127.0.0.1:" +
                    echo.portText() + ";5;5;62:5";

  clock.Now += 3725'000;  // minutes run past 59, no hours, no padding; limit 0 never clears
  TMonitorRows rows;
  EXPECT_TRUE(WaitUntil([&] {  // the sender counts its bytes just after the echo may be back
    rows = rig.Engine->Sweep();
    return rows.Connections == std::vector<std::string>{row};
  })) << rows.Connections.at(0);
  EXPECT_EQ(rows.Threads, (std::vector<std::string>{"0;0[客户->服务]", "1;0[服务->客户]"}));
  for (int limit : {0, -3}) {
    rig.Window.Settings.IdleLimitMinutes = limit;
    clock.Now += 100000'000;
    rig.Engine->Sweep();
  }
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  EXPECT_EQ(clock.WorkerReads.load(), 3);  // receiving alone takes no stamp

  rig.Window.Settings.IdleLimitMinutes = 1;
  ASSERT_TRUE(RoundTrip(c.get(), "fresh"));
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == 5; }));
  clock.Now += 60'000;
  EXPECT_TRUE(rig.Engine->Sweep().Connections.at(0).ends_with(";1:0"));  // 60 s stays
  clock.Now += 1'000;
  // Each tick lists the thread slots in use as it starts, including those it gives back.
  bool lastListing = false;
  auto sweep = [&] {
    size_t before = static_cast<size_t>(rig.Engine->ThreadsInUse());
    auto r = rig.Engine->Sweep();
    EXPECT_EQ(r.Threads.size(), before);
    lastListing |= before > 0 && rig.Engine->ThreadsInUse() == 0;
    return r;
  };
  rows = sweep();
  ASSERT_EQ(rows.Connections.size(), 1u);  // 61 s goes, still listed in that tick
  EXPECT_TRUE(rows.Connections[0].ends_with(";1:1"));
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitUntil([&] { return sweep().Connections.empty() && rig.Engine->ThreadsInUse() == 0; }));
  EXPECT_TRUE(lastListing);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
}

TEST(Relay, ShutdownWithASwitchPendingAndAClientStillQueued) {
  int threadsBefore = SettledThreadCount();
  EchoServer live;
  auto rig = std::make_unique<TManualRig>(UnusedTarget());
  ASSERT_TRUE(rig->Ok);
  rig->Window.Settings.Servers = {"127.0.0.1:" + live.portText()};
  auto c = rig->Accept();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  ASSERT_TRUE(rig->Window.Peek(WM_SYNCCALL));  // the worker waits for the window thread
  auto queued = ConnectTo(rig->Address, static_cast<uint16_t>(rig->Window.ListenPort));
  ASSERT_TRUE(rig->Window.Peek(WM_ACCEPT));     // accepted, not yet handled
  auto start = std::chrono::steady_clock::now();
  rig.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_TRUE(WaitPeerClosed(queued.get()));
  EXPECT_EQ(live.connectionsAccepted(), 0);
  live.Stop();
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s));
}

}  // namespace
}  // namespace kova::test
