#include "engine/Relay.h"

#include <array>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_set>

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "engine/ExtTCPSocket.h"
#include "engine/NetTools.h"
#include "engine/Outcome.h"

namespace kova {

uint32_t SystemTick() {
  // The coarse reading is served without a system call even where the fine one needs one, and
  // every relayed chunk takes a stamp; its few milliseconds of grain are far below a second.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

namespace {

constexpr int kConnectionSlots = 50;
constexpr int kThreadSlots = 100;
constexpr int kTransferBuffer = 8192;
constexpr int kRetryPauseMs = 1000;
constexpr auto kDrainWait = std::chrono::milliseconds(200);
const char* const kClientToServer = "[客户->服务]";
const char* const kServerToClient = "[服务->客户]";

// A release message names one use of a slot, so a late one cannot end the slot's next relay.
intptr_t RelayId(uint32_t generation, int slot) {
  return static_cast<intptr_t>((static_cast<uint64_t>(generation) << 8) |
                               static_cast<uint64_t>(slot));
}

}  // namespace

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
  int Tries = 0;                // servers this client has failed on
  uint32_t ConnGeneration = 0;  // which use of that slot this worker serves
  bool HoldsSlot = false;       // counted in the slot's Busy until the worker lets go

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
  std::shared_ptr<TMessagePort> Port;
  std::unique_ptr<TObjectManager> Connections;
  std::unique_ptr<TObjectManager> Threads;
  // Workers still inside a relay of each connection slot; a slot is handed out again only when
  // its count is 0, so a late worker never reads or writes a newer relay's sockets.
  std::array<std::atomic<int>, kConnectionSlots> Busy{};
  // Directions of each relay whose source has ended in order; the relay ends at two.
  std::array<std::atomic<int>, kConnectionSlots> Ended{};
  std::function<void()> PumpFault;  // test seam: runs after each received chunk
  std::array<TSlotRecord, kConnectionSlots> Records;
  TOutcomeRing Outcomes;  // window thread only
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
  void NextServer();
  int ValidServerCount();
  void ServeSyncCalls();
  void CloseSyncCalls();
  int AddConnectionSlot();
  int AddThreadSlot();
  bool ThreadSlotReturnable(int index, bool& markIdle);
  void ReturnParkedThreadSlots();
  TMonitorRows Sweep();
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
  void TurnAway(int handle, TRelayEnd why);
  TExtTCPSocket* ClientSocket(int c) { return Connections->Items(c).Obj<TExtTCPSocket>(); }
  TExtTCPSocket* UpstreamSocket(int c) { return Connections->Items(c).Obj2<TExtTCPSocket>(); }
  TNetThread* Worker(int t) { return Threads->Items(t).Obj<TNetThread>(); }
};

TRelayEngine::TImpl::TImpl(IRelayWindow& window, TTickSource tick)
    : Window(window),
      Tick(tick ? std::move(tick) : TTickSource(SystemTick)),
      Ledger(window),
      Port(std::make_shared<TMessagePort>(&Ledger)) {
  Connections = std::make_unique<TObjectManager>(kConnectionSlots);
  Threads = std::make_unique<TObjectManager>(kThreadSlots);
  Connections->OnRelease = [this](TObject*, int32_t i) { ConnRelease(i); };
  Connections->OnCreateItem = [this](TObject*, int32_t i) { ConnCreateItem(i); };
  Threads->OnCreateItem = [this](TObject*, int32_t i) { ThreadCreateItem(i); };
  Threads->OnDestroyItem = [](TObject* table, int32_t i) {
    // Runs while the table is being destroyed, so the table comes from the event.
    auto* w = static_cast<TObjectManager*>(table)->Items(i).Obj<TNetThread>();
    if (w) w->RequestEnd();
  };
  Threads->OnAcquire = [this](TObject*, int32_t i) { ThreadAcquire(i); };
  NextServerIndex = 0;
}

// ---- tables ------------------------------------------------------------------------------

void TRelayEngine::TImpl::ConnCreateItem(int index) {
  auto& item = Connections->Items(index);
  item.SetObj(new TOwned<TExtTCPSocket>());
  item.SetObj2(new TOwned<TExtTCPSocket>());
}

void TRelayEngine::TImpl::ConnRelease(int index) {
  RecordOutcome(index);
  if (auto* s = ClientSocket(index)) s->Close();
  if (auto* s = UpstreamSocket(index)) s->Close();
}

void TRelayEngine::TImpl::ThreadCreateItem(int index) {
  Threads->Items(index).MakeObj<TNetThread>(*this);
}

void TRelayEngine::TImpl::ThreadAcquire(int index) {
  TNetThread* w = Worker(index);
  if (!w) return;  // ThreadCreateItem always puts a worker here
  w->Owner.store(Threads.get());
  w->Index.store(index);
  w->Idle.store(false);
  w->OnStart = [this, w](TObject*, int32_t i) { Guarded(*w, [&] { NetConnect(*w, i); }); };
  w->OnExecute = [this, w](TObject*, int32_t) { Guarded(*w, [&] { NetTransfer(*w); }); };
}

// ---- service -----------------------------------------------------------------------------

void TRelayEngine::TImpl::StartService(const std::string& portText,
                                       const std::string& listenAddress) {
  if (Ending.load()) return;
  if (Listener) Retired.push_back(std::move(Listener));
  Listener = TListenThread::Create(Port, portText, listenAddress);
  Listener->Resume();
}

void TRelayEngine::TImpl::StopService() {
  if (Listener) Listener->Terminate();
}

void TRelayEngine::TImpl::WMListenState(int state) {
  if (state == 1) {
    // Only the newest listener can report 1: an older one was asked to stop first.
    int port = 0;
    if (Listener && Listener->BoundPort() != 0) {
      port = Listener->BoundPort();
      ListeningAddress = Listener->BoundAddress();
    }
    Window.ListenStateChanged(1, port);
    return;
  }
  if (state == 2 || state == 3) {
    // Forget every listener whose thread has ended; the reference is never used after that.
    std::erase_if(Retired, [](const auto& l) { return l->EndSignal()->IsSet(); });
    if (Listener && Listener->EndSignal()->IsSet()) Listener.reset();
    Window.ListenStateChanged(state, 0);
  }
}

// ---- relay set-up -------------------------------------------------------------------------

void TRelayEngine::TImpl::NextServer() {
  while (NextServerIndex < Window.ServerCount()) {
    std::string entry = Window.ServerItem(NextServerIndex);
    ++NextServerIndex;
    std::string host, port;
    if (SplitHostPort(entry, host, port)) {
      Window.SetServerText(entry);
      TargetHost = host;
      TargetPort = port;
      return;
    }
  }
  NextServerIndex = 0;
  TargetHost.clear();
  TargetPort.clear();
}

int TRelayEngine::TImpl::ValidServerCount() {
  int n = 0;
  std::string host, port;
  for (int i = 0, count = Window.ServerCount(); i < count; ++i) n += SplitHostPort(Window.ServerItem(i), host, port);
  return n;
}

int TRelayEngine::TImpl::AddConnectionSlot() {
  // A slot whose last relay's workers have not yet let go is set aside and another taken.
  std::vector<int> draining;
  int c = -1;
  for (;;) {
    c = Connections->Add(2);
    if (c < 0 || Busy[c].load(std::memory_order_acquire) == 0) break;
    draining.push_back(c);
  }
  if (c < 0 && !draining.empty()) {
    // Only draining slots are left. Their sockets are closed, so the workers let go as soon as
    // they run, and none of them waits for this thread: a short wait beats turning a client away.
    auto deadline = std::chrono::steady_clock::now() + kDrainWait;
    while (c < 0 && std::chrono::steady_clock::now() < deadline) {
      for (int d : draining) {
        if (Busy[d].load(std::memory_order_acquire) == 0) {
          c = d;
          break;
        }
      }
      if (c < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::erase(draining, c);
    if (c >= 0) Connections->Items(c).Stamp.store(0);  // a late stamp of the old relay
  }
  for (auto it = draining.rbegin(); it != draining.rend(); ++it) Connections->Remove(*it, false);
  return c;
}

bool TRelayEngine::TImpl::ThreadSlotReturnable(int index, bool& markIdle) {
  markIdle = false;
  auto& item = Threads->Items(index);
  if (item.InUse.load() <= 0) return false;
  TNetThread* w = Worker(index);
  if (!w || !w->Suspended()) return false;
  if (w->Idle.load()) return true;
  // Acquired but never started: returnable once its own relay is over.
  int c = item.Tag.load();
  if (c < 0 || c >= kConnectionSlots) return true;
  auto& conn = Connections->Items(c);
  if (conn.InUse.load() <= 0 || conn.Generation.load() != w->ConnGeneration) {
    markIdle = true;
    return true;
  }
  return false;
}

void TRelayEngine::TImpl::ReturnParkedThreadSlots() {
  for (int i = 0; i < kThreadSlots; ++i) {
    bool markIdle = false;
    if (!ThreadSlotReturnable(i, markIdle)) continue;
    if (markIdle) Worker(i)->Idle.store(true);
    Threads->Remove(i, false);
  }
}

int TRelayEngine::TImpl::AddThreadSlot() {
  int t = Threads->Add(1);
  if (t >= 0) return t;
  // Parked workers give their slots back now rather than at the next monitor tick.
  ReturnParkedThreadSlots();
  return Threads->Add(1);
}

void TRelayEngine::TImpl::WMAccept(int h) {
  Ledger.Take(h);
  if (Ending.load()) {
    ::close(h);
    return;
  }
  if (TargetHost.empty()) {
    std::string host, port;
    if (SplitHostPort(Window.ServerText(), host, port)) {
      TargetHost = host;
      TargetPort = port;
    } else {
      NextServer();
    }
    if (TargetHost.empty()) {
      TurnAway(h, TRelayEnd::NoServer);
      return;
    }
  }
  int c = AddConnectionSlot();
  if (c < 0) {
    TurnAway(h, TRelayEnd::NoFreeSlot);
    return;
  }
  uint32_t generation = Connections->Items(c).Generation.load();
  int a = AddThreadSlot();
  if (a < 0) {
    Connections->Remove(c, false);
    TurnAway(h, TRelayEnd::NoFreeSlot);
    return;
  }
  // Tie slot a to its relay at once, so that finding slot b cannot return it.
  Threads->Items(a).Tag.store(c);
  Worker(a)->ConnIndex = c;
  Worker(a)->ConnGeneration = generation;
  int b = AddThreadSlot();
  if (b < 0) {
    Connections->Remove(c, false);
    Worker(a)->Idle.store(true);
    Threads->Remove(a, false);
    TurnAway(h, TRelayEnd::NoFreeSlot);
    return;
  }

  TExtTCPSocket* client = ClientSocket(c);
  TExtTCPSocket* upstream = UpstreamSocket(c);
  client->AdoptHandle(h);
  client->SetNoDelay();

  TSlotRecord& record = Records[c];
  record.Proxy = {Window.ProxyType(), Window.ProxyText(), Window.ProxyUser(), Window.ProxyPassword()};
  ApplyProxy(*upstream, record.Proxy);
  record.Proxy.Password.clear();  // the socket has it; no record or outcome keeps it
  if (upstream->SocksProxyHost.empty() && upstream->TunnelProxyHost.empty()) record.Proxy = {};
  record.Live = true;
  record.StartUnixMs = UnixMillis();
  record.Start = std::chrono::steady_clock::now();
  record.Client = client->RemoteAddressText() + ":" + std::to_string(client->RemotePort());
  record.End.store(-1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(record.Mu);
    record.Attempts.clear();
    record.Detail.clear();
  }

  auto& slotA = Threads->Items(a);
  auto& slotB = Threads->Items(b);
  TNetThread* wa = Worker(a);
  TNetThread* wb = Worker(b);
  slotA.Data.store(upstream);
  slotA.Tag.store(c);
  wa->Host = TargetHost;
  wa->Port = TargetPort;
  wa->Tries = 0;
  wa->Source = client;
  wa->Dest = upstream;
  slotB.Data.store(nullptr);
  slotB.Tag.store(c);
  wb->Host.clear();
  wb->Port.clear();
  wb->Partner = nullptr;
  wb->Source = upstream;
  wb->Dest = client;
  wb->ConnIndex = c;
  wb->ConnGeneration = generation;
  wb->HoldsSlot = false;
  wa->Partner = wb;
  wa->PartnerStarted = false;
  wa->HoldsSlot = true;
  Ended[c].store(0, std::memory_order_relaxed);
  Busy[c].store(1, std::memory_order_release);
  if (!wa->Start()) {
    // The system refused a thread: undo as if the relay had failed to connect.
    Busy[c].store(0, std::memory_order_release);
    wa->Idle.store(true);
    wb->Idle.store(true);
    Connections->Remove(c, false);
  }
}

void TNetThread::SwitchServer() {
  auto& e = engine_;
  if (!e.Window.AutoSwitch()) {
    Host.clear();
    Port.clear();
    return;
  }
  // Concurrent failures on one server move the current target once: only a worker that failed
  // on the current target moves it; the others follow it. Each client judges by its own tries
  // whether the list is used up, never by where the shared position happens to stand.
  if (++Tries > e.ValidServerCount()) {
    e.NextServerIndex = 0;  // used up, as when the position runs off the end
    e.TargetHost.clear();
    e.TargetPort.clear();
  } else if ((Host == e.TargetHost && Port == e.TargetPort) || e.TargetHost.empty()) {
    e.NextServer();
  }
  Host = e.TargetHost;
  Port = e.TargetPort;
}

void TRelayEngine::TImpl::RunSwitchServer(TNetThread& w) {
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(SyncMu);
    if (SyncClosed) {
      w.Host.clear();  // shutting down: nothing more to try
      return;
    }
    SyncQueue.emplace_back(&w, &done);
  }
  Port->Post(WM_SYNCCALL, 0);
  std::unique_lock<std::mutex> lock(SyncMu);
  SyncCv.wait(lock, [&] { return done; });
}

void TRelayEngine::TImpl::ServeSyncCalls() {
  std::unique_lock<std::mutex> lock(SyncMu);
  while (!SyncQueue.empty()) {
    auto [w, done] = SyncQueue.front();
    SyncQueue.pop_front();
    lock.unlock();
    w->SwitchServer();
    lock.lock();
    *done = true;
    SyncCv.notify_all();
  }
}

void TRelayEngine::TImpl::CloseSyncCalls() {
  std::lock_guard<std::mutex> lock(SyncMu);
  SyncClosed = true;
  for (auto [w, done] : SyncQueue) {
    w->Host.clear();
    *done = true;
  }
  SyncQueue.clear();
  SyncCv.notify_all();
}

void TRelayEngine::TImpl::PostClose(TNetThread& w) {
  Port->Post(WM_CONNCLOSE, RelayId(w.ConnGeneration, w.ConnIndex));
}

void TRelayEngine::TImpl::LetGo(TNetThread& w) {
  // The worker's last touch of its relay: after this the slot may serve a new relay.
  if (w.HoldsSlot) {
    w.HoldsSlot = false;
    Busy[w.ConnIndex].fetch_sub(1, std::memory_order_release);
  }
  w.Stop();
}

void TRelayEngine::TImpl::NetConnect(TNetThread& w, int index) {
  if (Threads->Items(index).Data.load() == nullptr) return;  // server-to-client worker
  TExtTCPSocket* u = w.Dest;
  for (;;) {
    if (Ending.load()) {
      w.Host.clear();
    } else {
      u->Close();
      const auto begin = std::chrono::steady_clock::now();
      u->Connect(w.Host, w.Port);
      TAttempt attempt{w.Host + ":" + w.Port, u->LastError() == 0,
                       static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - begin)
                                            .count()),
                       {}};
      TSlotRecord& record = Records[w.ConnIndex];
      if (!attempt.Ok) attempt.Reason = DescribeConnectFailure(*u, record.Proxy.Type);
      {
        std::lock_guard<std::mutex> lock(record.Mu);
        record.Attempts.push_back(std::move(attempt));
      }
      if (u->LastError() == 0) break;
      w.Source->WaitReadable(kRetryPauseMs);
      int err = w.Source->LastError();
      if (err == 0 || err == kErrTimedOut) {
        RunSwitchServer(w);
      } else {
        MarkEnd(w.ConnIndex, TRelayEnd::ClientClosed);  // the client left while it waited
        w.Host.clear();
      }
    }
    if (w.Host.empty()) {
      MarkEnd(w.ConnIndex, Ending.load() ? TRelayEnd::ProgramEnd : TRelayEnd::ListUsedUp);
      // The partner was never started; marking it first lets the sweep return its slot, and
      // nothing of it is touched once the relay is reported over.
      w.Partner->Idle.store(true);
      PostClose(w);
      LetGo(w);
      return;
    }
  }
  TNetThread* b = w.Partner;
  if (Ending.load()) {
    b->Idle.store(true);
    PostClose(w);
    LetGo(w);
    return;
  }
  u->SetNoDelay();
  Busy[w.ConnIndex].fetch_add(1, std::memory_order_relaxed);
  b->HoldsSlot = true;
  Connections->Items(w.ConnIndex).Stamp.store(Tick());
  w.PartnerStarted = true;
  if (!b->Start()) {
    w.PartnerStarted = false;
    b->HoldsSlot = false;
    Busy[w.ConnIndex].fetch_sub(1, std::memory_order_release);
    b->Idle.store(true);
    PostClose(w);
    LetGo(w);
  }
}

void TRelayEngine::TImpl::NetTransfer(TNetThread& w) {
  TObjectItem& conn = Connections->Items(w.ConnIndex);
  if (Ending.load(std::memory_order_relaxed) || conn.InUse.load(std::memory_order_relaxed) <= 0 ||
      conn.Generation.load(std::memory_order_relaxed) != w.ConnGeneration) {
    LetGo(w);
    return;
  }
  char buffer[kTransferBuffer];
  // Blocks until there is work: a release, a stop and program end all close the sockets, and a
  // close wakes the receive.
  bool orderlyEnd = false;
  const int n = w.Source->ReceivePending(buffer, kTransferBuffer, &orderlyEnd);
  if (n < 1) {
    const bool fromClient = w.Source == ClientSocket(w.ConnIndex);
    if (orderlyEnd) {
      // The source has said all it will: the destination reads the end after the last byte,
      // and the other direction goes on until its own source ends. Counted before the
      // shutdown, so the side that ended first is the one counted first; the slot is not
      // handed out again before this worker lets go.
      const bool first = Ended[w.ConnIndex].fetch_add(1, std::memory_order_acq_rel) == 0;
      w.Dest->ShutdownSend();
      if (first) {
        LetGo(w);
        return;
      }
      // Both sides have ended in order; the other one ended first.
      MarkEnd(w.ConnIndex, fromClient ? TRelayEnd::ServerClosed : TRelayEnd::ClientClosed);
    } else if (w.Source->LastError() != kErrNotSocket) {  // not woken by a release
      MarkEnd(w.ConnIndex, fromClient ? TRelayEnd::ClientReset : TRelayEnd::ServerReset);
    }
    PostClose(w);
    LetGo(w);
    return;
  }
  if (PumpFault) PumpFault();
  // With small segments sent at once (no Nagle delay), a full chunk with more queued behind it
  // may wait for the next one to fill a segment: bulk keeps large segments, answers leave at once.
  const bool more = n == kTransferBuffer && w.Source->BytesAvailable() > 0;
  int sent = 0;
  for (;;) {
    int r = w.Dest->SendChunk(buffer + sent, n - sent, more);
    if (r > 0) sent += r;
    int sendErr = w.Dest->LastError();
    if (sendErr != 0 && sendErr != kErrTimedOut) {
      if (sendErr != kErrNotSocket) MarkEnd(w.ConnIndex, TRelayEnd::SendFailed);
      PostClose(w);
      LetGo(w);
      return;
    }
    if (w.Terminated() || w.Stopped()) return;
    if (sent >= n) {
      conn.Stamp.store(Tick(), std::memory_order_relaxed);
      return;
    }
  }
}

void TRelayEngine::TImpl::Guarded(TNetThread& w, const std::function<void()>& step) {
  std::string what;
  try {
    step();
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "unknown exception";
  }
  {
    std::lock_guard<std::mutex> lock(FailureMu);
    LastFailure = what;
  }
  MarkEnd(w.ConnIndex, TRelayEnd::HandlerFailed);
  {
    std::lock_guard<std::mutex> lock(Records[w.ConnIndex].Mu);
    Records[w.ConnIndex].Detail = what;
  }
  // Ends the relay as a failed pump does; a partner that never started is left to the sweep.
  if (w.Partner && !w.PartnerStarted) w.Partner->Idle.store(true);
  PostClose(w);
  LetGo(w);
}

// ---- outcomes -----------------------------------------------------------------------------

void TRelayEngine::TImpl::Publish(TRelayOutcome outcome) {
  if (OnOutcome) OnOutcome(outcome);
  Outcomes.Add(std::move(outcome));
}

void TRelayEngine::TImpl::RecordOutcome(int c) {
  TSlotRecord& r = Records[c];
  if (!r.Live) return;
  r.Live = false;
  TRelayOutcome o;
  o.StartUnixMs = r.StartUnixMs;
  o.Client = r.Client;
  o.ProxyType = r.Proxy.Type;
  o.Proxy = r.Proxy.Text;
  o.ProxyUser = r.Proxy.User;
  if (TExtTCPSocket* u = UpstreamSocket(c)) {
    o.BytesReceived = u->BytesReceived();
    o.BytesSent = u->BytesSent();
  }
  o.DurationMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - r.Start).count();
  const int end = r.End.load(std::memory_order_relaxed);
  o.End = end >= 0 ? static_cast<TRelayEnd>(end) : TRelayEnd::ClientClosed;
  {
    std::lock_guard<std::mutex> lock(r.Mu);
    o.Attempts = r.Attempts;
    o.Detail = r.Detail;
  }
  Publish(std::move(o));
}

void TRelayEngine::TImpl::TurnAway(int handle, TRelayEnd why) {
  TRelayOutcome o;
  o.StartUnixMs = UnixMillis();
  o.End = why;
  TSockAddr peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(handle, &peer.sa, &len) == 0) {
    TBlockSocket text;
    o.Client = text.AddressToText(peer) + ":" + std::to_string(TBlockSocket::AddressPort(peer));
  }
  ::close(handle);
  Publish(std::move(o));
}

// ---- teardown -----------------------------------------------------------------------------

void TRelayEngine::TImpl::WMConnClose(intptr_t id) {
  int c = static_cast<int>(id & 0xFF);
  uint32_t generation = static_cast<uint32_t>(static_cast<uint64_t>(id) >> 8);
  if (c >= kConnectionSlots) return;
  auto& item = Connections->Items(c);
  if (item.InUse.load() <= 0 || item.Generation.load() != generation) return;  // late: ignore
  Connections->Remove(c, false);
}

TMonitorRows TRelayEngine::TImpl::Sweep() {
  TMonitorRows rows;
  uint32_t now = Tick();
  for (int i = 0; i < kConnectionSlots; ++i) {
    auto& item = Connections->Items(i);
    if (item.InUse.load() <= 0) continue;
    uint32_t stamp = item.Stamp.load();
    // A pump may stamp after this sweep read the tick: that relay is busy, not 49 days idle.
    const int32_t since = static_cast<int32_t>(now - stamp);
    uint32_t idle = stamp == 0 || since <= 0 ? 0 : static_cast<uint32_t>(since) / 1000u;
    int64_t limit = static_cast<int64_t>(Window.IdleLimitMinutes()) * 60;
    TExtTCPSocket* client = ClientSocket(i);
    TExtTCPSocket* upstream = UpstreamSocket(i);
    std::string row = std::to_string(i);
    row += ';';
    row += client->RemoteAddressText();
    row += ':';
    row += std::to_string(client->RemotePort());
    row += ';';
    row += upstream->RemoteAddressText();
    row += ':';
    row += std::to_string(upstream->RemotePort());
    row += ';';
    row += std::to_string(upstream->BytesReceived());
    row += ';';
    row += std::to_string(upstream->BytesSent());
    row += ';';
    row += std::to_string(idle / 60);
    row += ':';
    row += std::to_string(idle % 60);
    rows.Connections.push_back(std::move(row));
    if (limit > 0 && static_cast<int64_t>(idle) > limit) {
      MarkEnd(i, TRelayEnd::IdleRelease);
      Connections->Remove(i, false);
    }
  }
  for (int i = 0; i < kThreadSlots; ++i) {
    auto& item = Threads->Items(i);
    if (item.InUse.load() <= 0) continue;
    TNetThread* w = Worker(i);
    std::string row = std::to_string(w->Index.load());
    row += ';';
    row += std::to_string(item.Tag.load());
    row += item.Data.load() != nullptr ? kClientToServer : kServerToClient;
    rows.Threads.push_back(std::move(row));
    bool markIdle = false;
    if (ThreadSlotReturnable(i, markIdle)) {
      if (markIdle) w->Idle.store(true);
      Threads->Remove(i, false);
    }
  }
  return rows;
}

void TRelayEngine::TImpl::Shutdown() {
  Ending.store(true);
  // No worker may wait for this thread from now on.
  CloseSyncCalls();
  if (Listener) Listener->Terminate();
  for (auto& l : Retired) l->Terminate();
  Listener.reset();
  Retired.clear();
  // Later posts (the listener ends on its own) are dropped; handles on their way are closed.
  Port->Detach();
  Ledger.CloseAll();
  // Close every relay's sockets so that blocked workers return, then wait for the workers.
  for (int i = 0; i < kThreadSlots; ++i) {
    if (TNetThread* w = Worker(i)) w->RequestEnd();
  }
  // At program end unread input is not worth reading away: the plain close wakes at once.
  for (int i = 0; i < kConnectionSlots; ++i) {
    MarkEnd(i, TRelayEnd::ProgramEnd);
    RecordOutcome(i);
    if (auto* s = ClientSocket(i)) s->TBlockSocket::Close();
    if (auto* s = UpstreamSocket(i)) s->TBlockSocket::Close();
  }
  for (int i = 0; i < kThreadSlots; ++i) {
    if (TNetThread* w = Worker(i)) w->WaitFor([this] { ServeSyncCalls(); });
  }
  Threads.reset();
  Connections.reset();
}

// ---- public face --------------------------------------------------------------------------

TRelayEngine::TRelayEngine(IRelayWindow& window, TTickSource tick)
    : impl_(std::make_unique<TImpl>(window, std::move(tick))) {}

TRelayEngine::~TRelayEngine() { impl_->Shutdown(); }

void TRelayEngine::StartService(const std::string& portText, const std::string& listenAddress) {
  impl_->StartService(portText, listenAddress);
}
void TRelayEngine::StopService() { impl_->StopService(); }

void TRelayEngine::HandleMessage(uint32_t msg, intptr_t wParam) {
  switch (msg) {
    case WM_CONNCLOSE:
      impl_->WMConnClose(wParam);
      break;
    case WM_SYNCCALL:
      impl_->ServeSyncCalls();
      break;
    case WM_LISTENSTATE:
      impl_->WMListenState(static_cast<int>(wParam));
      break;
    case WM_ACCEPT:
      impl_->WMAccept(static_cast<int>(wParam));
      break;
    default:
      break;
  }
}

TMonitorRows TRelayEngine::Sweep() { return impl_->Sweep(); }

void TRelayEngine::SetTarget(const std::string& host, const std::string& port) {
  impl_->TargetHost = host;
  impl_->TargetPort = port;
}

void TRelayEngine::ResetNextServerIndex() { impl_->NextServerIndex = 0; }
std::string TRelayEngine::TargetHost() const { return impl_->TargetHost; }
std::string TRelayEngine::TargetPort() const { return impl_->TargetPort; }
int TRelayEngine::NextServerIndex() const { return impl_->NextServerIndex; }
std::string TRelayEngine::ListeningAddress() const { return impl_->ListeningAddress; }

std::vector<TRelayOutcome> TRelayEngine::RecentOutcomes() const { return impl_->Outcomes.NewestFirst(); }

int TRelayEngine::FailedOutcomesSince(int64_t unixMs) const { return impl_->Outcomes.FailedSince(unixMs); }

void TRelayEngine::SetOutcomeHandler(std::function<void(const TRelayOutcome&)> handler) {
  impl_->OnOutcome = std::move(handler);
}

std::string TRelayEngine::LastWorkerFailure() const {
  std::lock_guard<std::mutex> lock(impl_->FailureMu);
  return impl_->LastFailure;
}

void TRelayEngine::SetPumpFaultForTests(std::function<void()> fault) {
  impl_->PumpFault = std::move(fault);
}

int TRelayEngine::ConnectionsInUse() const {
  int n = 0;
  for (int i = 0; i < kConnectionSlots; ++i) n += impl_->Connections->Items(i).InUse.load() > 0;
  return n;
}

int TRelayEngine::ThreadsInUse() const {
  int n = 0;
  for (int i = 0; i < kThreadSlots; ++i) n += impl_->Threads->Items(i).InUse.load() > 0;
  return n;
}

}  // namespace kova
