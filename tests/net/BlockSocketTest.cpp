// The block socket over real loopback connections, including Close racing calls on other threads.

#include "net/BlockSocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>

#include "net/NetUtil.h"
#include "net/SocketApi.h"
#include "support/FakePeer.h"

namespace kova {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Clock = std::chrono::steady_clock;

// A name that fails inside the resolver (label longer than 63): no query leaves the machine.
const std::string kUnresolvable = std::string(70, 'x') + ".invalid";

class SocketTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadSocketInterface(); }
  static void TearDownTestSuite() { UnloadSocketInterface(); }
  void TearDown() override {
    peer.Reset();
    EXPECT_EQ(CountOpenFds(), fdsBefore) << "descriptor leak";
  }
  // `sock` adopts the accepted end of a fresh loopback pair; `peer` is the raw client end.
  void AdoptPair(TBlockSocket& sock) {
    RawListener l;
    peer = ConnectTo("127.0.0.1", l.port());
    sock.AdoptHandle(l.Accept().Release());
    ASSERT_TRUE(peer.valid() && sock.Handle() >= 0);
  }
  int fdsBefore = CountOpenFds();
  UniqueFd peer;
};

TEST_F(SocketTest, AddressesAndResolution) {
  // {family, PreferIPv4, host, port, filled}: dotted parts decimal, other numeric forms no host, no port
  // modulo 65536, "127.0.0.1" the loopback of the family in use.
  using F = TSocketFamily;
  const std::tuple<F, bool, std::string, const char*, const char*> rows[] = {
      {F::Any, true, "0.0.0.0", "1080", "0.0.0.0:1080"}, {F::Any, true, "::1", "http", "::1:80"},
      {F::Any, true, kUnresolvable, "80", ":0"}, {F::Any, true, "127.0.0.1", "no-such-service", ":0"},
      {F::Any, true, "0192.000.2.01", "80", "192.0.2.1:80"}, {F::Any, true, "0x7f.0.0.1", "80", ":0"},
      {F::Any, true, "127.1", "80", ":0"}, {F::Any, true, "127.0.0.1", "65535", "127.0.0.1:65535"},
      {F::Any, true, "::1", "65536", ":0"}, {F::IPv4, false, "127.0.0.1", "80", "127.0.0.1:80"},
      {F::IPv6, true, "127.0.0.1", "80", "::1:80"}, {F::Any, false, "127.0.0.1", "80", "::1:80"}};
  TSockAddr rec;
  for (const auto& [family, preferIPv4, host, port, text] : rows) {
    TTCPBlockSocket s;
    s.SetAddressFamily(family);
    s.PreferIPv4 = preferIPv4;
    s.FillAddress(rec, host, port);
    EXPECT_RESULT(s, s.AddressToText(rec) + ":" + std::to_string(TBlockSocket::AddressPort(rec)), text, 0);
  }
  TTCPBlockSocket s;
  s.FillAddress(rec, "", "1080");  // the machine's own address, not the wildcard (nothing connects)
  EXPECT_EQ(s.AddressToText(rec), OwnAddressText());
  EXPECT_NE(s.AddressToText(rec), "0.0.0.0");
  for (const auto& [text, port] :
       std::vector<std::pair<std::string, int>>{{"080", 80}, {"99999999999", 0}, {"-1", 0}, {"+80", 0}, {" 80", 0}, {"", 0}})
    EXPECT_EQ(s.ResolvePortNumber(text), port) << '"' << text << '"';
  EXPECT_EQ(s.ResolveToAddress(kUnresolvable), "0.0.0.0");
  std::vector<std::string> list{"stale"};
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"::1"});
  s.SetAddressFamily(TSocketFamily::IPv4);  // an IPv4-only object drops IPv6 answers
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
}

TEST_F(SocketTest, ListenAcceptAndConnect) {
  TTCPBlockSocket listener, conn, client;
  listener.Bind("127.0.0.1", "0");
  listener.Listen();
  ASSERT_TRUE(IsLoopbackText(listener.LocalAddressText())) << listener.LocalAddressText();
  client.Connect(listener.LocalAddressText(), std::to_string(listener.LocalPort()));
  ASSERT_TRUE(client.LastError() == 0 && listener.WaitReadable(5000));
  conn.AdoptHandle(listener.Accept());
  const int clientPort = client.LocalPort();
  client.Close();  // the adopted side is asked for its addresses only after the peer has gone
  EXPECT_EQ(conn.RemotePort(), clientPort);
  EXPECT_EQ(conn.LocalPort(), listener.LocalPort());
}

TEST_F(SocketTest, ReceivesSplitArrivalsTimeOutsAndThePeersClose) {
  TTCPBlockSocket s;
  AdoptPair(s);
  char buf[8];
  ASSERT_TRUE(SendAll(peer.get(), std::string(20000, 'q')) && WaitUntil([&] { return s.BytesAvailable() == 20000; }));
  EXPECT_EQ(s.ReceiveAvailable(1000).size(), 20000u) << "all that is queued, in one piece";
  auto t0 = Clock::now();
  EXPECT_RESULT(s, s.WaitReadable(100), false, 0);  // a quiet wait is not an error by itself
  EXPECT_RESULT(s, s.ReceiveByte(100), 0, kErrTimedOut);
  EXPECT_GE(Clock::now() - t0, 180ms);
  EXPECT_RESULT(s, s.ReceiveAvailable(0), "", kErrTimedOut);
  ASSERT_TRUE(SendAll(peer.get(), "ab"));
  EXPECT_RESULT(s, s.ReceiveExact(buf, 4, 100), 2, kErrTimedOut);  // still reports what was stored
  // The rest is sent only after the one-byte first piece was taken (and counted): two arrivals.
  ASSERT_TRUE(SendAll(peer.get(), "c"));
  auto pending = std::async(std::launch::async, [&] { return s.ReceiveExactText(4, 5000); });
  ASSERT_TRUE(WaitUntil([&] { return s.BytesReceived() == 20000 + 2 + 1; }));
  ASSERT_TRUE(SendAll(peer.get(), std::string("d\0\xff" "e", 4)));
  EXPECT_EQ(pending.get(), std::string("cd\0\xff", 4));
  EXPECT_EQ(s.ReceiveByte(5000), 'e');
  EXPECT_RESULT(s, s.ReceiveBytes(buf, 0), 0, 0);  // a zero-length read is not a close
  ASSERT_TRUE(SendAll(peer.get(), "HTTP/1.0 200 OK\r\n\r\nrest"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\r\n"), "HTTP/1.0 200 OK");
  t0 = Clock::now();
  EXPECT_RESULT(s, s.ReceiveUntil(3000, "\r\n"), "", 0);
  EXPECT_LT(Clock::now() - t0, 1000ms) << "served from the buffer, no wait";
  EXPECT_RESULT(s, s.ReceiveUntil(100, "\n"), "", kErrTimedOut);  // keeps what it collected
  ASSERT_TRUE(SendAll(peer.get(), "!\nX"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\n"), "rest!");
  EXPECT_EQ(s.ReadBufferCopy(), "X");
  // The peer's close is a reset for every receive; what came before it is kept.
  ASSERT_TRUE(SendAll(peer.get(), "y"));
  peer.Reset();
  EXPECT_RESULT(s, s.ReceiveExact(buf, 8, 5000), 2, kErrConnReset);
  EXPECT_RESULT(s, s.ReceiveBytes(buf, 8), 0, kErrConnReset);
  EXPECT_TRUE(s.WaitReadable(1000));
  EXPECT_EQ(s.ReceiveAvailable(1000) + s.ReceiveUntil(1000, "\n"), "");
  EXPECT_EQ(s.LastErrorText(), "Connection reset by peer");
}

TEST_F(SocketTest, SendingAdoptingAndClosing) {
  auto s = std::make_unique<TTCPBlockSocket>();
  AdoptPair(*s);
  UniqueFd first = std::move(peer);
  ASSERT_TRUE(SendAll(first.get(), "old!"));
  EXPECT_EQ(s->ReceiveExactText(2, 5000), "ol");
  AdoptPair(*s);
  EXPECT_TRUE(WaitPeerClosed(first.get())) << "adopting closes the old";
  EXPECT_EQ(s->ReadBufferCopy() + std::to_string(s->BytesReceived()), "0") << "the old connection's bytes are dropped";
  EXPECT_EQ(s->SendText("abc"), 3);
  ASSERT_EQ(ReadExactly(peer.get(), 3), "abc");
  // A send time-out makes a send to a peer that never reads come back short: only that is counted.
  const timeval limit{0, 50000};
  ::setsockopt(s->Handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const int part = s->SendText(std::string(64 << 20, 's'));
  EXPECT_TRUE(part > 0 && part < (64 << 20)) << part;
  EXPECT_EQ(s->BytesSent(), 3u + static_cast<unsigned>(part));
  ResetConnection(peer.get());
  ASSERT_TRUE(s->WaitReadable(5000));
  // SIGPIPE is not ignored in this process: a signal would end the test run here.
  for (int i = 0; i < 3; ++i) EXPECT_RESULT(*s, s->SendBytes("xyz", 3), -1, kErrConnReset);
  EXPECT_EQ(s->BytesSent(), 3u + static_cast<unsigned>(part));
  // Close drains what is queued, or closing over unread bytes would reset the connection...
  AdoptPair(*s);
  ASSERT_TRUE(SendAll(peer.get(), "never read") && WaitUntil([&] { return s->BytesAvailable() == 10; }));
  EXPECT_EQ(s->SendText("last words"), 10);
  s->Close();
  EXPECT_EQ(ReadUntilClosed(peer.get()), "last words");
  EXPECT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1) << "no reset arrived";
  // ...but a bounded amount: far more queued resets, and a peer that keeps sending cannot hold Close.
  AdoptPair(*s);
  const int room = 1 << 20;
  ::setsockopt(s->Handle(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  ASSERT_TRUE(SendAll(peer.get(), std::string(256 << 10, 'm')) && WaitUntil([&] { return s->BytesAvailable() == 256 << 10; }));
  s->Close();
  tcp_info state{};
  socklen_t size = sizeof state;
  EXPECT_TRUE(WaitUntil([&] {
    return !::getsockopt(peer.get(), IPPROTO_TCP, TCP_INFO, &state, &size) && state.tcpi_state == TCP_CLOSE;
  })) << "drained it all, no reset";
  AdoptPair(*s);
  std::thread flood([&] { while (SendAll(peer.get(), std::string(65536, 'f'))) {} });
  ASSERT_TRUE(WaitUntil([&] { return s->BytesAvailable() > 0; }));
  auto closing = std::async(std::launch::async, [&] { s->Close(); });
  EXPECT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close kept draining";
  ::shutdown(peer.get(), SHUT_RDWR);  // ends the flood, and a drain that never stopped
  flood.join();
  AdoptPair(*s);
  s.reset();
  EXPECT_TRUE(WaitPeerClosed(peer.get())) << "destroying closes";
}

// Each call reports its error; once closed, it fails at once and leaves alone whoever got its old number.
TEST_F(SocketTest, CloseWakesEveryBlockedCallAndTheOldNumberIsNeverTouched) {
  const std::tuple<const char*, bool, const char*, std::function<int(TTCPBlockSocket&)>> rows[] = {
      {"ReceiveAvailable", false, "", [](auto& s) { EXPECT_EQ(s.ReceiveAvailable(-1), ""); return s.LastError(); }},
      {"WaitReadable", false, "", [](auto& s) { EXPECT_FALSE(s.WaitReadable(-1)); return s.LastError(); }},
      {"ReceiveExactText", false, "ab", [](auto& s) { EXPECT_EQ(s.ReceiveExactText(10, -1), ""); return s.LastError(); }},
      // A failed terminated read keeps what it collected, but never for a closed connection.
      {"ReceiveUntil", false, "ab", [](auto& s) { EXPECT_EQ(s.ReceiveUntil(-1, "\n"), ""); return s.LastError(); }},
      // Close's own half-close wakes a send before Close resets LastError: judge the send's result.
      {"SendText to a peer that never reads", false, "", [](auto& s) {
         for (int i = 0; i < 10000; ++i) if (s.SendText(std::string(1 << 20, 's')) < 0) return 1;
         return 0;
       }},
      {"Accept", true, "", [](auto& s) { EXPECT_EQ(s.Accept(), -1); return s.LastError(); }}};
  for (const auto& [name, listener, pending, call] : rows) {
    SCOPED_TRACE(name);
    RawListener l;
    TTCPBlockSocket s;
    if (listener) s.Bind("127.0.0.1", "0"), s.Listen();
    else AdoptPair(s);
    ASSERT_TRUE(s.LastError() == 0 && (listener || SendAll(peer.get(), pending)));
    const int port = s.LocalPort(), oldFd = s.Handle();
    auto done = std::async(std::launch::async, [&] { return call(s); });
    std::this_thread::sleep_for(50ms);  // lets the call block; Close must work either way
    s.Close();
    const bool woke = done.wait_for(5s) == std::future_status::ready;
    if (!woke) peer.Reset(), ConnectTo("127.0.0.1", static_cast<uint16_t>(port));  // no hang
    EXPECT_TRUE(woke) << "still blocked after Close";
    EXPECT_NE(done.get(), 0) << "a call cut short by Close must report an error";
    EXPECT_EQ(s.ReadBufferCopy(), "");
    std::vector<UniqueFd> ends;  // connections until one end gets the old number, `other` its peer
    int other = -1;
    ASSERT_TRUE(WaitUntil([&] {
      ends.push_back(ConnectTo("127.0.0.1", l.port()));
      ends.push_back(l.Accept());
      const int c = ends[ends.size() - 2].get(), a = ends.back().get();
      return (other = c == oldFd ? a : a == oldFd ? c : -1) >= 0;
    })) << "the old descriptor number was not reused";
    ASSERT_TRUE(SendAll(other, "mine"));
    const auto t0 = Clock::now();
    EXPECT_NE(call(s), 0);
    EXPECT_LT(Clock::now() - t0, 1s) << "a closed object waited";
    EXPECT_EQ(ReadExactly(oldFd, 4), "mine") << "the closed object took bytes of the new connection";
    EXPECT_EQ(ReadExactly(other, 1, 100), "") << "stale bytes reached the new connection";
  }
}

}  // namespace
}  // namespace kova
