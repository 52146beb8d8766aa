// Many short relays and bursts of clients: nothing may leak and no client may be turned away
// while the tables have room, with the monitor timer off.

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RelayHarness.h"

namespace kova::test {
namespace {

using namespace std::chrono_literals;

THeadlessSettings Direct(const std::string& target) {
  THeadlessSettings s;
  s.ServerText = target;
  s.ProxyType = 0;
  return s;
}

TEST(RelayChurn, TwentyThousandSequentialRelaysSlow) {
  int threadsBefore = SettledThreadCount();
  int fdsBefore = CountOpenFds();
  {
    EchoServer echo;
    THost host(Direct("127.0.0.1:" + echo.portText()));
    ASSERT_TRUE(host.Ok);
    int fdsServing = CountOpenFds();
    int threadsServing = CountThreads();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i) {
      auto c = host.Connect();
      ASSERT_TRUE(c.valid()) << i;
      ASSERT_TRUE(SendAll(c.get(), "k")) << i;
      ASSERT_EQ(ReadExactly(c.get(), 1, 5000), "k") << "relay " << i << " refused";
    }
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsServing; }))
        << CountOpenFds() << " descriptors, " << fdsServing << " before";
    // Workers are made once per thread slot and reused.
    EXPECT_LE(CountThreads(), threadsServing + 100);
    EXPECT_EQ(host.Window->SweepCount(), 0);
    std::cout << "20000 sequential relays in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s));
}

TEST(RelayChurn, BurstsOfConcurrentClientsSlow) {
  int threadsBefore = SettledThreadCount();
  int fdsBefore = CountOpenFds();
  {
    EchoServer echo;
    THost host(Direct("127.0.0.1:" + echo.portText()));
    ASSERT_TRUE(host.Ok);
    int fdsServing = CountOpenFds();

    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      // 200 at once: exactly the first 50 are relayed, the others closed at once.
      std::vector<UniqueFd> clients;
      for (int i = 0; i < 200; ++i) {
        clients.push_back(host.Connect());
        ASSERT_TRUE(clients.back().valid());
        ASSERT_TRUE(SendAll(clients.back().get(), "b"));
      }
      int served = 0, closed = 0;
      for (auto& c : clients) {
        std::string got = ReadExactly(c.get(), 1, 5000);
        if (got == "b") {
          ++served;
        } else if (WaitPeerClosed(c.get(), 1000)) {
          ++closed;
        }
      }
      EXPECT_EQ(served, 50);
      EXPECT_EQ(closed, 150);
      clients.clear();
      ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));

      // Then 50 at once, twice: every one is relayed though no sweep has run.
      for (int wave = 0; wave < 2; ++wave) {
        for (int i = 0; i < 50; ++i) clients.push_back(host.Connect());
        for (auto& c : clients) {
          ASSERT_TRUE(SendAll(c.get(), "w"));
          EXPECT_EQ(ReadExactly(c.get(), 1, 5000), "w") << "client refused with room left";
        }
        clients.clear();
        ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
      }
    }
    EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsServing; }))
        << CountOpenFds() << " descriptors, " << fdsServing << " before";
    EXPECT_EQ(host.Window->SweepCount(), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s));
}

}  // namespace
}  // namespace kova::test
