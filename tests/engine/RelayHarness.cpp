#include "RelayHarness.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace kova::test {

namespace {

int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the directory's own handle
}

}  // namespace

int CountOpenFds() { return CountEntries("/proc/self/fd"); }
int CountThreads() { return CountEntries("/proc/self/task"); }

int SettledThreadCount() {
#if defined(__SANITIZE_THREAD__)
  constexpr int kQuiet = 2;  // the sanitizer runs a background thread once threads exist
#else
  constexpr int kQuiet = 1;
#endif
  std::thread([] {}).join();
  WaitUntil([] { return CountThreads() <= kQuiet; }, std::chrono::seconds(2));
  return CountThreads();
}

void TManualWindow::PostMessage(uint32_t msg, intptr_t wParam) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.emplace_back(msg, wParam);
  }
  cv_.notify_all();
}

std::optional<std::pair<uint32_t, intptr_t>> TManualWindow::Next(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty(); }))
    return std::nullopt;
  auto m = queue_.front();
  queue_.pop_front();
  return m;
}

bool TManualWindow::DeliverUntil(TRelayEngine& engine, uint32_t msg, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    auto m = Next(static_cast<int>(left.count()));
    if (!m) return false;
    engine.HandleMessage(m->first, m->second);
    if (m->first == msg) return true;
  }
}

bool TManualWindow::DeliverWhile(TRelayEngine& engine, const std::function<bool()>& done,
                                 int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    if (auto m = Next(10)) engine.HandleMessage(m->first, m->second);
  }
  return true;
}

std::optional<intptr_t> TManualWindow::Peek(uint32_t msg, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<intptr_t> found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (auto& m : queue_) {
      if (m.first == msg) {
        found = m.second;
        return true;
      }
    }
    return false;
  });
  return found;
}

size_t TManualWindow::Queued() {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

uint16_t StartManual(TRelayEngine& engine, TManualWindow& window, std::string* address) {
  engine.StartService("0");
  if (!window.DeliverUntil(engine, WM_LISTENSTATE) || window.ListenReports.empty() ||
      window.ListenReports.back().first != 1) {
    ADD_FAILURE() << "the service did not start listening";
    return 0;
  }
  std::string a = engine.ListeningAddress();
  if (!IsLoopbackText(a)) {
    ADD_FAILURE() << "listener bound to a non-loopback address '" << a << "': refusing to connect";
    return 0;
  }
  if (address) *address = a;
  return static_cast<uint16_t>(window.ListenReports.back().second);
}

THost::THost(THeadlessSettings settings, TTickSource tick)
    : Window(std::make_unique<THeadlessWindow>(std::move(settings), std::move(tick))) {
  int before = Window->ListenReports();
  Window->StartService("0");
  if (Window->WaitListenReport(before, 5000) != 1) {
    ADD_FAILURE() << "the headless host did not start listening";
    return;
  }
  Address = Window->ListenAddress();
  Port = static_cast<uint16_t>(Window->BoundPort());
  if (!IsLoopbackText(Address)) {
    ADD_FAILURE() << "listener bound to a non-loopback address '" << Address
                  << "': refusing to connect";
    Port = 0;
    return;
  }
  Ok = Port != 0;
}

THost::~THost() { Window.reset(); }

TScriptedTarget::TScriptedTarget(std::function<void(int)> handler)
    : listener_("127.0.0.1", 256), handler_(std::move(handler)) {
  thread_ = std::thread([this] { Run(); });
}

TScriptedTarget::~TScriptedTarget() {
  stop_.store(true);
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  thread_.join();
  for (auto& t : workers_) t.join();
}

void TScriptedTarget::Run() {
  while (!stop_.load()) {
    UniqueFd c = listener_.Accept(50);
    if (!c.valid()) continue;
    accepted_.fetch_add(1);
    int fd = c.Release();
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_.load()) {
      ::close(fd);
      break;
    }
    open_.push_back(fd);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      std::lock_guard<std::mutex> l(mu_);
      std::erase(open_, fd);
      ::close(fd);
    });
  }
}

std::string UnusedTarget() {
  RawListener l;
  std::string text = "127.0.0.1:" + l.portText();
  l.Close();  // the port is free now; nothing will listen on it again during a test
  return text;
}

void FillPattern(char* p, size_t n, uint64_t seed, uint64_t offset) {
  for (size_t i = 0; i < n; ++i) {
    uint64_t x = (offset + i) / 8 * 0x9E3779B97F4A7C15ull ^ seed;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    p[i] = static_cast<char>(x >> (((offset + i) % 8) * 8));
  }
}

}  // namespace kova::test
