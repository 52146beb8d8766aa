// How relays end: half-closes passed on, resets at once, the idle sweep's clock, a release that
// never stalls the window thread, and a handler that throws. Real peers on loopback.

#include <filesystem>
#include <fstream>
#include <random>

#include "RelayHarness.h"

namespace kova::test {
namespace {

std::string RandomBytes(size_t n, uint64_t seed) {
  std::string s(n, 0);
  std::mt19937_64 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void ResetAndClose(UniqueFd& fd) {
  const linger hard{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  fd.Reset();
}

TEST(RelayEnds, HalfClosesArePassedOnAndResetsEndAtOnce) {
  const std::string answer = RandomBytes(1 << 20, 11), upload = RandomBytes(256 << 10, 12);
  std::atomic<int> requests{-1};
  std::string uploaded;
  std::atomic<bool> uploadDone{false};
  // Reads every request to the end, then answers: the answer exists only after the half-close.
  TScriptedTarget batch([&](int fd) {
    const std::string got = ReadUntilClosed(fd, 10000);
    int n = 0;
    for (size_t at = 0; (at = got.find("PING\r\n", at)) != std::string::npos; at += 6) ++n;
    requests.store(n);
    SendAll(fd, answer);
  });
  // Says goodbye first, then keeps listening.
  TScriptedTarget farewell([&](int fd) {
    SendAll(fd, "bye");
    ::shutdown(fd, SHUT_WR);
    uploaded = ReadUntilClosed(fd, 10000);
    uploadDone.store(true);
  });
  std::atomic<int> sinkEnded{0};
  TScriptedTarget sink([&](int fd) {
    ReadUntilClosed(fd, 10000);
    sinkEnded.fetch_add(1);
  });
  THost host(Direct(batch.Text()));
  ASSERT_TRUE(host.Ok);
  auto target = [&](const TScriptedTarget& t) {
    host.Window->Call([&] { host.Window->Engine()->SetTarget("127.0.0.1", t.Text().substr(10)); });
  };
  {
    auto c = host.Connect();
    std::string requestsText;
    for (int i = 0; i < 1000; ++i) requestsText += "PING\r\n";
    ASSERT_TRUE(SendAll(c.get(), requestsText));
    ::shutdown(c.get(), SHUT_WR);
    const std::string got = ReadUntilClosed(c.get(), 10000);
    EXPECT_EQ(requests.load(), 1000);
    EXPECT_TRUE(got == answer) << got.size() << " of " << answer.size() << " bytes, or wrong ones";
  }
  target(farewell);
  {
    auto c = host.Connect();
    EXPECT_EQ(ReadExactly(c.get(), 3), "bye");
    EXPECT_TRUE(WaitPeerClosed(c.get())) << "the target's end reaches the client";
    ASSERT_TRUE(SendAll(c.get(), upload)) << "the other direction still pumps";
    ::shutdown(c.get(), SHUT_WR);
    ASSERT_TRUE(WaitUntil([&] { return uploadDone.load(); }, 10s));
    EXPECT_TRUE(uploaded == upload) << uploaded.size() << " of " << upload.size();
  }
  ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; })) << "both ends ended: the relay is over";
  // A reset on either side ends the relay at once, whatever the other direction is doing.
  target(sink);
  {
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), upload));
    ResetAndClose(c);
    EXPECT_TRUE(WaitUntil([&] { return sinkEnded.load() == 1; }, 3s));
  }
  TScriptedTarget resetter([&](int fd) {
    ReadExactly(fd, 2);
    UniqueFd own(::dup(fd));
    ::shutdown(fd, SHUT_RD);
    ResetAndClose(own);
  });
  target(resetter);
  {
    auto c = host.Connect();
    ASSERT_TRUE(SendAll(c.get(), "go"));
    EXPECT_TRUE(WaitPeerClosed(c.get(), 3000));
  }
  EXPECT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return host.Window->SweepNow(), host.Threads() == 0; })) << "every thread slot back";
}

// The test thread is the window thread. Pumps stamp one fixed tick; the sweep reads its own, so a
// test can put the sweep's reading before or after every stamp.
struct TSplitClock {
  std::atomic<uint32_t> SweepNow{5'000'000};
  std::thread::id Window = std::this_thread::get_id();
  TTickSource Source() {
    return [this] { return std::this_thread::get_id() == Window ? SweepNow.load() : 5'000'000u; };
  }
};

TEST(RelayEnds, SweepClockReleaseLatencyHalfClosedIdleAndAThrowingPump) {
  std::atomic<int> ended{0};
  TScriptedTarget sink([&](int fd) {
    ReadUntilClosed(fd, 60000);
    ended.fetch_add(1);
  });
  TSplitClock clock;
  TManualWindow window;
  window.Settings = Direct(sink.Text());
  window.Settings.IdleLimitMinutes = 1;
  std::atomic<bool> throwNext{false};
  auto engine = std::make_unique<TRelayEngine>(window, clock.Source());
  engine->SetPumpFaultForTests([&] {
    if (throwNext.exchange(false)) throw std::runtime_error("pump fault");
  });
  engine->StartService("0", "127.0.0.1");
  ASSERT_TRUE(window.DeliverUntil(*engine, WM_LISTENSTATE) && window.ListenState == 1);
  ASSERT_TRUE(IsLoopbackText(engine->ListeningAddress()));
  auto accept = [&] {
    auto c = ConnectTo(engine->ListeningAddress(), static_cast<uint16_t>(window.ListenPort));
    EXPECT_TRUE(window.DeliverUntil(*engine, WM_ACCEPT));
    return c;
  };

  auto streaming = accept();
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    for (const std::string chunk(65536, 's'); sending.load() && SendAll(streaming.get(), chunk);) {
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return engine->Sweep().Connections.at(0).find(";0;0;") == std::string::npos; }));
  // Stamps newer than the sweep's reading are no idle time at all, never 49 days of it.
  clock.SweepNow = 5'000'000 - 10'000;
  EXPECT_TRUE(engine->Sweep().Connections.at(0).ends_with(";0:0"));
  EXPECT_EQ(engine->ConnectionsInUse(), 1);
  // Past the limit: released while data pours in, without reading it away on this thread.
  clock.SweepNow = 5'000'000 + 61'000;
  const auto begin = std::chrono::steady_clock::now();
  engine->Sweep();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 50ms);
  EXPECT_EQ(engine->ConnectionsInUse(), 0);
  sending.store(false);
  ::shutdown(streaming.get(), SHUT_RDWR);
  sender.join();
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 1; }));

  // Half-closed and quiet: the idle sweep still ends it.
  clock.SweepNow = 5'000'000;
  auto quiet = accept();
  ASSERT_TRUE(SendAll(quiet.get(), "x"));
  ::shutdown(quiet.get(), SHUT_WR);
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 2; })) << "the target read the client's end";
  EXPECT_EQ(engine->ConnectionsInUse(), 1) << "the answering direction stays open";
  clock.SweepNow = 5'000'000 + 61'000;
  engine->Sweep();
  EXPECT_TRUE(WaitPeerClosed(quiet.get()));
  clock.SweepNow = 5'000'000;

  // A pump whose handler throws ends its relay like a failed one: 1025, then both slots return.
  throwNext.store(true);
  auto doomed = accept();
  ASSERT_TRUE(SendAll(doomed.get(), "boom"));
  ASSERT_TRUE(window.DeliverUntil(*engine, WM_CONNCLOSE));
  EXPECT_EQ(engine->ConnectionsInUse(), 0);
  EXPECT_TRUE(WaitPeerClosed(doomed.get()));
  EXPECT_TRUE(WaitUntil([&] { return engine->Sweep().Threads.empty(); }));
  EXPECT_EQ(engine->LastWorkerFailure(), "pump fault");
  engine.reset();
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
  auto host = std::make_unique<THost>(Direct("127.0.0.1:" + echo.portText()));
  ASSERT_TRUE(host->Ok);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(RoundTrip(clients.emplace_back(host->Connect()).get(), "hi"));
  const long before = WakeUps();
  std::this_thread::sleep_for(1s);  // measures what happens in a second of quiet
  EXPECT_LT(WakeUps() - before, 40) << "40 idle pumps woke periodically";
  const auto begin = std::chrono::steady_clock::now();
  host.reset();  // program end: every blocked pump is woken by its close, none by a time-out
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 1000));
}

// The real clock under load: 45 relays stream for 30 s past a 1 s sweep with a 1-minute limit.
TEST(RelayEnds, BusyRelaysAreNeverCutByTheSweep) {
  TScriptedTarget sink([](int fd) { ReadUntilClosed(fd, 120000); });
  THeadlessSettings settings = Direct(sink.Text());
  settings.IdleLimitMinutes = 1;
  THost host(settings);
  ASSERT_TRUE(host.Ok);
  host.Window->SetSweepPeriod(1000);
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 45; ++i) clients.push_back(host.Connect());
  std::atomic<int> cut{0};
  std::vector<std::thread> streams;
  const auto end = std::chrono::steady_clock::now() + 30s;
  for (auto& c : clients) {
    streams.emplace_back([&, fd = c.get()] {
      for (const std::string chunk(4096, 'b'); std::chrono::steady_clock::now() < end;) {
        if (!SendAll(fd, chunk)) {
          cut.fetch_add(1);
          return;
        }
        std::this_thread::sleep_for(5ms);  // steady traffic, not a race for the CPU
      }
    });
  }
  for (auto& t : streams) t.join();
  EXPECT_EQ(cut.load(), 0);
  EXPECT_EQ(host.Connections(), 45);
  EXPECT_GE(host.Window->SweepCount(), 25);
}

}  // namespace
}  // namespace kova::test
