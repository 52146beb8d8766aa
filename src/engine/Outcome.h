#pragma once
// Why a relay ended: one outcome per relay, with every server tried and a decoded reason for each
// failed attempt, kept in a fixed ring for the window and written as one log line each.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kova {

class TTCPBlockSocket;

enum class TRelayEnd : uint8_t {
  ClientClosed,  // the client ended first, in order, and the rest followed
  ServerClosed,  // the server ended first, in order
  ClientReset,
  ServerReset,
  SendFailed,
  IdleRelease,   // the idle sweep released it
  UserDisconnect,  // ended by hand from the window
  ProgramEnd,
  NoFreeSlot,    // turned away: all connection or thread slots in use
  NoServer,      // turned away: no usable target and an empty list
  ListUsedUp,    // every server tried failed (or switching is off)
  ProxyFailed,   // the proxy itself failed; the current target was left where it was
  HandlerFailed, // a relay handler threw
  NotAllowed,    // turned away: the client is not on the allow-list
};

struct TAttempt {
  std::string Server;  // host:port as configured
  bool Ok = false;
  int ConnectMs = 0;   // how long the attempt took
  std::string Reason;  // decoded, for a failed attempt
};

struct TRelayOutcome {
  int64_t StartUnixMs = 0;
  std::string Client;  // address:port
  std::vector<TAttempt> Attempts;
  int ProxyType = 0;   // 0 none, 1 HTTP, 2 SOCKS 4, 3 SOCKS 5
  std::string Proxy;   // address:port of the proxy, empty without one
  std::string ProxyUser;  // never the password
  uint64_t BytesReceived = 0;  // relayed from the server (no proxy exchange)
  uint64_t BytesSent = 0;      // relayed to the server
  int64_t DurationMs = 0;
  TRelayEnd End = TRelayEnd::ClientClosed;
  std::string Detail;  // e.g. the text of a handler's exception

  // Turned away, never connected, or ended by a reset or a failure.
  bool Failed() const;
};

// Texts shown to the user (Chinese, as the window's own).
std::string RelayEndText(TRelayEnd end);
std::string ProxyTypeText(int proxyType);
// Why the last connect of `s` failed, from the stage its proxy exchange stopped at and its code.
std::string DescribeConnectFailure(const TTCPBlockSocket& s, int proxyType);
// The last connect of `s` failed at the proxy itself (unreachable, silent or not a proxy before
// its greeting's answer, no method, login refused, SOCKS 4 codes 92 and 93, HTTP 407 or 401),
// not at anything it reported about the target: no other server would fare better.
bool ProxyItselfFailed(const TTCPBlockSocket& s, int proxyType);
// One log line: ISO 8601 start time, client, servers with results, proxy, bytes, duration, end.
std::string OutcomeLine(const TRelayOutcome& o);

// The last kCapacity outcomes; filled and read on the window thread only, so it takes no lock.
class TOutcomeRing {
 public:
  static constexpr int kCapacity = 500;
  void Add(TRelayOutcome outcome);
  std::vector<TRelayOutcome> NewestFirst() const;
  int Count() const { return count_; }
  // Failed outcomes that started at or after `sinceUnixMs`.
  int FailedSince(int64_t sinceUnixMs) const;

 private:
  std::array<TRelayOutcome, kCapacity> items_{};
  int next_ = 0;
  int count_ = 0;
};

int64_t UnixMillis();

// The upstream proxy as the window's settings give it.
struct TProxySettings {
  int Type = 0;       // 0 none, 1 HTTP, 2 SOCKS 4, 3 SOCKS 5
  std::string Text;   // "host:port"
  std::string User;
  std::string Password;
};
class TExtTCPSocket;
// Sets (or clears) the proxy of an upstream socket; a proxy text without "host:port" means none.
void ApplyProxy(TExtTCPSocket& s, const TProxySettings& proxy);
// One connect to `server` ("host:port") through `proxy` and a close, sending no application
// byte: reachable with its connect time, or the decoded reason. Any thread.
TAttempt ProbeServer(const std::string& server, const TProxySettings& proxy);

}  // namespace kova
