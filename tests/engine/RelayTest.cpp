// The relay end to end on loopback: bytes both ways, half-closes, churn, stopping and shutdown under
// load; and how relays end: late releases, the idle sweep, a throwing handler, idle pumps, shutdown.

#include <sys/resource.h>

#include "RelayHarness.h"
#include "support/FakePeer.h"

namespace kova::test {
namespace {

TEST(Relay, GreetingBulkBothWaysHalfClosesAndResets) {
  TScriptedTarget greeter([](int fd) { SendAll(fd, "220 ready\r\n"), Echo(fd); });
  THost host(Direct(greeter.Text()));
  ASSERT_TRUE(host.Ok);
  // Bulk goes around the program through a pipe; the seam makes the pumps copy instead, or move
  // short pieces until a splice is refused with the pipe half full, and the copied rest in short sends.
  enum { kSplice, kCopy, kShortThenRefused };
  std::atomic<int> mode{kSplice}, splicesIn{0}, outs{0};
  host.Do([&](TRelayEngine& e) {
    e.SetSpliceSeamForTests([&](bool in, int length) {
      splicesIn += in;
      return mode == kCopy ? (in ? 0 : length) : mode == kSplice || in ? length : ++outs % 64 == 0 ? 0 : std::min(length, 1000);
    });
  });
  const std::string block = RandomBytes(65537, 7);  // not a multiple of the relay's chunk, so misorder shows
  // {seam, blocks each way}: 64 MiB each way at once when spliced, since the target echoes while it receives.
  for (const auto& [seam, blocks] : {std::pair{kSplice, 1024}, {kCopy, 64}, {kShortThenRefused, 64}}) {
    SCOPED_TRACE(seam);
    mode = seam, splicesIn = 0;
    ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; }));  // each row on slot 0
    auto c = host.Connect();
    EXPECT_EQ(ReadExactly(c.get(), 11), "220 ready\r\n");  // before the client says anything
    const size_t total = blocks * block.size();
    std::thread sender = SendRepeated(c.get(), block, blocks);
    size_t mismatches = 0;
    const size_t n = ReadPattern(c.get(), block, 0, total, mismatches);
    if (n != total) ::shutdown(c.get(), SHUT_RDWR);  // frees a sender stuck behind a stalled relay
    sender.join();
    EXPECT_TRUE(n == total && mismatches == 0) << n << " bytes, " << mismatches << " of them wrong";
    EXPECT_GT(splicesIn.load(), seam == kSplice ? 100 : 0) << "bulk went around the program";
    // Whole chunks with nothing queued behind them leave at once, never held back for more.
    for (int i = 0; i < 5; ++i) EXPECT_LT(Took([&] { EXPECT_TRUE(RoundTrip(c.get(), std::string(3 * 8192, 'm'))); }), 150ms);
  }
  mode = kSplice;
  // A reader far slower than the writer: the relay holds back, it does not take the bytes in.
  constexpr size_t kSlowTotal = 32u << 20;
  std::atomic<size_t> slowMismatches{0}, slowRead{0};
  TScriptedTarget slow([&](int fd) {
    size_t wrong = 0;
    for (size_t n = 0, was = 1; n < kSlowTotal && n != was; std::this_thread::sleep_for(2ms)) {
      was = n;
      slowRead = n = ReadPattern(fd, block, n, std::min(n + 65536, kSlowTotal), wrong);
    }
    slowMismatches = wrong;
  });
  {
    auto c = host.Through(slow.Text());
    const long before = ResidentKiB();
    long peak = before;
    std::thread sender = SendRepeated(c.get(), block, kSlowTotal / block.size() + 1);
    for (const auto end = Clock::now() + 60s; slowRead.load() < kSlowTotal && Clock::now() < end;) {
      peak = std::max(peak, ResidentKiB());
      WaitUntil([&] { return slowRead.load() >= kSlowTotal; }, 10ms);
    }
    ::shutdown(c.get(), SHUT_RDWR);  // the rest stays unsent
    sender.join();
    EXPECT_EQ(std::pair(slowRead.load(), slowMismatches.load()), std::pair(kSlowTotal, size_t{0}));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps every freed buffer resident
    EXPECT_LT(peak - before, 8 << 10) << "KiB taken in while the reader lagged";
#endif
  }
  // One side ends first, the other still pumps: an answer sent after the client's end, an upload after the target's.
  const std::string answer = RandomBytes(1 << 20, 11), upload = RandomBytes(256 << 10, 12);
  std::atomic<bool> targetFirst{false}, uploaded{false};
  std::string received;
  TScriptedTarget halves([&](int fd) {
    if (targetFirst) SendAll(fd, "bye"), ::shutdown(fd, SHUT_WR);
    received = ReadUntilClosed(fd, 10000);
    uploaded.store(true);
    if (!targetFirst) SendAll(fd, answer);
  });
  for (const bool first : {false, true}) {
    SCOPED_TRACE(first ? "the target ends first" : "the client ends first");
    targetFirst = first, uploaded = false;
    auto c = host.Through(halves.Text());
    if (first) { EXPECT_TRUE(ReadExactly(c.get(), 3) == "bye" && WaitPeerClosed(c.get())) << "the target's end reaches the client"; }
    ASSERT_TRUE(SendAll(c.get(), upload));
    ::shutdown(c.get(), SHUT_WR);
    if (!first) { EXPECT_TRUE(ReadUntilClosed(c.get(), 10000) == answer) << "the answer came whole after the client's end"; }
    ASSERT_TRUE(WaitUntil([&] { return uploaded.load(); }, 10s));
    EXPECT_TRUE(received == upload) << received.size() << " of " << upload.size();
  }
  ASSERT_TRUE(WaitUntil([&] { return host.Connections() == 0; })) << "both ends ended: the relay is over";
  // A SOCKS 5 answer that brings the target's first bytes, to a client that spoke before the proxy was reached.
  const std::string tail = RandomBytes(100000, 13), early = RandomBytes(300000, 14);
  FakePeer proxy("> 05 01 00 | < 05 00 | > 05 01 00 01 7F 00 00 01 00 50");  // the target is only bytes here
  proxy.Reply(FromHex("05 00 00 01 7F 00 00 01 00 50") + tail).Expect(early).Start();
  host.Window->UpdateSettings([&](THeadlessSettings& s) { s.ProxyType = 3, s.ProxyText = proxy.host() + ":" + proxy.portText(); });
  auto c = host.Through("127.0.0.1:80");
  std::thread sender([&] { SendAll(c.get(), early); });
  EXPECT_TRUE(ReadExactly(c.get(), tail.size()) == tail);
  sender.join();
  c.Reset();
  EXPECT_TRUE(proxy.Finish() == proxy.Expected()) << "the client's early bytes, whole and in order";
  EXPECT_TRUE(WaitUntil([&] { return host.Window->SweepNow(), host.Threads() == 0; })) << "every thread slot back";
}

// With the monitor timer off: nothing leaks and no client is turned away while there is room.
// Then stopping leaves busy relays running, and shutdown ends them at once, leaving nothing.
TEST(RelayChurn, ChurnBurstsStopAndShutdownUnderLoadSlow) {
  const int threadsBefore = SettledThreadCount(), fdsBefore = SettledFdCount();
  {
    EchoServer echo;
    std::atomic<int> flooding{0};
    TScriptedTarget flood([&](int fd) {  // both ends flood and never read: workers block in send
      for (++flooding; SendAll(fd, std::string(65536, 'f'));) continue;
    });
    auto host = std::make_unique<THost>(Direct(echo.Text()));
    ASSERT_TRUE(host->Ok);
    const int fdsServing = CountOpenFds(), threadsServing = CountThreads();
    for (int i = 0; i < 20000; ++i) ASSERT_TRUE(RoundTrip(host->Connect().get(), "k")) << "relay " << i << " turned away";
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

    host->SetTarget(flood.Text());
    std::vector<UniqueFd> clients;
    const std::string chunk(1 << 20, 'c');
    for (int i = 0; i < 50; ++i) ::send(clients.emplace_back(host->Connect()).get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ASSERT_TRUE(WaitUntil([&] { return host->Threads() == 100 && flooding.load() == 50; }, 20s))  // 50 relays set up under load
        << host->Threads() << " threads, " << flooding.load() << " flooding";
    const int reports = host->Window->ListenReports();
    host->Window->StopService();
    EXPECT_EQ(host->Window->WaitListenReport(reports, 3000), 3);
    EXPECT_FALSE(host->Connect().valid());
    EXPECT_EQ(host->Connections(), 50);
    EXPECT_LT(Took([&] { host.reset(); }), 2s);
    for (auto& c : clients) EXPECT_TRUE(WaitPeerClosed(c.get(), 2000));
  }
  EXPECT_TRUE(WaitUntil([&] { return CountOpenFds() == fdsBefore; }, 3s)) << CountOpenFds();
  EXPECT_TRUE(WaitUntil([&] { return CountThreads() == threadsBefore; }, 3s)) << CountThreads();
}

// The test thread is the window thread here: posts are delivered, or held back, by hand.
TEST(RelayEnds, LateReleaseIdleSweepAndItsClockAThrowingPumpAndShutdownMidSwitch) {
  EchoServer echo;
  std::atomic<int> ended{0};
  auto sink = std::make_unique<TScriptedTarget>([&](int fd) { ReadUntilClosed(fd, 60000), ended.fetch_add(1); });
  TManualEngine m(echo.Text());
  std::atomic<bool> throwNext{false};
  m.Engine->SetPumpFaultForTests([&] { if (throwNext.exchange(false)) throw std::runtime_error("pump fault"); });
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

  // Half-closed and quiet: the idle sweep still ends it. Pumps stamp one fixed tick and the sweep
  // reads its own, so the test puts it before or after every stamp.
  m.Engine->SetTarget("127.0.0.1", sink->portText());
  const uint32_t stamp = m.Clock.Stamp;
  m.Clock.Now = stamp;
  auto quiet = m.Accept();
  ASSERT_TRUE(SendAll(quiet.get(), "x"));
  ::shutdown(quiet.get(), SHUT_WR);
  ASSERT_TRUE(WaitUntil([&] { return ended.load() == 1; })) << "the target read the client's end";
  EXPECT_EQ(m.Engine->ConnectionsInUse(), 1) << "the answering direction stays open";
  m.Clock.Now = stamp + 61'000;
  m.Engine->Sweep();
  EXPECT_TRUE(WaitPeerClosed(quiet.get()));
  m.Clock.Now = stamp;

  // Released by the sweep while the client pours bytes in that a pump holds for its stalled
  // target; the workers, reused at once by the next relay, pass on nothing of the old one.
  std::atomic<bool> stalling{true}, serverSideClosed{false};
  auto stalled = std::make_unique<TScriptedTarget>([&](int fd) {
    if (const std::string first = ReadExactly(fd, 1); first != "S") {
      if (SendAll(fd, first)) Echo(fd);
    } else if (WaitUntil([&] { return !stalling.load(); }, 60s)) {
      serverSideClosed = WaitPeerClosed(fd, 10000);  // the release closed it, not a later relay on the slot
    }
  });
  m.Engine->SetTarget("127.0.0.1", stalled->portText());
  {
    auto c = m.Accept();
    std::thread sender = SendRepeated(c.get(), "S" + std::string(65535, 'a'), SIZE_MAX);  // until the relay is gone
    std::string row, last;
    int still = 0;  // sweeps in a row that saw nothing move, with the client's bytes queued
    ASSERT_TRUE(WaitUntil([&] {
      last = std::exchange(row, m.Engine->Sweep().Connections.at(0));
      still = row == last && QueuedToSend(c.get()) > 0 ? still + 1 : 0;
      return still >= 25;
    }, 20s)) << row;
    m.Clock.Now = stamp - 10'000;  // stamps newer than the sweep's reading are no idle time, never 49 days
    EXPECT_TRUE(m.Engine->Sweep().Connections.at(0).ends_with(";0:0"));
    m.Clock.Now = stamp + 61'000;  // past the limit: released without reading the flood away on this thread
    EXPECT_LT(Took([&] { m.Engine->Sweep(); }), 50ms);
    EXPECT_EQ(m.Engine->ConnectionsInUse(), 0);
    m.Clock.Now = stamp;
    ::shutdown(c.get(), SHUT_RDWR);
    sender.join();
  }
  stalling = false;
  EXPECT_TRUE(WaitUntil([&] { return serverSideClosed.load(); }, 15s)) << "a released relay's server connection stays open";
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

  // Idle relays cost no wake-ups: their pumps sleep in the receive until data, an end or a close.
  // The scripted targets go first, as their accepting threads wake every 50 ms.
  sink.reset();
  stalled.reset();
  m.Engine->SetTarget("127.0.0.1", HostAndPort(echo.Text()).second);
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 20; ++i) {  // every other one waits in a splice, having moved a bulk chunk
    ASSERT_TRUE(RoundTrip(idle.emplace_back(m.Accept()).get(), i % 2 ? std::string(65536, 'z') : "hi"));
  }
  const auto wakeUps = [] {  // voluntary context switches of every thread of the process
    rusage u{};
    return ::getrusage(RUSAGE_SELF, &u) == 0 ? u.ru_nvcsw : 0L;
  };
  const long before = wakeUps();
  std::this_thread::sleep_for(1s);  // measures what happens in a second of quiet
  EXPECT_LT(wakeUps() - before, 40) << "40 idle pumps woke periodically";

  // Shutdown while a worker waits for the window thread to switch servers, and a client is queued;
  // every blocked pump is woken by its close, none by a time-out.
  m.Engine->SetTarget("127.0.0.1", HostAndPort(UnusedTarget()).second);
  m.Settings.Servers = {echo.Text()};
  auto waiting = m.Accept();
  ASSERT_TRUE(SendAll(waiting.get(), "x"));
  ASSERT_TRUE(m.Peek(WM_SYNCCALL));  // the worker's call, never delivered
  auto queued = m.Connect();
  ASSERT_TRUE(m.Peek(WM_ACCEPT));  // accepted, not yet handled
  EXPECT_LT(Took([&] { m.Engine.reset(); }), 1s);
  EXPECT_TRUE(WaitPeerClosed(waiting.get()));
  EXPECT_TRUE(WaitPeerClosed(queued.get()));
  for (auto& c : idle) EXPECT_TRUE(WaitPeerClosed(c.get(), 1000));
}

}  // namespace
}  // namespace kova::test
