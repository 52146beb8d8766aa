#include "net/BlockSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/SocketApi.h"
#include "support/Loopback.h"

namespace kova {
namespace {

using namespace std::chrono_literals;
using test::EchoServer;
using test::FdPair;
using test::MakeConnectedPair;
using test::RawListener;
using test::ReadExactly;
using test::SendAll;
using test::UniqueFd;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

// A name that fails inside the resolver (label longer than 63): no query leaves the machine.
const std::string kUnresolvable = std::string(70, 'x') + ".invalid";

class SocketTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadSocketInterface(); }
  static void TearDownTestSuite() { UnloadSocketInterface(); }

  static int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  }
  void SetUp() override { fdsBefore = OpenDescriptors(); }
  // Every test closes what it opened: a leaked descriptor shows up here.
  void TearDown() override {
    owned.reset();
    peer.Reset();
    EXPECT_EQ(OpenDescriptors(), fdsBefore) << "descriptor leak";
  }
  int fdsBefore = 0;

  // `sock` adopts the accepted end of a fresh loopback pair; `peer` is the raw client end.
  void AdoptPair(TBlockSocket& sock) {
    FdPair p = MakeConnectedPair();
    sock.AdoptHandle(p.server.Release());
    peer = std::move(p.client);
  }

  UniqueFd peer;
  std::unique_ptr<TTCPBlockSocket> owned;
};

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Settles a thread into its blocking call. Correctness never depends on it: a call that starts
// after Close must fail at once too; the pause only makes the woken-while-blocked path the usual one.
void LetThreadBlock(const std::atomic<bool>& started) {
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
  std::this_thread::sleep_for(50ms);
}

// ---- error record ---------------------------------------------------------------------------

TEST(ErrorRecordTest, DescriptionsAndFallback) {
  const std::pair<int, const char*> rows[] = {
      {0, ""},
      {10004, "Interrupted system call"},
      {10059, "Too many references:can't splice"},
      {10101, "Disconnect"},
      {11004, "Valid name, no data record of requested type"},
      {-1, "Not a Winsock error (-1)"},
      {10072, "Not a Winsock error (10072)"},
  };
  for (const auto& [code, text] : rows) EXPECT_EQ(GetErrorDesc(code), text) << code;
}

TEST(ErrorRecordTest, ErrnoTranslation) {
  const std::pair<int, int> rows[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},   {ECONNRESET, 10054}, {EPIPE, 10054},
      {EADDRINUSE, 10048},   {EBADF, 10038},       {ENOTSOCK, 10038},   {EAGAIN, 10035},
      {EINPROGRESS, 10036},  {EHOSTUNREACH, 10065}, {ENOTCONN, 10057},
  };
  for (const auto& [err, code] : rows) EXPECT_EQ(TranslateErrno(err), code) << err;
  // Without a counterpart the number stays outside the table and gets the fallback text.
  EXPECT_EQ(GetErrorDesc(TranslateErrno(EIO)), "Not a Winsock error (" + std::to_string(EIO) + ")");
}

TEST(ErrorRecordTest, RecordAndRaise) {
  TTCPBlockSocket s;
  errno = ECONNREFUSED;
  EXPECT_EQ(s.RecordResult(-1), 10061);
  EXPECT_EQ(s.LastErrorText(), "Connection refused");
  EXPECT_EQ(s.RecordResult(5), 0);
  EXPECT_EQ(s.LastErrorText(), "");
  s.RaiseOnError = true;
  s.SetLastError(10036);  // "in progress" never raises
  EXPECT_NO_THROW(s.CheckError());
  s.SetLastError(10061);
  try {
    s.CheckError();
    FAIL() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode, 10061);
    EXPECT_EQ(e.ErrorMessage, "Connection refused");
    EXPECT_STREQ(e.what(), "TCP/IP Socket error 10061: Connection refused");
  }
}

// ---- resolution -------------------------------------------------------------------------------

TEST_F(SocketTest, FillAddressSpecialHosts) {
  TTCPBlockSocket s;
  TSockAddr rec;
  s.FillAddress(rec, "0.0.0.0", "1080");
  ASSERT_EQ(rec.sa.sa_family, AF_INET);
  EXPECT_EQ(rec.in4.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(TBlockSocket::AddressPort(rec), 1080);
  EXPECT_EQ(SockAddrLength(rec), 16u);

  s.FillAddress(rec, "127.0.0.1", "80");
  ASSERT_EQ(rec.sa.sa_family, AF_INET);
  EXPECT_EQ(s.AddressToText(rec), "127.0.0.1");
  EXPECT_EQ(TBlockSocket::AddressPort(rec), 80);

  s.FillAddress(rec, "::1", "1080");
  ASSERT_EQ(rec.sa.sa_family, AF_INET6);
  EXPECT_EQ(SockAddrLength(rec), 28u);
  EXPECT_EQ(s.AddressToText(rec), "::1");

  // The machine's own first address, not the wildcard; here it must be a loopback one.
  s.FillAddress(rec, "", "1080");
  ASSERT_EQ(rec.sa.sa_family, AF_INET);
  EXPECT_TRUE(test::IsLoopbackText(s.AddressToText(rec))) << s.AddressToText(rec);
  EXPECT_NE(rec.in4.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(TBlockSocket::AddressPort(rec), 1080);
}

TEST_F(SocketTest, ResolutionFailuresAndLists) {
  TTCPBlockSocket s;
  TSockAddr rec;
  s.FillAddress(rec, kUnresolvable, "80");
  EXPECT_EQ(SockAddrLength(rec), 0u);
  EXPECT_EQ(s.AddressToText(rec), "");
  EXPECT_EQ(TBlockSocket::AddressPort(rec), 0);
  s.FillAddress(rec, "127.0.0.1", "no-such-service-xyz");
  EXPECT_EQ(rec.sa.sa_family, 0);
  EXPECT_EQ(s.LastError(), 0);  // resolution never records an error
  EXPECT_EQ(s.ResolvePortNumber("1080"), 1080);
  EXPECT_EQ(s.ResolvePortNumber("http"), 80);
  EXPECT_EQ(s.ResolvePortNumber("junk-port"), 0);
  EXPECT_EQ(s.ResolveToAddress(kUnresolvable), "0.0.0.0");
  EXPECT_EQ(s.ResolveToAddress("127.0.0.1"), "127.0.0.1");
  std::vector<std::string> list{"stale"};
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"::1"});
  s.SetAddressFamily(TSocketFamily::IPv4);  // an IPv4-only object drops IPv6 answers
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
}

// ---- set-up: bind, listen, accept, connect ---------------------------------------------------

TEST_F(SocketTest, ListenAcceptAndAdopt) {
  TTCPBlockSocket listener;
  listener.Bind("127.0.0.1", "0");
  ASSERT_EQ(listener.LastError(), 0);
  listener.Listen();
  ASSERT_EQ(listener.LastError(), 0);
  ASSERT_NE(listener.LocalPort(), 0);
  EXPECT_EQ(listener.RemoteAddressText(), "");
  EXPECT_EQ(listener.RemotePort(), 0);

  UniqueFd client = test::ConnectTo("127.0.0.1", static_cast<uint16_t>(listener.LocalPort()));
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(listener.WaitReadable(5000));
  int fd = listener.Accept();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(listener.LastError(), 0);
  sockaddr_in clientAddr{};
  socklen_t len = sizeof clientAddr;
  ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&clientAddr), &len);
  EXPECT_EQ(listener.RemoteAddressText(), "127.0.0.1");
  EXPECT_EQ(listener.RemotePort(), ntohs(clientAddr.sin_port));

  TTCPBlockSocket conn;
  conn.AdoptHandle(fd);
  EXPECT_FALSE(conn.IsIPv6());
  EXPECT_EQ(conn.RemotePort(), ntohs(clientAddr.sin_port));
  EXPECT_EQ(conn.LocalPort(), listener.LocalPort());
}

TEST_F(SocketTest, BindEmptyHostUsesOwnAddress) {
  TTCPBlockSocket listener;
  listener.Bind("", "0");
  ASSERT_EQ(listener.LastError(), 0);
  listener.Listen();
  ASSERT_EQ(listener.LastError(), 0);
  const std::string bound = listener.LocalAddressText();
  ASSERT_TRUE(test::IsLoopbackText(bound)) << "bound to non-loopback " << bound;
  TTCPBlockSocket client;
  client.Connect(bound, std::to_string(listener.LocalPort()));
  EXPECT_EQ(client.LastError(), 0);
}

TEST_F(SocketTest, SetUpFailures) {
  RawListener taken;
  TTCPBlockSocket s;
  s.Bind("127.0.0.1", taken.portText());
  EXPECT_EQ(s.LastError(), 10048);
  EXPECT_EQ(s.LastErrorText(), "Address already in use");

  TTCPBlockSocket none;
  none.Listen();
  EXPECT_EQ(none.LastError(), kErrNotSocket);
  EXPECT_EQ(none.Accept(), -1);
  EXPECT_EQ(none.LastError(), kErrNotSocket);

  // A port nobody listens on: take a free one and release it.
  uint16_t closedPort;
  {
    RawListener gone;
    closedPort = gone.port();
  }
  TTCPBlockSocket refused;
  refused.Connect("127.0.0.1", std::to_string(closedPort));
  EXPECT_EQ(refused.LastError(), 10061);

  TTCPBlockSocket unresolved;
  unresolved.Connect(kUnresolvable, "80");
  EXPECT_NE(unresolved.LastError(), 0);
  EXPECT_EQ(unresolved.RemoteAddress().sa.sa_family, 0);
}

TEST_F(SocketTest, ConnectOverIPv6Loopback) {
  std::unique_ptr<EchoServer> echo;
  try {
    echo = std::make_unique<EchoServer>("::1");
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  TTCPBlockSocket s;
  s.Connect("::1", echo->portText());
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_TRUE(s.IsIPv6());
  EXPECT_EQ(s.RemoteAddressText(), "::1");
  EXPECT_EQ(s.SendText("six"), 3);
  EXPECT_EQ(s.ReceiveExactText(3, 5000), "six");
}

TEST_F(SocketTest, CloseTwiceThenConnectRestartsCounters) {
  EchoServer echo;
  TTCPBlockSocket s;
  s.Close();  // no handle: nothing to do, no error
  EXPECT_EQ(s.LastError(), 0);
  s.Connect("127.0.0.1", echo.portText());
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.SendText("hello"), 5);
  EXPECT_EQ(s.ReceiveExactText(5, 5000), "hello");
  s.Close();
  EXPECT_EQ(s.BytesSent(), 5u);  // the last values stay readable after Close
  s.SetLastError(10060);
  s.Close();
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.Handle(), -1);
  s.Connect("127.0.0.1", echo.portText());
  ASSERT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.BytesSent(), 0u);
  EXPECT_EQ(s.BytesReceived(), 0u);
}

// ---- receiving --------------------------------------------------------------------------------

TEST_F(SocketTest, ReceiveAvailableTakesAllQueuedInOnePiece) {
  TTCPBlockSocket s;
  AdoptPair(s);
  const std::string data(20000, 'q');
  ASSERT_TRUE(SendAll(peer.get(), data));
  ASSERT_TRUE(WaitUntil([&] { return s.BytesAvailable() == 20000; }));
  EXPECT_EQ(s.ReceiveAvailable(1000), data);
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.BytesReceived(), 20000u);
}

TEST_F(SocketTest, IdleAndTimedOutWaits) {
  TTCPBlockSocket s;
  AdoptPair(s);
  auto t0 = Clock::now();
  EXPECT_EQ(s.ReceiveAvailable(0), "");
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  EXPECT_LT(MsSince(t0), 1000);

  t0 = Clock::now();
  EXPECT_FALSE(s.WaitReadable(100));
  EXPECT_EQ(s.LastError(), 0);  // a quiet wait is not an error by itself
  EXPECT_GE(MsSince(t0), 90);

  t0 = Clock::now();
  EXPECT_EQ(s.ReceiveByte(100), 0);
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  EXPECT_GE(MsSince(t0), 90);

  // A time-out still reports how many bytes were stored.
  ASSERT_TRUE(SendAll(peer.get(), "ab"));
  char buf[4];
  EXPECT_EQ(s.ReceiveExact(buf, 4, 100), 2);
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  ASSERT_TRUE(SendAll(peer.get(), "cd"));
  EXPECT_EQ(s.ReceiveExactText(2, 100), "cd");
  EXPECT_EQ(s.ReceiveExactText(0, 100), "");
  EXPECT_EQ(s.ReceiveExactText(1, 50), "");
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  EXPECT_EQ(s.ReceiveBytes(buf, 0), 0);  // a zero-length read is not a close
  EXPECT_EQ(s.LastError(), 0);
}

TEST_F(SocketTest, ExactReadsAcrossSplitArrivals) {
  TTCPBlockSocket s;
  AdoptPair(s);
  ASSERT_TRUE(SendAll(peer.get(), "ab"));
  auto pending = std::async(std::launch::async, [&] { return s.ReceiveExactText(4, 5000); });
  // The second piece is sent only after the first was taken, so the read spans two arrivals.
  ASSERT_TRUE(WaitUntil([&] { return s.BytesReceived() == 2; }));
  ASSERT_TRUE(SendAll(peer.get(), "cde"));
  EXPECT_EQ(pending.get(), "abcd");
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.ReadBufferCopy(), "e");
  EXPECT_EQ(s.ReceiveByte(5000), 'e');
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.ReadBufferCopy(), "");

  // Binary bytes pass unchanged, zero bytes included.
  const std::string bin("\x00\xff\x00\x7f", 4);
  ASSERT_TRUE(SendAll(peer.get(), bin));
  EXPECT_EQ(s.ReceiveExactText(4, 5000), bin);
}

TEST_F(SocketTest, ReceiveUntilKeepsWhatFollows) {
  TTCPBlockSocket s;
  AdoptPair(s);
  ASSERT_TRUE(SendAll(peer.get(), "HTTP/1.0 200 OK\r\n\r\n"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\r\n"), "HTTP/1.0 200 OK");
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.ReadBufferCopy(), "\r\n");
  auto t0 = Clock::now();
  EXPECT_EQ(s.ReceiveUntil(3000, "\r\n"), "");
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_LT(MsSince(t0), 1000);  // served from the buffer, no wait

  // A terminator split over two arrivals.
  ASSERT_TRUE(SendAll(peer.get(), "abc\r"));
  auto pending = std::async(std::launch::async, [&] { return s.ReceiveUntil(5000, "\r\n"); });
  ASSERT_TRUE(WaitUntil([&] { return s.BytesReceived() == 19 + 4; }));
  ASSERT_TRUE(SendAll(peer.get(), "\nrest"));
  EXPECT_EQ(pending.get(), "abc");
  EXPECT_EQ(s.ReadBufferCopy(), "rest");

  // A time-out keeps everything collected.
  EXPECT_EQ(s.ReceiveUntil(100, "\n"), "");
  EXPECT_EQ(s.LastError(), kErrTimedOut);
  EXPECT_EQ(s.ReadBufferCopy(), "rest");
  ASSERT_TRUE(SendAll(peer.get(), "!\nX"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\n"), "rest!");
  EXPECT_EQ(s.ReadBufferCopy(), "X");

  EXPECT_EQ(s.ReceiveUntil(5000, ""), "");
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.ReadBufferCopy(), "X");
}

TEST_F(SocketTest, PeerCloseIsReportedAsReset) {
  TTCPBlockSocket s;
  AdoptPair(s);
  ASSERT_TRUE(SendAll(peer.get(), "xy"));
  peer.Reset();
  char buf[8];
  EXPECT_EQ(s.ReceiveExact(buf, 8, 5000), 2);  // what came before the close is kept
  EXPECT_EQ(s.LastError(), kErrConnReset);
  EXPECT_TRUE(s.WaitReadable(1000));
  EXPECT_EQ(s.BytesAvailable(), 0);
  EXPECT_EQ(s.ReceiveAvailable(1000), "");
  EXPECT_EQ(s.LastError(), kErrConnReset);
  EXPECT_EQ(s.ReceiveBytes(buf, sizeof buf), 0);
  EXPECT_EQ(s.LastError(), kErrConnReset);
  EXPECT_EQ(s.LastErrorText(), "Connection reset by peer");
  EXPECT_EQ(s.ReceiveUntil(1000, "\n"), "");
  EXPECT_EQ(s.LastError(), kErrConnReset);
}

// ---- sending ------------------------------------------------------------------------------

TEST_F(SocketTest, SendToResetPeerFailsWithoutSignal) {
  TTCPBlockSocket s;
  AdoptPair(s);
  EXPECT_EQ(s.SendText("abc"), 3);
  ASSERT_EQ(ReadExactly(peer.get(), 3), "abc");
  test::SetLingerReset(peer.get());
  peer.Reset();
  ASSERT_TRUE(s.WaitReadable(5000));  // the reset has arrived
  // SIGPIPE is not ignored in this process: a signal would end the test run here.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.SendBytes("xyz", 3), -1);
    EXPECT_EQ(s.LastError(), kErrConnReset);
  }
  EXPECT_EQ(s.BytesSent(), 3u);
}

TEST_F(SocketTest, ClosedObjectFailsAtOnce) {
  TTCPBlockSocket s;
  char buf[4];
  auto t0 = Clock::now();
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"SendBytes", [&] { EXPECT_EQ(s.SendBytes("abc", 3), -1); }},
      {"ReceiveBytes", [&] { EXPECT_EQ(s.ReceiveBytes(buf, 4), -1); }},
      {"WaitReadable", [&] { EXPECT_FALSE(s.WaitReadable(-1)); }},  // never an endless wait
      {"ReceiveAvailable", [&] { EXPECT_EQ(s.ReceiveAvailable(-1), ""); }},
      {"ReceiveUntil", [&] { EXPECT_EQ(s.ReceiveUntil(-1, "\n"), ""); }},
  };
  for (const auto& [name, call] : calls) {
    call();
    EXPECT_EQ(s.LastError(), kErrNotSocket) << name;
  }
  EXPECT_EQ(s.BytesAvailable(), 0);
  EXPECT_LT(MsSince(t0), 1000);
}

// ---- closing ------------------------------------------------------------------------------

TEST_F(SocketTest, CloseDrainsSoThePeerSeesEndOfDataNotReset) {
  TTCPBlockSocket s;
  AdoptPair(s);
  ASSERT_TRUE(SendAll(peer.get(), "abcdef"));
  EXPECT_EQ(s.ReceiveExactText(2, 1000), "ab");
  EXPECT_EQ(s.ReadBufferCopy(), "cdef");
  // Still queued in the system at Close: closing over unread bytes would reset the connection.
  ASSERT_TRUE(SendAll(peer.get(), "never read"));
  ASSERT_TRUE(WaitUntil([&] { return s.BytesAvailable() == 10; }));
  EXPECT_EQ(s.SendText("last words"), 10);
  s.Close();
  EXPECT_EQ(s.ReadBufferCopy(), "");
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.Handle(), -1);
  pollfd p{peer.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char buf[32];
  ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "last words")
      << (n < 0 ? std::strerror(errno) : "");
  EXPECT_EQ(::recv(peer.get(), buf, sizeof buf, 0), 0);
  // No reset has arrived yet, so the peer's next send still goes out.
  EXPECT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1) << std::strerror(errno);
}

TEST_F(SocketTest, CloseReturnsWhileThePeerKeepsSending) {
  TTCPBlockSocket s;
  AdoptPair(s);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string chunk(65536, 'f');
    while (!stop.load() && SendAll(peer.get(), chunk)) {}
  });
  ASSERT_TRUE(WaitUntil([&] { return s.BytesAvailable() > 0; }));
  auto closing = std::async(std::launch::async, [&] { s.Close(); });
  EXPECT_EQ(closing.wait_for(3s), std::future_status::ready) << "Close kept draining";
  stop = true;
  ::shutdown(peer.get(), SHUT_RDWR);  // ends the flood, and a drain that never stopped
  flood.join();
}

TEST_F(SocketTest, AdoptingReplacesTheOldConnection) {
  TTCPBlockSocket s;
  AdoptPair(s);
  UniqueFd first = std::move(peer);
  ASSERT_TRUE(SendAll(first.get(), "old!"));
  EXPECT_EQ(s.ReceiveExactText(2, 5000), "ol");
  EXPECT_EQ(s.ReadBufferCopy(), "d!");
  AdoptPair(s);  // the first handle is closed, its buffered bytes dropped
  EXPECT_TRUE(test::WaitPeerClosed(first.get()));
  EXPECT_EQ(s.ReadBufferCopy(), "");
  EXPECT_EQ(s.BytesReceived(), 0u);
  ASSERT_TRUE(SendAll(peer.get(), "new"));
  EXPECT_EQ(s.ReceiveExactText(3, 5000), "new");
}

TEST_F(SocketTest, DestructorClosesTheConnection) {
  std::make_unique<TTCPBlockSocket>().swap(owned);
  AdoptPair(*owned);
  owned.reset();
  EXPECT_TRUE(test::WaitPeerClosed(peer.get()));
}

// ---- Close from another thread -------------------------------------------------------------

TEST_F(SocketTest, CloseWakesEveryBlockedCall) {
  const std::string big(1 << 20, 's');
  struct Row {
    const char* name;
    bool listener;
    const char* pending;  // bytes the peer sent before the call
    std::function<int(TTCPBlockSocket&)> call;  // returns the error the call reported
  };
  const Row rows[] = {
      {"ReceiveAvailable", false, "", [](TTCPBlockSocket& s) {
         EXPECT_EQ(s.ReceiveAvailable(-1), "");
         return s.LastError();
       }},
      {"WaitReadable", false, "", [](TTCPBlockSocket& s) {
         EXPECT_FALSE(s.WaitReadable(-1));
         return s.LastError();
       }},
      {"ReceiveExactText", false, "ab", [](TTCPBlockSocket& s) {
         EXPECT_EQ(s.ReceiveExactText(10, -1), "");
         return s.LastError();
       }},
      // A failed terminated read keeps what it collected, but never for a closed connection.
      {"ReceiveUntil", false, "ab", [](TTCPBlockSocket& s) {
         EXPECT_EQ(s.ReceiveUntil(-1, "\n"), "");
         return s.LastError();
       }},
      {"SendText", false, "", [&](TTCPBlockSocket& s) {
         // The peer never reads: the buffers fill and a send blocks.
         for (int i = 0; i < 10000; ++i)
           if (s.SendText(big) < 0) return s.LastError();
         return 0;
       }},
      {"Accept", true, "", [](TTCPBlockSocket& s) {
         EXPECT_EQ(s.Accept(), -1);
         return s.LastError();
       }},
      {"listener WaitReadable", true, "", [](TTCPBlockSocket& s) {
         EXPECT_FALSE(s.WaitReadable(-1));
         return s.LastError();
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TTCPBlockSocket s;
    if (row.listener) {
      s.Bind("127.0.0.1", "0");
      s.Listen();
      ASSERT_EQ(s.LastError(), 0);
    } else {
      AdoptPair(s);
      ASSERT_TRUE(SendAll(peer.get(), row.pending));
    }
    const int port = s.LocalPort();
    std::atomic<bool> started{false};
    auto done = std::async(std::launch::async, [&] {
      started = true;
      return row.call(s);
    });
    LetThreadBlock(started);
    s.Close();
    if (done.wait_for(5s) != std::future_status::ready) {
      ADD_FAILURE() << "still blocked after Close";
      // Free the thread so that the failure does not turn into a hang.
      peer.Reset();
      UniqueFd wake = test::ConnectTo("127.0.0.1", static_cast<uint16_t>(port));
      done.wait();
      continue;
    }
    EXPECT_NE(done.get(), 0) << "a call cut short by Close must report an error";
    EXPECT_EQ(s.ReadBufferCopy(), "");  // nothing of the closed connection is left behind
  }
}

// Stands in for a call in progress on another thread: it holds the handle as such a call does.
class HoldingSocket : public TTCPBlockSocket {
 public:
  HandleRef Hold() const { return AcquireHandle(); }
};

TEST_F(SocketTest, NumberStaysTakenWhileACallHoldsIt) {
  HoldingSocket s;
  AdoptPair(s);
  const int oldFd = s.Handle();
  HandleRef inFlight = s.Hold();
  s.Close();
  EXPECT_EQ(s.Handle(), -1);
  // While the call is in flight, no new descriptor may get its number.
  std::vector<UniqueFd> fresh;
  for (int i = 0; i < 4; ++i) {
    fresh.emplace_back(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_NE(fresh.back().get(), oldFd);
  }
  char c;
  EXPECT_EQ(::recv(inFlight->fd(), &c, 1, MSG_DONTWAIT), 0);  // woken: end of data, not EBADF
  EXPECT_TRUE(test::WaitPeerClosed(peer.get()));
  inFlight.reset();  // the last user lets go: now the number is free
  UniqueFd next(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(next.get(), oldFd);
}

// A worker that has not yet noticed the Close keeps calling; the descriptor number it used is
// reused by the next connection, which must see none of its sends and lose none of its bytes.
TEST_F(SocketTest, ReusedDescriptorNumberIsNeverTouched) {
  TTCPBlockSocket s;
  AdoptPair(s);
  const int oldFd = s.Handle();
  RawListener l;
  std::atomic<bool> stop{false};
  std::atomic<int> callsAfterClose{0};
  std::atomic<bool> closed{false};
  std::thread worker([&] {
    while (!stop.load()) {
      s.SendText("stale");
      s.ReceiveAvailable(0);
      if (closed.load()) callsAfterClose.fetch_add(1);
    }
  });
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& t;
    ~Joiner() {
      stop = true;
      t.join();
    }
  } joiner{stop, worker};
  ASSERT_TRUE(WaitUntil([&] { return s.BytesSent() > 0; }));
  s.Close();
  closed = true;

  // Open connections until one end gets the old number (`fresh`), with `other` its peer.
  std::vector<UniqueFd> ends;
  int fresh = -1, other = -1;
  ASSERT_TRUE(WaitUntil([&] {
    ends.push_back(test::ConnectTo("127.0.0.1", l.port()));
    ends.push_back(l.Accept());
    const int c = ends[ends.size() - 2].get(), a = ends.back().get();
    if (c == oldFd || a == oldFd) {
      fresh = oldFd;
      other = c == oldFd ? a : c;
    }
    return fresh >= 0 || ends.size() > 100;
  }));
  ASSERT_EQ(fresh, oldFd) << "the old descriptor number was not reused";
  const int before = callsAfterClose.load();
  ASSERT_TRUE(WaitUntil([&] { return callsAfterClose.load() > before + 100; }));

  ASSERT_TRUE(SendAll(other, "mine"));
  EXPECT_EQ(ReadExactly(fresh, 4, 5000), "mine");  // the stale reader took none
  ASSERT_TRUE(WaitUntil([&] { return callsAfterClose.load() > before + 200; }));
  stop = true;
  EXPECT_EQ(ReadExactly(other, 1, 200), "") << "stale bytes reached the new connection";
}

}  // namespace
}  // namespace kova
