#include "engine/TargetList.h"

#include <algorithm>

#include "net/NetUtil.h"

namespace kova {

void TTargetList::Assign(std::vector<std::string> entries) {
  entries_.clear();
  usable_.clear();
  runs_.clear();
  servers_.clear();
  entries_.reserve(entries.size());
  for (std::string& e : entries) Add(std::move(e));
}

void TTargetList::Add(std::string entry) {
  std::string host, port;
  const bool usable = UsableTarget(entry, host, port);
  entries_.push_back(std::move(entry));
  if (!usable) return;
  const int server = servers_.try_emplace(ServerKey(host, port), static_cast<int>(servers_.size())).first->second;
  if (runs_.empty() || runs_.back().Server != server) runs_.push_back({server, UsableCount()});
  usable_.push_back({Count() - 1, static_cast<int>(runs_.size()) - 1});
}

int TTargetList::NextUsable(int from, const TTriedServers& skip) const {
  std::vector<int> tried;
  for (const std::string& key : skip)
    if (auto it = servers_.find(key); it != servers_.end()) tried.push_back(it->second);
  if (tried.size() >= servers_.size()) return -1;  // every server of the list was tried
  auto u = std::lower_bound(usable_.begin(), usable_.end(), from,
                            [](const TUsable& e, int pos) { return e.Position < pos; });
  for (size_t i = static_cast<size_t>(u - usable_.begin()); i < usable_.size();) {
    const size_t run = static_cast<size_t>(usable_[i].Run);
    if (std::find(tried.begin(), tried.end(), runs_[run].Server) == tried.end()) return usable_[i].Position;
    i = run + 1 < runs_.size() ? static_cast<size_t>(runs_[run + 1].Begin) : usable_.size();
  }
  return -1;
}

void TTargetList::Split(int index, std::string& host, std::string& port) const {
  UsableTarget(Entry(index), host, port);
}

}  // namespace kova
