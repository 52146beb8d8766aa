#pragma once
// The engine's inside, shared by its three rooms: set-up and failover (RelaySetup.cpp), the
// pumps (RelayPumps.cpp), teardown and the records (RelayTeardown.cpp). Not for other units.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <unistd.h>

#include "engine/AcceptGate.h"
#include "engine/ExtTCPSocket.h"
#include "engine/NetTools.h"
#include "engine/Outcome.h"
#include "engine/Relay.h"
#include "engine/TargetList.h"
#include "net/NetUtil.h"
#include "engine/RelayPipe.h"

namespace kova {

inline constexpr int kConnectionSlots = 50;
inline constexpr int kThreadSlots = 100;
inline constexpr int kTransferBuffer = 8192;
inline constexpr int kRetryPauseMs = 1000;
inline constexpr auto kDrainWait = std::chrono::milliseconds(200);
inline const char* const kClientToServer = "[客户->服务]";
inline const char* const kServerToClient = "[服务->客户]";

// A release message names one use of a slot, so a late one cannot end the slot's next relay.
inline intptr_t RelayId(uint32_t generation, int slot) {
  return static_cast<intptr_t>((static_cast<uint64_t>(generation) << 8) |
                               static_cast<uint64_t>(slot));
}


// The engine's own post box: it notes every accepted handle that is on its way to the window,
// so that the handles still queued when the engine ends are closed, not leaked.
class TAcceptLedger : public IMessagePost {
 public:
  explicit TAcceptLedger(IMessagePost& window) : window_(window) {}

  void PostMessage(uint32_t msg, intptr_t wParam) override {
    if (msg == WM_ACCEPT) {
      std::lock_guard<std::mutex> lock(mu_);
      pending_.insert(static_cast<int>(wParam));
    }
    window_.PostMessage(msg, wParam);
  }
  // True when the handle was still waiting for the window (it is now the caller's).
  bool Take(int handle) {
    std::lock_guard<std::mutex> lock(mu_);
    return pending_.erase(handle) > 0;
  }
  void CloseAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int h : pending_) ::close(h);
    pending_.clear();
  }

 private:
  IMessagePost& window_;
  std::mutex mu_;
  std::unordered_set<int> pending_;
};

// One direction of one relay. The window wires every field before Start; from then on only the
// worker reads them, except Host and Port, which SwitchServer rewrites while the worker waits.
class TNetThread : public TManagedThread {
 public:
  explicit TNetThread(TRelayEngine::TImpl& engine) : engine_(engine) {}

  TNetThread* Partner = nullptr;
  TExtTCPSocket* Source = nullptr;
  TExtTCPSocket* Dest = nullptr;
  std::string Host;
  std::string Port;
  int ConnIndex = -1;           // the connection slot (the thread slot's Tag)
  bool PartnerStarted = false;  // the connecting worker has started the other direction
  TTriedServers Tried;          // servers this client has failed on (window thread while it waits)
  uint32_t ConnGeneration = 0;  // which use of that slot this worker serves
  bool HoldsSlot = false;       // counted in the slot's Busy until the worker lets go
  // How the pump moves bytes: copying until a chunk fills the buffer (small exchanges never
  // take a pipe), then splicing through the worker's pipe, kept across relays; copying for
  // good when the relay's sockets cannot be spliced.
  enum class TPumpMode : uint8_t { Copy, Splice, CopyOnly };
  TPumpMode Mode = TPumpMode::Copy;
  intptr_t ModeRelay = -1;  // the relay Mode is for
  TRelayPipe Pipe;

  void SwitchServer();  // window thread

 private:
  TRelayEngine::TImpl& engine_;
};

// What is known of one connection slot's relay until it ends and becomes an outcome.
struct TSlotRecord {
  bool Live = false;  // window thread: a relay runs here and has not been recorded yet
  int64_t StartUnixMs = 0;
  std::chrono::steady_clock::time_point Start;
  std::string Client;
  TProxySettings Proxy;  // without the password
  std::atomic<int> End{-1};  // the first end a worker or the sweep reports
  std::mutex Mu;             // the connecting worker appends, the window thread reads
  std::vector<TAttempt> Attempts;
  std::string Detail;
};

struct TRelayEngine::TImpl {
  TImpl(IRelayWindow& window, TTickSource tick);

  IRelayWindow& Window;
  TTickSource Tick;
  TAcceptLedger Ledger;
  std::shared_ptr<TAcceptGate> Gate = std::make_shared<TAcceptGate>();  // shared with the listeners
  TSockAddr AcceptPeer{};  // window thread: the client WMAccept is handling, as accept gave it
  std::shared_ptr<TMessagePort> Port;
  std::unique_ptr<TObjectManager> Connections;
  std::unique_ptr<TObjectManager> Threads;
  // Workers still inside a relay of each connection slot; a slot is handed out again only when
  // its count is 0, so a late worker never reads or writes a newer relay's sockets.
  std::array<std::atomic<int>, kConnectionSlots> Busy{};
  // Directions of each relay whose source has ended in order; the relay ends at two.
  std::array<std::atomic<int>, kConnectionSlots> Ended{};
  std::function<void()> PumpFault;  // test seam: runs after each received chunk
  // Test seam: runs on the connecting worker between its look at Ending and each connect.
  std::function<void(const TTCPBlockSocket&)> ConnectSeam;
  std::function<int(bool, int)> SpliceSeam;  // test seam: see SetSpliceSeamForTests
  std::array<TSlotRecord, kConnectionSlots> Records;
  TOutcomeRing Outcomes;  // window thread only
  uint64_t EndedDown = 0, EndedUp = 0;  // window thread: relayed bytes of every recorded relay
  std::function<void(const TRelayOutcome&)> OnOutcome;
  mutable std::mutex FailureMu;
  std::string LastFailure;  // what the last handler that threw said
  std::atomic<bool> Ending{false};

  std::string TargetHost;
  std::string TargetPort;
  int NextServerIndex = 0;
  std::shared_ptr<TListenThread> Listener;
  std::vector<std::shared_ptr<TListenThread>> Retired;  // asked to stop, not yet reported
  std::string ListeningAddress;
  TListenFailure ListenFailure;  // of the last start that failed

  // Workers' synchronous calls onto the window thread.
  std::mutex SyncMu;
  std::condition_variable SyncCv;
  std::deque<std::pair<TNetThread*, bool*>> SyncQueue;
  bool SyncClosed = false;

  // Handlers of the tables.
  void ConnCreateItem(int index);
  void ConnRelease(int index);
  void ThreadCreateItem(int index);
  void ThreadAcquire(int index);

  // Window thread.
  void StartService(const std::string& portText, const std::string& listenAddress);
  void StopService();
  void WMAccept(int handle);
  void WMConnClose(intptr_t id);
  void WMListenState(int state);
  void WMRefusals();
  // Moves the current target to the next usable entry not in `skip`, or clears it.
  void NextServer(const TTriedServers& skip = {});
  void ServeSyncCalls();
  void CloseSyncCalls();
  int AddConnectionSlot();
  int AddThreadSlot();
  bool ThreadSlotReturnable(int index, bool& markIdle);
  void ReturnParkedThreadSlots();
  TMonitorRows Sweep();
  TTrafficSnapshot Traffic();
  bool Disconnect(TRelayKey relay);
  void Shutdown();

  // Worker threads.
  void NetConnect(TNetThread& w, int index);
  void NetTransfer(TNetThread& w);
  void RunSwitchServer(TNetThread& w);
  void PostClose(TNetThread& w);
  void LetGo(TNetThread& w);
  void Guarded(TNetThread& w, const std::function<void()>& step);
  void MarkEnd(int c, TRelayEnd end) {
    int none = -1;
    Records[c].End.compare_exchange_strong(none, static_cast<int>(end), std::memory_order_relaxed);
  }
  void RecordOutcome(int c);
  void Publish(TRelayOutcome outcome);
  void TurnAway(int handle, TRelayEnd why);  // the client of AcceptPeer
  TExtTCPSocket* ClientSocket(int c) { return Connections->Items(c).Obj<TExtTCPSocket>(); }
  TExtTCPSocket* UpstreamSocket(int c) { return Connections->Items(c).Obj2<TExtTCPSocket>(); }
  TNetThread* Worker(int t) { return Threads->Items(t).Obj<TNetThread>(); }
};

}  // namespace kova
