#include "RelayHarness.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

namespace kova::test {

namespace {
int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  int n = 0;
  while (dirent* e = d ? ::readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) ::closedir(d);
  return n;
}
}  // namespace

int CountOpenFds() { return CountEntries("/proc/self/fd") - 1; }  // minus the listing's own
int CountThreads() { return CountEntries("/proc/self/task"); }

int SettledThreadCount() {
#if defined(__SANITIZE_THREAD__)
  constexpr int kQuiet = 2;  // the sanitizer's background thread
#else
  constexpr int kQuiet = 1;
#endif
  std::thread([] {}).join();
  WaitUntil([] { return CountThreads() <= kQuiet; }, std::chrono::seconds(2));
  return CountThreads();
}

void TManualWindow::PostMessage(uint32_t msg, intptr_t wParam) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.emplace_back(msg, wParam);
  cv_.notify_all();
}

bool TManualWindow::DeliverUntil(TRelayEngine& engine, uint32_t msg) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::unique_lock<std::mutex> lock(mu_);
  while (cv_.wait_until(lock, end, [&] { return !queue_.empty(); })) {
    auto m = queue_.front();
    queue_.pop_front();
    lock.unlock();
    engine.HandleMessage(m.first, m.second);
    if (m.first == msg) return true;
    lock.lock();
  }
  return false;
}

std::optional<intptr_t> TManualWindow::Peek(uint32_t msg) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<intptr_t> found;
  cv_.wait_for(lock, std::chrono::seconds(5), [&] {
    for (auto& m : queue_) {
      if (m.first == msg) found = m.second;
    }
    return found.has_value();
  });
  return found;
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
  Ok = IsLoopbackText(Address) && Port != 0;
  if (!Ok) ADD_FAILURE() << "listener bound to '" << Address << "', not loopback: not connecting";
}

THeadlessSettings Direct(const std::string& target) {
  THeadlessSettings s;
  s.ServerText = target;
  s.ProxyType = 0;
  return s;
}

bool RoundTrip(int fd, const std::string& text) {
  return SendAll(fd, text) && ReadExactly(fd, text.size()) == text;
}

TScriptedTarget::TScriptedTarget(std::function<void(int)> handler)
    : listener_("127.0.0.1", 256), handler_(std::move(handler)) {
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      UniqueFd c = listener_.Accept(50);
      if (!c.valid()) continue;
      accepted_.fetch_add(1);
      int fd = c.Release();
      std::lock_guard<std::mutex> lock(mu_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd] {
        handler_(fd);
        std::lock_guard<std::mutex> l(mu_);
        std::erase(open_, fd);
        ::close(fd);
      });
    }
  });
}

TScriptedTarget::~TScriptedTarget() {
  stop_.store(true);
  thread_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_) t.join();
}

std::string UnusedTarget() {
  RawListener l;
  return "127.0.0.1:" + l.portText();  // closed on return; nothing listens there again
}

}  // namespace kova::test
