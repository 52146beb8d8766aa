// The pumps: each direction of a relay moves what its source received to its destination.

#include "engine/RelayImpl.h"

namespace kova {

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

}  // namespace kova
