// Slot tables, reusable workers and the accepting thread.

#include "RelayHarness.h"
#include "engine/NetTools.h"

namespace kova::test {
namespace {

using Lines = std::vector<std::string>;

struct Counted : TObject {  // logs its own destruction: which objects a table freed, and when
  Counted(Lines* log, std::string name) : log_(log), name_(std::move(name)) {}
  ~Counted() override { log_->push_back("free " + name_); }
  Lines* log_;
  std::string name_;
};

// Logs every event as "<event> <index>"; creates "a<i>" and "b<i>" as Obj and Obj2.
void Record(TObjectManager& t, Lines& log) {
  auto note = [&log](std::string what) {
    return [&log, what](TObject*, int32_t i) { log.push_back(what + std::to_string(i)); };
  };
  t.OnAcquire = note("acquire ");
  t.OnDestroyItem = note("destroy ");
  t.OnCreateItem = [&log, &t](TObject*, int32_t i) {
    log.push_back("create " + std::to_string(i));
    t.Items(i).MakeObj<Counted>(&log, "a" + std::to_string(i));
    t.Items(i).MakeObj2<Counted>(&log, "b" + std::to_string(i));
  };
  t.OnRelease = [&log, &t](TObject*, int32_t i) {
    log.push_back("release " + std::to_string(i) + " tag " + std::to_string(t.Items(i).Tag.load()));
  };
}

// Hand-out order, the free stack's bound, events, per-use fields and who frees the slot objects.
TEST(ObjectManager, OrderEventsFieldsAndDestruction) {
  const std::pair<std::vector<int>, std::vector<int>> cases[] = {  // released after 0..9, next Adds
      {{7, 3}, {3, 7, 10, 11}}, {{0, 9, 5}, {5, 9, 0, 10}},
  };
  for (const auto& [release, next] : cases) {
    TObjectManager t(50);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(t.Add(1), i);
    for (int i : release) t.Remove(i, false);
    std::vector<int> got;
    for (size_t k = 0; k < next.size(); ++k) got.push_back(t.Add(1));
    EXPECT_EQ(got, next);
  }
  TIndexStack stack(2);  // a push onto a full one is refused, nothing written
  EXPECT_EQ(std::vector({stack.Push(5), stack.Push(6), stack.Push(7), stack.Count(), stack.Pop(), stack.Pop(), stack.Pop()}),
            std::vector({0, 1, -1, 2, 6, 5, -1}));

  Lines log;  // outlives the tables, whose destruction still reports to it
  TObjectManager full(1);
  ASSERT_EQ(full.Add(2), 0);
  Record(full, log);
  EXPECT_EQ(full.Add(2), -1);
  EXPECT_TRUE(log.empty()) << "a refused Add fired an event";
  {
    TObjectManager t(6);
    Record(t, log);
    ASSERT_EQ(t.Add(2), 0);
    TObjectItem& slot = t.Items(0);
    TObject* first = slot.Obj();
    const uint32_t gen = slot.Generation.load();
    slot.Data = &log, slot.Tag = 42, slot.Stamp = 123456u;
    t.Remove(0, false);
    EXPECT_EQ(slot.Tag.load(), 42) << "kept for a late reader until the next Add";
    ASSERT_EQ(t.Add(7), 0);
    EXPECT_EQ(log, (Lines{"create 0", "acquire 0", "release 0 tag 42", "acquire 0"}));
    EXPECT_EQ(std::tuple(slot.InUse.load(), slot.Data.load(), slot.Tag.load(), slot.Stamp.load()), std::tuple(7, nullptr, 0, 0u));
    EXPECT_NE(slot.Generation.load(), gen) << "a new relay on the slot must be told apart";
    EXPECT_EQ(slot.Obj(), first) << "objects stay with the slot";

    log.clear();  // releasing a free slot, or any out-of-range index, does nothing at all
    for (int index : {-1, 6, 1000, 1, 3}) t.Remove(index, true);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(t.FreeCount(), 5);

    t.Remove(0, true);  // asked to, Remove frees Obj2; the next Add keeps Obj and creates nothing
    EXPECT_EQ(log, (Lines{"release 0 tag 0", "free b0"}));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(t.Add(1), i);
    t.Remove(2, false);                            // free, objects kept
    t.Items(5).MakeObj2<Counted>(&log, "orphan");  // an Obj2 without Obj is freed too
    log.clear();
  }
  EXPECT_EQ(log, (Lines{"destroy 0", "destroy 1", "destroy 2", "destroy 3", "free a0", "free a1",
                        "free b1", "free a2", "free b2", "free a3", "free b3", "free orphan"}));  // all freed, none released
}

// Yields rather than sleeps: the race test runs thousands of cycles.
bool SpinUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 5s) {
  for (const auto end = Clock::now() + deadline; !pred(); std::this_thread::yield())
    if (Clock::now() >= end) return pred();
  return true;
}

bool Parked(const TManagedThread& w) { return w.Suspended() && w.Idle.load(); }

TEST(ManagedThread, EveryStateEndsWithItsTableAndAStartRacingWithParkingIsNeverLost) {
  // Workers in every state: running, parked, ended and never started (these have no thread). All
  // end with their table, and the running ones are waited for together, not one after another.
  const int before = SettledThreadCount();
  std::atomic<int> running{0}, starts{0}, calls{0};
  std::atomic<bool> served{false};
  auto table = std::make_unique<TObjectManager>(100);
  // Through the sender: while the table is being destroyed, `table` no longer points to it.
  table->OnCreateItem = [&](TObject* sender, int32_t i) { static_cast<TObjectManager*>(sender)->Items(i).MakeObj<TManagedThread>(); };
  for (int i = 0; i < 30; ++i) ASSERT_EQ(table->Add(1), i);  // 0-19 run, 20-24 park, 25-29 never start
  EXPECT_EQ(CountThreads(), before);
  auto worker = [&](int i) { return table->Items(i).Obj<TManagedThread>(); };
  for (int i = 0; i < 25; ++i) {
    auto* w = worker(i);
    w->OnStart = [&, i](TObject*, int32_t) { ++(i < 20 ? running : starts); };
    w->OnExecute = [&, w, i](TObject*, int32_t) {
      if (i == 0) return void(SpinUntil([&] { return served.load(); }, 3s));  // waits for the window thread
      if (i < 20) return std::this_thread::sleep_for(100ms);  // like a pump waiting for data
      if (i == 20 && ++calls == 1) throw std::runtime_error("handler failed");  // ends this run only
      w->Start();  // on a running worker: no new run
      w->Stop();
    };
    ASSERT_TRUE(w->Start());
  }
  ASSERT_TRUE(SpinUntil([&] { return running.load() == 20; }));
  for (int i = 20; i < 25; ++i) {
    ASSERT_TRUE(SpinUntil([&] { return Parked(*worker(i)); }));
    table->Remove(i, false);
  }
  auto* failed = worker(20);
  ASSERT_TRUE(failed->Start());
  ASSERT_TRUE(SpinUntil([&] { return calls.load() == 2 && Parked(*failed); }));
  EXPECT_EQ(starts.load(), 6);
  failed->RequestEnd();
  EXPECT_TRUE(failed->WaitFor({}, 2000));
  EXPECT_EQ(calls.load(), 2) << "a worker woken to end ran a handler";
  EXPECT_FALSE(failed->Start()) << "an ended worker cannot run again";
  worker(0)->RequestEnd();
  EXPECT_TRUE(worker(0)->WaitFor([&] { served = true; }, 1000)) << "the waiting thread stopped serving the worker";
  worker(25)->RequestEnd();
  EXPECT_TRUE(worker(25)->Finished()) << "a thread was made only to end a worker that never ran";

  EXPECT_LT(Took([&] { table.reset(); }), 1s) << "workers were waited for one after another";
  EXPECT_TRUE(SpinUntil([&] { return CountThreads() == before; }, 2s));

  // A Start landing after the worker's last look at Stopped but before it parks gives a new run
  // (no lost wake-up), and a worker seen parked runs nothing until started again.
  std::atomic<int> runs{0};  // deterministic: a Start while OnFinish runs
  std::atomic<bool> inFinish{false}, startCalled{false};
  TManagedThread f;
  f.OnStart = [&](TObject*, int32_t) { ++runs; };
  f.OnFinish = [&](TObject*, int32_t) {
    if (runs.load() > 1) return;
    inFinish = true;
    SpinUntil([&] { return startCalled.load(); });
  };
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(SpinUntil([&] { return inFinish.load(); }));
  ASSERT_TRUE(f.Start());
  startCalled = true;
  ASSERT_TRUE(SpinUntil([&] { return runs.load() == 2; }, 3s)) << "the Start was lost";

  // Stress: the handler stops itself; the next Start follows after a delay that sweeps across
  // the worker's way into parking. Every other cycle watches a worker seen parked instead.
  std::atomic<int> executes{0}, violations{0};
  std::atomic<bool> parkedSeen{false};
  TManagedThread w;
  w.OnFinish = [&](TObject*, int32_t) { ++violations; };  // runs only for a run that ended by itself
  w.OnExecute = [&](TObject*, int32_t) {
    violations += parkedSeen.load();
    w.Stop();  // before counting: a Start seen after the count must find the run ending
    executes.fetch_add(1);
    violations += parkedSeen.load();
  };
  for (int i = 0; i < 3000; ++i) {
    const int done = executes.load();
    if (i % 2) {
      ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "cycle " << i;
      parkedSeen = true;
      for (int k = 0; k < 50; ++k) std::this_thread::yield();
      parkedSeen = false;
    } else {
      for (std::atomic<int> spin{0}; spin.fetch_add(1, std::memory_order_relaxed) < (i * 7) % 400;) continue;
    }
    w.Start();
    ASSERT_TRUE(SpinUntil([&] { return executes.load() > done; }, 3s)) << "lost, cycle " << i;
  }
  EXPECT_EQ(violations.load(), 0) << "a worker seen parked was running, or a stopped run was finished";
}

using Posts = std::deque<Post>;
const Post kListening{WM_LISTENSTATE, 1}, kStartFailed{WM_LISTENSTATE, 2}, kStopped{WM_LISTENSTATE, 3};

// A listener that has reported "listening"; the tests connect only if it bound loopback.
struct TStarted {
  TManualWindow Window;
  std::shared_ptr<TMessagePort> Port = std::make_shared<TMessagePort>(&Window);
  std::shared_ptr<TListenThread> Listener;
  bool Ok = false;
  explicit TStarted(const std::string& portText = "0") : Listener(TListenThread::Create(Port, portText, "127.0.0.1")) {
    Listener->Resume();
    EXPECT_EQ(Window.WaitPosts(1).at(0), kListening);
    Ok = IsLoopbackText(Listener->BoundAddress()) && Listener->BoundPort() != 0;
    EXPECT_TRUE(Ok) << "bound '" << Listener->BoundAddress() << "', not loopback: not connecting";
  }
  UniqueFd Connect() { return ConnectTo(Listener->BoundAddress(), static_cast<uint16_t>(Listener->BoundPort())); }
};

TEST(ListenThread, StatesClientsStopLifetimeAndNoDescriptorLeft) {
  const int fdsBefore = SettledFdCount();
  {
    TStarted s;
    ASSERT_TRUE(s.Ok);
    const std::string port = std::to_string(s.Listener->BoundPort());
    // A second listener on the held port reports "start failed" only, and frees itself.
    TManualWindow other;
    auto failing = TListenThread::Create(std::make_shared<TMessagePort>(&other), port, "127.0.0.1");
    auto ended = failing->EndSignal();
    failing->Resume();
    failing.reset();
    ASSERT_TRUE(ended->Wait(2000));
    EXPECT_EQ(other.WaitPosts(1), Posts{kStartFailed});
    auto held = s.Connect();  // the holder still accepts
    ASSERT_TRUE(SendAll(held.get(), "0"));
    const Posts posts = s.Window.WaitPosts(2);
    ASSERT_EQ(posts.size(), 2u);
    ASSERT_EQ(posts[1].first, WM_ACCEPT);
    EXPECT_EQ(ReadExactly(UniqueFd(static_cast<int>(posts[1].second)).get(), 1), "0") << "the handle is not the client's";

    EXPECT_LT(Took([&] { s.Listener->Terminate(), s.Listener->WaitFor(2000); }), 1s) << "stop took longer than one accept wait";
    s.Listener->Terminate();  // kept past its end: harmless
    EXPECT_EQ(s.Window.WaitPosts(3), (Posts{posts[0], posts[1], kStopped}));

    TStarted again(port);  // the port is free again right after the report
    ASSERT_TRUE(again.Ok);
    again.Port->Detach();  // the window is gone: a client accepted now is closed, not leaked
    auto client = again.Connect();
    EXPECT_TRUE(WaitPeerClosed(client.get(), 3000));
    std::weak_ptr<TListenThread> weak = again.Listener;  // the window drops its reference
    ended = again.Listener->EndSignal();
    again.Listener.reset();
    ASSERT_FALSE(weak.expired()) << "a running listener was freed under its thread";
    weak.lock()->Terminate();
    ASSERT_TRUE(ended->Wait(2000));
    EXPECT_TRUE(weak.expired()) << "the ended listener did not free itself";
    EXPECT_EQ(again.Window.WaitPosts(2, 0ms), Posts{kListening});

    TManualWindow never;  // never resumed: nothing posted, nothing left open
    EXPECT_EQ(TListenThread::Create(std::make_shared<TMessagePort>(&never), "0")->Failure().Kind, TListenFailure::None);
    EXPECT_EQ(never.WaitPosts(1, 0ms).size(), 0u);
  }
  EXPECT_EQ(CountOpenFds(), fdsBefore);
}

}  // namespace
}  // namespace kova::test
