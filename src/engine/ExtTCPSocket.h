#pragma once
// The socket class of every relayed connection: both sockets of a connection slot.

#include "net/BlockSocket.h"

namespace kova {

class TExtTCPSocket : public TTCPBlockSocket {
 public:
  // Direct, SOCKS, HTTP tunnel, or HTTP tunnel to a SOCKS proxy when both hosts are set.
  void Connect(const std::string& host, const std::string& port) override;
  void Listen() override;
  // The pumps' receive: at most maxLength bytes (bytes a proxy exchange left in the read buffer
  // first), blocking in the receive itself until bytes arrive, the peer ends its sending side or
  // the object is closed. > 0: bytes. 0 with LastError 10054: the peer's end, *orderlyEnd true
  // when it was an orderly one (all sent, then FIN) and false for a reset. 0 with any other
  // code: a closed object or a failure.
  int ReceivePending(void* buffer, int maxLength, bool* orderlyEnd = nullptr);
  // One send of a relayed chunk. `more`: the next chunk is already queued at the source, so the
  // system may hold a partial segment back to join it (the next send without `more` flushes).
  // *err (when given) is this call's own outcome: the receiving pump of the other direction
  // may publish its receive's code on the same object meanwhile.
  int SendChunk(const void* buffer, int length, bool more, int* err = nullptr);
  // The same two steps without copying, through a pipe the caller owns. SpliceIn moves what is
  // queued (at most maxLength) into the pipe and reports like ReceivePending; SpliceOut moves
  // up to length bytes of the pipe on and reports like SendChunk. *refused: the system cannot
  // splice this pair, nothing moved, the caller copies instead. Neither looks at the read
  // buffer: while HasBufferedInput, ReceivePending must hand out those bytes first.
  int SpliceIn(int pipeIn, int maxLength, bool* orderlyEnd, bool* refused);
  int SpliceOut(int pipeOut, int length, bool more, int* err, bool* refused);
  bool HasBufferedInput() const { return readBufferNonEmpty_.load(std::memory_order_acquire); }
  // Passes a half-close on: the peer reads the end of data after everything already sent.
  void ShutdownSend();
  // Small answers leave at once instead of waiting for more bytes to fill a segment.
  void SetNoDelay();
  // The pause between two tries of a relay still connecting: waits up to timeoutMs for the peer
  // to send, end its sending side or reset. 0: the peer is still there (quiet, data waiting, or
  // half-closed, which is passed on once a server answers); kErrConnReset: it reset;
  // kErrNotSocket: the object was closed under the wait.
  int PauseForPeer(int timeoutMs);
  // A slot's sockets serve one relay after another: the next starts without the last one's
  // handle, peer, byte counts or proxy state, which the monitor would otherwise show as its own
  // while it connects. Only between relays, after Rearm.
  void ForgetLastRelay();

 private:
  int SentResult(ssize_t n, int* err);  // books one send's outcome
  int ReceiveOn(const HandleRef& h, void* buffer, int length, int flags, bool* orderlyEnd);
};

}  // namespace kova
