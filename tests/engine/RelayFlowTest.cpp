// End to end through the headless window: clients and targets on loopback, the engine between.

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RelayHarness.h"
#include "support/RealProxies.h"

namespace kova::test {
namespace {

using namespace std::chrono_literals;

THeadlessSettings Direct(const std::string& target) {
  THeadlessSettings s;
  s.ServerText = target;
  s.ProxyType = 0;  // the window's default is an HTTP proxy off loopback
  return s;
}

bool RoundTrip(int fd, const std::string& text) {
  return SendAll(fd, text) && ReadExactly(fd, text.size()) == text;
}

// Serves a connection as an echo until the peer closes.
void EchoHandler(int fd) {
  char buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0 || !SendAll(fd, std::string(buf, static_cast<size_t>(n)))) return;
  }
}

std::vector<std::string> Fields(const std::string& row) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t semi = row.find(';', start);
    out.push_back(row.substr(start, semi - start));
    if (semi == std::string::npos) return out;
    start = semi + 1;
  }
}

// ---- one relay's life ------------------------------------------------------------------------

TEST(RelayFlow, EchoTargetGreeterSilentClientAndHalfClose) {
  EchoServer echo;
  TScriptedTarget greeter([](int fd) {
    SendAll(fd, "220 ready\r\n");
    EchoHandler(fd);
  });
  std::atomic<int> targetSawEnd{0};
  std::atomic<int> targetGot{0};
  TScriptedTarget recorder([&](int fd) {
    std::string got = ReadUntilClosed(fd, 5000);
    targetGot.store(static_cast<int>(got.size()));
    targetSawEnd.fetch_add(1);
  });

  {  // echo, many exchanges on one relay
    THost host(Direct("127.0.0.1:" + echo.portText()));
    ASSERT_TRUE(host.Ok);
    auto c = host.Connect();
    ASSERT_TRUE(c.valid());
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(RoundTrip(c.get(), "ping " + std::to_string(i)));
    EXPECT_EQ(host.Connections(), 1);
  }
  {  // the target speaks first while the client has sent nothing
    THost host(Direct(greeter.Text()));
    ASSERT_TRUE(host.Ok);
    auto c = host.Connect();
    EXPECT_EQ(ReadExactly(c.get(), 11), "220 ready\r\n");
    EXPECT_TRUE(RoundTrip(c.get(), "HELO"));
  }
  {  // a client that leaves without a byte: the relay ends and every slot comes back
    THost host(Direct(recorder.Text()));
    ASSERT_TRUE(host.Ok);
    host.Connect().Reset();
    EXPECT_TRUE(WaitUntil([&] { return targetSawEnd.load() == 1; }));
    EXPECT_EQ(targetGot.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    EXPECT_TRUE(WaitUntil([&] {
      host.Window->SweepNow();
      return host.Threads() == 0;
    }));
  }
  {  // half-close is not passed on: the relay ends and both sides see the end
    THost host(Direct(recorder.Text()));
    ASSERT_TRUE(host.Ok);
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), "last words"));
    ::shutdown(c.get(), SHUT_WR);
    EXPECT_TRUE(WaitPeerClosed(c.get()));
    EXPECT_TRUE(WaitUntil([&] { return targetSawEnd.load() == 2; }));
    EXPECT_EQ(targetGot.load(), 10);
    EXPECT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  }
}

TEST(RelayFlow, SixtyFourMebibytesEachWayAtOnceArriveIntactAndCounted) {
  constexpr size_t kTotal = 64u << 20;
  std::atomic<uint64_t> targetHash{0};
  std::atomic<uint64_t> targetSentHash{0};
  TScriptedTarget target([&](int fd) {
    std::thread sender([&, fd] {
      THash h;
      std::vector<char> chunk(65536);
      for (size_t off = 0; off < kTotal; off += chunk.size()) {
        FillPattern(chunk.data(), chunk.size(), 2, off);
        h.Add(chunk.data(), chunk.size());
        if (!SendAll(fd, std::string(chunk.data(), chunk.size()))) break;
      }
      targetSentHash.store(h.Value);
    });
    THash h;
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < kTotal) {
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      h.Add(buf.data(), static_cast<size_t>(n));
      got += static_cast<size_t>(n);
    }
    targetHash.store(got == kTotal ? h.Value : 0);
    sender.join();
    ReadUntilClosed(fd, 20000);
  });
  THost host(Direct(target.Text()));
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  ASSERT_TRUE(c.valid());

  uint64_t clientSentHash = 0;
  std::thread sender([&] {
    THash h;
    std::vector<char> chunk(65536);
    for (size_t off = 0; off < kTotal; off += chunk.size()) {
      FillPattern(chunk.data(), chunk.size(), 1, off);
      h.Add(chunk.data(), chunk.size());
      if (!SendAll(c.get(), std::string(chunk.data(), chunk.size()))) break;
    }
    clientSentHash = h.Value;
  });
  THash received;
  std::vector<char> buf(65536);
  size_t got = 0;
  while (got < kTotal) {
    ssize_t n = ::recv(c.get(), buf.data(), buf.size(), 0);
    if (n <= 0) break;
    received.Add(buf.data(), static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  sender.join();
  ASSERT_EQ(got, kTotal);
  EXPECT_EQ(received.Value, targetSentHash.load());
  ASSERT_TRUE(WaitUntil([&] { return targetHash.load() != 0; }, 20s));
  EXPECT_EQ(targetHash.load(), clientSentHash);

  // A direct upstream counts exactly the relayed bytes.
  auto rows = host.Window->SweepNow();
  ASSERT_EQ(rows.Connections.size(), 1u);
  auto f = Fields(rows.Connections[0]);
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[3], std::to_string(kTotal));
  EXPECT_EQ(f[4], std::to_string(kTotal));
}

// ---- capacity ------------------------------------------------------------------------------

TEST(RelayFlow, FiftyFirstClientIsClosedAtOnceWhileTheFiftyFlow) {
  EchoServer echo;
  THost host(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host.Ok);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(host.Connect());
    ASSERT_TRUE(RoundTrip(clients.back().get(), "hi " + std::to_string(i))) << i;
  }
  auto extra = host.Connect();
  EXPECT_TRUE(WaitPeerClosed(extra.get(), 2000));
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(RoundTrip(clients[static_cast<size_t>(i)].get(), "again")) << i;
  EXPECT_EQ(host.Connections(), 50);
}

TEST(RelayFlow, ThreadSlotsComeBackWithoutTheMonitorTimer) {
  // Each relay takes two thread slots; 80 sequential relays need parked slots given back.
  EchoServer echo;
  THost host(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host.Ok);
  for (int i = 0; i < 80; ++i) {
    auto c = host.Connect();
    ASSERT_TRUE(RoundTrip(c.get(), "n" + std::to_string(i))) << "client " << i << " refused";
    c.Reset();
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  }
  EXPECT_EQ(host.Window->SweepCount(), 0);
}

// ---- target choice and failover ---------------------------------------------------------------

TEST(RelayFlow, FailoverWalksTheListAndTheServerTextFollows) {
  EchoServer live;
  std::string liveText = "127.0.0.1:" + live.portText();
  std::string dead1 = UnusedTarget(), dead2 = UnusedTarget();
  THeadlessSettings s = Direct(dead1);
  s.Servers = {dead2, "nocolon", ":80", "host:", liveText, "127.0.0.1:1"};
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  // Data already waiting cuts the pause between tries short.
  ASSERT_TRUE(RoundTrip(c.get(), "x"));
  auto state = host.Window->Query([&] {
    auto* e = host.Window->Engine();
    return e->TargetHost() + ":" + e->TargetPort() + " " + std::to_string(e->NextServerIndex()) +
           " " + host.Window->ServerText();
  });
  EXPECT_EQ(state, liveText + " 5 " + liveText);
  // Later clients go straight to the target that answered.
  auto c2 = host.Connect();
  EXPECT_TRUE(RoundTrip(c2.get(), "y"));
  EXPECT_EQ(live.connectionsAccepted(), 2);
}

TEST(RelayFlow, SwitchingOffDropsTheClientAndKeepsTheTarget) {
  EchoServer live;
  std::string dead = UnusedTarget();
  THeadlessSettings s = Direct(dead);
  s.Servers = {"127.0.0.1:" + live.portText()};
  s.AutoSwitch = false;
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  auto target = host.Window->Query([&] {
    return host.Window->Engine()->TargetHost() + ":" + host.Window->Engine()->TargetPort();
  });
  EXPECT_EQ(target, dead);
  EXPECT_EQ(host.Window->Query([&] { return host.Window->ServerText(); }), dead);
  EXPECT_EQ(live.connectionsAccepted(), 0);
}

TEST(RelayFlow, UsedUpListClearsTheTargetAndTheNextClientStartsFromTheText) {
  EchoServer live;
  std::string dead1 = UnusedTarget(), dead2 = UnusedTarget();
  THeadlessSettings s = Direct(dead1);
  s.Servers = {dead2};
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  auto state = host.Window->Query([&] {
    auto* e = host.Window->Engine();
    return "[" + e->TargetHost() + "] " + std::to_string(e->NextServerIndex()) + " " +
           host.Window->ServerText();
  });
  EXPECT_EQ(state, "[] 0 " + dead2);

  // The list now leads to a live target: the text (the last entry tried) fails, entry 0 answers.
  std::string liveText = "127.0.0.1:" + live.portText();
  host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {liveText}; });
  auto c2 = host.Connect();
  EXPECT_TRUE(RoundTrip(c2.get(), "y"));
  EXPECT_EQ(host.Window->Query([&] { return host.Window->Engine()->NextServerIndex(); }), 1);
}

TEST(RelayFlow, NoUsableTargetClosesTheClientWithoutTakingASlot) {
  THeadlessSettings s = Direct("no-colon-here");
  s.Servers = {"", ":", "x:"};
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  EXPECT_TRUE(WaitPeerClosed(c.get(), 2000));
  EXPECT_EQ(host.Connections(), 0);
  EXPECT_EQ(host.Threads(), 0);
}

// ---- proxies ------------------------------------------------------------------------------

struct TProxyCase {
  const char* name;
  RealProxy::Kind kind;
  int proxyType;
  RealProxy::Credentials credentials;
};

TEST(RelayFlow, RelaysThroughRealProxiesAndDropsAnOldProxySetting) {
  const TProxyCase cases[] = {
      {"microsocks socks5 with password", RealProxy::Kind::Microsocks, 3, {"kova", "s3cret"}},
      {"dante socks4", RealProxy::Kind::Dante, 2, {}},
      {"dante socks5", RealProxy::Kind::Dante, 3, {}},
      {"tinyproxy http", RealProxy::Kind::Tinyproxy, 1, {}},
      {"tinyproxy http basic auth", RealProxy::Kind::Tinyproxy, 1, {"kova", "s3cret"}},
  };
  EchoServer echo;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    std::string error;
    auto proxy = RealProxy::Start(tc.kind, tc.credentials, &error);
    ASSERT_TRUE(proxy) << error;
    THeadlessSettings s = Direct("127.0.0.1:" + echo.portText());
    s.ProxyType = tc.proxyType;
    s.ProxyText = proxy->host() + ":" + proxy->portText();
    s.ProxyUser = tc.credentials.user;
    s.ProxyPassword = tc.credentials.password;
    THost host(s);
    ASSERT_TRUE(host.Ok);
    int before = echo.connectionsAccepted();
    {
      auto c = host.Connect();
      EXPECT_TRUE(RoundTrip(c.get(), "through the proxy")) << proxy->Log();
    }
    EXPECT_EQ(echo.connectionsAccepted(), before + 1);
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    // The same slot, now without a proxy: it must not keep talking to the proxy.
    host.Window->UpdateSettings([](THeadlessSettings& st) { st.ProxyType = 0; });
    proxy.reset();
    auto c = host.Connect();
    EXPECT_TRUE(RoundTrip(c.get(), "direct now"));
  }
}

// ---- service life -------------------------------------------------------------------------

TEST(RelayFlow, StopEndsTheListenerOnlyAndRelaysGoOn) {
  EchoServer echo;
  THost host(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  ASSERT_TRUE(RoundTrip(c.get(), "before"));
  int reports = host.Window->ListenReports();
  host.Window->StopService();
  EXPECT_EQ(host.Window->WaitListenReport(reports, 3000), 3);
  EXPECT_FALSE(ConnectTo(host.Address, host.Port).valid());
  EXPECT_TRUE(RoundTrip(c.get(), "after"));
  EXPECT_EQ(host.Connections(), 1);
  // And it starts again on a new port with the relay still there.
  reports = host.Window->ListenReports();
  host.Window->StartService("0");
  EXPECT_EQ(host.Window->WaitListenReport(reports, 3000), 1);
  EXPECT_TRUE(RoundTrip(c.get(), "still"));
}

TEST(RelayFlow, StartOnAPortInUseReportsFailure) {
  EchoServer echo;
  THost host(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host.Ok);
  THeadlessWindow second(Direct("127.0.0.1:" + echo.portText()));
  int reports = second.ListenReports();
  second.StartService(std::to_string(host.Port));
  EXPECT_EQ(second.WaitListenReport(reports, 3000), 2)
      << host.Address << ":" << host.Port << " and " << second.ListenAddress() << ":"
      << second.BoundPort();
}

TEST(RelayFlow, ShutdownWithFiftyBusyRelaysIsQuickAndLeavesNothing) {
  int threadsBefore = SettledThreadCount();
  int fdsBefore = CountOpenFds();
  {
    // The target floods and never reads; the clients flood and never read: every worker ends
    // up blocked in a send.
    TScriptedTarget flood([](int fd) {
      std::string chunk(65536, 'f');
      while (SendAll(fd, chunk)) {
      }
    });
    auto host = std::make_unique<THost>(Direct(flood.Text()));
    ASSERT_TRUE(host->Ok);
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 50; ++i) {
      clients.push_back(host->Connect());
      ASSERT_TRUE(clients.back().valid());
      std::string chunk(1 << 20, 'c');
      ::send(clients.back().get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    ASSERT_TRUE(WaitUntil([&] { return host->Connections() == 50 && flood.Accepted() == 50; }));
    ASSERT_TRUE(WaitUntil([&] { return host->Threads() == 100; }));

    auto start = std::chrono::steady_clock::now();
    host.reset();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 2s);
    for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 2000));
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s))
      << CountOpenFds() << " descriptors, " << fdsBefore << " before";
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s))
      << CountThreads() << " threads, " << threadsBefore << " before";
}

}  // namespace
}  // namespace kova::test
