// The proxy clients against real proxy servers from Debian's packages, relaying to a loopback
// echo server. A missing server binary fails these tests (scripts/setup.sh installs them).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/BlockSocket.h"
#include "support/Loopback.h"
#include "support/RealProxies.h"

namespace kova {
namespace {

using test::EchoServer;
using test::RealProxy;

std::unique_ptr<RealProxy> StartProxy(RealProxy::Kind kind,
                                      RealProxy::Credentials credentials = {}) {
  std::string error;
  auto proxy = RealProxy::Start(kind, credentials, &error);
  EXPECT_TRUE(proxy) << error;
  return proxy;
}

// Every byte value, in an order that shows swaps and drops.
std::string Payload() {
  std::string bytes;
  for (int round = 0; round < 4; ++round)
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b * 7 + round) & 0xFF);
  return bytes;
}

// Sends the payload over a connected socket and expects it back unchanged.
void ExpectEcho(TTCPBlockSocket& s) {
  const std::string payload = Payload();
  ASSERT_EQ(s.SendText(payload), static_cast<int>(payload.size()));
  EXPECT_EQ(s.ReceiveExactText(static_cast<int>(payload.size()), 5000), payload)
      << "error " << s.LastError();
}

void UseSocks(TTCPBlockSocket& s, const RealProxy& proxy, TSocksType version) {
  s.SocksProxyHost = proxy.host();
  s.SocksProxyPort = proxy.portText();
  s.SocksVersion = version;
  s.SocksTimeout = 10000;
}

void UseTunnel(TTCPBlockSocket& s, const RealProxy& proxy) {
  s.TunnelProxyHost = proxy.host();
  s.TunnelProxyPort = proxy.portText();
  s.TunnelTimeout = 10000;
}

TEST(RealSocks, MicrosocksWithoutAuthentication) {
  EchoServer echo;
  auto proxy = StartProxy(RealProxy::Kind::Microsocks);
  ASSERT_TRUE(proxy);
  TTCPBlockSocket s;
  UseSocks(s, *proxy, TSocksType::Socks5);
  s.Connect(echo.host(), echo.portText());
  ASSERT_EQ(s.LastError(), 0) << s.LastErrorText() << "\n" << proxy->Log();
  EXPECT_EQ(s.RemoteAddressText(), echo.host());
  EXPECT_EQ(s.RemotePort(), echo.port());
  ExpectEcho(s);
}

TEST(RealSocks, MicrosocksWithUserAndPassword) {
  EchoServer echo;
  auto proxy = StartProxy(RealProxy::Kind::Microsocks, {"kova", "s3cret"});
  ASSERT_TRUE(proxy);
  struct Case {
    const char* what;
    std::string user, password;
    bool accepted;
  } cases[] = {
      {"right password", "kova", "s3cret", true},
      {"wrong password", "kova", "wrong", false},
      {"unknown user", "other", "s3cret", false},
      {"no credentials offered", "", "", false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TTCPBlockSocket s;
    UseSocks(s, *proxy, TSocksType::Socks5);
    s.SocksUser = k.user;
    s.SocksPassword = k.password;
    s.Connect(echo.host(), echo.portText());
    if (k.accepted) {
      ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
      ExpectEcho(s);
    } else {
      EXPECT_EQ(s.LastError(), kErrNetUnusable);
      EXPECT_FALSE(s.SocksActive());
    }
  }
}

TEST(RealSocks, DanteVersionsFourAndFive) {
  EchoServer echo;
  auto proxy = StartProxy(RealProxy::Kind::Dante);
  ASSERT_TRUE(proxy);
  struct Case {
    const char* what;
    TSocksType version;
    std::string host;
  } cases[] = {
      {"SOCKS 4", TSocksType::Socks4, "127.0.0.1"},
      {"SOCKS 5", TSocksType::Socks5, "127.0.0.1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TTCPBlockSocket s;
    UseSocks(s, *proxy, k.version);
    s.Connect(k.host, echo.portText());
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText() << "\n" << proxy->Log();
    EXPECT_EQ(s.RemoteAddressText(), k.host);
    ExpectEcho(s);
  }
}

TEST(RealTunnel, TinyproxyWithBasicAuthentication) {
  EchoServer echo;
  auto proxy = StartProxy(RealProxy::Kind::Tinyproxy, {"kova", "s3cret"});
  ASSERT_TRUE(proxy);
  struct Case {
    const char* what;
    std::string user, password;
    bool accepted;
  } cases[] = {
      {"right password", "kova", "s3cret", true},
      {"wrong password", "kova", "wrong", false},
      {"no credentials", "", "", false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    TTCPBlockSocket s;
    UseTunnel(s, *proxy);
    s.TunnelUser = k.user;
    s.TunnelPassword = k.password;
    s.Connect(echo.host(), echo.portText());
    if (k.accepted) {
      ASSERT_EQ(s.LastError(), 0) << s.LastErrorText() << "\n" << proxy->Log();
      EXPECT_TRUE(s.TunnelOpen());
      EXPECT_EQ(s.RemoteAddressText(), echo.host());
      EXPECT_EQ(s.RemotePort(), echo.port());
      ExpectEcho(s);
    } else {
      EXPECT_EQ(s.LastError(), kErrNetUnusable);
      EXPECT_FALSE(s.TunnelOpen());
    }
  }
}

}  // namespace
}  // namespace kova
