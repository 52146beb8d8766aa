#include "engine/ConnectionLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kova {

std::string DefaultConnectionLogPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  if (state && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.local/state";
  }
  return base + "/kova/connections.log";
}

namespace {

// Every missing folder of `path` up to its last '/', private to the user.
int MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DropNote(uint64_t count) {
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
  return std::string(stamp) + " connection log: " + std::to_string(count) +
         " lines dropped while the writer fell behind";
}

}  // namespace

TConnectionLog::TConnectionLog(std::string path, uint64_t rotateBytes, size_t queueLines)
    : path_(std::move(path)), rotateBytes_(rotateBytes), queueLines_(queueLines) {
  writer_ = std::thread([this] { Run(); });
}

TConnectionLog::TConnectionLog(int fd, size_t queueLines) : rotateBytes_(0), queueLines_(queueLines), fd_(fd) {
  writer_ = std::thread([this] { Run(); });
}

TConnectionLog::~TConnectionLog() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
  if (!path_.empty() && fd_ >= 0) ::close(fd_);
}

void TConnectionLog::Write(std::string line) {
  {
    std::lock_guard lock(mu_);
    if (queue_.size() >= queueLines_) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(line));
    ++queued_;
  }
  wake_.notify_one();
}

std::string TConnectionLog::Check() {
  std::unique_lock lock(mu_);
  openWanted_ = true;
  wake_.notify_one();
  done_.wait(lock, [&] { return openTried_; });
  return error_;
}

void TConnectionLog::Flush() {
  std::unique_lock lock(mu_);
  const uint64_t target = queued_;
  done_.wait(lock, [&] { return written_ >= target; });
}

uint64_t TConnectionLog::Dropped() const {
  std::lock_guard lock(mu_);
  return dropped_;
}

void TConnectionLog::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || !queue_.empty() || (openWanted_ && !openTried_); });
    if (queue_.empty() && stop_) break;
    std::deque<std::string> batch;
    batch.swap(queue_);
    const uint64_t drops = dropped_ - reported_;
    reported_ = dropped_;
    lock.unlock();

    const bool open = OpenFile();
    if (open && drops) Append(DropNote(drops));
    for (const std::string& line : batch)
      if (open) Append(line);

    lock.lock();
    written_ += batch.size();
    openTried_ = true;
    done_.notify_all();
  }
}

bool TConnectionLog::OpenFile() {
  if (fd_ >= 0) return true;
  std::string error;
  int code = MakeParents(path_);
  if (!code) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd_ < 0) code = errno;
    else size_ = ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  std::lock_guard lock(mu_);
  error_ = code ? "cannot open " + path_ + ": " + std::strerror(code) : "";
  return fd_ >= 0;
}

void TConnectionLog::Append(const std::string& line) {
  const std::string text = line + '\n';
  // A line never straddles two files; one longer than the limit gets a file of its own.
  if (!path_.empty() && size_ > 0 && size_ + text.size() > rotateBytes_) Rotate();
  if (fd_ < 0) return;
  if (!WriteAll(fd_, text)) {
    const int code = errno;
    std::lock_guard lock(mu_);
    error_ = "cannot write " + (path_.empty() ? std::string("the log") : path_) + ": " + std::strerror(code);
    return;
  }
  size_ += text.size();
}

void TConnectionLog::Rotate() {
  ::close(fd_);
  fd_ = -1;
  for (int i = kRotatedFiles - 1; i >= 1; --i)
    ::rename((path_ + "." + std::to_string(i)).c_str(), (path_ + "." + std::to_string(i + 1)).c_str());
  ::rename(path_.c_str(), (path_ + ".1").c_str());
  size_ = 0;
  OpenFile();
}

}  // namespace kova
