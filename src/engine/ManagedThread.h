#pragma once
// A reusable worker: runs OnStart once, OnExecute until stopped and OnFinish (only if not
// stopped), then parks until the next Start. It ends only after Terminate.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/NetTools.h"

namespace kova {

class TManagedThread : public TObject {
 public:
  TManagedThread();
  // Terminate, Stop, wake, join. Use WaitFor first if the worker may need the caller's help
  // (a synchronous call onto the caller's thread) to finish its current step.
  ~TManagedThread() override;

  // Handlers receive (Owner, Index), or (this worker, -1) when Owner is empty. Assign them
  // only while the worker is not running (never started, or parked): a run copies them.
  TIndexEvent OnFinish;
  TIndexEvent OnStart;
  TIndexEvent OnExecute;
  std::atomic<TObject*> Owner{nullptr};  // read once, at the first start
  std::atomic<int32_t> Index{-1};
  // True while parked or about to park; also set by others (the pool, a giving-up partner).
  std::atomic<bool> Idle{false};

  // Clears Stopped and wakes a parked worker. A Start that comes after the worker's last look
  // at Stopped but before it parks gives a new run, never a lost wake-up. Any thread.
  // False when the worker has ended, or when the system refused to create its thread (the
  // worker then stays as it was, never started).
  bool Start();
  void Stop() { stopped_.store(true); }  // noticed between two handler calls
  void Resume();                         // wakes a parked worker without clearing Stopped
  void Terminate();                      // the worker ends the next time it is between runs
  // Terminate, Stop and Resume: the worker ends as soon as its current handler returns.
  void RequestEnd();

  bool Stopped() const { return stopped_.load(); }
  bool Terminated() const { return terminated_.load(); }
  // Parked (or never started). Reads true only once the worker has committed to park, so a
  // worker seen Suspended runs nothing until it is started again.
  bool Suspended() const;
  bool Finished() const;  // the thread has ended (or was never created and is terminated)

  // Waits for the thread's end, calling serve() between short waits so that the worker's
  // synchronous calls onto this thread keep being answered. -1 = no limit. True once ended.
  bool WaitFor(const std::function<void()>& serve = {}, int timeoutMs = -1);

 private:
  void Execute();
  bool ResumeLocked();  // false when the thread could not be created
  void Join();

  mutable std::mutex mu_;
  std::condition_variable wakeCv_;
  std::condition_variable endCv_;
  std::thread thread_;            // created at the first Start
  std::atomic<bool> stopped_{true};
  std::atomic<bool> terminated_{false};
  bool suspended_ = true;         // guarded by mu_
  bool ending_ = true;            // the current run has made its last decision on Stopped
  bool pendingStart_ = false;     // a Start arrived after ending_: run again instead of parking
  bool created_ = false;
  bool finished_ = false;
};

}  // namespace kova
