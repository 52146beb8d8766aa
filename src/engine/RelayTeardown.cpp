// Teardown and the records: a relay let go, released and swept, its outcome written, and the
// engine's end.

#include "engine/RelayImpl.h"

#include <sys/socket.h>
#include <unistd.h>

namespace kova {

void TRelayEngine::TImpl::ConnRelease(int index) {
  RecordOutcome(index);
  // Abandoned rather than closed: a connect in progress ends, and none starts after this.
  if (auto* s = ClientSocket(index)) s->Abandon();
  if (auto* s = UpstreamSocket(index)) s->Abandon();
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
  // The client's side carries the relayed bytes only; the upstream one also the proxy exchange.
  if (TExtTCPSocket* client = ClientSocket(c)) {
    o.BytesReceived = client->BytesSent();
    o.BytesSent = client->BytesReceived();
  }
  EndedDown += o.BytesReceived;
  EndedUp += o.BytesSent;
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
  if (AcceptPeer.sa.sa_family != 0) {
    TBlockSocket text;
    o.Client = TargetText(text.AddressToText(AcceptPeer), std::to_string(TBlockSocket::AddressPort(AcceptPeer)));
  }
  ::close(handle);
  Publish(std::move(o));
}

void TRelayEngine::TImpl::WMRefusals() {
  uint64_t uncounted = 0;
  for (TRefusal& r : Gate->TakeRefusals(uncounted)) {
    TRelayOutcome o;
    o.StartUnixMs = r.UnixMs;
    o.Client = std::move(r.Client);
    o.End = TRelayEnd::NotAllowed;
    Publish(std::move(o));
  }
  if (uncounted > 0) {
    // More came than the queue holds: one record says how many, none is dropped unsaid.
    TRelayOutcome o;
    o.StartUnixMs = UnixMillis();
    o.End = TRelayEnd::NotAllowed;
    o.Detail = "另有 " + std::to_string(uncounted) + " 个被拒绝的客户端未逐一记录";
    Publish(std::move(o));
  }
}

void TRelayEngine::TImpl::WMConnClose(intptr_t id) {
  int c = static_cast<int>(id & 0xFF);
  uint32_t generation = static_cast<uint32_t>(static_cast<uint64_t>(id) >> 8);
  if (c >= kConnectionSlots) return;
  auto& item = Connections->Items(c);
  if (item.InUse.load() <= 0 || item.Generation.load() != generation) return;  // late: ignore
  Connections->Remove(c, false);
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
    row += TargetText(client->RemoteAddressText(), std::to_string(client->RemotePort()));
    row += ';';
    row += TargetText(upstream->RemoteAddressText(), std::to_string(upstream->RemotePort()));
    row += ';';
    row += std::to_string(upstream->BytesReceived());
    row += ';';
    row += std::to_string(upstream->BytesSent());
    row += ';';
    row += std::to_string(idle / 60);
    row += ':';
    row += std::to_string(idle % 60);
    rows.Connections.push_back(std::move(row));
    rows.ConnectionKeys.push_back({i, item.Generation.load()});
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

TTrafficSnapshot TRelayEngine::TImpl::Traffic() {
  TTrafficSnapshot t;
  t.EndedDown = EndedDown;
  t.EndedUp = EndedUp;
  for (int i = 0; i < kConnectionSlots; ++i) {
    auto& item = Connections->Items(i);
    if (item.InUse.load() <= 0 || !Records[i].Live) continue;
    TExtTCPSocket* client = ClientSocket(i);
    TExtTCPSocket* upstream = UpstreamSocket(i);
    TLiveRelay r;
    r.Key = {i, item.Generation.load()};
    r.StartUnixMs = Records[i].StartUnixMs;
    r.Client = Records[i].Client;
    r.Server = upstream->RemoteAddressText() + ":" + std::to_string(upstream->RemotePort());
    r.Down = client->BytesSent();
    r.Up = client->BytesReceived();
    t.Live.push_back(std::move(r));
  }
  return t;
}

bool TRelayEngine::TImpl::Disconnect(TRelayKey relay) {
  if (relay.Slot < 0 || relay.Slot >= kConnectionSlots || Ending.load()) return false;
  auto& item = Connections->Items(relay.Slot);
  if (item.InUse.load() <= 0 || item.Generation.load() != relay.Generation) return false;
  MarkEnd(relay.Slot, TRelayEnd::UserDisconnect);
  Connections->Remove(relay.Slot, false);
  return true;
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
  WMRefusals();  // refused clients whose note was still on its way are recorded all the same
  // Close every relay's sockets so that blocked workers return, then wait for the workers.
  for (int i = 0; i < kThreadSlots; ++i) {
    if (TNetThread* w = Worker(i)) w->RequestEnd();
  }
  // At program end unread input is not worth reading away: the plain close wakes at once.
  for (int i = 0; i < kConnectionSlots; ++i) {
    MarkEnd(i, TRelayEnd::ProgramEnd);
    if (auto* s = ClientSocket(i)) s->Abandon(false);
    if (auto* s = UpstreamSocket(i)) s->Abandon(false);
  }
  for (int i = 0; i < kThreadSlots; ++i) {
    if (TNetThread* w = Worker(i)) w->WaitFor([this] { ServeSyncCalls(); });
  }
  // Recorded once the workers are done: an attempt cut short by the close is in its outcome.
  for (int i = 0; i < kConnectionSlots; ++i) RecordOutcome(i);
  Threads.reset();
  Connections.reset();
}

}  // namespace kova
