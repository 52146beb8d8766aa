#pragma once
// The relay engine: the two slot tables, the workers, the listener's start and stop, relay
// set-up with failover, the pumps and teardown, and the monitor sweep's table work. It reaches
// its window only through IRelayWindow and never touches Qt.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ListenThread.h"
#include "engine/Outcome.h"
#include "engine/TrafficMeter.h"
#include "engine/WindowHost.h"

namespace kova {

class TAllowList;
class TTCPBlockSocket;
using TTickSource = std::function<uint32_t()>;  // ms tick, 32-bit, wrapping; injectable in tests
uint32_t SystemTick();                           // CLOCK_MONOTONIC in ms, truncated to 32 bits

struct TMonitorRows {                     // one sweep's output, in slot order
  std::vector<std::string> Connections;  // "0;127.0.0.1:3345;127.0.0.1:80;1500;320;2:5"
  std::vector<std::string> Threads;      // "0;0[客户->服务]", "1;0[服务->客户]"
  std::vector<TRelayKey> ConnectionKeys;  // which relay each connection row shows
};

class TRelayEngine {
 public:
  // Empty tables, NextServerIndex 0.
  explicit TRelayEngine(IRelayWindow& window, TTickSource tick = SystemTick);
  // Listener first, then the workers (waited for), then the sockets; never hangs.
  ~TRelayEngine();

  TRelayEngine(const TRelayEngine&) = delete;
  TRelayEngine& operator=(const TRelayEngine&) = delete;

  // Window thread only:
  // Start the listener on the typed port; an empty address is the machine's own address.
  void StartService(const std::string& portText, const std::string& listenAddress = "");
  void StopService();                               // end the listener; running relays go on
  void HandleMessage(uint32_t msg, intptr_t wParam);  // 1025, 1027, 1125, 1126
  TMonitorRows Sweep();  // one monitor tick: idle clearing, return of thread slots, rows
  void SetTarget(const std::string& host, const std::string& port);
  void ResetNextServerIndex();
  std::string TargetHost() const;
  std::string TargetPort() const;
  int NextServerIndex() const;
  std::string ListeningAddress() const;  // bound address of the listener that last reported 1
  TListenFailure ListenFailure() const;  // why the last start that reported 2 failed
  // Window thread: the last outcomes, newest first, and the failed ones since a time.
  std::vector<TRelayOutcome> RecentOutcomes() const;
  int FailedOutcomesSince(int64_t unixMs) const;
  // Window thread: the live relays' relayed bytes and the ended relays' sums, read from the
  // sockets' counters as they stand; nothing is counted on the relay path for it.
  TTrafficSnapshot Traffic() const;
  // Window thread: ends that relay as the idle sweep would, recorded as ended by the user.
  // False, and nothing done, when the slot no longer holds that relay.
  bool Disconnect(TRelayKey relay);
  // Called on the window thread for every outcome as it is recorded, also while the engine is
  // being destroyed (relays still running at program end); set before the service starts.
  void SetOutcomeHandler(std::function<void(const TRelayOutcome&)> handler);
  // Any thread: who may come in, judged as each client is accepted, also while listening;
  // relays already running stay. Null or an empty list: everyone.
  void SetAllowList(std::shared_ptr<const TAllowList> list);
  std::shared_ptr<const TAllowList> AllowList() const;  // null when everyone may come in
  // Text of the last exception a relay handler threw (its relay ended as a failed one).
  std::string LastWorkerFailure() const;
  // Test seam: runs on a pump after each received chunk; set before any relay starts.
  void SetPumpFaultForTests(std::function<void()> fault);
  // Test seam: runs on the connecting worker right before each connect of the upstream socket,
  // after its last look at the program's end; set before any relay starts.
  void SetConnectSeamForTests(std::function<void(const TTCPBlockSocket& upstream)> seam);
  // Test seam: runs on a pump before each splice (in: from the source) with the length it is
  // about to ask for, and returns the length to ask instead: less makes a short move, 0 a
  // refusal, after which the pump copies for the rest of the relay. Copied sends ask it too
  // (in: false): less makes a short send there, 0 counts as 1. Set before any relay starts.
  void SetSpliceSeamForTests(std::function<int(bool in, int length)> seam);
  int ConnectionsInUse() const;  // for tests
  int ThreadsInUse() const;      // for tests

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

}  // namespace kova
