#pragma once
// Real proxy servers from Debian's packages on free loopback ports, relaying only to loopback.
// A missing binary is an error, never a reason to skip (scripts/setup.sh installs them).

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/Loopback.h"

namespace kova::test {

class RealProxy {
 public:
  // SOCKS 5 with optional user and password; SOCKS 4 and 5; HTTP CONNECT with optional Basic.
  enum class Kind { Microsocks, Dante, Tinyproxy };
  struct Credentials { std::string user, password; };

  // Waits until the server listens; nullptr with *error set on failure.
  static std::unique_ptr<RealProxy> Start(Kind kind, const Credentials& credentials = {}, std::string* error = nullptr) {
    const char* binary = kind == Kind::Microsocks ? "/usr/bin/microsocks" : kind == Kind::Dante ? "/usr/sbin/danted" : "/usr/bin/tinyproxy";
    std::string why = std::string(binary) + " is missing: run scripts/setup.sh";
    // The port is picked before the server binds it; a lost race ends in another attempt.
    for (int attempt = 0; attempt < 3 && ::access(binary, X_OK) == 0; ++attempt)
      if (std::unique_ptr<RealProxy> proxy(new RealProxy()); proxy->Launch(binary, kind, credentials, &why)) return proxy;
    if (error) *error = why;
    return nullptr;
  }

  ~RealProxy() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      const bool reaped = WaitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; });
      ::kill(-pid_, SIGKILL);  // stragglers of the group, or the server itself if it hung
      if (!reaped) ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Text() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  static std::string Read(const std::string& path) { return (std::ostringstream() << std::ifstream(path).rdbuf()).str(); }
  // True once our server owns a socket listening on 127.0.0.1:port_. Checking the owner, not
  // just that something accepts, keeps a test from using another test's server on a reused port.
  bool Listening() const {
    char row[80];  // the table's row of a listening (0A) socket there; its inode five fields on
    std::snprintf(row, sizeof row, " 0100007F:%04X [0-9A-F:]+ 0A(?: +\\S+){5} +([0-9]+)", static_cast<unsigned>(port_));
    std::smatch inode;
    const std::string table = Read("/proc/net/tcp");
    if (!std::regex_search(table, inode, std::regex(row))) return false;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec))
      if (std::filesystem::read_symlink(e.path(), ec) == "socket:[" + inode[1].str() + "]") return true;
    return false;
  }

  bool Launch(const char* binary, Kind kind, const Credentials& c, std::string* error) {
    char dirTemplate[] = "/tmp/kova-proxy-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate) ? dirTemplate : "/dev/null/none";  // no folder: every write fails
    ::chmod(dir_.c_str(), 0755);  // the servers drop to an unprivileged user when run as root
    port_ = RawListener().port();
    const std::string conf = dir_ + "/proxy.conf", port = std::to_string(port_);
    const bool root = ::geteuid() == 0;
    std::vector<std::string> args{binary};
    if (kind == Kind::Microsocks) {
      args.insert(args.end(), {"-i", "127.0.0.1", "-p", port});
      if (!c.user.empty()) args.insert(args.end(), {"-u", c.user, "-P", c.password});
    } else if (kind == Kind::Dante) {
      std::ofstream(conf) << "logoutput: stderr\ninternal: 127.0.0.1 port = " << port
                          << "\nexternal: lo\nclientmethod: none\nsocksmethod: none\n"
                          << (root ? "user.privileged: root\nuser.unprivileged: nobody\n" : "")
                          << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                             "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
      args.insert(args.end(), {"-f", conf, "-N", "1"});
    } else {
      std::ofstream(conf) << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
                          << "MaxClients 20\nDisableViaHeader Yes\nLogLevel Info\n"
                          << (root ? "User nobody\nGroup nogroup\n" : "")
                          << (c.user.empty() ? "" : "BasicAuth " + c.user + " " + c.password + "\n");
      args.insert(args.end(), {"-d", "-c", conf});
    }
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return a.data(); });
    const std::string logPath = dir_ + "/output.log";  // made before the fork: the child must not allocate
    pid_ = ::fork();
    if (pid_ == 0) {
      // Own process group, so the destructor reaches helpers; no test socket stays open inside.
      ::setpgid(0, 0);
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open(logPath.c_str(), O_WRONLY | O_CREAT, 0644), 1), ::dup2(1, 2);
      ::syscall(SYS_close_range, 3U, ~0U, 0U);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);  // also from this side, so an early kill hits the group
    bool exited = pid_ < 0;
    const auto endedOrUp = [&] { return (exited = exited || ::waitpid(pid_, nullptr, WNOHANG) == pid_) || Listening(); };
    if (WaitUntil(endedOrUp, std::chrono::seconds(15)) && !exited) return true;
    if (exited) pid_ = -1;
    *error = args[0] + (exited ? " failed to start: " : " did not listen within 15 s: ") + Read(logPath);
    return false;
  }

  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string dir_;  // temporary folder with the configuration and the log
};

}  // namespace kova::test
