#pragma once
// Statistics for a relay without a window: every few seconds, while any relay is active, one
// line with the active relays, the total rates and the bytes since start.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/HeadlessWindow.h"
#include "engine/TrafficMeter.h"

namespace kova {

class TStatsReporter {
 public:
  // Starts at once; `write` gets each line (without its line break) on the reporter's thread.
  TStatsReporter(THeadlessWindow& window, int seconds, std::function<void(const std::string&)> write);
  // Stops and waits; before the window's engine goes.
  ~TStatsReporter();

  TStatsReporter(const TStatsReporter&) = delete;
  TStatsReporter& operator=(const TStatsReporter&) = delete;

 private:
  void Run();
  TTrafficSnapshot Look();

  THeadlessWindow& window_;
  const int seconds_;
  std::function<void(const std::string&)> write_;
  TTrafficMeter meter_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kova
