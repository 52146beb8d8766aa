// The SOCKS 4/4a/5 client against scripted proxies on loopback: exact bytes each way.
// Non-loopback addresses below are only bytes in requests; nothing connects to them.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/BlockSocket.h"
#include "support/FakePeer.h"
#include "support/Loopback.h"

namespace kova {
namespace {

using test::FakePeer;
using test::FromHex;
using test::ToHex;

const std::string kGreetNoAuth = FromHex("05 01 00");
const std::string kGreetUserPass = FromHex("05 02 02 00");
// Connect to 10.0.0.1:80.
const std::string kRequest10001 = FromHex("05 01 00 01 0A 00 00 01 00 50");
// Success, bound at 10.9.8.7:1080.
const std::string kReplyOk = FromHex("05 00 00 01 0A 09 08 07 04 38");

struct SocksClient {
  explicit SocksClient(const FakePeer& proxy, TSocksType version = TSocksType::Socks5) {
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.SocksVersion = version;
    s.SocksTimeout = 3000;
  }
  TTCPBlockSocket s;
};

// Runs the exchange, closes the client and waits for the proxy to see the close.
void ConnectAndFinish(SocksClient& c, FakePeer& proxy, const std::string& host = "10.0.0.1",
                      const std::string& port = "80") {
  proxy.Start();
  c.s.Connect(host, port);
  const int error = c.s.LastError();
  c.s.Close();
  ASSERT_TRUE(proxy.Finish()) << "the client never reached the proxy";
  EXPECT_EQ(proxy.Mismatch(), "");
  c.s.SetLastError(error);  // Close resets it; the caller checks the connect's outcome
}

// ---- request encoding (no network) -------------------------------------------------------------

struct EncodeCase {
  TSocksType version;
  std::string user;
  std::string host;
  std::string port;
  std::string expected;  // hex
};

TEST(SocksEncode, AddressPartOfRequests) {
  const EncodeCase cases[] = {
      {TSocksType::Socks5, "", "10.0.0.1", "80", "01 0A 00 00 01 00 50"},
      {TSocksType::Socks5, "", "192.168.1.254", "65535", "01 C0 A8 01 FE FF FF"},
      {TSocksType::Socks5, "", "srv", "80", "03 03 73 72 76 00 50"},
      {TSocksType::Socks5, "", "::1", "80",
       "04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 50"},
      {TSocksType::Socks5, "", "2001:db8::a:1", "443",
       "04 20 01 0D B8 00 00 00 00 00 00 00 00 00 0A 00 01 01 BB"},
      // Names that look like one hex group are still names, not the address ::.
      {TSocksType::Socks5, "", "cafe", "80", "03 04 63 61 66 65 00 50"},
      {TSocksType::Socks5, "", "10.0.0.1", "http", "01 0A 00 00 01 00 50"},
      {TSocksType::Socks5, "", "10.0.0.1", "no-such-service", "01 0A 00 00 01 00 00"},
      {TSocksType::Socks4, "", "10.0.0.1", "80", "00 50 0A 00 00 01 00"},
      {TSocksType::Socks4, "bob", "10.0.0.1", "1080", "04 38 0A 00 00 01 62 6F 62 00"},
      {TSocksType::Socks4, "id", "srv", "80", "00 50 00 00 00 01 69 64 00 73 72 76 00"},
      {TSocksType::Socks4, "", "::1", "80", "00 50 00 00 00 01 00 3A 3A 31 00"},
  };
  for (const auto& c : cases) {
    TSocksBlockSocket s;
    s.SocksVersion = c.version;
    s.SocksUser = c.user;
    EXPECT_EQ(ToHex(s.SocksEncodeAddress(c.host, c.port)), c.expected)
        << (c.version == TSocksType::Socks4 ? "SOCKS 4 " : "SOCKS 5 ") << c.host << ":" << c.port;
  }
}

TEST(SocksEncode, LocalResolutionSendsAnAddress) {
  TSocksBlockSocket s;
  s.SocksRemoteResolve = false;
  // localhost comes from the hosts file; either family is a correct answer.
  const std::string hex = ToHex(s.SocksEncodeAddress("localhost", "80"));
  EXPECT_TRUE(hex == "01 7F 00 00 01 00 50" ||
              hex == "04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 50")
      << hex;
  s.SocksVersion = TSocksType::Socks4;
  EXPECT_EQ(ToHex(s.SocksEncodeAddress("127.0.0.1", "80")), "00 50 7F 00 00 01 00");
}

TEST(SocksDecode, ReplyAddressesOfEachType) {
  struct Case {
    TSocksType version;
    std::string reply;  // hex
    std::string host, port;
  } cases[] = {
      {TSocksType::Socks5, "05 00 00 01 0A 09 08 07 04 38", "10.9.8.7", "1080"},
      {TSocksType::Socks5, "05 00 00 03 03 61 62 63 00 50", "abc", "80"},
      {TSocksType::Socks5,
       "05 00 00 04 20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 01 FF FF", "2001:db8::1", "65535"},
      {TSocksType::Socks4, "00 5A 1F 90 7F 00 00 01", "127.0.0.1", "8080"},
      // Too short for its type: nothing decoded, the port reads 0.
      {TSocksType::Socks5, "05 00 00 01 0A 09", "", "0"},
  };
  for (const auto& c : cases) {
    TSocksBlockSocket s;
    s.SocksVersion = c.version;
    s.SocksDecodeAddress(FromHex(c.reply));
    EXPECT_EQ(s.SocksReplyHost(), c.host) << c.reply;
    EXPECT_EQ(s.SocksReplyPort(), c.port) << c.reply;
  }
}

// ---- SOCKS 5 exchanges ---------------------------------------------------------------------

TEST(Socks5Connect, NoAuthenticationThenReportsTargetAndBoundAddress) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth).Reply(FromHex("05 00")).Expect(kRequest10001).Reply(kReplyOk).Start();
  SocksClient c(proxy);
  c.s.Connect("10.0.0.1", "80");
  ASSERT_EQ(c.s.LastError(), 0) << c.s.LastErrorText();
  EXPECT_TRUE(c.s.SocksActive());
  EXPECT_EQ(c.s.SocksReplyCode(), 0);
  EXPECT_EQ(c.s.RemoteAddressText(), "10.0.0.1");
  EXPECT_EQ(c.s.RemotePort(), 80);
  EXPECT_EQ(c.s.LocalAddressText(), "10.9.8.7");
  EXPECT_EQ(c.s.LocalPort(), 1080);
  c.s.Close();
  ASSERT_TRUE(proxy.Finish());
  EXPECT_EQ(proxy.Mismatch(), "");
  EXPECT_EQ(proxy.Received(), kGreetNoAuth + kRequest10001);  // nothing after the request
  // The monitor still shows the last connection after Close.
  EXPECT_EQ(c.s.RemoteAddressText(), "10.0.0.1");
}

TEST(Socks5Connect, UserPasswordSubnegotiation) {
  struct Case {
    std::string user, password, greeting, auth;
  } cases[] = {
      {"u", "", "05 02 02 00", "01 01 75 00"},
      {"user", "pw", "05 02 02 00", "01 04 75 73 65 72 02 70 77"},
      // No user name offered, but the proxy insists: the empty name goes anyway.
      {"", "", "05 01 00", "01 00 00"},
      {"", "pw", "05 01 00", "01 00 02 70 77"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE("user '" + k.user + "' password '" + k.password + "'");
    FakePeer proxy;
    proxy.Expect(FromHex(k.greeting))
        .Reply(FromHex("05 02"))
        .Expect(FromHex(k.auth))
        .Reply(FromHex("01 00"))
        .Expect(kRequest10001)
        .Reply(kReplyOk);
    SocksClient c(proxy);
    c.s.SocksUser = k.user;
    c.s.SocksPassword = k.password;
    ConnectAndFinish(c, proxy);
    EXPECT_EQ(c.s.LastError(), 0);
    EXPECT_TRUE(c.s.SocksActive());
  }
}

TEST(Socks5Connect, UsernameOf255BytesIsFramed) {
  const std::string user(255, 'u');
  FakePeer proxy;
  proxy.Expect(kGreetUserPass)
      .Reply(FromHex("05 02"))
      .Expect(FromHex("01 FF") + user + FromHex("01 70"))
      .Reply(FromHex("01 00"))
      .Expect(kRequest10001)
      .Reply(kReplyOk);
  SocksClient c(proxy);
  c.s.SocksUser = user;
  c.s.SocksPassword = "p";
  ConnectAndFinish(c, proxy);
  EXPECT_EQ(c.s.LastError(), 0);
}

// Values that do not fit a one-byte length must fail before the proxy sees a single byte.
TEST(Socks5Connect, OverlongFieldsFailWithoutSendingAnything) {
  struct Case {
    const char* what;
    std::string user, password, host;
  } cases[] = {
      {"user", std::string(256, 'u'), "p", "10.0.0.1"},
      {"password", "u", std::string(300, 'p'), "10.0.0.1"},
      {"host name", "", "", std::string(256, 'h')},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    SocksClient c(proxy);
    c.s.SocksUser = k.user;
    c.s.SocksPassword = k.password;
    ConnectAndFinish(c, proxy, k.host);
    EXPECT_EQ(c.s.LastError(), kErrNetUnusable);
    EXPECT_FALSE(c.s.SocksActive());
    EXPECT_EQ(ToHex(proxy.Received()), "");
  }
}

TEST(Socks5Connect, RefusalsBecomeNetworkUnusable) {
  struct Case {
    const char* what;
    std::string methodReply;  // hex, answer to the greeting
    std::string authReply;    // hex, "" = no sub-negotiation expected
    std::string reply;        // hex, "" = no request expected
    int replyCode;
  } cases[] = {
      {"no acceptable method", "05 FF", "", "", 0},
      {"method never offered", "05 01", "", "", 0},
      {"wrong version in method reply", "04 00", "", "", 0},
      {"authentication failed", "05 02", "01 01", "", 0},
      {"general failure", "05 00", "", "05 01 00 01 00 00 00 00 00 00", 1},
      {"connection refused by target", "05 00", "", "05 05 00 01 00 00 00 00 00 00", 5},
      {"wrong version in reply", "05 00", "", "04 00 00 01 00 00 00 00 00 00", -1},
      {"unknown address type", "05 00", "", "05 00 00 07 00 00 00 00 00 00", -1},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    const bool auth = !k.authReply.empty();
    proxy.Expect(auth ? kGreetUserPass : kGreetNoAuth).Reply(FromHex(k.methodReply));
    std::string expected = auth ? kGreetUserPass : kGreetNoAuth;
    if (auth) {
      proxy.Expect(FromHex("01 01 75 01 70")).Reply(FromHex(k.authReply));
      expected += FromHex("01 01 75 01 70");
    }
    if (!k.reply.empty()) {
      proxy.Expect(kRequest10001).Reply(FromHex(k.reply));
      expected += kRequest10001;
    }
    SocksClient c(proxy);
    if (auth) {
      c.s.SocksUser = "u";
      c.s.SocksPassword = "p";
    }
    ConnectAndFinish(c, proxy);
    EXPECT_EQ(c.s.LastError(), kErrNetUnusable);
    if (!k.reply.empty()) {
      EXPECT_EQ(c.s.SocksReplyCode(), k.replyCode);
    }
    // A refused step is the last thing on the wire: no request after a refused method.
    EXPECT_EQ(ToHex(proxy.Received()), ToHex(expected));
  }
}

TEST(Socks5Connect, StatusNinetyCountsAsSuccess) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth)
      .Reply(FromHex("05 00"))
      .Expect(kRequest10001)
      .Reply(FromHex("05 5A 00 01 0A 09 08 07 04 38"));
  SocksClient c(proxy);
  ConnectAndFinish(c, proxy);
  EXPECT_EQ(c.s.LastError(), 0);
  EXPECT_EQ(c.s.SocksReplyCode(), 0x5A);
}

TEST(Socks5Connect, ReplyWithNameAndIPv6Address) {
  struct Case {
    std::string reply, host, port;
  } cases[] = {
      {"05 00 00 03 0B 70 72 6F 78 79 2E 6C 6F 63 61 6C 1F 90", "proxy.local", "8080"},
      {"05 00 00 03 00 00 15", "", "21"},
      {"05 00 00 04 FE 80 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 16", "fe80::2", "22"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.reply);
    FakePeer proxy;
    proxy.Expect(kGreetNoAuth).Reply(FromHex("05 00")).Expect(kRequest10001).Reply(FromHex(k.reply));
    SocksClient c(proxy);
    ConnectAndFinish(c, proxy);
    EXPECT_EQ(c.s.LastError(), 0);
    EXPECT_EQ(c.s.SocksReplyHost(), k.host);
    EXPECT_EQ(c.s.SocksReplyPort(), k.port);
    EXPECT_EQ(c.s.SocksLocalHost(), k.host);
  }
}

TEST(Socks5Connect, RepliesSplitIntoSingleBytes) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth)
      .ReplyBytewise(FromHex("05 00"))
      .Expect(FromHex("05 01 00 03 03 73 72 76 00 50"))
      .ReplyBytewise(FromHex("05 00 00 03 03 61 62 63 00 50"));
  SocksClient c(proxy);
  ConnectAndFinish(c, proxy, "srv");
  EXPECT_EQ(c.s.LastError(), 0);
  EXPECT_EQ(c.s.SocksReplyHost(), "abc");
  EXPECT_EQ(c.s.SocksReplyPort(), "80");
}

TEST(Socks5Connect, BytesBeyondTheReplyStayBuffered) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth).Reply(FromHex("05 00")).Expect(kRequest10001).Reply(kReplyOk + "220 ready\r\n");
  proxy.Start();
  SocksClient c(proxy);
  c.s.Connect("10.0.0.1", "80");
  ASSERT_EQ(c.s.LastError(), 0);
  // The target's first line may arrive with the reply or a moment later; none of it is lost.
  EXPECT_EQ(c.s.ReceiveUntil(3000, "\r\n"), "220 ready");
  c.s.Close();
  proxy.Finish();
}

TEST(Socks5Connect, SilentProxyTimesOut) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth);  // then silence
  SocksClient c(proxy);
  c.s.SocksTimeout = 200;
  const auto start = std::chrono::steady_clock::now();
  ConnectAndFinish(c, proxy);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_EQ(c.s.LastError(), kErrTimedOut);
  EXPECT_GE(ms, 180);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(c.s.SocksReplyCode(), 0) << "no reply read was started";
}

TEST(Socks5Connect, ProxyClosingMidReplyIsAReset) {
  FakePeer proxy;
  proxy.Expect(kGreetNoAuth).Reply(FromHex("05 00")).Expect(kRequest10001).Reply(FromHex("05 00 00 01 0A")).CloseNow();
  SocksClient c(proxy);
  ConnectAndFinish(c, proxy);
  EXPECT_EQ(c.s.LastError(), kErrConnReset);
  EXPECT_EQ(c.s.SocksReplyCode(), -1) << "an incomplete reply leaves no status";
}

TEST(Socks5Connect, UnreachableProxyKeepsEarlierReport) {
  test::RawListener gone;
  const std::string port = gone.portText();
  gone.Close();  // nothing listens there any more
  TTCPBlockSocket s;
  s.SocksProxyHost = "127.0.0.1";
  s.SocksProxyPort = port;
  s.Connect("10.0.0.1", "80");
  EXPECT_NE(s.LastError(), 0);
  EXPECT_FALSE(s.SocksActive());
  EXPECT_EQ(s.SocksTargetHost(), "");
}

// ---- SOCKS 4 / 4a ---------------------------------------------------------------------------

TEST(Socks4Connect, RequestsAndReplies) {
  struct Case {
    const char* what;
    std::string user, host, request, reply;
    int error, code;
  } cases[] = {
      {"granted", "", "10.0.0.1", "04 01 00 50 0A 00 00 01 00", "00 5A 00 00 00 00 00 00", 0, 0x5A},
      {"status 0 also succeeds", "", "10.0.0.1", "04 01 00 50 0A 00 00 01 00",
       "00 00 00 00 00 00 00 00", 0, 0},
      {"rejected", "", "10.0.0.1", "04 01 00 50 0A 00 00 01 00", "00 5B 00 00 00 00 00 00",
       kErrNetUnusable, 0x5B},
      {"wrong first byte", "", "10.0.0.1", "04 01 00 50 0A 00 00 01 00",
       "04 5A 00 00 00 00 00 00", kErrNetUnusable, -1},
      {"4a name with user id", "me", "srv", "04 01 00 50 00 00 00 01 6D 65 00 73 72 76 00",
       "00 5A 00 00 00 00 00 00", 0, 0x5A},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    FakePeer proxy;
    proxy.Expect(FromHex(k.request)).Reply(FromHex(k.reply));
    SocksClient c(proxy, TSocksType::Socks4);
    c.s.SocksUser = k.user;
    ConnectAndFinish(c, proxy, k.host);
    EXPECT_EQ(c.s.LastError(), k.error);
    EXPECT_EQ(c.s.SocksReplyCode(), k.code);
    EXPECT_TRUE(c.s.SocksActive()) << "SOCKS 4 has nothing to negotiate";
    EXPECT_EQ(ToHex(proxy.Received()), k.request);
  }
}

TEST(Socks4Connect, ReplyInSingleBytesReportsBoundAddress) {
  FakePeer proxy;
  proxy.Expect(FromHex("04 01 1F 90 0A 00 00 01 00")).ReplyBytewise(FromHex("00 5A 04 38 0A 09 08 07"));
  SocksClient c(proxy, TSocksType::Socks4);
  ConnectAndFinish(c, proxy, "10.0.0.1", "8080");
  EXPECT_EQ(c.s.LastError(), 0);
  EXPECT_EQ(c.s.LocalAddressText(), "10.9.8.7");
  EXPECT_EQ(c.s.LocalPort(), 1080);
  EXPECT_EQ(c.s.RemotePort(), 8080);
}

// ---- listening at a SOCKS proxy ----------------------------------------------------------------

TEST(SocksBind, ListenThenAcceptReadsTheSecondReply) {
  FakePeer proxy;
  TTCPBlockSocket s;
  s.Bind("127.0.0.1", "0");
  ASSERT_EQ(s.LastError(), 0);
  const int localPort = s.TBlockSocket::LocalPort();
  const std::string request = FromHex("05 02 00 01 7F 00 00 01") +
                              std::string{static_cast<char>(localPort >> 8),
                                          static_cast<char>(localPort & 0xFF)};
  proxy.Expect(kGreetNoAuth)
      .Reply(FromHex("05 00"))
      .Expect(request)
      .Reply(FromHex("05 00 00 01 00 00 00 00 13 88"))    // listening, address left to us
      .Reply(FromHex("05 00 00 01 0A 00 00 05 C3 50"));  // 10.0.0.5:50000 came in
  proxy.Start();
  s.SocksProxyHost = proxy.host();
  s.SocksProxyPort = proxy.portText();
  s.SocksTimeout = 3000;
  s.Listen();
  ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
  EXPECT_EQ(s.LocalAddressText(), proxy.host()) << "0.0.0.0 means the proxy's own address";
  EXPECT_EQ(s.LocalPort(), 5000);
  EXPECT_EQ(s.RemoteAddressText(), "");
  const int handle = s.Accept();
  EXPECT_EQ(handle, s.Handle());
  EXPECT_EQ(s.LastError(), 0);
  EXPECT_EQ(s.RemoteAddressText(), "10.0.0.5");
  EXPECT_EQ(s.RemotePort(), 50000);
  s.Close();
  proxy.Finish();
  EXPECT_EQ(proxy.Mismatch(), "");
}

TEST(SocksBind, RefusalsAreNonRecoverable) {
  {
    FakePeer proxy;
    proxy.Expect(kGreetNoAuth).Reply(FromHex("05 FF"));
    proxy.Start();
    TTCPBlockSocket s;
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.Listen();
    EXPECT_EQ(s.LastError(), kErrNonRecoverable);
    s.Close();
    proxy.Finish();
  }
  {
    // Listening works, but the incoming connection is refused: Accept hands out nothing.
    FakePeer proxy;
    TTCPBlockSocket s;
    s.Bind("127.0.0.1", "0");
    const int localPort = s.TBlockSocket::LocalPort();
    proxy.Expect(kGreetNoAuth)
        .Reply(FromHex("05 00"))
        .Expect(FromHex("05 02 00 01 7F 00 00 01") +
                std::string{static_cast<char>(localPort >> 8), static_cast<char>(localPort & 0xFF)})
        .Reply(FromHex("05 00 00 01 7F 00 00 01 13 88"))
        .Reply(FromHex("05 02 00 01 00 00 00 00 00 00"));
    proxy.Start();
    s.SocksProxyHost = proxy.host();
    s.SocksProxyPort = proxy.portText();
    s.SocksTimeout = 3000;
    s.Listen();
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.LocalAddressText(), "127.0.0.1");
    EXPECT_EQ(s.Accept(), -1);
    EXPECT_EQ(s.LastError(), kErrNonRecoverable);
    EXPECT_EQ(s.SocksReplyCode(), 2);
    s.Close();
    proxy.Finish();
    EXPECT_EQ(proxy.Mismatch(), "");
  }
}

}  // namespace
}  // namespace kova
