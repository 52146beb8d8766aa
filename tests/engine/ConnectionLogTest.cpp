// The connection log: rotation under a burst from several threads, a writer that never holds up
// its callers, and where the log lives by default.

#include <sys/stat.h>

#include <map>
#include <regex>
#include <sstream>

#include "RelayHarness.h"
#include "engine/ConnectionLog.h"

namespace kova::test {
namespace {

namespace fs = std::filesystem;

struct TTempDir {
  std::string path = [] { return std::string(::mkdtemp(std::string("/tmp/kova-log-XXXXXX").data())); }();
  ~TTempDir() { fs::remove_all(path); }
};

std::string ReadFile(const std::string& path) { return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str(); }

TEST(ConnectionLog, RotatesWholeLinesNeverBlocksItsCallersAndFollowsTheStateFolder) {
  TTempDir dir;
  const std::string path = dir.path + "/state/kova/connections.log";  // folders made on demand
  constexpr int kThreads = 4, kLines = 200;
  constexpr uint64_t kLimit = 1000;
  {
    TConnectionLog log(path, kLimit);
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) log.Write("t" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(40, 'x'));
      });
    writers.clear();
    log.Flush();
    EXPECT_EQ(log.Dropped(), 0u);
  }
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600)) << "addresses and user names stay private";
  EXPECT_EQ(fs::status(dir.path + "/state/kova").permissions(), fs::perms(0700));
  EXPECT_FALSE(fs::exists(path + ".4"));

  // Oldest to newest, the files hold the last lines written: a thread that shows up at all shows
  // every line from its first kept one to its very last, in order; each file is within the limit
  // and a rotated one is full.
  std::map<int, int> last;
  const std::regex whole("t([0-9]) ([0-9]+) x{40}");
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) {
    const std::string text = ReadFile(name);
    EXPECT_TRUE(text.size() <= kLimit && text.size() > (name == path ? 0 : kLimit - 50)) << name << text.size();
    EXPECT_TRUE(text.ends_with('\n')) << name;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, whole)) << name << ": " << line;
      const int t = std::stoi(m[1]), i = std::stoi(m[2]);
      EXPECT_TRUE(!last.count(t) || i == last[t] + 1) << line;
      last[t] = i;
    }
  }
  for (const auto& [t, i] : last) EXPECT_EQ(i, kLines - 1) << "thread " << t;

  // A new log counts what the live file already holds: a line that no longer fits rotates first.
  const std::string before = ReadFile(path), fill(kLimit - before.size(), 'y');
  {
    TConnectionLog log(path, kLimit);
    EXPECT_EQ(log.Check(), "");
    log.Write(fill);
  }
  EXPECT_EQ(ReadFile(path + ".1"), before);
  EXPECT_EQ(ReadFile(path), fill + "\n");

  TConnectionLog blocked(path + "/under-a-file.log");  // cannot be opened, says why
  EXPECT_NE(blocked.Check().find("Not a directory"), std::string::npos) << blocked.Check();

  // A stuck disk: the writer blocks opening a pipe nobody reads; the callers go on, lines dropped.
  const std::string fifo = dir.path + "/stuck";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr int kStuck = 25;
  constexpr size_t kQueue = 10;
  auto stuck = std::make_unique<TConnectionLog>(fifo, TConnectionLog::kRotateBytes, kQueue);
  EXPECT_LT(Took([&] { for (int i = 0; i < kStuck; ++i) stuck->Write("line " + std::to_string(i)); }), 2s);
  const uint64_t dropped = stuck->Dropped();
  EXPECT_GE(dropped, kStuck - 2 * kQueue) << "at most one batch in hand and one queue full";

  std::ifstream reader(fifo);  // meets the writer's open
  stuck.reset();               // writes what it holds, then closes
  const std::string got = (std::ostringstream() << reader.rdbuf()).str();
  // Every line kept, and drops noted once each (a writer slow to start drops in two spells).
  uint64_t kept = 0, noted = 0;
  std::istringstream lines(got);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(" connection log: ");
    if (at == std::string::npos) ++kept;
    else noted += std::stoull(line.substr(at + 17));
  }
  EXPECT_EQ(std::pair(kept, noted), std::pair(kStuck - dropped, dropped)) << got;

  // Where the log lives by default.
  const char* saved = std::getenv("XDG_STATE_HOME");
  const std::string keep = saved ? saved : "", home = std::getenv("HOME") ? std::getenv("HOME") : "";
  // {XDG_STATE_HOME (nullptr: unset), folder}; a relative value is ignored, as the base-directory rule asks.
  const std::pair<const char*, std::string> rows[] = {
      {"/var/tmp/st", "/var/tmp/st"}, {"relative/st", home + "/.local/state"}, {nullptr, home + "/.local/state"}};
  for (const auto& [state, folder] : rows) {
    state ? ::setenv("XDG_STATE_HOME", state, 1) : ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(DefaultConnectionLogPath(), folder + "/kova/connections.log") << (state ? state : "unset");
  }
  saved ? ::setenv("XDG_STATE_HOME", keep.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace kova::test
