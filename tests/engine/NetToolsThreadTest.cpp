// Reusable workers: run order, parking, wake-up races, ending, and tables of workers.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/NetTools.h"

namespace kova {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Spins (yielding) until pred holds or the deadline passes; a sleeping poll would make the
// thousands of cycles of the race tests slow.
template <class Pred>
bool SpinUntil(Pred pred, std::chrono::milliseconds deadline = 5000ms) {
  const auto end = Clock::now() + deadline;
  while (!pred()) {
    if (Clock::now() >= end) return pred();
    std::this_thread::yield();
  }
  return true;
}

// The first thread a process creates may bring a sanitizer's background thread with it, so a
// baseline is only taken after one thread has come and gone.
int ThreadCount() {
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

bool Parked(const TManagedThread& w) { return w.Suspended() && w.Idle.load(); }

TEST(ManagedThread, NeverStartedWorkerHasNoThread) {
  const int before = ThreadCount();
  std::vector<std::unique_ptr<TManagedThread>> workers(20);
  for (auto& w : workers) w = std::make_unique<TManagedThread>();
  EXPECT_TRUE(workers[0]->Suspended());
  EXPECT_TRUE(workers[0]->Stopped());
  EXPECT_FALSE(workers[0]->Idle.load());
  EXPECT_EQ(ThreadCount(), before);
  workers[0]->RequestEnd();
  EXPECT_TRUE(workers[0]->WaitFor({}, 1000));
  workers.clear();
  EXPECT_EQ(ThreadCount(), before);
}

TEST(ManagedThread, RunOrderStopAndRestart) {
  std::mutex mu;
  std::vector<std::string> log;
  auto add = [&](std::string s) {
    std::lock_guard<std::mutex> l(mu);
    log.push_back(std::move(s));
  };
  auto take = [&] {
    std::lock_guard<std::mutex> l(mu);
    return std::exchange(log, {});
  };
  TObjectManager owner(1);
  TManagedThread w, bare;
  w.Owner = &owner;
  w.Index = 7;
  w.OnStart = [&](TObject* s, int32_t i) { add(s == &owner && i == 7 ? "start" : "bad sender"); };
  w.OnExecute = [&](TObject*, int32_t) {
    add("execute");
    w.Stop();
    add("after stop");  // the handler runs to its end
  };
  w.OnFinish = [&](TObject*, int32_t) { add("finish"); };
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "run " << run;
    EXPECT_EQ(take(), (std::vector<std::string>{"start", "execute", "after stop"}));
  }
  // Without OnExecute nobody stops it: OnStart, OnFinish, then it parks all the same. Without
  // an owner the worker itself is the sender, with index -1.
  bare.OnStart = [&](TObject* s, int32_t i) { add(s == &bare && i == -1 ? "start" : "bad sender"); };
  bare.OnFinish = [&](TObject*, int32_t) { add("finish"); };
  ASSERT_TRUE(bare.Start());
  ASSERT_TRUE(SpinUntil([&] { return Parked(bare); }));
  EXPECT_EQ(take(), (std::vector<std::string>{"start", "finish"}));
  EXPECT_FALSE(bare.Stopped());
}

TEST(ManagedThread, StartWhileRunningOnlyClearsStoppedAndStopWhileParkedDoesNothing) {
  std::atomic<int> starts{0}, executes{0};
  std::atomic<bool> finish{false};
  TManagedThread w;
  w.OnStart = [&](TObject*, int32_t) { ++starts; };
  w.OnExecute = [&](TObject*, int32_t) {
    ++executes;
    if (finish.load()) w.Stop();
    std::this_thread::yield();
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return executes.load() > 10; }));
  w.Start();
  w.Start();
  finish = true;
  ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
  EXPECT_EQ(starts.load(), 1) << "a Start on a running worker began a new run";
  const int parkedAt = executes.load();
  w.Stop();
  EXPECT_TRUE(Parked(w));
  EXPECT_EQ(executes.load(), parkedAt);
}

// Starts that land after the worker's last look at Stopped, but before it parks, must give a
// new run; never a lost wake-up, and never a worker that runs after it was seen parked.
TEST(ManagedThread, StartRacingWithParkingIsNeverLost) {
  // Deterministic: a Start while OnFinish runs.
  std::atomic<int> starts{0};
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
  ASSERT_TRUE(SpinUntil([&] { return starts.load() == 2; }, 3000ms)) << "the Start was lost";

  // Stress: the handler stops itself; another thread starts it again at once, with a varying
  // delay that sweeps across the worker's way into parking.
  std::atomic<int> executes{0};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    w.Stop();
    executes.fetch_add(1);
  };
  std::atomic<bool> lost{false};
  std::thread starter([&] {
    for (int i = 0; i < 2000 && !lost; ++i) {
      const int before = executes.load();
      std::atomic<int> spin{0};
      while (spin.fetch_add(1, std::memory_order_relaxed) < (i * 7) % 400) {
      }
      w.Start();
      if (!SpinUntil([&] { return executes.load() > before; }, 3000ms)) lost = true;
    }
  });
  starter.join();
  EXPECT_FALSE(lost) << "a Start was lost while the worker was parking";
}

// What the monitor sweep relies on: a worker that reads parked runs nothing until started.
TEST(ManagedThread, WorkerSeenParkedRunsNothingUntilStarted) {
  std::atomic<bool> parkedSeen{false};
  std::atomic<int> executes{0}, violations{0};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    if (parkedSeen.load()) ++violations;
    executes.fetch_add(1);
    w.Stop();
    if (parkedSeen.load()) ++violations;
  };
  for (int i = 0; i < 2000; ++i) {
    const int before = executes.load();
    ASSERT_TRUE(w.Start());
    // Polled from the first moment on, while the worker may have marked itself Idle but
    // not parked yet.
    ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "cycle " << i;
    parkedSeen = true;
    for (int k = 0; k < 50; ++k) std::this_thread::yield();
    parkedSeen = false;
    ASSERT_GT(executes.load(), before) << "cycle " << i;
  }
  EXPECT_EQ(violations.load(), 0);
}

TEST(ManagedThread, EndingParkedOrFailingWorkers) {
  const int before = ThreadCount();
  std::atomic<int> calls{0};
  auto w = std::make_unique<TManagedThread>();
  w->OnExecute = [&](TObject*, int32_t) {
    if (++calls == 1) throw std::runtime_error("handler failed");  // ends this run only
    w->Stop();
  };
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(w->Start());
    ASSERT_TRUE(SpinUntil([&] { return calls.load() == run && Parked(*w); }));
  }
  w->Terminate();
  w->Stop();
  w->Resume();
  EXPECT_TRUE(w->WaitFor({}, 2000));
  EXPECT_EQ(calls.load(), 2) << "a worker woken to end ran a handler";
  EXPECT_FALSE(w->Start()) << "an ended worker cannot run again";
  w.reset();
  EXPECT_TRUE(SpinUntil([&] { return ThreadCount() == before; }, 2000ms));
}

// A worker waiting for a call to be run on the waiting thread ends only if the waiter keeps
// serving such calls; without an end, the wait gives up at its deadline.
TEST(ManagedThread, WaitForServesCallsAndKeepsItsDeadline) {
  std::mutex mu;
  std::condition_variable cv;
  std::function<void()> pending;
  bool answered = false, release = false;
  std::atomic<bool> inHandler{false};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    std::unique_lock<std::mutex> l(mu);
    pending = [&] { answered = true; };
    inHandler = true;
    cv.wait_for(l, 10s, [&] { return answered && release; });
    w.Stop();
  };
  auto serve = [&] {
    std::lock_guard<std::mutex> l(mu);
    if (pending) std::exchange(pending, {})();
    cv.notify_all();
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return inHandler.load(); }));
  w.RequestEnd();
  const auto t0 = Clock::now();
  EXPECT_FALSE(w.WaitFor(serve, 100));
  EXPECT_GE(Clock::now() - t0, 100ms);
  {
    std::lock_guard<std::mutex> l(mu);
    EXPECT_TRUE(answered) << "the worker's call was not served while waiting";
    release = true;
  }
  EXPECT_TRUE(w.WaitFor(serve, 3000));
}

// Shutdown of a thread table: parked, running and never-started workers all end, and the
// running ones are waited for together, not one after another.
TEST(ManagedThread, DestroyingTableWithWorkersInEveryStateIsPrompt) {
  const int before = ThreadCount();
  std::atomic<int> destroyed{0}, running{0};
  struct Worker : TManagedThread {
    explicit Worker(std::atomic<int>* d) : d_(d) {}
    ~Worker() override { ++*d_; }
    std::atomic<int>* d_;
  };
  auto table = std::make_unique<TObjectManager>(100);
  // Through Sender: while the table is being destroyed, `table` no longer points to it.
  table->OnCreateItem = [&](TObject* sender, int32_t i) {
    static_cast<TObjectManager*>(sender)->Items(i).MakeObj<Worker>(&destroyed);
  };
  constexpr int kRunning = 20, kParked = 5, kNeverStarted = 5;
  for (int i = 0; i < kRunning + kParked + kNeverStarted; ++i) ASSERT_EQ(table->Add(1), i);
  for (int i = 0; i < kRunning + kParked; ++i) {
    auto* w = table->Items(i).Obj<TManagedThread>();
    if (i < kRunning) {
      w->OnStart = [&](TObject*, int32_t) { ++running; };
      // Like a pump waiting for data: each call blocks for a while before Stopped is seen.
      w->OnExecute = [](TObject*, int32_t) { std::this_thread::sleep_for(100ms); };
    } else {
      w->OnExecute = [w](TObject*, int32_t) { w->Stop(); };
    }
    ASSERT_TRUE(w->Start());
  }
  ASSERT_TRUE(SpinUntil([&] { return running.load() == kRunning; }));
  for (int i = kRunning; i < kRunning + kParked; ++i) {
    ASSERT_TRUE(SpinUntil([&] { return Parked(*table->Items(i).Obj<TManagedThread>()); }));
    table->Remove(i, false);
  }
  const auto t0 = Clock::now();
  table.reset();
  EXPECT_LT(Clock::now() - t0, 1s) << "workers were waited for one after another";
  EXPECT_EQ(destroyed.load(), kRunning + kParked + kNeverStarted);
  EXPECT_TRUE(SpinUntil([&] { return ThreadCount() == before; }, 2000ms));
}

}  // namespace
}  // namespace kova
