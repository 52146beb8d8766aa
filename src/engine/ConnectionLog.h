#pragma once
// The connection log: one line per relay outcome, appended by a writer thread of its own so that
// neither the pumps nor the window thread ever wait for the disk. A file is rotated past its size
// limit: connections.log becomes connections.log.1, .1 becomes .2, .2 becomes .3, and the old .3
// is dropped, so the live file and three older ones are kept.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "engine/Outcome.h"

namespace kova {

// $XDG_STATE_HOME/kova/connections.log, or ~/.local/state/kova/connections.log when that
// variable is unset or not an absolute path.
std::string DefaultConnectionLogPath();

class TConnectionLog {
 public:
  static constexpr uint64_t kRotateBytes = 10ull << 20;
  static constexpr int kRotatedFiles = 3;
  static constexpr size_t kQueueLines = 10000;

  // Lines to `path`, whose folder is made (private to the user) when missing. Nothing touches
  // the disk before the first line or Check().
  explicit TConnectionLog(std::string path, uint64_t rotateBytes = kRotateBytes, size_t queueLines = kQueueLines);
  // Lines to an open descriptor the caller keeps (stderr), never rotated.
  explicit TConnectionLog(int fd, size_t queueLines = kQueueLines);
  // Writes what is queued, then ends the writer.
  ~TConnectionLog();

  TConnectionLog(const TConnectionLog&) = delete;
  TConnectionLog& operator=(const TConnectionLog&) = delete;

  // Any thread; never waits for the disk. A full queue drops the line and counts it; the
  // writer notes the count in the log once it catches up.
  void Add(const TRelayOutcome& outcome) { Write(OutcomeLine(outcome)); }
  void Write(std::string line);
  // Opens the file now (if not open yet) and waits for that: the error text, empty when it can
  // be written. For a command's start, not for the window thread.
  std::string Check();
  // Waits until every line queued before the call is written (tests).
  void Flush();
  uint64_t Dropped() const;
  const std::string& Path() const { return path_; }

 private:
  void Run();
  bool OpenFile();  // writer thread
  void Append(const std::string& text);  // writer thread; rotates first when needed
  void Rotate();

  const std::string path_;  // empty: write to fd_ as given
  const uint64_t rotateBytes_;
  const size_t queueLines_;
  int fd_ = -1;         // writer thread only
  uint64_t size_ = 0;   // writer thread only
  std::string error_;   // guarded by mu_

  mutable std::mutex mu_;
  std::condition_variable wake_;  // to the writer
  std::condition_variable done_;  // from the writer
  std::deque<std::string> queue_;
  uint64_t queued_ = 0;    // lines accepted so far
  uint64_t written_ = 0;   // lines the writer has finished with
  uint64_t dropped_ = 0;
  uint64_t reported_ = 0;  // drops already noted in the log
  bool openWanted_ = false;
  bool openTried_ = false;
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace kova
