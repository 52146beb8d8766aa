// How relays end: late releases, the idle sweep and its clock, a release that never stalls the
// window thread, a handler that throws, shutdown mid-switch, and pumps that sleep until there is work.

#include <filesystem>
#include <fstream>

#include "RelayHarness.h"

namespace kova::test {
namespace {

// The test thread is the window thread here: posts are delivered, or held back, by hand.
TEST(RelayEnds, LateReleaseRowsIdleClearingAndShutdownMidSwitch) {
  EchoServer echo;
  TManualEngine m(echo.Text());
  m.Start();
  ASSERT_TRUE(m.Ok);
  m.Accept().Reset();  // its key, read before its end is delivered, goes stale with it
  const TRelayKey firstKey = m.Engine->Sweep().ConnectionKeys.at(0);
  auto firstId = m.Peek(WM_CONNCLOSE);
  ASSERT_TRUE(firstId);
  m.Engine->HandleMessage(WM_CONNCLOSE, *firstId);
  ASSERT_TRUE(WaitUntil([&] { return m.Engine->Sweep().Threads.empty(); }));
  const int reads = m.Clock.WorkerReads.load();
  m.Settings.IdleLimitMinutes = 0;
  auto c = m.Accept();  // gets the same slot: released slots come back first
  ASSERT_TRUE(RoundTrip(c.get(), "hello"));
  m.Engine->HandleMessage(WM_CONNCLOSE, *firstId);         // the first relay's, late
  m.Engine->HandleMessage(WM_CONNCLOSE, *firstId & 0xFF);  // a bare slot number
  EXPECT_FALSE(m.Engine->Disconnect(firstKey)) << "a stale row ended the relay now on its slot";
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 1);
  ASSERT_TRUE(RoundTrip(c.get(), "again"));
  ASSERT_TRUE(WaitUntil([&] { return m.Clock.WorkerReads.load() == reads + 5; }));  // connect + 4 chunks

  m.Clock.Now += 3725'000;  // minutes run past 59, no hours, no padding; limit 0 never clears
  std::vector<std::string> rows;
  EXPECT_TRUE(WaitUntil([&] {  // the sender counts its bytes just after the echo may be back
    rows = m.Engine->Sweep().Connections;
    return rows.size() == 1 && rows[0].starts_with("0;" + m.Address + ":") &&
           rows[0].ends_with(";" + echo.Text() + ";10;10;62:5");
  })) << rows.at(0);
  m.Clock.Now += 100000'000;
  m.Engine->Sweep();
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 1);
  EXPECT_EQ(m.Clock.WorkerReads.load(), reads + 5);  // receiving alone takes no stamp

  m.Settings.IdleLimitMinutes = 1;
  m.Clock.Stamp = m.Clock.Now.load();
  ASSERT_TRUE(RoundTrip(c.get(), "fresh"));
  ASSERT_TRUE(WaitUntil([&] { return m.Clock.WorkerReads.load() == reads + 7; }));
  m.Clock.Now += 60'000;
  EXPECT_TRUE(m.Engine->Sweep().Connections.at(0).ends_with(";1:0"));  // 60 s stays
  m.Clock.Now += 1'000;
  EXPECT_TRUE(m.Engine->Sweep().Connections.at(0).ends_with(";1:1"));  // 61 s goes, still listed in that tick
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitPeerClosed(c.get()));
  EXPECT_TRUE(WaitUntil([&] { return m.Engine->Sweep().Threads.empty(); }));  // parked workers give back

  // Shutdown while a worker waits for the window thread to switch servers, and a client is queued.
  m.Engine->SetTarget("127.0.0.1", HostAndPort(UnusedTarget()).second);
  m.Settings.Servers = {echo.Text()};
  auto waiting = m.Accept();
  ASSERT_TRUE(SendAll(waiting.get(), "x"));
  ASSERT_TRUE(m.Peek(WM_SYNCCALL));  // the worker's call, never delivered
  auto queued = m.Connect();
  ASSERT_TRUE(m.Peek(WM_ACCEPT));  // accepted, not yet handled
  EXPECT_LT(Took([&] { m.Engine.reset(); }), 2s);
  EXPECT_TRUE(WaitPeerClosed(waiting.get()));
  EXPECT_TRUE(WaitPeerClosed(queued.get()));
}

// Pumps stamp one fixed tick; the sweep reads its own, so the test puts it before or after every stamp.
TEST(RelayEnds, SweepClockReleaseLatencyHalfClosedIdleAndAThrowingPump) {
  std::atomic<int> ended{0};
  TScriptedTarget sink([&](int fd) {
    ReadUntilClosed(fd, 60000);
    ended.fetch_add(1);
  });
  TManualEngine m(sink.Text());
  m.Settings.IdleLimitMinutes = 1;
  std::atomic<bool> throwNext{false};
  m.Engine->SetPumpFaultForTests([&] {
    if (throwNext.exchange(false)) throw std::runtime_error("pump fault");
  });
  m.Start();
  ASSERT_TRUE(m.Ok);
  const uint32_t stamp = m.Clock.Stamp;

  auto streaming = m.Accept();
  std::atomic<bool> sending{true};
  std::thread sender([&] { for (const std::string chunk(65536, 's'); sending.load() && SendAll(streaming.get(), chunk);) continue; });
  ASSERT_TRUE(WaitUntil([&] { return m.Engine->Sweep().Connections.at(0).find(";0;0;") == std::string::npos; }));
  // Stamps newer than the sweep's reading are no idle time at all, never 49 days of it.
  m.Clock.Now = stamp - 10'000;
  EXPECT_TRUE(m.Engine->Sweep().Connections.at(0).ends_with(";0:0"));
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 1);
  // Past the limit: released while data pours in, without reading it away on this thread.
  m.Clock.Now = stamp + 61'000;
  EXPECT_LT(Took([&] { m.Engine->Sweep(); }), 50ms);
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 0);
  sending.store(false);
  ::shutdown(streaming.get(), SHUT_RDWR);
  sender.join();
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 1; }));

  // Half-closed and quiet: the idle sweep still ends it.
  m.Clock.Now = stamp;
  auto quiet = m.Accept();
  ASSERT_TRUE(SendAll(quiet.get(), "x"));
  ::shutdown(quiet.get(), SHUT_WR);
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 2; })) << "the target read the client's end";
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 1) << "the answering direction stays open";
  m.Clock.Now = stamp + 61'000;
  m.Engine->Sweep();
  EXPECT_TRUE(WaitPeerClosed(quiet.get()));
  m.Clock.Now = stamp;

  // Released by the sweep while a pump holds bytes its stalled target never takes; the workers,
  // reused at once by the next relay, pass on nothing of the old one.
  std::atomic<bool> stalling{true};
  TScriptedTarget stalled([&](int fd) {
    if (const std::string first = ReadExactly(fd, 1); first == "S") WaitUntil([&] { return !stalling.load(); }, 60s);
    else if (SendAll(fd, first)) Echo(fd);
  });
  m.Engine->SetTarget("127.0.0.1", stalled.portText());
  {
    auto c = m.Accept();
    std::thread sender = SendRepeated(c.get(), "S" + std::string(65535, 'a'), 256);  // more than every buffer holds
    std::string row, last;
    int still = 0;  // sweeps in a row that saw nothing move, with the client's bytes queued
    ASSERT_TRUE(WaitUntil([&] {
      last = std::exchange(row, m.Engine->Sweep().Connections.at(0));
      still = row == last && QueuedToSend(c.get()) > 0 ? still + 1 : 0;
      return still >= 25;
    }, 20s)) << row;
    m.Clock.Now = stamp + 61'000;
    m.Engine->Sweep();
    m.Clock.Now = stamp;
    ::shutdown(c.get(), SHUT_RDWR);
    sender.join();
  }
  stalling = false;
  ASSERT_TRUE(WaitUntil([&] { return m.Engine->Sweep().Threads.empty(); }));
  {
    auto c = m.Accept();
    const std::string fresh = "C" + RandomBytes(1 << 20, 21);
    std::thread sender([&] { SendAll(c.get(), fresh); });
    EXPECT_TRUE(ReadExactly(c.get(), fresh.size()) == fresh) << "bytes of the released relay came through";
    sender.join();
  }
  while (m.Engine->ConnectionsInUse() > 0 && m.DeliverUntil(*m.Engine, WM_CONNCLOSE)) continue;

  // A pump whose handler throws ends its relay like a failed one: 1025, then both slots return.
  throwNext.store(true);
  auto doomed = m.Accept();
  ASSERT_TRUE(SendAll(doomed.get(), "boom"));
  ASSERT_TRUE(m.DeliverUntil(*m.Engine, WM_CONNCLOSE));
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitPeerClosed(doomed.get()));
  EXPECT_TRUE(WaitUntil([&] { return m.Engine->Sweep().Threads.empty(); }));
  EXPECT_EQ(m.Engine->LastWorkerFailure(), "pump fault");
  m.Engine.reset();
}

// Voluntary context switches of every thread of this process so far.
long WakeUps() {
  long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
  }
  return total;
}

// Idle relays cost no wake-ups: their pumps sleep in the receive until data, an end or a close.
TEST(RelayEnds, IdleRelaysSleepUntilThereIsWorkAndAnEndWakesThemAtOnce) {
  EchoServer echo;
  auto host = std::make_unique<THost>(Direct(echo.Text()));
  ASSERT_TRUE(host->Ok);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 20; ++i) {  // every other one waits in a splice, having moved a bulk chunk
    ASSERT_TRUE(RoundTrip(clients.emplace_back(host->Connect()).get(), i % 2 ? std::string(65536, 'z') : "hi"));
  }
  const long before = WakeUps();
  std::this_thread::sleep_for(1s);  // measures what happens in a second of quiet
  EXPECT_LT(WakeUps() - before, 40) << "40 idle pumps woke periodically";
  EXPECT_LT(Took([&] { host.reset(); }), 1s);  // program end: every blocked pump is woken by its close, none by a time-out
  for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 1000));
}

}  // namespace
}  // namespace kova::test
