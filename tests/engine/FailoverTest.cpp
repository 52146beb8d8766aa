// Failover under load: concurrent failures move the current server once, no client is dropped
// while a listed server answers, and a server that never answers costs seconds.

#include <fcntl.h>

#include "RelayHarness.h"
#include "net/BlockSocket.h"

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

// Each row three times over, 40 clients at once; an unusable entry is skipped like a dead one.
TEST(Failover, FortyClientsAtOnceAreAllServedWhileAListedServerAnswers) {
  EchoServer live;
  const std::string L = "127.0.0.1:" + live.portText(), D = UnusedTarget();
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> list;
    bool autoSwitch, served;
    int nextIndex;  // -1: not checked
  } cases[] = {
      {"dead, live", D, {D, L}, true, true, -1},
      {"dead, dead, live", D, {D, UnusedTarget(), L}, true, true, -1},
      {"live", L, {L}, true, true, -1},
      {"past dead and unusable entries", D, {UnusedTarget(), "nocolon", ":80", "host:", L, D}, true, true, 5},
      {"dead, dead, dead: the list is used up", D, {UnusedTarget(), UnusedTarget()}, true, false, 0},
      {"switching off", D, {L}, false, false, 0},
  };
  for (const auto& tc : cases) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(tc.name) + ", round " + std::to_string(round));
      THeadlessSettings s = Direct(tc.text);
      s.Servers = tc.list;
      s.AutoSwitch = tc.autoSwitch;
      THost host(s);
      ASSERT_TRUE(host.Ok);
      const int accepted = live.connectionsAccepted();
      std::vector<UniqueFd> clients(40);
      // Data already waiting cuts each pause between tries short.
      for (auto& c : clients) ASSERT_TRUE(SendAll((c = host.Connect()).get(), "x"));
      const auto begin = std::chrono::steady_clock::now();
      int served = 0, dropped = 0;
      for (auto& c : clients) {
        if (ReadExactly(c.get(), 1, 10000) == "x") ++served;
        else dropped += WaitPeerClosed(c.get(), 10000);
      }
      EXPECT_EQ(served, tc.served ? 40 : 0);
      EXPECT_EQ(dropped, tc.served ? 0 : 40);
      if (!tc.served) { EXPECT_EQ(live.connectionsAccepted(), accepted); }
      // A dropped client tried each server once at most, each try well under a second here.
      EXPECT_LT(std::chrono::steady_clock::now() - begin, 8s);
      host.Window->Call([&] {
        auto& e = *host.Window->Engine();
        const std::string target = e.TargetHost() + ":" + e.TargetPort();
        if (tc.nextIndex >= 0) { EXPECT_EQ(e.NextServerIndex(), tc.nextIndex); }
        if (tc.served) {
          EXPECT_EQ(target, L);
          EXPECT_EQ(host.Window->ServerText(), L) << "the text field follows";
        } else if (tc.autoSwitch) {
          EXPECT_EQ(target, ":");
        } else {
          EXPECT_EQ(target, tc.text) << "switching off never moves the target";
          EXPECT_EQ(host.Window->ServerText(), tc.text);
        }
      });
      if (tc.served || !tc.autoSwitch) continue;
      // A used-up list cleared the target: the next client starts from the text, then the list.
      host.Window->UpdateSettings([&](THeadlessSettings& st) { st.Servers = {L}; });
      EXPECT_TRUE(RoundTrip(host.Connect().get(), "y"));
    }
  }
}

TEST(Failover, AServerThatNeverAnswersCostsSecondsAndCloseEndsTheWait) {
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
  THeadlessSettings s = Direct(hole.Text());  // typed in the text field, the list holds the next
  s.Servers = {"127.0.0.1:" + live.portText()};
  THost host(s);
  ASSERT_TRUE(host.Ok);
  auto c = host.Connect();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadExactly(c.get(), 1, 30000), "x");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 25s);
}

}  // namespace
}  // namespace kova::test
