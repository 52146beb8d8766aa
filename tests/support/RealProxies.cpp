#include "support/RealProxies.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace kova::test {

namespace {

using Clock = std::chrono::steady_clock;

// A port the system just handed out on loopback; the server binds it a moment later, and a
// lost race shows up as the server exiting, which Start answers with another attempt.
uint16_t PickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// True once `pid` holds a socket listening on 127.0.0.1:port. Checking the owner, not just that
// something accepts there, keeps a test from talking to another test's server on a reused port.
bool ListensOn(pid_t pid, uint16_t port) {
  char local[32];
  std::snprintf(local, sizeof local, "%08X:%04X", static_cast<unsigned>(htonl(INADDR_LOOPBACK)),
                static_cast<unsigned>(port));
  std::ifstream table("/proc/net/tcp");
  std::string line, inode;
  std::getline(table, line);  // header
  while (inode.empty() && std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, skip;
    fields >> slot >> address >> remote >> state;
    if (address != local || state != "0A") continue;  // 0A = listening
    for (int i = 0; i < 5; ++i) fields >> skip;       // queues, timer, retransmits, uid, timeout
    fields >> inode;
  }
  if (inode.empty()) return false;
  const std::string wanted = "socket:[" + inode + "]";
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(fdDir.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* e = ::readdir(dir)) {
    char target[64] = {};
    const std::string path = fdDir + "/" + e->d_name;
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0 && wanted == std::string(target, static_cast<size_t>(n))) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::trunc);
  f << text;
  return static_cast<bool>(f);
}

const char* BinaryOf(RealProxy::Kind kind) {
  switch (kind) {
    case RealProxy::Kind::Microsocks:
      return "/usr/bin/microsocks";
    case RealProxy::Kind::Dante:
      return "/usr/sbin/danted";
    case RealProxy::Kind::Tinyproxy:
      return "/usr/bin/tinyproxy";
  }
  return "";
}

}  // namespace

std::unique_ptr<RealProxy> RealProxy::Start(Kind kind, const Credentials& credentials,
                                            std::string* error) {
  std::string why;
  const char* binary = BinaryOf(kind);
  if (::access(binary, X_OK) != 0) {
    why = std::string(binary) + " is missing: run scripts/setup.sh to install the test proxies";
  } else {
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::unique_ptr<RealProxy> proxy(new RealProxy());
      if (proxy->Launch(kind, credentials, &why)) return proxy;
    }
  }
  if (error) *error = why;
  return nullptr;
}

bool RealProxy::Launch(Kind kind, const Credentials& credentials, std::string* error) {
  char dirTemplate[] = "/tmp/kova-proxy-XXXXXX";
  if (!::mkdtemp(dirTemplate)) {
    *error = "cannot create a temporary folder";
    return false;
  }
  dir_ = dirTemplate;
  ::chmod(dir_.c_str(), 0755);  // the servers drop to an unprivileged user when run as root
  port_ = PickFreePort();
  const std::string conf = dir_ + "/proxy.conf";
  const std::string port = std::to_string(port_);
  const bool root = ::geteuid() == 0;

  std::vector<std::string> args;
  std::string text;
  switch (kind) {
    case Kind::Microsocks:
      args = {BinaryOf(kind), "-i", "127.0.0.1", "-p", port};
      if (!credentials.user.empty())
        args.insert(args.end(), {"-u", credentials.user, "-P", credentials.password});
      break;
    case Kind::Dante:
      text =
          "logoutput: stderr\n"
          "internal: 127.0.0.1 port = " +
          port +
          "\n"
          "external: lo\n"
          "clientmethod: none\n"
          "socksmethod: none\n";
      if (root) text += "user.privileged: root\nuser.unprivileged: nobody\n";
      // Relaying only to loopback keeps every test connection on this machine.
      text +=
          "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
          "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
      args = {BinaryOf(kind), "-f", conf, "-N", "1"};
      break;
    case Kind::Tinyproxy:
      text = "Port " + port +
             "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 20\n"
             "DisableViaHeader Yes\nLogLevel Info\n";
      if (root) text += "User nobody\nGroup nogroup\n";
      if (!credentials.user.empty())
        text += "BasicAuth " + credentials.user + " " + credentials.password + "\n";
      args = {BinaryOf(kind), "-d", "-c", conf};
      break;
  }
  if (!text.empty() && !WriteFile(conf, text)) {
    *error = "cannot write " + conf;
    return false;
  }

  const std::string log = dir_ + "/output.log";
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Own process group, so Stop reaches the server's helper processes too; no inherited
    // descriptors, so a test's sockets never stay open inside the server.
    ::setpgid(0, 0);
    ::dup2(nullFd, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (logFd >= 0) ::close(logFd);
  if (nullFd >= 0) ::close(nullFd);
  if (pid < 0) {
    *error = "fork failed";
    return false;
  }
  pid_ = pid;
  ::setpgid(pid, pid);  // also from this side, so a kill right after fork hits the group

  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = std::string(argv[0]) + " exited during start-up: " + Log();
      return false;
    }
    if (ListensOn(pid_, port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *error = std::string(argv[0]) + " did not accept connections within 15 s: " + Log();
  return false;
}

std::string RealProxy::Log() const {
  std::ifstream f(dir_ + "/output.log");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

RealProxy::~RealProxy() { Stop(); }

void RealProxy::Stop() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool reaped = false;
    while (!reaped && Clock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
        reaped = true;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid_, SIGKILL);  // stragglers of the group, or the server itself if it hung
    if (!reaped) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (!dir_.empty()) {
    ::unlink((dir_ + "/proxy.conf").c_str());
    ::unlink((dir_ + "/output.log").c_str());
    ::rmdir(dir_.c_str());
    dir_.clear();
  }
}

}  // namespace kova::test
