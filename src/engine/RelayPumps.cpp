// The pumps: each direction of a relay moves what its source received to its destination,
// socket to socket through the worker's pipe, or copied through a buffer where that cannot be.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "engine/RelayImpl.h"

namespace kova {
namespace {

// Asked of each splice from the source: more than the pipe takes, so the pipe is the bound.
constexpr int kSpliceAsk = 1 << 20;

using TImpl = TRelayEngine::TImpl;

// The source gave no bytes: its orderly end, a reset or failure, or a release woke it.
void SourceEnded(TImpl& e, TNetThread& w, bool orderlyEnd) {
  const bool fromClient = w.Source == e.ClientSocket(w.ConnIndex);
  if (orderlyEnd) {
    // The source has said all it will: the destination reads the end after the last byte,
    // and the other direction goes on until its own source ends. Counted before the
    // shutdown, so the side that ended first is the one counted first; the slot is not
    // handed out again before this worker lets go.
    const bool first = e.Ended[w.ConnIndex].fetch_add(1, std::memory_order_acq_rel) == 0;
    w.Dest->ShutdownSend();
    if (first) {
      e.LetGo(w);
      return;
    }
    // Both sides have ended in order; the other one ended first.
    e.MarkEnd(w.ConnIndex, fromClient ? TRelayEnd::ServerClosed : TRelayEnd::ClientClosed);
  } else if (w.Source->LastError() != kErrNotSocket) {  // not woken by a release
    e.MarkEnd(w.ConnIndex, fromClient ? TRelayEnd::ClientReset : TRelayEnd::ServerReset);
  }
  e.PostClose(w);
  e.LetGo(w);
}

// Ends the relay after a send failed with err (this call's own code, not the shared one).
void SendFailed(TImpl& e, TNetThread& w, int err) {
  if (err != kErrNotSocket) e.MarkEnd(w.ConnIndex, TRelayEnd::SendFailed);
  e.PostClose(w);
  e.LetGo(w);
}

// Sends n bytes completely, in order. False when the relay ended meanwhile or the worker was
// stopped (the rest is dropped).
bool SendAll(TImpl& e, TNetThread& w, const char* bytes, int n, bool more) {
  for (int sent = 0; sent < n;) {
    int err = 0;
    const int ask = e.SpliceSeam ? std::clamp(e.SpliceSeam(false, n - sent), 1, n - sent) : n - sent;
    const int r = w.Dest->SendChunk(bytes + sent, ask, more, &err);
    if (r > 0) sent += r;
    if (err != 0 && err != kErrTimedOut) {
      SendFailed(e, w, err);
      return false;
    }
    if (w.Terminated() || w.Stopped()) return false;
  }
  return true;
}

void CopyStep(TImpl& e, TNetThread& w, TObjectItem& conn) {
  char buffer[kTransferBuffer];
  // Blocks until there is work: a release, a stop and program end all close the sockets, and a
  // close wakes the receive. Bytes a proxy exchange read past its answer come first.
  bool orderlyEnd = false;
  const int n = w.Source->ReceivePending(buffer, kTransferBuffer, &orderlyEnd);
  if (n < 1) return SourceEnded(e, w, orderlyEnd);
  if (e.PumpFault) e.PumpFault();
  // With small segments sent at once (no Nagle delay), a full chunk with more queued behind it
  // may wait for the next one to fill a segment: bulk keeps large segments, answers leave at once.
  const bool more = n == kTransferBuffer && w.Source->BytesAvailable() > 0;
  if (!SendAll(e, w, buffer, n, more)) return;
  conn.Stamp.store(e.Tick(), std::memory_order_relaxed);
  // A full buffer: bulk is flowing, and from now on it goes around the program.
  if (n == kTransferBuffer && w.Mode == TNetThread::TPumpMode::Copy) w.Mode = TNetThread::TPumpMode::Splice;
}

// Passes on by copying what the pipe holds, once the destination has refused a splice.
bool SendPipeByCopy(TImpl& e, TNetThread& w, bool more) {
  char buffer[kTransferBuffer];
  while (w.Pipe.Held() > 0) {
    const ssize_t r = ::read(w.Pipe.Out(), buffer, static_cast<size_t>(std::min(w.Pipe.Held(), kTransferBuffer)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("the relay's pipe lost bytes");  // ends the relay
    w.Pipe.Emptied(static_cast<int>(r));
    if (!SendAll(e, w, buffer, static_cast<int>(r), more || w.Pipe.Held() > 0)) return false;
  }
  return true;
}

void SpliceStep(TImpl& e, TNetThread& w, TObjectItem& conn) {
  TRelayPipe& pipe = w.Pipe;
  const int ask = e.SpliceSeam ? e.SpliceSeam(true, kSpliceAsk) : kSpliceAsk;
  bool orderlyEnd = false, refused = ask <= 0;
  const int n = refused ? 0 : w.Source->SpliceIn(pipe.In(), ask, &orderlyEnd, &refused);
  if (refused) {  // nothing was taken from the source
    w.Mode = TNetThread::TPumpMode::CopyOnly;
    return CopyStep(e, w, conn);
  }
  if (n < 1) return SourceEnded(e, w, orderlyEnd);
  pipe.Filled(n);
  TPipeGuard guard(pipe);  // a step that leaves early takes the relay's bytes with it
  if (e.PumpFault) e.PumpFault();
  const bool more = w.Source->BytesAvailable() > 0;  // see CopyStep
  while (pipe.Held() > 0) {
    const int length = e.SpliceSeam ? std::min(e.SpliceSeam(false, pipe.Held()), pipe.Held()) : pipe.Held();
    int err = 0;
    const int r = length > 0 ? w.Dest->SpliceOut(pipe.Out(), length, more, &err, &refused) : 0;
    if (length <= 0 || refused) {
      w.Mode = TNetThread::TPumpMode::CopyOnly;
      if (!SendPipeByCopy(e, w, more)) return;
      break;
    }
    if (r > 0) pipe.Emptied(r);
    if (err != 0 && err != kErrTimedOut) return SendFailed(e, w, err);
    if (w.Terminated() || w.Stopped()) return;
  }
  conn.Stamp.store(e.Tick(), std::memory_order_relaxed);
}

}  // namespace

void TRelayEngine::TImpl::NetTransfer(TNetThread& w) {
  TObjectItem& conn = Connections->Items(w.ConnIndex);
  if (Ending.load(std::memory_order_relaxed) || conn.InUse.load(std::memory_order_relaxed) <= 0 ||
      conn.Generation.load(std::memory_order_relaxed) != w.ConnGeneration) {
    LetGo(w);
    return;
  }
  if (const intptr_t relay = RelayId(w.ConnGeneration, w.ConnIndex); w.ModeRelay != relay) {
    w.ModeRelay = relay;
    w.Mode = TNetThread::TPumpMode::Copy;
  }
  // Splicing waits for the bytes a proxy exchange left behind, which only a copy hands out.
  if (w.Mode != TNetThread::TPumpMode::Splice || w.Source->HasBufferedInput()) {
    CopyStep(*this, w, conn);
  } else if (w.Pipe.Open()) {
    SpliceStep(*this, w, conn);
  } else {  // no pipe to be had (out of descriptors): this relay copies
    w.Mode = TNetThread::TPumpMode::CopyOnly;
    CopyStep(*this, w, conn);
  }
}

}  // namespace kova
