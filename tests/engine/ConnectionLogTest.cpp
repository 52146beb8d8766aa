// The connection log: rotation under a burst from several threads, a writer that never holds up
// its callers, and where the log lives by default.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "engine/ConnectionLog.h"

namespace kova::test {
namespace {

struct TTempDir {
  std::string path = [] {
    char name[] = "/tmp/kova-log-XXXXXX";
    return std::string(::mkdtemp(name));
  }();
  ~TTempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

TEST(ConnectionLog, RotatesKeepingThreeOlderFilesWithEveryLineWhole) {
  TTempDir dir;
  const std::string path = dir.path + "/state/kova/connections.log";  // folders made on demand
  constexpr int kThreads = 4, kLines = 200;
  constexpr uint64_t kLimit = 1000;
  {
    TConnectionLog log(path, kLimit);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) log.Write("t" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(40, 'x'));
      });
    for (auto& w : writers) w.join();
    log.Flush();
    EXPECT_EQ(log.Dropped(), 0u);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "addresses and user names stay private";
  ASSERT_EQ(::stat((dir.path + "/state/kova").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(Exists(path + ".4"));

  // Oldest to newest, the files hold the last lines written: a thread that shows up at all shows
  // every line from its first kept one to its very last, in order; each file is within the limit
  // and a rotated one is full.
  std::map<int, int> last;
  const std::regex whole("t([0-9]) ([0-9]+) x{40}");
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) {
    const std::string text = ReadFile(name);
    EXPECT_GT(text.size(), 0u) << name;
    EXPECT_LE(text.size(), kLimit) << name;
    if (name != path) {
      EXPECT_GT(text.size(), kLimit - 50) << name;
    }
    EXPECT_EQ(text.back(), '\n') << name;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, whole)) << name << ": " << line;
      const int t = std::stoi(m[1]), i = std::stoi(m[2]);
      if (last.count(t)) {
        EXPECT_EQ(i, last[t] + 1) << line;
      }
      last[t] = i;
    }
  }
  EXPECT_FALSE(last.empty());
  for (const auto& [t, i] : last) EXPECT_EQ(i, kLines - 1) << "thread " << t;

  // A new log counts what the live file already holds: a line that no longer fits rotates first.
  const std::string before = ReadFile(path);
  {
    TConnectionLog log(path, kLimit);
    EXPECT_EQ(log.Check(), "");
    log.Write(std::string(kLimit - before.size(), 'y'));
  }
  EXPECT_EQ(ReadFile(path + ".1"), before);
  EXPECT_EQ(ReadFile(path), std::string(kLimit - before.size(), 'y') + "\n");

  // A log that cannot be opened says why.
  TConnectionLog blocked(path + "/under-a-file.log");
  EXPECT_NE(blocked.Check().find("Not a directory"), std::string::npos) << blocked.Check();
}

TEST(ConnectionLog, AStuckDiskDropsLinesInsteadOfBlockingTheCaller) {
  TTempDir dir;
  const std::string fifo = dir.path + "/stuck";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr int kLines = 25;
  constexpr size_t kQueue = 10;
  auto log = std::make_unique<TConnectionLog>(fifo, TConnectionLog::kRotateBytes, kQueue);
  // The writer blocks opening a pipe nobody reads; the callers must go on all the same.
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) log->Write("line " + std::to_string(i));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  const uint64_t dropped = log->Dropped();
  EXPECT_GE(dropped, kLines - 2 * kQueue) << "at most one batch in hand and one queue full";

  const int reader = ::open(fifo.c_str(), O_RDONLY);  // meets the writer's open
  ASSERT_GE(reader, 0);
  log.reset();  // writes what it holds, then closes
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(reader);
  std::istringstream lines(got);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), kLines - dropped + 1) << got;
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](const std::string& l) {
              return l.find(" connection log: " + std::to_string(dropped) + " lines dropped") != std::string::npos;
            }), 1) << got;
}

TEST(ConnectionLog, DefaultPathFollowsTheStateFolder) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  const char* saved = std::getenv("XDG_STATE_HOME");
  const std::string keep = saved ? saved : "";
  // {XDG_STATE_HOME (nullptr: unset), expected}; a relative value is ignored, as the base-directory rule asks.
  const std::pair<const char*, std::string> rows[] = {
      {"/var/tmp/st", "/var/tmp/st/kova/connections.log"},
      {"relative/st", home + "/.local/state/kova/connections.log"},
      {nullptr, home + "/.local/state/kova/connections.log"},
  };
  for (const auto& [state, expected] : rows) {
    if (state) {
      ::setenv("XDG_STATE_HOME", state, 1);
    } else {
      ::unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(DefaultConnectionLogPath(), expected) << (state ? state : "unset");
  }
  if (saved) ::setenv("XDG_STATE_HOME", keep.c_str(), 1);
  else ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace kova::test
