#pragma once
// A window without a screen: one thread runs the message queue, the settings and the monitor
// timer, and owns the relay engine. Tests, benchmarks and the headless host drive the engine
// through it exactly as the Qt window does through its event loop.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Relay.h"
#include "engine/WindowHost.h"

namespace kova {

struct THeadlessSettings {
  std::string ServerText;            // the typed target "host:port"
  std::vector<std::string> Servers;  // the in-use server list
  bool AutoSwitch = true;
  int ProxyType = 0;                 // 0 none, 1 HTTP, 2 SOCKS 4, 3 SOCKS 5
  std::string ProxyText;
  std::string ProxyUser;
  std::string ProxyPassword;
  int IdleLimitMinutes = 5;
  std::string ListenAddress;         // empty: the machine's own address
};

class THeadlessWindow : public IRelayWindow {
 public:
  explicit THeadlessWindow(THeadlessSettings settings = {}, TTickSource tick = SystemTick);
  ~THeadlessWindow() override;  // Shutdown(), then the loop thread ends

  THeadlessWindow(const THeadlessWindow&) = delete;
  THeadlessWindow& operator=(const THeadlessWindow&) = delete;

  // Runs fn on the window thread and waits for it. Not from the window thread itself.
  void Call(const std::function<void()>& fn);
  template <class F>
  auto Query(F fn) -> decltype(fn()) {
    decltype(fn()) result{};
    Call([&] { result = fn(); });
    return result;
  }
  // The engine; touch it only inside Call (or from the window thread). Null after Shutdown.
  TRelayEngine* Engine() { return engine_.get(); }

  void UpdateSettings(const std::function<void(THeadlessSettings&)>& change);
  void StartService(const std::string& portText);
  void StopService();
  // Sweep period in ms; 0 switches the timer off. Restarts the timing.
  void SetSweepPeriod(int ms);
  // Runs one sweep now and returns its rows.
  TMonitorRows SweepNow();
  TMonitorRows LastRows();
  int SweepCount() const { return sweeps_.load(); }

  // Listener reports: last state (0 none yet, 1 listening, 2 failed, 3 stopped) and port.
  int ListenState() const { return listenState_.load(); }
  int BoundPort() const { return boundPort_.load(); }
  std::string ListenAddress();  // bound address text of the last listening report
  int ListenReports() const { return listenReports_.load(); }
  // Waits until the number of listener reports exceeds `reportsBefore`; the latest state or 0.
  int WaitListenReport(int reportsBefore, int timeoutMs);
  std::function<void(int state, int port)> OnListenState;  // called on the window thread

  // Destroys the engine on the window thread; the queue keeps running but drops messages.
  void Shutdown();

  // IRelayWindow
  void PostMessage(uint32_t msg, intptr_t wParam) override;
  std::string ServerText() override;
  void SetServerText(const std::string& text) override;
  const TTargetList& ServerList() override;
  bool AutoSwitch() override;
  int ProxyType() override;
  std::string ProxyText() override;
  std::string ProxyUser() override;
  std::string ProxyPassword() override;
  int IdleLimitMinutes() override;
  void ListenStateChanged(int state, int boundPort) override;

 private:
  struct TTask {
    uint32_t Msg = 0;  // 0: run Fn
    intptr_t WParam = 0;
    std::function<void()> Fn;
  };
  void Run();
  void Push(TTask task);
  void RunSweep();

  THeadlessSettings settings_;  // window thread only
  TTargetList servers_;         // settings_.Servers as the engine walks them
  std::unique_ptr<TRelayEngine> engine_;
  TMonitorRows lastRows_;       // window thread only

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<TTask> queue_;
  bool quit_ = false;
  int sweepPeriodMs_ = 0;
  std::chrono::steady_clock::time_point nextSweep_{};

  std::atomic<int> listenState_{0};
  std::atomic<int> boundPort_{0};
  std::atomic<int> listenReports_{0};
  std::atomic<int> sweeps_{0};
  std::mutex reportMu_;
  std::string listenAddress_;  // guarded by reportMu_
  std::condition_variable reportCv_;

  std::thread loop_;
};

}  // namespace kova
