// The engine driven message by message: the test thread is the window thread, so it decides
// when each posted message is handled and when the monitor sweep runs.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "RelayHarness.h"

namespace kova::test {
namespace {

using namespace std::chrono_literals;

bool RoundTrip(int fd, const std::string& text) {
  return SendAll(fd, text) && ReadExactly(fd, text.size()) == text;
}

std::string LocalEndpoint(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

struct TManualRig {
  explicit TManualRig(const std::string& target, TTickSource tick = SystemTick) {
    Window.Settings.ServerText = target;
    Window.Settings.ProxyType = 0;
    Engine = std::make_unique<TRelayEngine>(Window, std::move(tick));
    Port = StartManual(*Engine, Window, &Address);
  }
  // Connects a client and lets the engine take it.
  UniqueFd Accept() {
    auto c = ConnectTo(Address, Port);
    EXPECT_TRUE(c.valid());
    EXPECT_TRUE(Window.DeliverUntil(*Engine, WM_ACCEPT));
    return c;
  }
  // Sweeps until every thread slot is back (workers parked), within the deadline.
  bool SweepUntilThreadsBack() {
    return WaitUntil([&] {
      Engine->Sweep();
      return Engine->ThreadsInUse() == 0;
    });
  }

  TManualWindow Window;
  std::unique_ptr<TRelayEngine> Engine;
  std::string Address;
  uint16_t Port = 0;
};

// ---- release messages name one relay ---------------------------------------------------------

TEST(RelayEngine, ALateReleaseMessageDoesNotEndTheSlotsNextRelay) {
  EchoServer echo;
  TManualRig rig("127.0.0.1:" + echo.portText());
  ASSERT_NE(rig.Port, 0);

  auto first = rig.Accept();
  ASSERT_TRUE(RoundTrip(first.get(), "one"));
  first.Reset();
  auto firstId = rig.Window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(firstId);
  ASSERT_TRUE(rig.Window.DeliverWhile(*rig.Engine, [&] { return rig.Engine->ConnectionsInUse() == 0; }));
  ASSERT_TRUE(rig.SweepUntilThreadsBack());

  // The freed slot is handed out again (last released first).
  auto second = rig.Accept();
  ASSERT_TRUE(RoundTrip(second.get(), "two"));
  auto rows = rig.Engine->Sweep();
  ASSERT_EQ(rows.Connections.size(), 1u);
  ASSERT_EQ(rows.Connections[0].substr(0, 2), std::to_string(*firstId & 0xFF) + ";");

  // The first relay's message, and a bare slot number, arrive late: both are ignored.
  rig.Engine->HandleMessage(WM_CONNCLOSE, *firstId);
  rig.Engine->HandleMessage(WM_CONNCLOSE, *firstId & 0xFF);
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  EXPECT_TRUE(RoundTrip(second.get(), "still here"));

  // Its own message does end it.
  second.Reset();
  auto secondId = rig.Window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(secondId);
  EXPECT_NE(*secondId, *firstId);
  EXPECT_EQ(*secondId & 0xFF, *firstId & 0xFF);
  EXPECT_TRUE(rig.Window.DeliverWhile(*rig.Engine, [&] { return rig.Engine->ConnectionsInUse() == 0; }));
}

TEST(RelayEngine, TwoReleaseMessagesForOneRelayReleaseItOnce) {
  EchoServer echo;
  TManualRig rig("127.0.0.1:" + echo.portText());
  ASSERT_NE(rig.Port, 0);
  auto c = rig.Accept();
  ASSERT_TRUE(RoundTrip(c.get(), "x"));
  c.Reset();
  auto id = rig.Window.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(id);
  rig.Engine->HandleMessage(WM_CONNCLOSE, *id);
  auto other = rig.Accept();  // takes the same slot again
  rig.Engine->HandleMessage(WM_CONNCLOSE, *id);
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  EXPECT_TRUE(RoundTrip(other.get(), "alive"));
}

// ---- the monitor sweep ------------------------------------------------------------------------

TEST(RelayEngine, SweepRowsAndIdleClearingFollowTheClock) {
  EchoServer echo;
  TFakeClock clock;
  TManualRig rig("127.0.0.1:" + echo.portText(), clock.Source());
  ASSERT_NE(rig.Port, 0);
  rig.Window.Settings.IdleLimitMinutes = 0;

  auto c = rig.Accept();
  ASSERT_TRUE(RoundTrip(c.get(), "hello"));
  std::string client = LocalEndpoint(c.get());
  std::string server = "127.0.0.1:" + echo.portText();
  // Stamps so far: the connect and one chunk each way.
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == 3; }));

  // Idle time counts from the last chunk; 0 never clears, and minutes run past 59.
  clock.AdvanceSeconds(3725);
  TMonitorRows rows;
  std::string expected = "0;" + client + ";" + server + ";5;5;62:5";
  // The sending worker counts its bytes just after the send, maybe after the echo is back.
  EXPECT_TRUE(WaitUntil([&] {
    rows = rig.Engine->Sweep();
    return rows.Connections.size() == 1 && rows.Connections[0] == expected;
  })) << (rows.Connections.empty() ? "no row" : rows.Connections[0]);
  EXPECT_EQ(clock.WorkerReads.load(), 3);
  ASSERT_EQ(rows.Threads.size(), 2u);
  EXPECT_EQ(rows.Threads[0], "0;0[客户->服务]");
  EXPECT_EQ(rows.Threads[1], "1;0[服务->客户]");
  clock.AdvanceSeconds(100000);
  rig.Engine->Sweep();
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  rig.Window.Settings.IdleLimitMinutes = -3;
  rig.Engine->Sweep();
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);

  // Limit 1 minute: 60 s idle stays, 61 s goes, and that tick still lists it.
  rig.Window.Settings.IdleLimitMinutes = 1;
  ASSERT_TRUE(RoundTrip(c.get(), "fresh"));  // stamps again
  ASSERT_TRUE(WaitUntil([&] { return clock.WorkerReads.load() == 5; }));
  clock.AdvanceSeconds(60);
  rows = rig.Engine->Sweep();
  ASSERT_EQ(rows.Connections.size(), 1u);
  EXPECT_EQ(rows.Connections[0].substr(rows.Connections[0].rfind(';')), ";1:0");
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 1);
  clock.AdvanceSeconds(1);
  // Every tick lists exactly the thread slots in use when it starts, including those it returns.
  bool sawLastListing = false;
  auto sweep = [&] {
    int before = rig.Engine->ThreadsInUse();
    auto r = rig.Engine->Sweep();
    EXPECT_EQ(static_cast<int>(r.Threads.size()), before);
    if (before > 0 && rig.Engine->ThreadsInUse() == 0) sawLastListing = true;
    return r;
  };
  rows = sweep();
  ASSERT_EQ(rows.Connections.size(), 1u);
  EXPECT_EQ(rows.Connections[0].substr(rows.Connections[0].rfind(';')), ";1:1");
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 0);
  // The workers stay listed until a tick finds them parked; that tick lists them one last time.
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_TRUE(sweep().Connections.empty());
    return rig.Engine->ThreadsInUse() == 0;
  }));
  EXPECT_TRUE(sawLastListing);
  EXPECT_TRUE(rig.Engine->Sweep().Threads.empty());
  EXPECT_TRUE(WaitPeerClosed(c.get()));
}

TEST(RelayEngine, AGivenUpRelayReturnsBothThreadSlotsIncludingTheUnstartedOne) {
  TManualRig rig(UnusedTarget());
  ASSERT_NE(rig.Port, 0);
  rig.Window.Settings.AutoSwitch = false;
  auto c = rig.Accept();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  ASSERT_TRUE(rig.Window.DeliverUntil(*rig.Engine, WM_CONNCLOSE));
  EXPECT_EQ(rig.Engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_TRUE(rig.SweepUntilThreadsBack());
}

// ---- shutdown ----------------------------------------------------------------------------

TEST(RelayEngine, ShutdownWhileAWorkerWaitsForServerSwitchDoesNotHang) {
  int threadsBefore = SettledThreadCount();
  EchoServer live;
  TManualRig rig(UnusedTarget());
  ASSERT_NE(rig.Port, 0);
  rig.Window.Settings.Servers = {"127.0.0.1:" + live.portText()};
  auto c = rig.Accept();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  // The worker has failed once and now waits for the window thread, which does not answer.
  ASSERT_TRUE(rig.Window.Peek(WM_SYNCCALL));
  auto start = std::chrono::steady_clock::now();
  rig.Engine.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_EQ(live.connectionsAccepted(), 0);
  live.Stop();
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s));
}

TEST(RelayEngine, AcceptedClientsStillQueuedAtShutdownAreClosed) {
  EchoServer echo;
  TManualRig rig("127.0.0.1:" + echo.portText());
  ASSERT_NE(rig.Port, 0);
  auto c = ConnectTo(rig.Address, rig.Port);
  ASSERT_TRUE(c.valid());
  ASSERT_TRUE(rig.Window.Peek(WM_ACCEPT));  // on its way, not yet handled
  rig.Engine.reset();
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_EQ(echo.connectionsAccepted(), 0);
}

TEST(RelayEngine, ServerSwitchRunsOnTheWindowThreadWhenItHandlesTheCall) {
  EchoServer live;
  std::string dead = UnusedTarget();
  TManualRig rig(dead);
  ASSERT_NE(rig.Port, 0);
  std::string liveText = "127.0.0.1:" + live.portText();
  rig.Window.Settings.Servers = {liveText};
  auto c = rig.Accept();
  ASSERT_TRUE(SendAll(c.get(), "x"));
  ASSERT_TRUE(rig.Window.Peek(WM_SYNCCALL));
  // Until the call is handled nothing has moved.
  EXPECT_EQ(rig.Engine->TargetPort(), dead.substr(dead.find(':') + 1));
  ASSERT_TRUE(rig.Window.DeliverUntil(*rig.Engine, WM_SYNCCALL));
  EXPECT_EQ(rig.Window.Settings.ServerText, liveText);
  EXPECT_EQ(ReadExactly(c.get(), 1), "x");
}

}  // namespace
}  // namespace kova::test
