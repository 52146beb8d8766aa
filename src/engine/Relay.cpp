// The engine's face and wiring: the tick, the tables and their handlers, the listener's start
// and stop, and the public calls. A relay's life is in RelaySetup, RelayPumps and RelayTeardown.

#include "engine/RelayImpl.h"

#include <time.h>

namespace kova {

uint32_t SystemTick() {
  // The coarse reading is served without a system call even where the fine one needs one, and
  // every relayed chunk takes a stamp; its few milliseconds of grain are far below a second.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

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
  Listener = TListenThread::Create(Port, portText, listenAddress, Gate);
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
    if (state == 2 && Listener && Listener->Failure().Kind != TListenFailure::None)
      ListenFailure = Listener->Failure();
    // Forget every listener whose thread has ended; the reference is never used after that.
    std::erase_if(Retired, [](const auto& l) { return l->EndSignal()->IsSet(); });
    if (Listener && Listener->EndSignal()->IsSet()) Listener.reset();
    Window.ListenStateChanged(state, 0);
  }
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
    case WM_REFUSALS:
      impl_->WMRefusals();
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
TListenFailure TRelayEngine::ListenFailure() const { return impl_->ListenFailure; }

std::vector<TRelayOutcome> TRelayEngine::RecentOutcomes() const { return impl_->Outcomes.NewestFirst(); }

int TRelayEngine::FailedOutcomesSince(int64_t unixMs) const { return impl_->Outcomes.FailedSince(unixMs); }

TTrafficSnapshot TRelayEngine::Traffic() const { return impl_->Traffic(); }

bool TRelayEngine::Disconnect(TRelayKey relay) { return impl_->Disconnect(relay); }

void TRelayEngine::SetOutcomeHandler(std::function<void(const TRelayOutcome&)> handler) {
  impl_->OnOutcome = std::move(handler);
}

std::string TRelayEngine::LastWorkerFailure() const {
  std::lock_guard<std::mutex> lock(impl_->FailureMu);
  return impl_->LastFailure;
}

void TRelayEngine::SetAllowList(std::shared_ptr<const TAllowList> list) { impl_->Gate->SetAllowList(std::move(list)); }
std::shared_ptr<const TAllowList> TRelayEngine::AllowList() const { return impl_->Gate->AllowList(); }

void TRelayEngine::SetPumpFaultForTests(std::function<void()> fault) {
  impl_->PumpFault = std::move(fault);
}

void TRelayEngine::SetConnectSeamForTests(std::function<void(const TTCPBlockSocket&)> seam) {
  impl_->ConnectSeam = std::move(seam);
}

void TRelayEngine::SetSpliceSeamForTests(std::function<int(bool, int)> seam) {
  impl_->SpliceSeam = std::move(seam);
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
