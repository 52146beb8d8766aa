#include "engine/TrafficStats.h"

#include <chrono>

namespace kova {

TStatsReporter::TStatsReporter(THeadlessWindow& window, int seconds, std::function<void(const std::string&)> write)
    : window_(window), seconds_(seconds > 0 ? seconds : 1), write_(std::move(write)) {
  meter_.Take(Look(), 0);  // the starting point: nothing has moved before it
  thread_ = std::thread([this] { Run(); });
}

TStatsReporter::~TStatsReporter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

TTrafficSnapshot TStatsReporter::Look() {
  // The counters are read on the window thread, as the window's own views read them.
  return window_.Query([this] { return window_.Engine() ? window_.Engine()->Traffic() : TTrafficSnapshot{}; });
}

void TStatsReporter::Run() {
  auto last = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mu_);
  for (auto next = last + std::chrono::seconds(seconds_);; next += std::chrono::seconds(seconds_)) {
    if (cv_.wait_until(lock, next, [this] { return stop_; })) return;
    lock.unlock();
    const TTrafficSnapshot now = Look();
    const auto at = std::chrono::steady_clock::now();
    const TTrafficSample s = meter_.Take(now, std::chrono::duration<double>(at - last).count());
    last = at;
    // A relay that ended within the interval still gets its last line.
    if (!s.Relays.empty() || s.Down + s.Up > 0) write_(StatsLine(s));
    lock.lock();
  }
}

}  // namespace kova
