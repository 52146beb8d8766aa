#include "AccessOptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kova::relay {
namespace {

// Reads a whole small file; "" or the reason it could not be read.
std::string ReadFile(const std::string& path, std::string& bytes, struct stat* info = nullptr) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  struct stat st{};
  // A pipe too, so that `--password-file <(a password manager's output)` works.
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
    ::close(fd);
    return path + ": not a file";
  }
  if (info) *info = st;
  bytes.clear();
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || bytes.size() > (1u << 20)) {
      ::close(fd);
      return n < 0 ? "cannot read " + path + ": " + std::strerror(errno) : path + ": larger than 1 MiB";
    }
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return "";
}

}  // namespace

std::string AddAllowEntries(TAllowList& list, const std::string& value) {
  std::string bad;
  if (list.Add(value, bad)) return "";
  return "--allow: invalid entry '" + bad + "' (expected an IPv4 or IPv6 address or a CIDR range)";
}

std::string AddAllowFile(TAllowList& list, const std::string& path) {
  std::string text;
  if (std::string error = ReadFile(path, text); !error.empty()) return "--allow-file: " + error;
  std::string bad;
  if (list.Add(text, bad)) return "";
  return "--allow-file: " + path + ": invalid entry '" + bad + "' (expected an IPv4 or IPv6 address or a CIDR range)";
}

std::string ReadPasswordFile(const std::string& path, std::string& password) {
  std::string bytes;
  struct stat st{};
  if (std::string error = ReadFile(path, bytes, &st); !error.empty()) return "--password-file: " + error;
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    std::fill(bytes.begin(), bytes.end(), '\0');
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "--password-file: " + path + " can be read by other users (mode " + mode + "); chmod 600 it";
  }
  const size_t end = bytes.find('\n');
  password.assign(bytes, 0, end);
  if (end != std::string::npos && !password.empty() && password.back() == '\r') password.pop_back();
  std::fill(bytes.begin(), bytes.end(), '\0');
  return "";
}

bool PasswordFromEnvironment(std::string& password) {
  const char* value = std::getenv(kPasswordEnvironment);
  if (!value) return false;
  password = value;
  return true;
}

void WipeArgument(char* argument) {
  if (argument) std::memset(argument, 'x', std::strlen(argument));
}

}  // namespace kova::relay
