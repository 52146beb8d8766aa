#pragma once
// The in-use server list as the relay walks it: the entries as the user wrote them, and which of
// them are usable targets, worked out once when the list changes. Finding the next entry to try
// then costs the same for a list of three and of a million entries.

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kova {

// Servers one client has failed on, as "host" NUL "port" (as written).
using TTriedServers = std::unordered_set<std::string>;
inline std::string ServerKey(const std::string& host, const std::string& port) { return host + '\0' + port; }

class TTargetList {
 public:
  TTargetList() = default;
  explicit TTargetList(std::vector<std::string> entries) { Assign(std::move(entries)); }

  void Assign(std::vector<std::string> entries);
  void Add(std::string entry);

  int Count() const { return static_cast<int>(entries_.size()); }
  const std::string& Entry(int index) const { return entries_.at(static_cast<size_t>(index)); }
  int UsableCount() const { return static_cast<int>(usable_.size()); }
  // The first usable entry at or after `from` whose server is not in `skip`; -1 when none is.
  // Runs of one server are passed over whole, so a long list of one dead server costs little.
  int NextUsable(int from, const TTriedServers& skip) const;
  // Host and port of a usable entry.
  void Split(int index, std::string& host, std::string& port) const;

 private:
  struct TUsable {
    int Position;  // in entries_
    int Run;       // in runs_
  };
  struct TRun {    // consecutive usable entries of one server
    int Server;    // distinct servers numbered from 0
    int Begin;     // first of them, in usable_
  };
  std::vector<std::string> entries_;
  std::vector<TUsable> usable_;
  std::vector<TRun> runs_;
  std::unordered_map<std::string, int> servers_;
};

}  // namespace kova
