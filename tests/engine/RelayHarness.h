#pragma once
// Relay test helpers: a window whose queue the test delivers by hand, a headless host with a
// loopback-checked listener, scripted loopback targets, a settable clock and process counts.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/HeadlessWindow.h"
#include "support/Loopback.h"

namespace kova::test {

int CountOpenFds();
int CountThreads();
// Thread count once listeners of earlier tests (they end on their own) are gone.
int SettledThreadCount();

// Starts far from 0 ("not stamped"); counts the reads of other threads: one per worker stamp.
struct TFakeClock {
  std::atomic<uint32_t> Now{5'000'000};
  std::atomic<int> WorkerReads{0};
  std::thread::id Creator = std::this_thread::get_id();
  TTickSource Source() {
    return [this] {
      if (std::this_thread::get_id() != Creator) WorkerReads.fetch_add(1);
      return Now.load();
    };
  }
};

// The test thread plays the window thread: posted messages wait until the test delivers them.
class TManualWindow : public IRelayWindow {
 public:
  THeadlessSettings Settings;
  int ListenState = 0, ListenPort = 0;

  void PostMessage(uint32_t msg, intptr_t wParam) override;
  // Delivers queued messages until one of kind `msg` has been delivered; false on time-out.
  bool DeliverUntil(TRelayEngine& engine, uint32_t msg);
  // Waits for a message of kind `msg` to be queued, delivering nothing.
  std::optional<intptr_t> Peek(uint32_t msg);

  std::string ServerText() override { return Settings.ServerText; }
  void SetServerText(const std::string& t) override { Settings.ServerText = t; }
  int ServerCount() override { return static_cast<int>(Settings.Servers.size()); }
  std::string ServerItem(int i) override { return Settings.Servers.at(static_cast<size_t>(i)); }
  bool AutoSwitch() override { return Settings.AutoSwitch; }
  int ProxyType() override { return Settings.ProxyType; }
  std::string ProxyText() override { return Settings.ProxyText; }
  std::string ProxyUser() override { return Settings.ProxyUser; }
  std::string ProxyPassword() override { return Settings.ProxyPassword; }
  int IdleLimitMinutes() override { return Settings.IdleLimitMinutes; }
  void ListenStateChanged(int state, int port) override { ListenState = state, ListenPort = port; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<uint32_t, intptr_t>> queue_;
};

// A headless host listening on port 0; Ok only when the bound address is loopback.
struct THost {
  explicit THost(THeadlessSettings settings, TTickSource tick = SystemTick);
  UniqueFd Connect() const { return ConnectTo(Address, Port); }
  int Connections() { return Window->Query([&] { return Window->Engine()->ConnectionsInUse(); }); }
  int Threads() { return Window->Query([&] { return Window->Engine()->ThreadsInUse(); }); }
  std::unique_ptr<THeadlessWindow> Window;
  std::string Address;
  uint16_t Port = 0;
  bool Ok = false;
};

// Settings for a direct relay to `target` (the window's default proxy is off loopback).
THeadlessSettings Direct(const std::string& target);
bool RoundTrip(int fd, const std::string& text);

// A target on 127.0.0.1:0 running `handler` on a thread per connection (closed afterwards).
class TScriptedTarget {
 public:
  explicit TScriptedTarget(std::function<void(int fd)> handler);
  ~TScriptedTarget();
  std::string Text() const { return "127.0.0.1:" + listener_.portText(); }
  int Accepted() const { return accepted_.load(); }

 private:
  RawListener listener_;
  std::function<void(int)> handler_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mu_;
  std::vector<int> open_;  // shut down at destruction so handlers return
  std::vector<std::thread> workers_;
  std::thread thread_;
};

// "127.0.0.1:<port>" where nothing listens.
std::string UnusedTarget();

}  // namespace kova::test
