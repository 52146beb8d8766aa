// Reusable workers: run order, parking, wake-up races, ending, and tables of workers.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
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

// Spins (yielding) until pred holds or the deadline passes; quicker than a sleeping poll,
// which matters for the thousands of cycles of the race tests.
template <class Pred>
bool SpinUntil(Pred pred, std::chrono::milliseconds deadline = 5000ms) {
  const auto end = Clock::now() + deadline;
  while (!pred()) {
    if (Clock::now() >= end) return pred();
    std::this_thread::yield();
  }
  return true;
}

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

bool Parked(const TManagedThread& w) { return w.Suspended() && w.Idle.load(); }

// Thread-safe event log.
struct Log {
  std::mutex mu;
  std::vector<std::string> lines;
  void Add(std::string s) {
    std::lock_guard<std::mutex> l(mu);
    lines.push_back(std::move(s));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> l(mu);
    return std::exchange(lines, {});
  }
};

TEST(ManagedThread, NeverStartedWorkerHasNoThreadAndEndsAtOnce) {
  const int before = ThreadCount();
  {
    std::vector<std::unique_ptr<TManagedThread>> workers;
    for (int i = 0; i < 20; ++i) workers.push_back(std::make_unique<TManagedThread>());
    for (auto& w : workers) {
      EXPECT_TRUE(w->Suspended());
      EXPECT_TRUE(w->Stopped());
      EXPECT_FALSE(w->Idle.load());
      EXPECT_FALSE(w->Finished());
    }
    EXPECT_EQ(ThreadCount(), before);
    workers[0]->RequestEnd();
    EXPECT_TRUE(workers[0]->WaitFor({}, 1000));
    EXPECT_EQ(ThreadCount(), before);
  }
  EXPECT_EQ(ThreadCount(), before);
}

TEST(ManagedThread, StopInsideExecuteEndsTheRunWithoutFinishAndParks) {
  Log log;
  TManagedThread w;
  TObject* seenSender = nullptr;
  int seenIndex = 0;
  w.OnStart = [&](TObject* s, int32_t i) {
    seenSender = s;
    seenIndex = i;
    log.Add("start");
  };
  w.OnExecute = [&](TObject*, int32_t) {
    log.Add("execute");
    w.Stop();
    log.Add("after stop");  // the handler runs to its end
  };
  w.OnFinish = [&](TObject*, int32_t) { log.Add("finish"); };
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "run " << run;
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"start", "execute", "after stop"}));
    EXPECT_TRUE(w.Stopped());
  }
  EXPECT_EQ(seenSender, &w) << "without an owner the worker itself is the sender";
  EXPECT_EQ(seenIndex, -1);
}

TEST(ManagedThread, HandlersReceiveOwnerAndIndex) {
  TObjectManager owner(1);
  TManagedThread w;
  std::atomic<TObject*> sender{nullptr};
  std::atomic<int> index{0};
  w.Owner = &owner;
  w.Index = 7;
  w.OnStart = [&](TObject* s, int32_t i) {
    sender = s;
    index = i;
    w.Stop();
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
  EXPECT_EQ(sender.load(), &owner);
  EXPECT_EQ(index.load(), 7);
}

TEST(ManagedThread, WithoutExecuteRunsStartThenFinishAndParks) {
  Log log;
  TManagedThread w;
  w.OnStart = [&](TObject*, int32_t) { log.Add("start"); };
  w.OnFinish = [&](TObject*, int32_t) { log.Add("finish"); };
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"start", "finish"}));
    EXPECT_FALSE(w.Stopped()) << "nobody stopped it; it parks anyway";
  }
}

TEST(ManagedThread, StartOnRunningWorkerOnlyClearsStoppedAndStopOnParkedChangesNothing) {
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
  EXPECT_FALSE(w.Suspended());
  w.Start();
  w.Start();
  const int seen = executes.load();
  ASSERT_TRUE(SpinUntil([&] { return executes.load() > seen + 10; }));
  finish = true;
  ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
  EXPECT_EQ(starts.load(), 1) << "a Start on a running worker began a new run";

  const int parkedAt = executes.load();
  w.Stop();
  EXPECT_TRUE(Parked(w));
  EXPECT_TRUE(w.Stopped());
  EXPECT_EQ(executes.load(), parkedAt);
}

TEST(ManagedThread, ThrowingHandlerEndsItsRunOnly) {
  std::atomic<int> runs{0};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    ++runs;
    throw std::runtime_error("handler failed");
  };
  for (int run = 1; run <= 2; ++run) {
    ASSERT_TRUE(w.Start());
    ASSERT_TRUE(SpinUntil([&] { return runs.load() == run && Parked(w); }));
  }
}

// Every Start that follows the handler's Stop must give at least one more handler call, however
// it interleaves with the worker's way into parking.
TEST(ManagedThread, StartRacingWithParkingIsNeverLost) {
  std::atomic<int> executes{0};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    w.Stop();
    executes.fetch_add(1);
  };
  constexpr int kCycles = 2000;
  std::atomic<bool> failed{false};
  // Started from a thread other than the one that made the worker, as a partner worker does.
  std::thread starter([&] {
    for (int i = 0; i < kCycles && !failed; ++i) {
      const int before = executes.load();
      // A varying delay sweeps the Start across the worker's short way from its handler's
      // return into parking.
      std::atomic<int> spin{0};
      while (spin.fetch_add(1, std::memory_order_relaxed) < (i * 7) % 400) {
      }
      w.Start();
      if (!SpinUntil([&] { return executes.load() > before; }, 3000ms)) failed = true;
    }
  });
  starter.join();
  ASSERT_FALSE(failed) << "a Start was lost while the worker was parking";
  ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
}

// A Start that comes while the worker is finishing its run (here inside OnFinish, after its
// last look at Stopped) gives a whole new run instead of being swallowed by the parking.
TEST(ManagedThread, StartWhileFinishingGivesAnotherRun) {
  std::atomic<int> starts{0};
  std::atomic<bool> inFinish{false}, startCalled{false};
  TManagedThread w;
  w.OnStart = [&](TObject*, int32_t) { ++starts; };
  w.OnFinish = [&](TObject*, int32_t) {
    if (starts.load() > 1) return;
    inFinish = true;
    SpinUntil([&] { return startCalled.load(); });
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return inFinish.load(); }));
  ASSERT_TRUE(w.Start());
  startCalled = true;
  ASSERT_TRUE(SpinUntil([&] { return starts.load() == 2; }, 3000ms)) << "the Start was lost";
  ASSERT_TRUE(SpinUntil([&] { return Parked(w); }));
  EXPECT_EQ(starts.load(), 2);
}

// What the monitor sweep relies on: once a worker reads parked, it runs nothing until started,
// and a Start right after a parked reading always takes effect.
TEST(ManagedThread, WorkerSeenParkedRunsNothingUntilStarted) {
  std::atomic<int> executes{0};
  std::atomic<bool> parkedSeen{false};
  std::atomic<int> violations{0};
  TManagedThread w;
  w.OnStart = [&](TObject*, int32_t) {
    if (parkedSeen.load()) ++violations;
  };
  w.OnExecute = [&](TObject*, int32_t) {
    if (parkedSeen.load()) ++violations;
    executes.fetch_add(1);
    w.Stop();
    if (parkedSeen.load()) ++violations;
  };
  for (int i = 0; i < 2000; ++i) {
    const int before = executes.load();
    ASSERT_TRUE(w.Start());
    // Poll parked right away: this is the window in which a worker has marked itself Idle
    // but may not have parked yet.
    ASSERT_TRUE(SpinUntil([&] { return Parked(w); })) << "cycle " << i;
    parkedSeen = true;
    for (int k = 0; k < 50; ++k) std::this_thread::yield();
    parkedSeen = false;
    ASSERT_GT(executes.load(), before) << "cycle " << i;
  }
  EXPECT_EQ(violations.load(), 0);
}

TEST(ManagedThread, EndingAParkedWorkerRunsNoHandler) {
  std::atomic<int> calls{0};
  const int before = ThreadCount();
  auto w = std::make_unique<TManagedThread>();
  w->OnStart = [&](TObject*, int32_t) { ++calls; };
  w->OnExecute = [&](TObject*, int32_t) {
    ++calls;
    w->Stop();
  };
  ASSERT_TRUE(w->Start());
  ASSERT_TRUE(SpinUntil([&] { return Parked(*w); }));
  const int seen = calls.load();
  w->Terminate();
  w->Stop();
  w->Resume();
  EXPECT_TRUE(w->WaitFor({}, 2000));
  EXPECT_TRUE(w->Finished());
  EXPECT_EQ(calls.load(), seen);
  EXPECT_FALSE(w->Start()) << "an ended worker cannot run again";
  w.reset();
  EXPECT_TRUE(SpinUntil([&] { return ThreadCount() == before; }, 2000ms));
}

// A worker whose handler waits for a call to be run on the waiting thread ends only if the
// waiter keeps serving such calls.
TEST(ManagedThread, WaitForServesCallsWhileTheWorkerFinishes) {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> calls;
  auto callOnWaiter = [&](std::function<void()> fn) {
    auto done = std::make_shared<bool>(false);
    std::unique_lock<std::mutex> l(mu);
    calls.push_back([fn, done, &cv] {
      fn();
      *done = true;
      cv.notify_all();
    });
    return cv.wait_for(l, 5s, [&] { return *done; });
  };
  auto serve = [&] {
    std::unique_lock<std::mutex> l(mu);
    while (!calls.empty()) {
      auto fn = std::move(calls.front());
      calls.pop_front();
      fn();
    }
  };

  std::atomic<bool> inHandler{false};
  std::atomic<int> served{0};
  bool answered = false;
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    inHandler = true;
    answered = callOnWaiter([&] { ++served; });
    w.Stop();
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return inHandler.load(); }));
  w.RequestEnd();
  const auto t0 = Clock::now();
  ASSERT_TRUE(w.WaitFor(serve, 3000));
  EXPECT_LT(Clock::now() - t0, 1s);
  EXPECT_TRUE(answered);
  EXPECT_EQ(served.load(), 1);
}

TEST(ManagedThread, WaitForGivesUpAtItsDeadline) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<bool> inHandler{false};
  TManagedThread w;
  w.OnExecute = [&](TObject*, int32_t) {
    inHandler = true;
    std::unique_lock<std::mutex> l(mu);
    cv.wait_for(l, 10s, [&] { return release; });
    w.Stop();
  };
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(SpinUntil([&] { return inHandler.load(); }));
  w.RequestEnd();
  int serves = 0;
  const auto t0 = Clock::now();
  EXPECT_FALSE(w.WaitFor([&] { ++serves; }, 100));
  EXPECT_GE(Clock::now() - t0, 100ms);
  EXPECT_GT(serves, 0);
  {
    std::lock_guard<std::mutex> l(mu);
    release = true;
  }
  cv.notify_all();
  EXPECT_TRUE(w.WaitFor({}, 3000));
}

// Shutdown of a thread table: parked, running and never-started workers all end, and the
// running ones are waited for together, not one after another.
TEST(ManagedThreadTable, DestroyingTableWithWorkersInEveryStateIsPrompt) {
  const int before = ThreadCount();
  std::atomic<int> destroyed{0};
  struct Worker : TManagedThread {
    explicit Worker(std::atomic<int>* d) : d_(d) {}
    ~Worker() override { ++*d_; }
    std::atomic<int>* d_;
  };
  std::atomic<int> running{0};
  auto table = std::make_unique<TObjectManager>(100);
  // Through Sender: while the table is being destroyed, `table` no longer points to it.
  table->OnCreateItem = [&](TObject* sender, int32_t i) {
    static_cast<TObjectManager*>(sender)->Items(i).MakeObj<Worker>(&destroyed);
  };
  table->OnDestroyItem = [&](TObject* sender, int32_t i) {
    auto* w = static_cast<TObjectManager*>(sender)->Items(i).Obj<TManagedThread>();
    ASSERT_NE(w, nullptr);
    w->Terminate();
    w->Stop();
    if (w->Suspended()) w->Resume();
  };
  constexpr int kRunning = 20, kParked = 5, kNeverStarted = 5;
  for (int i = 0; i < kRunning + kParked + kNeverStarted; ++i) ASSERT_EQ(table->Add(1), i);
  for (int i = 0; i < kRunning; ++i) {
    auto* w = table->Items(i).Obj<TManagedThread>();
    w->Owner = table.get();
    w->Index = i;
    w->OnStart = [&](TObject*, int32_t) { ++running; };
    // Like a pump waiting for data: each call blocks for a while before it looks at Stopped.
    w->OnExecute = [](TObject*, int32_t) { std::this_thread::sleep_for(100ms); };
    ASSERT_TRUE(w->Start());
  }
  for (int i = kRunning; i < kRunning + kParked; ++i) {
    auto* w = table->Items(i).Obj<TManagedThread>();
    w->OnExecute = [w](TObject*, int32_t) { w->Stop(); };
    ASSERT_TRUE(w->Start());
  }
  ASSERT_TRUE(SpinUntil([&] { return running.load() == kRunning; }));
  for (int i = kRunning; i < kRunning + kParked; ++i) {
    ASSERT_TRUE(SpinUntil([&] { return Parked(*table->Items(i).Obj<TManagedThread>()); }));
    table->Remove(i, false);  // a parked worker in a free slot
  }
  const auto t0 = Clock::now();
  table.reset();
  EXPECT_LT(Clock::now() - t0, 1s) << "workers were waited for one after another";
  EXPECT_EQ(destroyed.load(), kRunning + kParked + kNeverStarted);
  EXPECT_TRUE(SpinUntil([&] { return ThreadCount() == before; }, 2000ms));
}

}  // namespace
}  // namespace kova
