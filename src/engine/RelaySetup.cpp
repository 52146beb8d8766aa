// Relay set-up and failover: the target, the slots, the two workers wired, the connect and
// the switch to the next server.

#include "engine/RelayImpl.h"

#include <chrono>
#include <thread>

#include <unistd.h>

namespace kova {

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

}  // namespace kova
