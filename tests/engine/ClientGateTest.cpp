// Who comes in: the allow-list judged at accept, refusals recorded without spending a slot, a
// flood of them, and the client's address as accept gave it.

#include "RelayHarness.h"
#include "net/AllowList.h"

namespace kova::test {
namespace {

std::shared_ptr<const TAllowList> List(const std::string& text) {
  auto list = std::make_shared<TAllowList>();
  std::string bad;
  EXPECT_TRUE(list->Add(text, bad)) << bad;
  return list;
}

// Loopback gives the second client address: a client bound to 127.0.0.2 first. A mapped listener
// (an IPv6 socket bound to ::ffff:127.0.0.1) sees IPv4 clients as IPv4-mapped IPv6 addresses.
// Then 10 000 refused clients in a row: descriptors, threads and memory stay flat, every refusal
// is recorded or counted, and a client on the list is served at its usual pace meanwhile.
TEST(ClientGate, ListsLetInExactlyTheClientsTheyNameAndAFloodOfOthersCostsNothing) {
  EchoServer echo;
  // {listening address, list, client source address, served}
  const std::tuple<const char*, const char*, const char*, bool> rows[] = {
      {"127.0.0.1", "127.0.0.1", "127.0.0.2", false},
      {"127.0.0.1", "127.0.0.2/32", "127.0.0.2", true},
      {"::1", "::1", "::1", true},
      {"::1", "127.0.0.1, 0.0.0.0/0", "::1", false},
      {"::ffff:127.0.0.1", "127.0.0.1", "127.0.0.1", true},
      {"::ffff:127.0.0.1", "127.0.0.1", "127.0.0.2", false},
  };
  for (const auto& [listen, list, from, served] : rows) {
    SCOPED_TRACE(std::string(listen) + " [" + list + "] " + from);
    THeadlessSettings settings = Direct(echo.Text());
    settings.ListenAddress = listen;
    THost host(settings);
    if (!host.Ok) continue;  // said why already
    host.Do([&](TRelayEngine& e) { e.SetAllowList(List(list)); });
    const int accepted = echo.connectionsAccepted();
    const uint16_t port = static_cast<uint16_t>(host.Window->BoundPort());
    // An IPv4 client reaches the mapped listener on the IPv4 address it stands for.
    auto c = ConnectTo(std::string(listen).starts_with("::ffff:") ? "127.0.0.1" : listen, port, from);
    ASSERT_TRUE(c.valid());
    if (served) {
      EXPECT_TRUE(RoundTrip(c.get(), "in"));
      continue;
    }
    EXPECT_TRUE(WaitPeerClosed(c.get()));
    ASSERT_TRUE(WaitUntil([&] { return !host.Outcomes().empty(); }));
    const TRelayOutcome o = host.Outcomes().front();
    EXPECT_TRUE(o.End == TRelayEnd::NotAllowed && o.Failed() && o.Attempts.empty()) << OutcomeLine(o);
    EXPECT_NE(o.Client.find(from), std::string::npos) << o.Client;
    EXPECT_EQ(host.Connections() + host.Threads(), 0) << "a refused client took a slot";
    EXPECT_EQ(echo.connectionsAccepted(), accepted) << "a refused client reached the server";
  }

  THost host(Direct(echo.Text()));
  ASSERT_TRUE(host.Ok);
  std::atomic<uint64_t> refused{0};
  host.Do([&](TRelayEngine& e) {
    e.SetOutcomeHandler([&](const TRelayOutcome& o) {  // a record for those that did not fit says how many
      if (o.End == TRelayEnd::NotAllowed)
        refused += o.Client.empty() ? std::stoull(o.Detail.substr(o.Detail.find_first_of("0123456789"))) : 1;
    });
    e.SetAllowList(List("127.0.0.1"));
  });
  auto member = host.Connect("127.0.0.1");
  ASSERT_TRUE(RoundTrip(member.get(), "warm"));
  const long fds = CountOpenFds(), threads = CountThreads(), memory = ResidentKiB(), accepted = echo.connectionsAccepted();

  constexpr int kFlood = 10000;
  std::atomic<bool> flooding{true};
  // The window thread held busy for a while: refusals pile up past their queue and must be counted.
  std::thread busy([&] { host.Do([](TRelayEngine&) { std::this_thread::sleep_for(1500ms); }); });
  std::thread flood([&] {
    for (int i = 0; i < kFlood; ++i)  // the refusal's reset may overtake the connect's own return
      if (!host.Connect("127.0.0.2").valid() && errno != ECONNRESET) ADD_FAILURE() << "connect " << i << ": " << std::strerror(errno);
    flooding.store(false);
  });
  auto slowest = Clock::duration::zero();
  for (int trips = 0; flooding.load() || trips < 20; ++trips)
    slowest = std::max(slowest, Took([&] { ASSERT_TRUE(RoundTrip(member.get(), "ping")); }));
  flood.join();
  busy.join();
  EXPECT_LT(slowest, 500ms) << "the member waited behind the flood";
  ASSERT_TRUE(WaitUntil([&] { return refused.load() == kFlood; }, 20s)) << refused.load();
  EXPECT_LE(CountOpenFds(), fds);
  EXPECT_LE(CountThreads(), threads);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr long kSlackKiB = 64 * 1024;  // the sanitizers' own bookkeeping grows with every call
#else
  constexpr long kSlackKiB = 8 * 1024;
#endif
  EXPECT_LT(ResidentKiB() - memory, kSlackKiB) << "KiB grew";
  EXPECT_EQ(host.Connections(), 1);
  EXPECT_EQ(echo.connectionsAccepted(), accepted);
}

// A client that resets before the window thread takes it on still has the address accept gave.
TEST(ClientGate, AClientThatResetsAtOnceKeepsItsAddress) {
  TManualEngine m(UnusedTarget());
  m.Settings.AutoSwitch = false;
  m.Start();
  ASSERT_TRUE(m.Ok);
  auto c = m.Connect("127.0.0.2");
  sockaddr_in own{};
  socklen_t len = sizeof own;
  ASSERT_EQ(::getsockname(c.get(), reinterpret_cast<sockaddr*>(&own), &len), 0);
  ASSERT_TRUE(m.Peek(WM_ACCEPT));  // accepted, not yet handled
  ResetConnection(c.get());
  ASSERT_TRUE(m.DeliverUntil(*m.Engine, WM_CONNCLOSE));
  const auto outcomes = m.Engine->RecentOutcomes();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].Client, "127.0.0.2:" + std::to_string(ntohs(own.sin_port)));
}

}  // namespace
}  // namespace kova::test
