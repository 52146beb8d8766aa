#include "engine/AcceptGate.h"

#include "engine/Outcome.h"

namespace kova {

void TAcceptGate::SetAllowList(std::shared_ptr<const TAllowList> list) {
  if (list && list->Empty()) list.reset();
  std::lock_guard<std::mutex> lock(mu_);
  list_ = std::move(list);
}

std::shared_ptr<const TAllowList> TAcceptGate::AllowList() const {
  std::lock_guard<std::mutex> lock(mu_);
  return list_;
}

bool TAcceptGate::Admits(const TSockAddr& peer) const {
  // Taken under the lock, judged outside it: a swap never waits for a judgement.
  const std::shared_ptr<const TAllowList> list = AllowList();
  return !list || list->Allows(peer.sa);
}

bool TAcceptGate::NoteRefusal(std::string client) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool tell = refusals_.empty() && uncounted_ == 0;
  if (refusals_.size() < kQueuedRefusals)
    refusals_.push_back({UnixMillis(), std::move(client)});
  else
    ++uncounted_;
  return tell;
}

std::vector<TRefusal> TAcceptGate::TakeRefusals(uint64_t& uncounted) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<TRefusal> out(std::make_move_iterator(refusals_.begin()), std::make_move_iterator(refusals_.end()));
  refusals_.clear();
  uncounted = uncounted_;
  uncounted_ = 0;
  return out;
}

void TAcceptGate::NotePeer(int handle, const TSockAddr& peer) {
  std::lock_guard<std::mutex> lock(mu_);
  peers_[handle] = peer;
}

TSockAddr TAcceptGate::TakePeer(int handle) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = peers_.find(handle);
  if (it == peers_.end()) return TSockAddr{};
  const TSockAddr peer = it->second;
  peers_.erase(it);
  return peer;
}

}  // namespace kova
