#pragma once
// Engine test helpers: process counts, a hand-driven window, a headless host, scripted targets, a clock.

#include <sys/socket.h>

#include <condition_variable>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "engine/HeadlessWindow.h"
#include "support/Loopback.h"

namespace kova::test {

using namespace std::chrono_literals;
using Post = std::pair<uint32_t, intptr_t>;

inline int Entries(const char* dir) { return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir), {})); }
inline int CountThreads() { return Entries("/proc/self/task"); }
inline int CountOpenFds() { return Entries("/proc/self/fd") - 1; }  // minus the listing's own

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

// Starts far from 0 ("not stamped"); counts the reads of other threads: one per worker stamp.
struct TFakeClock {
  std::atomic<uint32_t> Now{5'000'000};
  std::atomic<int> WorkerReads{0};
  std::thread::id Creator = std::this_thread::get_id();
  TTickSource Source() {
    return [this] { WorkerReads += std::this_thread::get_id() != Creator; return Now.load(); };
  }
};

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
  std::deque<Post> queue_;
};

// Settings for a direct relay to `target`.
inline THeadlessSettings Direct(const std::string& target) {
  THeadlessSettings s;
  s.ServerText = target;
  return s;
}

inline THeadlessSettings WithLoopback(THeadlessSettings s) {
  if (s.ListenAddress.empty()) s.ListenAddress = "127.0.0.1";
  return s;
}

// A headless host listening on 127.0.0.1 port 0; Ok only when the bound address is loopback.
struct THost {
  explicit THost(THeadlessSettings settings, TTickSource tick = SystemTick)
      : Window(std::make_unique<THeadlessWindow>(WithLoopback(std::move(settings)), std::move(tick))) {
    int before = Window->ListenReports();
    Window->StartService("0");
    EXPECT_EQ(Window->WaitListenReport(before, 5000), 1);
    Ok = IsLoopbackText(Window->ListenAddress()) && Window->BoundPort() != 0;
    EXPECT_TRUE(Ok) << "listener bound to '" << Window->ListenAddress() << "', not loopback: not connecting";
  }
  UniqueFd Connect() const { return ConnectTo(Window->ListenAddress(), static_cast<uint16_t>(Window->BoundPort())); }
  int Threads() { return Window->Query([&] { return Window->Engine()->ThreadsInUse(); }); }
  int Connections() { return Window->Query([&] { return Window->Engine()->ConnectionsInUse(); }); }
  std::unique_ptr<THeadlessWindow> Window;
  bool Ok = false;
};

inline bool RoundTrip(int fd, const std::string& text) {
  return SendAll(fd, text) && ReadExactly(fd, text.size()) == text;
}

inline void Echo(int fd) {
  char buf[16384];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0 && SendAll(fd, std::string(buf, static_cast<size_t>(n)));) {
  }
}

// A target on 127.0.0.1:0 running `handler` on a thread per connection.
struct TScriptedTarget {
  explicit TScriptedTarget(std::function<void(int fd)> handler) : listener_("127.0.0.1", 256) {
    accepter_ = std::thread([this, handler] {
      for (UniqueFd c; !stop_.load();) {
        if (!(c = listener_.Accept(50)).valid()) continue;
        workers_.emplace_back([handler, fd = fds_.emplace_back(std::move(c)).get()] {
          handler(fd);
          ::shutdown(fd, SHUT_RDWR);
        });
      }
    });
  }
  ~TScriptedTarget() {
    stop_.store(true);
    accepter_.join();
    for (auto& fd : fds_) ::shutdown(fd.get(), SHUT_RDWR);  // so handlers return
    for (auto& t : workers_) t.join();
  }
  std::string Text() const { return "127.0.0.1:" + listener_.portText(); }
  RawListener listener_;
  std::atomic<bool> stop_{false};
  std::vector<UniqueFd> fds_;  // closed only at destruction, so no number is reused meanwhile
  std::vector<std::thread> workers_;
  std::thread accepter_;
};

// "127.0.0.1:<port>" where nothing listens.
inline std::string UnusedTarget() { return "127.0.0.1:" + RawListener().portText(); }

}  // namespace kova::test
