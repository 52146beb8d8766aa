#pragma once
// Engine test helpers: a hand-driven window, a headless host, a clock, thread counts.

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <optional>

#include <gtest/gtest.h>

#include "engine/HeadlessWindow.h"
#include "net/NetUtil.h"
#include "support/Loopback.h"

namespace kova::test {

using namespace std::chrono_literals;
using Post = std::pair<uint32_t, intptr_t>;

// Once earlier tests' threads are gone, and after a first thread (a sanitizer's own starts with it).
inline int SettledThreadCount() {
  std::thread([] {}).join();
#if defined(__SANITIZE_THREAD__)
  WaitUntil([] { return CountThreads() <= 2; }, 2s);
#else
  WaitUntil([] { return CountThreads() <= 1; }, 2s);
#endif
  return CountThreads();
}

// The creating (window) thread reads Now; workers read Stamp, and each such read is counted: one
// per worker stamp. Both start far from 0 ("not stamped").
struct TFakeClock {
  std::atomic<uint32_t> Now{5'000'000}, Stamp{5'000'000};
  std::atomic<int> WorkerReads{0};
  std::thread::id Window = std::this_thread::get_id();
  TTickSource Source() {
    return [this] { return std::this_thread::get_id() == Window ? Now.load() : (++WorkerReads, Stamp.load()); };
  }
};

inline std::pair<std::string, std::string> HostAndPort(const std::string& text) {  // ":" when unusable
  std::string host, port;
  return SplitTarget(text, host, port) ? std::pair(host, port) : std::pair(std::string(), std::string());
}

// The test thread plays the window thread: posts wait in a queue until the test delivers them.
class TManualWindow : public IRelayWindow {
 public:
  THeadlessSettings Settings;
  int ListenState = 0, ListenPort = 0;

  void PostMessage(uint32_t msg, intptr_t wParam) override {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.emplace_back(msg, wParam);
    cv_.notify_all();
  }
  // Waits until `count` posts are queued (or the deadline); returns the queue.
  std::deque<Post> WaitPosts(size_t count, std::chrono::milliseconds deadline = 5s) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, deadline, [&] { return queue_.size() >= count; });
    return queue_;
  }
  // Waits for a post of kind `msg` to be queued, delivering nothing; the latest one.
  std::optional<intptr_t> Peek(uint32_t msg) {
    std::unique_lock<std::mutex> lock(mu_);
    auto it = queue_.rend();
    auto kind = [&](const Post& m) { return m.first == msg; };
    cv_.wait_for(lock, 5s, [&] { return (it = std::find_if(queue_.rbegin(), queue_.rend(), kind)) != queue_.rend(); });
    return it == queue_.rend() ? std::nullopt : std::optional(it->second);
  }
  // Delivers queued posts until one of kind `msg` has been delivered; false on time-out.
  bool DeliverUntil(TRelayEngine& engine, uint32_t msg) {
    for (Post m{}; m.first != msg;) {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, 5s, [&] { return !queue_.empty(); })) return false;
      m = queue_.front();
      queue_.pop_front();
      lock.unlock();
      engine.HandleMessage(m.first, m.second);
    }
    return true;
  }

  std::string ServerText() override { return Settings.ServerText; }
  void SetServerText(const std::string& t) override { Settings.ServerText = t; }
  const TTargetList& ServerList() override {  // tests edit Settings.Servers directly
    list_.Assign(Settings.Servers);
    return list_;
  }
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
  std::deque<Post> queue_;
  TTargetList list_;
};

// An engine run by hand on a TManualWindow with a fake clock, listening on 127.0.0.1 port 0.
struct TManualEngine : TManualWindow {
  TFakeClock Clock;
  std::unique_ptr<TRelayEngine> Engine;
  std::string Address;
  bool Ok = false;
  explicit TManualEngine(const std::string& target) {
    Settings.ServerText = target;
    Engine = std::make_unique<TRelayEngine>(*this, Clock.Source());
  }
  void Start() {  // after any set-up of the engine; Ok only when the bound address is loopback
    Engine->StartService("0", "127.0.0.1");
    Ok = DeliverUntil(*Engine, WM_LISTENSTATE) && ListenState == 1 && IsLoopbackText(Engine->ListeningAddress());
    Address = Engine->ListeningAddress();
    EXPECT_TRUE(Ok) << "listener at '" << Address << "', not loopback: not connecting";
  }
  UniqueFd Connect(const std::string& from = "") { return ConnectTo(Address, static_cast<uint16_t>(ListenPort), from); }
  UniqueFd Accept() {  // a client, once the engine has taken it on
    auto c = Connect();
    EXPECT_TRUE(DeliverUntil(*Engine, WM_ACCEPT));
    return c;
  }
};

inline THeadlessSettings Direct(const std::string& target, std::vector<std::string> list = {}, int proxyType = 0,
                                const std::string& proxy = "") {
  THeadlessSettings s;
  s.ServerText = target, s.Servers = std::move(list), s.ProxyType = proxyType, s.ProxyText = proxy;
  return s;
}

// A headless host listening on 127.0.0.1 port 0; Ok only when the bound address is loopback.
struct THost {
  explicit THost(THeadlessSettings settings, TTickSource tick = SystemTick) {
    if (settings.ListenAddress.empty()) settings.ListenAddress = "127.0.0.1";
    Window = std::make_unique<THeadlessWindow>(std::move(settings), std::move(tick));
    Window->StartService("0");
    EXPECT_EQ(Window->WaitListenReport(0, 5000), 1);
    Ok = IsLoopbackText(Window->ListenAddress()) && Window->BoundPort() != 0;
    EXPECT_TRUE(Ok) << "listener bound to '" << Window->ListenAddress() << "', not loopback: not connecting";
  }
  UniqueFd Connect(const std::string& from = "") const {
    return ConnectTo(Window->ListenAddress(), static_cast<uint16_t>(Window->BoundPort()), from);
  }
  template <class F> auto Ask(F f) { return Window->Query([&] { return f(*Window->Engine()); }); }
  int Threads() { return Ask([](TRelayEngine& e) { return e.ThreadsInUse(); }); }
  int Connections() { return Ask([](TRelayEngine& e) { return e.ConnectionsInUse(); }); }
  std::vector<TRelayOutcome> Outcomes() { return Ask([](TRelayEngine& e) { return e.RecentOutcomes(); }); }
  std::string Target() { return Ask([](TRelayEngine& e) { return e.TargetHost() + ":" + e.TargetPort(); }); }
  void SetTarget(const std::string& text) { Do([&](TRelayEngine& e) { e.SetTarget(HostAndPort(text).first, HostAndPort(text).second); }); }
  void Do(const std::function<void(TRelayEngine&)>& f) { Window->Call([&] { f(*Window->Engine()); }); }
  UniqueFd Through(const std::string& target) { return SetTarget(target), Connect(); }  // a client of `target`
  std::unique_ptr<THeadlessWindow> Window;
  bool Ok = false;
};

// "127.0.0.<host>:<port>" where nothing listens; distinct hosts give distinct servers even when
// the system hands out the same free port twice.
inline std::string UnusedTarget(int host = 1) {
  return "127.0.0." + std::to_string(host) + ":" + RawListener().portText();
}

}  // namespace kova::test
