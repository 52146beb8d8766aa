// The block socket over loopback, Close racing calls on other threads, its proxy clients against scripted proxies.

#include "net/BlockSocket.h"

#include <gtest/gtest.h>

#include <future>

#include "net/NetUtil.h"
#include "net/SocketApi.h"
#include "support/FakePeer.h"

namespace kova {
namespace {

using namespace std::chrono_literals;
using namespace test;

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
  // `sock` adopts what a loopback listener accepted and knows both ends (also after an earlier one); `peer` is the client.
  void AdoptPair(TBlockSocket& sock) {
    TTCPBlockSocket listener;
    listener.Bind("127.0.0.1", "0");
    listener.Listen();
    peer = ConnectTo("127.0.0.1", static_cast<uint16_t>(listener.LocalPort()));
    sock.AdoptHandle(listener.Accept());  // the listener keeps the peer accept named
    ASSERT_TRUE(sock.Handle() >= 0 && sock.LocalPort() == listener.LocalPort() && sock.RemotePort() == listener.RemotePort());
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
  EXPECT_TRUE(s.AddressToText(rec) == OwnAddressText() && OwnAddressText() != "0.0.0.0") << s.AddressToText(rec);
  const std::pair<std::string, int> ports[] = {{"080", 80}, {"99999999999", 0}, {"-1", 0}, {"+80", 0}, {" 80", 0}, {"", 0}};
  for (const auto& [text, port] : ports) EXPECT_EQ(s.ResolvePortNumber(text), port) << '"' << text << '"';
  EXPECT_EQ(s.ResolveToAddress(kUnresolvable), "0.0.0.0");
  std::vector<std::string> list{"stale"};
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"::1"});
  s.SetAddressFamily(TSocketFamily::IPv4);  // an IPv4-only object drops IPv6 answers
  s.ResolveToAddressList("::1", list);
  EXPECT_EQ(list, std::vector<std::string>{"0.0.0.0"});
}

TEST_F(SocketTest, ReceivesSplitArrivalsTimeOutsAndThePeersClose) {
  TTCPBlockSocket s;
  AdoptPair(s);
  char buf[8];
  ASSERT_TRUE(SendAll(peer.get(), std::string(20000, 'q')) && WaitUntil([&] { return s.BytesAvailable() == 20000; }));
  EXPECT_EQ(s.ReceiveAvailable(1000).size(), 20000u) << "all that is queued, in one piece";
  EXPECT_GE(Took([&] { EXPECT_RESULT(s, s.WaitReadable(100), false, 0); }), 90ms) << "a quiet wait is no error by itself";
  EXPECT_GE(Took([&] { EXPECT_RESULT(s, s.ReceiveByte(100), 0, kErrTimedOut); }), 90ms);
  EXPECT_RESULT(s, s.ReceiveAvailable(0), "", kErrTimedOut);
  ASSERT_TRUE(SendAll(peer.get(), "ab"));
  EXPECT_RESULT(s, s.ReceiveExact(buf, 4, 100), 2, kErrTimedOut);  // still reports what was stored
  ASSERT_TRUE(SendAll(peer.get(), "c"));  // the rest follows once this one byte was taken (and counted): two arrivals
  auto pending = std::async(std::launch::async, [&] { return s.ReceiveExactText(4, 5000); });
  ASSERT_TRUE(WaitUntil([&] { return s.BytesReceived() == 20000 + 2 + 1; }));
  ASSERT_TRUE(SendAll(peer.get(), std::string("d\0\xff" "e", 4)));
  EXPECT_EQ(pending.get(), std::string("cd\0\xff", 4));
  EXPECT_EQ(s.ReceiveByte(5000), 'e');
  EXPECT_RESULT(s, s.ReceiveBytes(buf, 0), 0, 0);  // a zero-length read is not a close
  ASSERT_TRUE(SendAll(peer.get(), "HTTP/1.0 200 OK\r\n\r\nrest"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\r\n"), "HTTP/1.0 200 OK");
  EXPECT_LT(Took([&] { EXPECT_RESULT(s, s.ReceiveUntil(3000, "\r\n"), "", 0); }), 1000ms) << "served from the buffer, no wait";
  EXPECT_RESULT(s, s.ReceiveUntil(100, "\n"), "", kErrTimedOut);  // keeps what it collected
  ASSERT_TRUE(SendAll(peer.get(), "!\nX"));
  EXPECT_EQ(s.ReceiveUntil(5000, "\n"), "rest!");
  EXPECT_EQ(s.ReadBufferCopy(), "X");
  ASSERT_TRUE(SendAll(peer.get(), "y"));
  peer.Reset();
  EXPECT_RESULT(s, s.ReceiveExact(buf, 8, 5000), 2, kErrConnReset);
  EXPECT_RESULT(s, s.ReceiveBytes(buf, 8), 0, kErrConnReset);
  EXPECT_TRUE(s.WaitReadable(1000));
  EXPECT_EQ(s.ReceiveAvailable(1000) + s.ReceiveUntil(1000, "\n"), "");
  EXPECT_EQ(s.LastErrorText(), "Connection reset by peer");
}

TEST_F(SocketTest, SendingAdoptingAndClosing) {
  TTCPBlockSocket s;
  AdoptPair(s);
  UniqueFd first = std::move(peer);
  ASSERT_TRUE(SendAll(first.get(), "old!"));
  EXPECT_EQ(s.ReceiveExactText(2, 5000), "ol");
  AdoptPair(s);
  EXPECT_TRUE(WaitPeerClosed(first.get())) << "adopting closes the old";
  EXPECT_EQ(s.ReadBufferCopy() + std::to_string(s.BytesReceived()), "0") << "the old connection's bytes are dropped";
  EXPECT_EQ(s.SendText("abc"), 3);
  ASSERT_EQ(ReadExactly(peer.get(), 3), "abc");
  const timeval limit{0, 50000};  // a send to a peer that never reads comes back short: only that part is counted
  ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const int part = s.SendText(std::string(64 << 20, 's'));
  EXPECT_TRUE(part > 0 && part < (64 << 20)) << part;
  EXPECT_EQ(s.BytesSent(), 3u + static_cast<unsigned>(part));
  ResetConnection(peer.get());
  ASSERT_TRUE(s.WaitReadable(5000));
  for (int i = 0; i < 3; ++i) EXPECT_RESULT(s, s.SendBytes("xyz", 3), -1, kErrConnReset);  // SIGPIPE is not ignored: it would end the run
  EXPECT_EQ(s.BytesSent(), 3u + static_cast<unsigned>(part));
  // Close drains what is queued, or closing over unread bytes would reset the connection...
  AdoptPair(s);
  ASSERT_TRUE(SendAll(peer.get(), "never read") && WaitUntil([&] { return s.BytesAvailable() == 10; }));
  EXPECT_EQ(s.SendText("last words"), 10);
  s.Close();
  EXPECT_EQ(ReadUntilClosed(peer.get()), "last words");
  EXPECT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1) << "no reset arrived";
  // ...but a bounded amount, so a peer that keeps sending cannot hold Close: far more queued resets.
  AdoptPair(s);
  const int room = 1 << 20;
  ::setsockopt(s.Handle(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  ASSERT_TRUE(SendAll(peer.get(), std::string(256 << 10, 'm')) && WaitUntil([&] { return s.BytesAvailable() == 256 << 10; }));
  s.Close();
  tcp_info state{};
  socklen_t size = sizeof state;
  const auto reset = [&] { return !::getsockopt(peer.get(), IPPROTO_TCP, TCP_INFO, &state, &size) && state.tcpi_state == TCP_CLOSE; };
  EXPECT_TRUE(WaitUntil(reset)) << "drained its share, then reset";
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
    EXPECT_LT(Took([&] { EXPECT_NE(call(s), 0); }), 1s) << "a closed object waited";
    EXPECT_EQ(ReadExactly(oldFd, 4), "mine") << "the closed object took bytes of the new connection";
    EXPECT_EQ(ReadExactly(other, 1, 100), "") << "stale bytes reached the new connection";
  }
}

void UseProxy(bool socks, TTCPBlockSocket& s, const FakePeer& p, int timeoutMs = 3000) {
  (socks ? s.SocksProxyHost : s.TunnelProxyHost) = p.host();
  (socks ? s.SocksProxyPort : s.TunnelProxyPort) = p.portText();
  (socks ? s.SocksTimeout : s.TunnelTimeout) = timeoutMs;
}

std::string Side(TBlockSocket& s, bool local) {  // "address:port" of one end
  return local ? s.LocalAddressText() + ":" + std::to_string(s.LocalPort()) : s.RemoteAddressText() + ":" + std::to_string(s.RemotePort());
}

// One object through every path in turn: each request exact, each answer read as it says, each connection's own peer.
TEST(ProxyPaths, ScriptedExchangesOfOneReusedObject) {
  const std::string ok = "05 00 00 01 C6 33 64 07 04 38";  // success, bound at 198.51.100.7:1080
  const std::string hello = "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 50 | ";
  const std::string auth = "> 05 02 02 00 | < 05 02 | > ";
  const std::string done = " | < 01 00 | > 05 01 00 01 C0 00 02 01 00 50 | < " + ok;
  const std::string s4 = "> 04 01 00 50 C0 00 02 01 00 | < ";
  constexpr int kRefused = kErrNetUnusable;
  EchoServer echo;
  TTCPBlockSocket s;
  // {what, path ('5', '4', 'h'ttp, 'd'irect), user, password, target, port, script (HTTP: the Base64 credentials
  // the request carries), error, SOCKS reply code, local side ("" = not checked), peer ("" = target:port)}
  const std::tuple<const char*, char, std::string, std::string, std::string, std::string, std::string, int, int, std::string, std::string> rows[] = {
    {"no authentication", '5', "", "", "192.0.2.1", "80", hello + "< " + ok, 0, 0, "198.51.100.7:1080", ""},
    {"user, empty password", '5', "u", "", "192.0.2.1", "80", auth + "01 01 75 00" + done, 0, 0, "", ""},
    {"255-byte user name", '5', std::string(255, 'u'), "p", "192.0.2.1", "80", auth + "01 FF" + ToHex(std::string(255, 'u')) + "01 70" + done, 0, 0, "", ""},
    {"no user, proxy insists", '5', "", "", "192.0.2.1", "80", "> 05 01 00 | < 05 02 | > 01 00 00" + done, 0, 0, "", ""},
    {"bad version, method", '5', "", "", "192.0.2.1", "80", "> 05 01 00 | < 04 00", kRefused, 0, "", ""},
    {"bad version, reply", '5', "", "", "192.0.2.1", "80", hello + "< 04 00 00 01 00 00 00 00 00 00", kRefused, -1, "", ""},
    {"unknown address type", '5', "", "", "192.0.2.1", "80", hello + "< 05 00 00 07 00 00 00 00 00 00", kRefused, -1, "", ""},
    {"reply, empty name", '5', "", "", "192.0.2.1", "80", hello + "< 05 00 00 03 00 00 15", 0, 0, ":21", ""},
    {"reply, IPv6", '5', "", "", "192.0.2.1", "80", hello + "< 05 00 00 04 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 16", 0, 0, "fe80::2:22", ""},
    {"name target, single bytes", '5', "", "", "srv", "80", "> 05 01 00 | ~ 05 00 | > 05 01 00 03 03 73 72 76 00 50 | ~ 05 00 00 03 03 61 62 63 00 50", 0, 0, "abc:80", ""},
    {"hex-looking name", '5', "", "", "cafe", "http", "> 05 01 00 | < 05 00 | > 05 01 00 03 04 63 61 66 65 00 50 | < " + ok, 0, 0, "", ""},
    {"unknown service", '5', "", "", "192.0.2.1", "no-such-service", "> 05 01 00 | < 05 00 | > 05 01 00 01 C0 00 02 01 00 00 | < " + ok, 0, 0, "", ""},
    {"IPv6 target", '5', "", "", "2001:db8::a:1", "443", "> 05 01 00 | < 05 00 | > 05 01 00 04 20 01 0D B8 00 00 00 00 00 00 00 00 00 0A 00 01 01 BB | < " + ok, 0, 0, "", ""},
    // After SOCKS, a tunnel; after the tunnel, a direct connection: neither reports the path before it.
    {"HTTP, IPv6 target", 'h', "", "", "2001:db8::5", "8080", "", 0, 0, "", "[2001:db8::5]:8080"},
    {"HTTP with credentials", 'h', "kova", "pw", "target.example", "8443", "a292YTpwdw==", 0, 0, "", ""},
    {"direct", 'd', "", "", "127.0.0.1", echo.portText(), "", 0, 0, "", ""},
    {"HTTP, empty password keeps the colon", 'h', "u", "", "192.0.2.8", "http", "dTo=", 0, 0, "", ""},
    {"HTTP, hex-looking name", 'h', "", "", "cafe", "80", "", 0, 0, "", ""},
    {"HTTP, dotted decimal as SOCKS reads it", 'h', "", "", "0192.000.002.001", "80", "", 0, 0, "", "192.0.2.1:80"},
    // Values that do not fit a one-byte length fail before the proxy sees a single byte.
    {"256-byte user name", '5', std::string(256, 'u'), "p", "192.0.2.1", "80", "", kRefused, 0, "", ""},
    {"300-byte password", '5', "u", std::string(300, 'p'), "192.0.2.1", "80", "", kRefused, 0, "", ""},
    {"256-byte host name", '5', "", "", std::string(256, 'h'), "80", "", kRefused, 0, "", ""},
    {"SOCKS 4, leading zeros", '4', "", "", "0192.0.2.01", "80", s4 + "00 5A 00 00 00 00 00 00", 0, 0x5A, "", ""},
    {"SOCKS 4 bad first byte", '4', "", "", "192.0.2.1", "80", s4 + "04 5A 00 00 00 00 00 00", kRefused, -1, "", ""},
    {"SOCKS 4a with user id", '4', "me", "", "srv", "80", "> 04 01 00 50 00 00 00 01 6D 65 00 73 72 76 00 | < 00 5A 00 00 00 00 00 00", 0, 0x5A, "", ""},
    {"SOCKS 4 single bytes", '4', "", "", "192.0.2.1", "8080", "> 04 01 1F 90 C0 00 02 01 00 | ~ 00 5A 04 38 C6 33 64 07", 0, 0x5A, "198.51.100.7:1080", ""},
  };
  for (const auto& [what, path, user, password, host, port, script, error, replyCode, local, shown] : rows) {
    SCOPED_TRACE(what);
    const bool socks = path == '4' || path == '5';
    const std::string peer = shown.empty() ? host + ":" + std::to_string(s.ResolvePortNumber(port)) : shown;
    FakePeer proxy(socks ? script : "");
    const std::string credentials = script.empty() ? "" : "Proxy-Authorization: Basic " + script + "\r\n";
    if (path == 'h') proxy.Expect("CONNECT " + peer + " HTTP/1.0\r\n" + credentials + "\r\n").Reply("HTTP/1.0 200 OK\r\n\r\n");
    s.SocksProxyHost = s.TunnelProxyHost = "";
    if (path != 'd') UseProxy(socks, s, proxy.Start());
    s.SocksVersion = path == '4' ? TSocksType::Socks4 : TSocksType::Socks5, s.SocksUser = user, s.SocksPassword = password;
    s.TunnelUser = user, s.TunnelPassword = password;
    s.Connect(host, port);
    EXPECT_RESULT(s, socks ? s.SocksReplyCode() : 0, replyCode, error);
    if (error == 0) { EXPECT_EQ(std::tuple(s.SocksActive(), s.TunnelOpen(), Side(s, false)), std::tuple(socks, path == 'h', peer)); }
    if (!local.empty()) { EXPECT_EQ(Side(s, true), local); }
    if (path == 'h') { EXPECT_EQ(s.LocalAddressText(), "127.0.0.1") << "the local side is the handle's own"; }
    s.Close();
    if (error == 0) { EXPECT_EQ(s.RemoteAddressText(), peer.substr(0, peer.rfind(':'))) << "still shown after Close"; }
    EXPECT_EQ(ToHex(proxy.Finish()), ToHex(proxy.Expected())) << "no request after a refusal, nothing after the reply";
  }
}

// Listening at the proxy: the first reply is where it listens ("0.0.0.0": its own), the second who came in
// ("" = it refuses any method), then the peer Accept reports.
TEST(Socks, ListenThenAccept) {
  const std::pair<std::string, const char*> rows[] = {
      {"05 00 00 01 C0 00 02 05 C3 50", "192.0.2.5:50000"}, {"05 02 00 01 00 00 00 00 00 00", ""}, {"", ""}};
  for (const auto& [second, peer] : rows) {
    TTCPBlockSocket s;
    s.Bind("127.0.0.1", "0");
    const std::string bind = "> 05 02 00 01 7F 00 00 01" + ToHex(WordToBytes(static_cast<uint16_t>(s.TBlockSocket::LocalPort())));
    FakePeer proxy(second.empty() ? "> 05 01 00 | < 05 FF" : "> 05 01 00 | < 05 00 | " + bind + " | < 05 00 00 01 00 00 00 00 13 88 | < " + second);
    UseProxy(true, s, proxy.Start());
    s.Listen();
    EXPECT_EQ(s.LastError(), second.empty() ? kErrNonRecoverable : 0) << s.LastErrorText();
    if (!second.empty()) {
      EXPECT_EQ(Side(s, true), proxy.host() + ":5000");
      EXPECT_RESULT(s, s.Accept(), *peer ? s.Handle() : -1, *peer ? 0 : kErrNonRecoverable);
      EXPECT_EQ(Side(s, false), *peer ? peer : ":0");
    }
    s.Close();
    EXPECT_EQ(ToHex(proxy.Finish()), ToHex(proxy.Expected()));
  }
}

// Lines and headers are bounded: a proxy that never ends them is a refusal that closes, not a memory sink.
TEST(Tunnel, AnswersDecide) {
  std::string fill = "HTTP/1.0 200 OK\r\n";  // and 64 header lines of 1009 bytes
  for (int i = 0; i < 64; ++i) fill += "X-Pad: " + std::string(1000, 'p') + "\r\n";
  const std::string pad(65536 - fill.size() - 7, 'y'), line(8192 - 14, 'z');  // to 64 KiB, to 8 KiB
  // {'<' at once, '~' byte by byte, 'x' then closes; answer; the target's bytes behind; error}
  const std::tuple<char, std::string, const char*, int> rows[] = {
      {'<', "HTTP/1.1 201 Created\r\n\r\n", "", 0}, {'<', "HTTP/1.1 301 Moved\r\n\r\n", "", kErrNetUnusable},
      {'<', "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {'<', "HTTP/1.0 200 OK\nVia: fake\n\nhi", "hi", 0}, {'~', "HTTP/1.0 200 OK\r\n\r\n220 mail\r\n", "220 mail\r\n", 0},
      {'<', "HTTP/1.0 2\r\n\r\n", "", kErrNetUnusable}, {'<', "HTTP/1.0 200\r\n\r\n", "", 0},  // too short to judge
      {'<', "HTTP/1.0 407 No\r\nHTTP/1.0 200 OK\r\n\r\n", "", 0},  // a later status line wins
      {'<', "HTTP/1.0 200 OK\r\nHTTP/1.1 503 Busy\r\n\r\n", "", kErrNetUnusable},
      {'<', "X-Note: HTTP/1.0 200 OK\r\n\r\n", "", kErrNetUnusable},
      {'<', "HTTP/1.0 200 OK\r\n", "", kErrTimedOut},  // the header block never ends
      {'x', "HTTP/1.0 403 Forb", "", kErrConnReset}, {'<', "HTTP/1.0 200 " + line + line, "", kErrNetUnusable},
      {'<', "HTTP/1.0 200 " + line + "\r\n\r\n", "", 0}, {'<', "HTTP/1.0 200 " + line + "z\r\n\r\n", "", kErrNetUnusable},
      {'<', fill + fill.substr(17) + "\r\n", "", kErrNetUnusable},  // endless headers
      {'<', fill + "X: " + pad + "\r\n\r\n", "", 0}, {'<', fill + "X: " + pad + "y\r\n\r\n", "", kErrNetUnusable}};
  for (const auto& [how, answer, behind, error] : rows) {
    SCOPED_TRACE(answer.substr(0, 40) + "... of " + std::to_string(answer.size()));
    FakePeer proxy;
    proxy.Expect("CONNECT 192.0.2.1:80 HTTP/1.0\r\n\r\n").Step(how == 'x' ? '<' : how, answer).Script(how == 'x' ? "x" : "");
    TTCPBlockSocket s;
    UseProxy(false, s, proxy.Start(), error == kErrTimedOut ? 300 : 5000);  // the proxy stays open: waits past its answer time out
    s.Connect("192.0.2.1", "80");
    EXPECT_EQ(s.LastError(), error) << s.LastErrorText();
    if (error != kErrTimedOut) { EXPECT_EQ(s.TunnelOpen(), error == 0); }
    EXPECT_EQ(s.Handle() < 0, error != 0 && answer.size() > 8192) << "closed past a bound";
    if (*behind) { EXPECT_EQ(s.ReceiveExactText(static_cast<int>(strlen(behind)), 3000), behind); }
  }
}

}  // namespace
}  // namespace kova
