// The accepting thread: reports, accepted handles, stopping, self-freeing and descriptors.

#include "RelayHarness.h"
#include "engine/NetTools.h"

namespace kova::test {
namespace {

using Posts = std::deque<Post>;
const Post kListening{WM_LISTENSTATE, 1}, kStartFailed{WM_LISTENSTATE, 2}, kStopped{WM_LISTENSTATE, 3};

// A listener that has reported "listening"; the tests connect only if it bound loopback.
struct TStarted {
  TManualWindow Window;
  std::shared_ptr<TMessagePort> Port = std::make_shared<TMessagePort>(&Window);
  std::shared_ptr<TListenThread> Listener;
  std::string Address;
  bool Ok = false;
  explicit TStarted(const std::string& portText = "0") : Listener(TListenThread::Create(Port, portText, "127.0.0.1")) {
    Listener->Resume();
    EXPECT_EQ(Window.WaitPosts(1).at(0), kListening);
    Address = Listener->BoundAddress();
    Ok = IsLoopbackText(Address) && Listener->BoundPort() != 0;
    EXPECT_TRUE(Ok) << "bound '" << Address << "', not loopback: not connecting";
  }
  UniqueFd Connect() { return ConnectTo(Address, static_cast<uint16_t>(Listener->BoundPort())); }
};

TEST(ListenThread, StatesClientsStopLifetimeAndNoDescriptorLeft) {
  const int fdsBefore = CountOpenFds();
  {
    TStarted s;
    ASSERT_TRUE(s.Ok);
    const std::string port = std::to_string(s.Listener->BoundPort());
    // A second listener on the held port reports "start failed" only, and frees itself.
    TManualWindow other;
    auto failing = TListenThread::Create(std::make_shared<TMessagePort>(&other), port, "127.0.0.1");
    auto ended = failing->EndSignal();
    failing->Resume();
    failing.reset();
    ASSERT_TRUE(ended->Wait(2000));
    EXPECT_EQ(other.WaitPosts(1), Posts{kStartFailed});
    // Why a start failed, for the window and kova-relay to say: the address tried, the port as
    // given, the system's reason. 198.51.100.7 is no address here: its bind fails, nothing is sent;
    // a short numeric address is refused before any lookup.
    using F = TListenFailure;
    const std::tuple<std::string, std::string, F::TKind, int, std::string> failures[] = {
        {"127.0.0.1", port, F::System, EADDRINUSE, "Address already in use"},
        {"198.51.100.7", "0", F::System, EADDRNOTAVAIL, "Cannot assign requested address"},
        {"127.0.0.1", "70000", F::BadPort, 0, "not a port number"},
        {"127.0.0.1", "abc", F::BadPort, 0, "not a port number"},
        {"127.1", "0", F::UnknownAddress, 0, "not an address of this machine or a known host name"},
    };
    for (const auto& [address, portText, kind, error, reason] : failures) {
      TManualWindow window;
      auto listener = TListenThread::Create(std::make_shared<TMessagePort>(&window), portText, address);
      listener->Resume();
      EXPECT_EQ(window.WaitPosts(1), Posts{kStartFailed}) << address << " " << portText;
      const F f = listener->Failure();
      EXPECT_EQ(std::tuple(f.Kind, f.Errno, f.Reason(), f.Address, f.Port),
                std::tuple(kind, error, reason, address, portText));
    }

    std::vector<UniqueFd> clients;  // the holder still accepts, each client once
    for (char i : {'0', '1', '2'}) ASSERT_TRUE(SendAll(clients.emplace_back(s.Connect()).get(), {i}));
    const Posts posts = s.Window.WaitPosts(4);
    ASSERT_EQ(posts.size(), 4u);
    std::string got;
    for (size_t k = 1; k < posts.size(); ++k) {
      ASSERT_EQ(posts[k].first, WM_ACCEPT);
      got += ReadExactly(UniqueFd(static_cast<int>(posts[k].second)).get(), 1);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, "012") << "the handles are not the clients' connections";

    const auto t0 = std::chrono::steady_clock::now();
    s.Listener->Terminate();
    ASSERT_TRUE(s.Listener->WaitFor(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "stop took longer than one accept wait";
    s.Listener->Terminate();  // kept past its end: harmless
    EXPECT_EQ(s.Window.WaitPosts(5), (Posts{posts[0], posts[1], posts[2], posts[3], kStopped}));

    TStarted again(port);  // the port is free again right after the report
    ASSERT_TRUE(again.Ok);
    again.Port->Detach();  // the window is gone: a client accepted now is closed, not leaked
    auto client = again.Connect();
    EXPECT_TRUE(WaitPeerClosed(client.get(), 3000));
    std::weak_ptr<TListenThread> weak = again.Listener;  // the window drops its reference
    ended = again.Listener->EndSignal();
    again.Listener.reset();
    auto running = weak.lock();
    ASSERT_TRUE(running) << "a running listener was freed under its thread";
    running->Terminate();
    running.reset();
    ASSERT_TRUE(ended->Wait(2000));
    EXPECT_TRUE(weak.expired()) << "the ended listener did not free itself";
    EXPECT_EQ(again.Window.WaitPosts(2, 0ms), Posts{kListening});

    TManualWindow never;  // never resumed: nothing posted, nothing left open
    auto idle = TListenThread::Create(std::make_shared<TMessagePort>(&never), "0");
    EXPECT_EQ(idle->Failure().Kind, TListenFailure::None);
    idle.reset();
    EXPECT_EQ(never.WaitPosts(1, 0ms).size(), 0u);
  }
  EXPECT_EQ(CountOpenFds(), fdsBefore);
}

}  // namespace
}  // namespace kova::test
