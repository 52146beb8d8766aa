// Reusable workers: run order, parking, wake-up races, ending, and tables of workers.

#include "RelayHarness.h"
#include "engine/NetTools.h"

namespace kova::test {
namespace {

// Yields rather than sleeps: the race test runs thousands of cycles.
bool SpinUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 5s) {
  for (const auto end = std::chrono::steady_clock::now() + deadline; !pred(); std::this_thread::yield()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
  }
  return true;
}

bool Parked(const TManagedThread& w) { return w.Suspended() && w.Idle.load(); }

// A Start landing after the worker's last look at Stopped but before it parks gives a new run
// (no lost wake-up), and a worker seen parked runs nothing until started again.
TEST(ManagedThread, StartRacingWithParkingIsNeverLost) {
  std::atomic<int> starts{0};  // deterministic: a Start while OnFinish runs
  std::atomic<bool> inFinish{false}, startCalled{false};
  TManagedThread f;
  f.OnStart = [&](TObject*, int32_t) { ++starts; };
  f.OnFinish = [&](TObject*, int32_t) {
    if (starts.load() > 1) return;
    inFinish = true;
    SpinUntil([&] { return startCalled.load(); });
  };
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(SpinUntil([&] { return inFinish.load(); }));
  ASSERT_TRUE(f.Start());
  startCalled = true;
  ASSERT_TRUE(SpinUntil([&] { return starts.load() == 2; }, 3s)) << "the Start was lost";

  // Stress: the handler stops itself; the next Start follows after a delay that sweeps across
  // the worker's way into parking. Every other cycle watches a worker seen parked instead.
  std::atomic<int> executes{0}, violations{0};
  std::atomic<bool> parkedSeen{false};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    violations += parkedSeen.load();
    w.Stop();  // before counting: a Start seen after the count must find the run ending
    executes.fetch_add(1);
    violations += parkedSeen.load();
  };
  for (int i = 0; i < 3000; ++i) {
    const int before = executes.load();
    if (i % 2) {
      ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "cycle " << i;
      parkedSeen = true;
      for (int k = 0; k < 50; ++k) std::this_thread::yield();
      parkedSeen = false;
    } else {
      for (std::atomic<int> spin{0}; spin.fetch_add(1, std::memory_order_relaxed) < (i * 7) % 400;) {
      }
    }
    w.Start();
    ASSERT_TRUE(SpinUntil([&] { return executes.load() > before; }, 3s)) << "lost, cycle " << i;
  }
  EXPECT_EQ(violations.load(), 0) << "a worker seen parked was running";
}

// Workers in every state: running, parked, ended and never started (these have no thread). All
// end with their table, and the running ones are waited for together, not one after another.
TEST(ManagedThread, RestartEndingAndDestroyingTheTable) {
  const int before = SettledThreadCount();
  std::atomic<int> running{0}, starts{0}, calls{0};
  auto table = std::make_unique<TObjectManager>(100);
  // Through the sender: while the table is being destroyed, `table` no longer points to it.
  table->OnCreateItem = [&](TObject* sender, int32_t i) {
    static_cast<TObjectManager*>(sender)->Items(i).MakeObj<TManagedThread>();
  };
  for (int i = 0; i < 30; ++i) ASSERT_EQ(table->Add(1), i);  // 0-19 run, 20-24 park, 25-29 never start
  EXPECT_EQ(CountThreads(), before);
  for (int i = 0; i < 25; ++i) {
    auto* w = table->Items(i).Obj<TManagedThread>();
    w->OnStart = [&, i](TObject*, int32_t) { ++(i < 20 ? running : starts); };
    w->OnExecute = [&, w, i](TObject*, int32_t) {
      if (i < 20) return std::this_thread::sleep_for(100ms);  // like a pump waiting for data
      if (i == 20 && ++calls == 1) throw std::runtime_error("handler failed");  // ends this run only
      w->Start();  // on a running worker: no new run
      w->Stop();
    };
    ASSERT_TRUE(w->Start());
  }
  ASSERT_TRUE(SpinUntil([&] { return running.load() == 20; }));
  for (int i = 20; i < 25; ++i) {
    ASSERT_TRUE(SpinUntil([&] { return Parked(*table->Items(i).Obj<TManagedThread>()); }));
    table->Remove(i, false);
  }
  auto* failed = table->Items(20).Obj<TManagedThread>();
  ASSERT_TRUE(failed->Start());
  ASSERT_TRUE(SpinUntil([&] { return calls.load() == 2 && Parked(*failed); }));
  EXPECT_EQ(starts.load(), 6);
  failed->RequestEnd();
  EXPECT_TRUE(failed->WaitFor({}, 2000));
  EXPECT_EQ(calls.load(), 2) << "a worker woken to end ran a handler";
  EXPECT_FALSE(failed->Start()) << "an ended worker cannot run again";

  const auto t0 = std::chrono::steady_clock::now();
  table.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "workers were waited for one after another";
  EXPECT_TRUE(SpinUntil([&] { return CountThreads() == before; }, 2s));
}

}  // namespace
}  // namespace kova::test
