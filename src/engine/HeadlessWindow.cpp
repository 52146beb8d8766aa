#include "engine/HeadlessWindow.h"

#include <unistd.h>

namespace kova {

THeadlessWindow::THeadlessWindow(THeadlessSettings settings, TTickSource tick)
    : settings_(std::move(settings)), servers_(settings_.Servers) {
  loop_ = std::thread([this] { Run(); });
  Call([this, tick = std::move(tick)] { engine_ = std::make_unique<TRelayEngine>(*this, tick); });
}

THeadlessWindow::~THeadlessWindow() {
  Shutdown();
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  loop_.join();
  // Whatever is still queued is dropped; an accepted handle in it was closed by the engine.
}

void THeadlessWindow::Push(TTask task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void THeadlessWindow::Call(const std::function<void()>& fn) {
  std::mutex doneMu;
  std::condition_variable doneCv;
  bool done = false;
  Push(TTask{0, 0, [&] {
                fn();
                std::lock_guard<std::mutex> lock(doneMu);
                done = true;
                doneCv.notify_one();
              }});
  std::unique_lock<std::mutex> lock(doneMu);
  doneCv.wait(lock, [&] { return done; });
}

void THeadlessWindow::PostMessage(uint32_t msg, intptr_t wParam) { Push(TTask{msg, wParam, {}}); }

void THeadlessWindow::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!queue_.empty()) {
      TTask task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      if (task.Fn) {
        task.Fn();
      } else if (engine_) {
        engine_->HandleMessage(task.Msg, task.WParam);
      }
      lock.lock();
      continue;
    }
    if (quit_) return;
    if (sweepPeriodMs_ > 0) {
      if (std::chrono::steady_clock::now() >= nextSweep_) {
        nextSweep_ += std::chrono::milliseconds(sweepPeriodMs_);
        // A late loop catches up with one tick, not a burst of them.
        if (nextSweep_ < std::chrono::steady_clock::now())
          nextSweep_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(sweepPeriodMs_);
        lock.unlock();
        RunSweep();
        lock.lock();
        continue;
      }
      cv_.wait_until(lock, nextSweep_);
    } else {
      cv_.wait(lock);
    }
  }
}

void THeadlessWindow::RunSweep() {
  if (!engine_) return;
  lastRows_ = engine_->Sweep();
  sweeps_.fetch_add(1);
}

void THeadlessWindow::UpdateSettings(const std::function<void(THeadlessSettings&)>& change) {
  Call([&] {
    const std::vector<std::string> before = settings_.Servers;
    change(settings_);
    if (settings_.Servers != before) servers_.Assign(settings_.Servers);
  });
}

void THeadlessWindow::StartService(const std::string& portText) {
  Call([&] {
    if (engine_) engine_->StartService(portText, settings_.ListenAddress);
  });
}

void THeadlessWindow::StopService() {
  Call([&] {
    if (engine_) engine_->StopService();
  });
}

void THeadlessWindow::SetSweepPeriod(int ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    sweepPeriodMs_ = ms > 0 ? ms : 0;
    nextSweep_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(sweepPeriodMs_);
  }
  cv_.notify_all();
}

TMonitorRows THeadlessWindow::SweepNow() {
  return Query([this] {
    RunSweep();
    return lastRows_;
  });
}

TMonitorRows THeadlessWindow::LastRows() {
  return Query([this] { return lastRows_; });
}

int THeadlessWindow::WaitListenReport(int reportsBefore, int timeoutMs) {
  std::unique_lock<std::mutex> lock(reportMu_);
  bool ok = reportCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return listenReports_.load() > reportsBefore; });
  return ok ? listenState_.load() : 0;
}

void THeadlessWindow::Shutdown() {
  if (std::this_thread::get_id() == loop_.get_id()) {
    engine_.reset();
    return;
  }
  Call([this] { engine_.reset(); });
}

std::string THeadlessWindow::ServerText() { return settings_.ServerText; }
void THeadlessWindow::SetServerText(const std::string& text) { settings_.ServerText = text; }
const TTargetList& THeadlessWindow::ServerList() { return servers_; }
bool THeadlessWindow::AutoSwitch() { return settings_.AutoSwitch; }
int THeadlessWindow::ProxyType() { return settings_.ProxyType; }
std::string THeadlessWindow::ProxyText() { return settings_.ProxyText; }
std::string THeadlessWindow::ProxyUser() { return settings_.ProxyUser; }
std::string THeadlessWindow::ProxyPassword() { return settings_.ProxyPassword; }
int THeadlessWindow::IdleLimitMinutes() { return settings_.IdleLimitMinutes; }

std::string THeadlessWindow::ListenAddress() {
  std::lock_guard<std::mutex> lock(reportMu_);
  return listenAddress_;
}

void THeadlessWindow::ListenStateChanged(int state, int boundPort) {
  std::string address = (state == 1 && engine_) ? engine_->ListeningAddress() : std::string();
  {
    std::lock_guard<std::mutex> lock(reportMu_);
    if (state == 1) listenAddress_ = address;
    listenState_.store(state);
    boundPort_.store(boundPort);
    listenReports_.fetch_add(1);
  }
  reportCv_.notify_all();
  if (OnListenState) OnListenState(state, boundPort);
}

}  // namespace kova
