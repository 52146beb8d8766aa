#pragma once
// A worker's pipe, through which its pumps move bytes socket to socket without copying them
// through the program. It belongs to the worker, not to a relay: made once and reused by every
// relay the worker serves, so short relays cost no extra descriptors or calls. Bytes still in
// it when a relay ends belong to that relay, so the pipe is dropped then; the next relay gets a
// fresh one.

namespace kova {

class TRelayPipe {
 public:
  TRelayPipe() = default;
  ~TRelayPipe() { Drop(); }
  TRelayPipe(const TRelayPipe&) = delete;
  TRelayPipe& operator=(const TRelayPipe&) = delete;

  bool Open();  // makes the pipe if there is none; false when the system gives none
  void Drop();  // closes both ends; what they held is gone
  int In() const { return in_; }
  int Out() const { return out_; }
  int Held() const { return held_; }
  void Filled(int n) { held_ += n; }
  void Emptied(int n) { held_ -= n; }

 private:
  int in_ = -1;   // the write end
  int out_ = -1;  // the read end
  int held_ = 0;  // bytes in the pipe
};

// Drops a pipe that still holds bytes when a pump step leaves early, however it leaves.
class TPipeGuard {
 public:
  explicit TPipeGuard(TRelayPipe& pipe) : pipe_(pipe) {}
  ~TPipeGuard() {
    if (pipe_.Held() != 0) pipe_.Drop();
  }
  TPipeGuard(const TPipeGuard&) = delete;
  TPipeGuard& operator=(const TPipeGuard&) = delete;

 private:
  TRelayPipe& pipe_;
};

}  // namespace kova
