// Relay set-up and failover: the target, the slots, the two workers wired, the connect and
// the switch to the next server.

#include "engine/RelayImpl.h"

#include <chrono>
#include <thread>

#include <unistd.h>

namespace kova {

void TRelayEngine::TImpl::NextServer(const TTriedServers& skip) {
  const TTargetList& list = Window.ServerList();
  const int i = list.NextUsable(NextServerIndex, skip);
  if (i >= 0) {
    NextServerIndex = i + 1;
    Window.SetServerText(list.Entry(i));
    list.Split(i, TargetHost, TargetPort);
    return;
  }
  NextServerIndex = 0;
  TargetHost.clear();
  TargetPort.clear();
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

int TRelayEngine::TImpl::AddThreadSlot() {
  int t = Threads->Add(1);
  if (t >= 0) return t;
  // Parked workers give their slots back now rather than at the next monitor tick.
  ReturnParkedThreadSlots();
  return Threads->Add(1);
}

void TRelayEngine::TImpl::WMAccept(int h) {
  Ledger.Take(h);
  // The address accept gave: a client that has reset since is no longer reported by the system.
  AcceptPeer = Gate->TakePeer(h);
  if (Ending.load()) {
    ::close(h);
    return;
  }
  if (TargetHost.empty()) {
    std::string host, port;
    if (UsableTarget(Window.ServerText(), host, port)) {
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
  client->Rearm();  // the last relay here abandoned both
  upstream->Rearm();
  upstream->ForgetLastRelay();
  client->AdoptHandle(h, AcceptPeer);
  client->SetNoDelay();

  TSlotRecord& record = Records[c];
  record.Proxy = {Window.ProxyType(), Window.ProxyText(), Window.ProxyUser(), Window.ProxyPassword()};
  ApplyProxy(*upstream, record.Proxy);
  record.Proxy.Password.clear();  // the socket has it; no record or outcome keeps it
  if (upstream->SocksProxyHost.empty() && upstream->TunnelProxyHost.empty()) record.Proxy = {};
  record.Live = true;
  record.StartUnixMs = UnixMillis();
  record.Start = std::chrono::steady_clock::now();
  record.Client = TargetText(client->RemoteAddressText(), std::to_string(client->RemotePort()));
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
  wa->Tried.clear();
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
  // on the current target moves it; the others follow it. Each client judges by its own tries,
  // never by where the shared position happens to stand.
  if ((Host == e.TargetHost && Port == e.TargetPort) || e.TargetHost.empty()) {
    e.NextServer(Tried);
    // The walk ran off the end and starts again at 0 for later clients; this one goes on from
    // the top rather than give up while an entry it has not tried is left.
    if (e.TargetHost.empty()) e.NextServer(Tried);
  }
  if (!e.TargetHost.empty() && !Tried.contains(ServerKey(e.TargetHost, e.TargetPort))) {
    Host = e.TargetHost;
    Port = e.TargetPort;
    return;
  }
  // The current target already failed for this client: it takes the next entry it has not
  // tried for itself, leaving the shared one to the clients it may still serve.
  const TTargetList& list = e.Window.ServerList();
  int i = list.NextUsable(e.NextServerIndex, Tried);
  if (i < 0) i = list.NextUsable(0, Tried);
  if (i >= 0) {
    list.Split(i, Host, Port);
    return;
  }
  // This client has tried every server: used up, as when the position runs off the end.
  e.NextServerIndex = 0;
  e.TargetHost.clear();
  e.TargetPort.clear();
  Host.clear();
  Port.clear();
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

void TRelayEngine::TImpl::NetConnect(TNetThread& w, int index) {
  if (Threads->Items(index).Data.load() == nullptr) return;  // server-to-client worker
  TExtTCPSocket* u = w.Dest;
  for (;;) {
    if (Ending.load()) {
      w.Host.clear();
    } else {
      u->Close();
      if (ConnectSeam) ConnectSeam(*u);
      const auto begin = std::chrono::steady_clock::now();
      u->Connect(w.Host, w.Port);
      TAttempt attempt{TargetText(w.Host, w.Port), u->LastError() == 0,
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
      w.Tried.insert(ServerKey(w.Host, w.Port));
      if (ProxyItselfFailed(*u, record.Proxy.Type)) {
        // No other server can help while the proxy itself fails: the list stays where it is.
        MarkEnd(w.ConnIndex, TRelayEnd::ProxyFailed);
        w.Host.clear();
      } else if (const int client = w.Source->PauseForPeer(kRetryPauseMs); client == 0) {
        RunSwitchServer(w);
      } else {
        // Reset during the pause, or closed under the worker: nobody is left to connect for.
        MarkEnd(w.ConnIndex, client == kErrConnReset ? TRelayEnd::ClientReset : TRelayEnd::ClientClosed);
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

}  // namespace kova
