#pragma once
// Between the listener and the window thread: who may come in, the address each accepted client
// had, and the refused clients on their way to the records. The listener judges each client
// before anything is spent on it; the window thread only reads what was noted.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/AllowList.h"
#include "net/BlockSocket.h"

namespace kova {

struct TRefusal {
  int64_t UnixMs = 0;
  std::string Client;  // address:port
};

class TAcceptGate {
 public:
  // Refusals waiting for the window thread; past this they are only counted, so a flood of
  // refused clients costs a fixed amount of memory however slow the window thread is.
  static constexpr size_t kQueuedRefusals = 256;

  // Any thread. Null or empty: everyone. Applies to clients accepted from now on.
  void SetAllowList(std::shared_ptr<const TAllowList> list);
  std::shared_ptr<const TAllowList> AllowList() const;

  // Listener thread: whether the list in force lets this client in.
  bool Admits(const TSockAddr& peer) const;
  // Listener thread: notes a refused client; true when the window thread must be told (nothing
  // was waiting for it before).
  bool NoteRefusal(std::string client);
  // Window thread: the refusals noted so far, and how many did not fit in the queue.
  std::vector<TRefusal> TakeRefusals(uint64_t& uncounted);

  // The peer record accept gave for a handle on its way to the window thread.
  void NotePeer(int handle, const TSockAddr& peer);
  TSockAddr TakePeer(int handle);  // an empty record when none was noted

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const TAllowList> list_;
  std::deque<TRefusal> refusals_;
  uint64_t uncounted_ = 0;
  std::unordered_map<int, TSockAddr> peers_;
};

}  // namespace kova
