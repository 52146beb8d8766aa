#pragma once
// Helpers for the relay engine's tests: a window whose message queue the test delivers by hand,
// a headless host with a loopback-checked listener, scripted target servers and process counts.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/HeadlessWindow.h"
#include "engine/Relay.h"
#include "support/Loopback.h"

namespace kova::test {

int CountOpenFds();
int CountThreads();
// Waits (up to 2 s) until only the test's own thread (and a sanitizer's helper) is left, e.g.
// after listeners of earlier tests, which end on their own; returns the thread count then.
int SettledThreadCount();

// A settable millisecond clock for the engine; starts far from 0 (0 means "not stamped").
// Reads from threads other than the creator's are counted: one per stamp a worker takes.
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
  void AdvanceSeconds(uint32_t s) { Now.fetch_add(s * 1000u); }
};

// The test thread plays the window thread: posted messages wait until the test delivers them.
class TManualWindow : public IRelayWindow {
 public:
  THeadlessSettings Settings;
  std::vector<std::pair<int, int>> ListenReports;  // (state, port)

  void PostMessage(uint32_t msg, intptr_t wParam) override;
  // Next queued message within the deadline.
  std::optional<std::pair<uint32_t, intptr_t>> Next(int timeoutMs = 5000);
  // Delivers messages to the engine until one with `msg` has been delivered; false on time-out.
  bool DeliverUntil(TRelayEngine& engine, uint32_t msg, int timeoutMs = 5000);
  // Delivers whatever arrives until `pred` holds; false on time-out.
  bool DeliverWhile(TRelayEngine& engine, const std::function<bool()>& done, int timeoutMs = 5000);
  // Waits for a message of kind `msg` without delivering anything; other messages stay queued.
  std::optional<intptr_t> Peek(uint32_t msg, int timeoutMs = 5000);
  size_t Queued();

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
  void ListenStateChanged(int state, int port) override { ListenReports.emplace_back(state, port); }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<uint32_t, intptr_t>> queue_;
};

// Starts the engine's service on port 0 with a manual window; checks the address is loopback.
// Returns the bound port, 0 on failure (with a gtest failure recorded).
uint16_t StartManual(TRelayEngine& engine, TManualWindow& window, std::string* address);

// A headless host with the service started on port 0 and a loopback listener.
struct THost {
  explicit THost(THeadlessSettings settings, TTickSource tick = SystemTick);
  ~THost();
  UniqueFd Connect() const { return ConnectTo(Address, Port); }
  int Connections() { return Window->Query([&] { return Window->Engine()->ConnectionsInUse(); }); }
  int Threads() { return Window->Query([&] { return Window->Engine()->ThreadsInUse(); }); }

  std::unique_ptr<THeadlessWindow> Window;
  std::string Address;
  uint16_t Port = 0;
  bool Ok = false;
};

// A target server on 127.0.0.1:0 that runs `handler` on its own thread for every connection.
// The handler owns the descriptor it is given only for the call; it is closed afterwards.
class TScriptedTarget {
 public:
  explicit TScriptedTarget(std::function<void(int fd)> handler);
  ~TScriptedTarget();
  TScriptedTarget(const TScriptedTarget&) = delete;
  TScriptedTarget& operator=(const TScriptedTarget&) = delete;

  std::string Text() const { return "127.0.0.1:" + listener_.portText(); }
  uint16_t port() const { return listener_.port(); }
  int Accepted() const { return accepted_.load(); }

 private:
  void Run();
  RawListener listener_;
  std::function<void(int)> handler_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mu_;
  std::vector<int> open_;  // descriptors being served, shut down at destruction
  std::vector<std::thread> workers_;
  std::thread thread_;
};

// "127.0.0.1:<port>" of a loopback port that nobody listens on.
std::string UnusedTarget();

// FNV-1a over a byte stream, fed in pieces.
struct THash {
  uint64_t Value = 1469598103934665603ull;
  void Add(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Value = (Value ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
  }
};

// Deterministic pseudo-random bytes: piece `index` of a stream seeded by `seed`.
void FillPattern(char* p, size_t n, uint64_t seed, uint64_t offset);

}  // namespace kova::test
