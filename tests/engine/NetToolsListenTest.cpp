// The accepting thread: reports, accepted handles, stopping, self-freeing and descriptors.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/NetTools.h"
#include "support/Loopback.h"

namespace kova {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Post = std::pair<uint32_t, intptr_t>;

int FdCount() {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Collects the posted messages; nothing else of the window is used by the listener.
class FakeWindow : public IRelayWindow {
 public:
  void PostMessage(uint32_t msg, intptr_t wParam) override {
    std::lock_guard<std::mutex> l(mu_);
    posts_.emplace_back(msg, wParam);
    cv_.notify_all();
  }
  // Waits until `count` posts have arrived; returns them all.
  std::vector<Post> WaitPosts(size_t count, std::chrono::milliseconds deadline = 5s) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait_for(l, deadline, [&] { return posts_.size() >= count; });
    return posts_;
  }
  std::vector<Post> Posts() {
    std::lock_guard<std::mutex> l(mu_);
    return posts_;
  }

  std::string ServerText() override { return {}; }
  void SetServerText(const std::string&) override {}
  int ServerCount() override { return 0; }
  std::string ServerItem(int) override { return {}; }
  bool AutoSwitch() override { return false; }
  int ProxyType() override { return 0; }
  std::string ProxyText() override { return {}; }
  std::string ProxyUser() override { return {}; }
  std::string ProxyPassword() override { return {}; }
  int IdleLimitMinutes() override { return 0; }
  void ListenStateChanged(int, int) override {}

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Post> posts_;
};

const Post kListening{WM_LISTENSTATE, 1};
const Post kStartFailed{WM_LISTENSTATE, 2};
const Post kStopped{WM_LISTENSTATE, 3};

struct Started {
  std::shared_ptr<TListenThread> listener;
  std::string address;
  int port = 0;
};

// Starts a listener on `port` and waits for its "listening" report; the address it bound must be
// loopback, since the tests then connect to it.
Started StartListening(FakeWindow& window, std::shared_ptr<TMessagePort> port,
                       const std::string& portText = "0") {
  Started s;
  s.listener = TListenThread::Create(std::move(port), portText);
  s.listener->Resume();
  const auto posts = window.WaitPosts(1);
  EXPECT_EQ(posts.at(0), kListening);
  s.port = s.listener->BoundPort();
  s.address = s.listener->BoundAddress();
  return s;
}

uint16_t PortOf(int fd, bool peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len);
  return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

TEST(ListenThread, AcceptsClientsUntilStoppedAndLeavesNoDescriptor) {
  const int fdsBefore = FdCount();
  {
    FakeWindow window;
    auto port = std::make_shared<TMessagePort>(&window);
    Started s = StartListening(window, port);
    ASSERT_NE(s.port, 0);
    ASSERT_TRUE(test::IsLoopbackText(s.address))
        << "the listener bound " << s.address << ", not a loopback address; refusing to connect";

    std::vector<test::UniqueFd> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(test::ConnectTo(s.address, static_cast<uint16_t>(s.port)));
      ASSERT_TRUE(clients.back().valid());
    }
    const auto posts = window.WaitPosts(4);
    ASSERT_EQ(posts.size(), 4u);
    // Every accepted handle is a live connection to one of the clients, each client once.
    std::vector<bool> matched(clients.size(), false);
    for (size_t k = 1; k < posts.size(); ++k) {
      ASSERT_EQ(posts[k].first, WM_ACCEPT);
      test::UniqueFd handle(static_cast<int>(posts[k].second));
      size_t c = 0;
      while (c < clients.size() && PortOf(clients[c].get(), false) != PortOf(handle.get(), true)) {
        ++c;
      }
      ASSERT_LT(c, clients.size()) << "handle is not connected to any client";
      ASSERT_FALSE(matched[c]);
      matched[c] = true;
      const std::string msg = "hello " + std::to_string(k);
      ASSERT_TRUE(test::SendAll(handle.get(), msg));
      EXPECT_EQ(test::ReadExactly(clients[c].get(), msg.size(), 2000), msg);
    }

    const auto t0 = Clock::now();
    s.listener->Terminate();
    ASSERT_EQ(window.WaitPosts(5, 2s).back(), kStopped);
    EXPECT_LT(Clock::now() - t0, 1s) << "stop took longer than one accept wait";
    EXPECT_TRUE(s.listener->WaitFor(2000));
    EXPECT_EQ(window.Posts().size(), 5u);
    // The port is free again right after the report: the next start can take it.
    FakeWindow again;
    Started s2 = StartListening(again, std::make_shared<TMessagePort>(&again),
                                std::to_string(s.port));
    EXPECT_EQ(s2.port, s.port);
    s2.listener->Terminate();
    EXPECT_TRUE(s2.listener->WaitFor(2000));
  }
  EXPECT_EQ(FdCount(), fdsBefore);
}

TEST(ListenThread, PortAlreadyHeldReportsStartFailedOnly) {
  const int fdsBefore = FdCount();
  {
    FakeWindow holderWindow;
    Started holder = StartListening(holderWindow, std::make_shared<TMessagePort>(&holderWindow));
    ASSERT_NE(holder.port, 0);

    FakeWindow window;
    auto listener = TListenThread::Create(std::make_shared<TMessagePort>(&window),
                                          std::to_string(holder.port));
    auto ended = listener->EndSignal();
    listener->Resume();
    listener.reset();  // the failing thread frees itself
    ASSERT_TRUE(ended->Wait(2000));
    EXPECT_EQ(window.Posts(), std::vector<Post>{kStartFailed});

    // The holder is unaffected and still accepts.
    ASSERT_TRUE(test::IsLoopbackText(holder.address)) << holder.address;
    auto client = test::ConnectTo(holder.address, static_cast<uint16_t>(holder.port));
    ASSERT_TRUE(client.valid());
    const auto posts = holderWindow.WaitPosts(2);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].first, WM_ACCEPT);
    ::close(static_cast<int>(posts[1].second));
    holder.listener->Terminate();
    EXPECT_TRUE(holder.listener->WaitFor(2000));
  }
  EXPECT_EQ(FdCount(), fdsBefore);
}

// The window may drop its reference, or keep it past the thread's end; both are safe.
TEST(ListenThread, LifetimeIsIndependentOfTheWindowsReference) {
  FakeWindow window;
  auto port = std::make_shared<TMessagePort>(&window);
  Started s = StartListening(window, port);
  std::weak_ptr<TListenThread> weak = s.listener;
  auto ended = s.listener->EndSignal();
  s.listener.reset();
  auto running = weak.lock();
  ASSERT_TRUE(running) << "a running listener was freed under its thread";
  running->Terminate();
  running.reset();
  ASSERT_TRUE(ended->Wait(2000));
  EXPECT_TRUE(weak.expired()) << "the ended listener did not free itself";
  EXPECT_EQ(window.Posts().back(), kStopped);

  // Kept past its end: asking it to stop again and reading its port stay harmless.
  FakeWindow window2;
  Started kept = StartListening(window2, std::make_shared<TMessagePort>(&window2));
  kept.listener->Terminate();
  ASSERT_TRUE(kept.listener->WaitFor(2000));
  kept.listener->Terminate();
  EXPECT_EQ(kept.listener->BoundPort(), kept.port);
  EXPECT_EQ(window2.Posts(), (std::vector<Post>{kListening, kStopped}));

  // Never resumed: nothing is posted and nothing stays open.
  const int fds = FdCount();
  FakeWindow window3;
  TListenThread::Create(std::make_shared<TMessagePort>(&window3), "0").reset();
  EXPECT_TRUE(window3.Posts().empty());
  EXPECT_EQ(FdCount(), fds);
}

// Once the window is gone, a client accepted in the meantime is closed, not leaked.
TEST(ListenThread, AcceptAfterWindowDetachedClosesTheClient) {
  const int fdsBefore = FdCount();
  {
    FakeWindow window;
    auto port = std::make_shared<TMessagePort>(&window);
    Started s = StartListening(window, port);
    ASSERT_TRUE(test::IsLoopbackText(s.address)) << s.address;
    port->Detach();
    auto client = test::ConnectTo(s.address, static_cast<uint16_t>(s.port));
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(test::WaitPeerClosed(client.get(), 3000));
    s.listener->Terminate();
    EXPECT_TRUE(s.listener->WaitFor(2000));
    EXPECT_EQ(window.Posts(), std::vector<Post>{kListening});
  }
  EXPECT_EQ(FdCount(), fdsBefore);
}

}  // namespace
}  // namespace kova
