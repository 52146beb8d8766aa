#include "engine/ManagedThread.h"

#include <chrono>
#include <system_error>

namespace kova {

TManagedThread::TManagedThread() = default;

TManagedThread::~TManagedThread() {
  RequestEnd();
  Join();
}

bool TManagedThread::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (finished_) return false;
  stopped_.store(false);
  if (ending_) pendingStart_ = true;
  if (ResumeLocked()) return true;
  // The system refused the thread: report it and stay a never-started worker.
  stopped_.store(true);
  pendingStart_ = false;
  return false;
}

void TManagedThread::Resume() {
  std::lock_guard<std::mutex> lock(mu_);
  ResumeLocked();
}

bool TManagedThread::ResumeLocked() {
  if (!suspended_) return true;
  if (!created_) {
    if (terminated_.load()) {
      // Never ran and never will: no thread is made just to end it.
      suspended_ = false;
      finished_ = true;
      endCv_.notify_all();
      return true;
    }
    try {
      thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error&) {
      return false;
    }
    created_ = true;
  }
  suspended_ = false;
  wakeCv_.notify_one();
  return true;
}

void TManagedThread::Terminate() {
  std::lock_guard<std::mutex> lock(mu_);
  terminated_.store(true);
}

void TManagedThread::RequestEnd() {
  std::lock_guard<std::mutex> lock(mu_);
  terminated_.store(true);
  stopped_.store(true);
  ResumeLocked();
}

bool TManagedThread::Suspended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return suspended_;
}

bool TManagedThread::Finished() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finished_;
}

bool TManagedThread::WaitFor(const std::function<void()>& serve, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  // Short slices so that a worker waiting for serve() is answered promptly.
  const auto slice = std::chrono::milliseconds(serve ? 2 : 50);
  std::unique_lock<std::mutex> lock(mu_);
  while (!finished_) {
    auto until = Clock::now() + slice;
    if (timeoutMs >= 0) {
      if (Clock::now() >= deadline) return false;
      if (until > deadline) until = deadline;
    }
    if (endCv_.wait_until(lock, until, [this] { return finished_; })) break;
    if (serve) {
      lock.unlock();
      serve();
      lock.lock();
    }
  }
  lock.unlock();
  Join();
  return true;
}

void TManagedThread::Join() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(mu_);
    t = std::move(thread_);
  }
  if (!t.joinable()) return;
  // A worker freed from its own handler cannot wait for itself.
  if (t.get_id() == std::this_thread::get_id()) {
    t.detach();
  } else {
    t.join();
  }
}

void TManagedThread::Execute() {
  TObject* sender = Owner.load();
  int32_t index = Index.load();
  if (!sender) {
    sender = this;
    index = -1;
  }
  std::unique_lock<std::mutex> lock(mu_);
  while (!terminated_.load()) {
    Idle.store(false);
    pendingStart_ = false;
    const bool run = !stopped_.load();
    ending_ = !run;
    // Copied under the lock that the Start which published them also took.
    TIndexEvent onStart = OnStart, onExecute = OnExecute, onFinish = OnFinish;
    lock.unlock();
    if (run) {
      try {
        if (onStart) onStart(sender, index);
        bool finish = false;
        if (onExecute) {
          for (;;) {
            if (stopped_.load()) {
              // The decision to end this run is taken under the lock that Start takes, so a
              // Start either lands before it (and the run goes on) or after it (a new run).
              std::lock_guard<std::mutex> g(mu_);
              if (stopped_.load()) {
                ending_ = true;
                break;
              }
              continue;
            }
            onExecute(sender, index);
          }
        } else {
          std::lock_guard<std::mutex> g(mu_);
          finish = !stopped_.load();
          ending_ = true;
        }
        if (finish && onFinish) onFinish(sender, index);
      } catch (...) {
        // A throwing handler ends its run; the worker itself stays usable.
        stopped_.store(true);
        std::lock_guard<std::mutex> g(mu_);
        ending_ = true;
      }
    }
    lock.lock();
    if (terminated_.load()) break;
    if (pendingStart_) continue;
    Idle.store(true);
    suspended_ = true;
    wakeCv_.wait(lock, [this] { return !suspended_; });
  }
  suspended_ = false;
  finished_ = true;
  endCv_.notify_all();
}

}  // namespace kova
