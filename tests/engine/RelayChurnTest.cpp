// Many short relays and bursts of clients with the monitor timer off: nothing leaks and no
// client is turned away while the tables have room.

#include <gtest/gtest.h>

#include "RelayHarness.h"

namespace kova::test {
namespace {

using namespace std::chrono_literals;

TEST(RelayChurn, SequentialRelaysAndBurstsSlow) {
  int threadsBefore = SettledThreadCount();
  int fdsBefore = CountOpenFds();
  {
    EchoServer echo;
    THost host(Direct("127.0.0.1:" + echo.portText()));
    ASSERT_TRUE(host.Ok);
    int fdsServing = CountOpenFds();
    int threadsServing = CountThreads();
    for (int i = 0; i < 20000; ++i) {
      ASSERT_TRUE(RoundTrip(host.Connect().get(), "k")) << "relay " << i << " turned away";
    }
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      std::vector<UniqueFd> clients(200);  // at once: exactly the first 50 are relayed
      for (auto& c : clients) ASSERT_TRUE(SendAll((c = host.Connect()).get(), "b"));
      int served = 0, closed = 0;
      for (auto& c : clients) {
        if (ReadExactly(c.get(), 1) == "b") {
          ++served;
        } else {
          closed += WaitPeerClosed(c.get(), 1000);
        }
      }
      EXPECT_EQ(served, 50);
      EXPECT_EQ(closed, 150);
      clients.clear();
      ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
      for (int i = 0; i < 50; ++i) clients.push_back(host.Connect());  // 50 at once: all relayed
      for (auto& c : clients) EXPECT_TRUE(RoundTrip(c.get(), "w"));
      clients.clear();
      ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsServing; })) << CountOpenFds();
    EXPECT_LE(CountThreads(), threadsServing + 100);  // one worker per thread slot, reused
    EXPECT_EQ(host.Window->SweepCount(), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s));
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s));
}

}  // namespace
}  // namespace kova::test
