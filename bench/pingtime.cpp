// Round-trip time of single requests: one connection, one inline PING at a time, each answer
// read whole before the next request. Prints "P50 P99" in milliseconds with microsecond
// decimals; redis-benchmark's own percentiles come in steps of 8 us, too coarse for what a
// relay adds on loopback. Loopback targets only.
//   pingtime HOST PORT REQUESTS
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool LoopbackAddress(const char* host, sockaddr_storage& out, socklen_t& len) {
  std::memset(&out, 0, sizeof out);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    len = sizeof *v4;
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    len = sizeof *v6;
    return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
  }
  return false;
}

double Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pingtime HOST PORT REQUESTS\n");
    return 2;
  }
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (!LoopbackAddress(argv[1], addr, len)) {
    std::fprintf(stderr, "pingtime: %s is not a loopback address\n", argv[1]);
    return 2;
  }
  const long port = std::strtol(argv[2], nullptr, 10);
  const long count = std::strtol(argv[3], nullptr, 10);
  if (port < 1 || port > 65535 || count < 1 || count > 10000000) {
    std::fprintf(stderr, "pingtime: bad port or count\n");
    return 2;
  }
  reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
  const int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    std::perror("pingtime: connect");
    return 1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  static const char kRequest[] = "PING\r\n";
  static const char kAnswer[] = "+PONG\r\n";
  const size_t answerLength = sizeof kAnswer - 1;
  std::vector<double> times;
  times.reserve(static_cast<size_t>(count));
  char buf[64];
  // The first requests warm the path (and, through a relay, its connection to the server).
  const long warm = std::min(count / 20 + 1, 1000L);
  for (long i = -warm; i < count; ++i) {
    const double start = Now();
    if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kRequest - 1)) {
      std::perror("pingtime: send");
      return 1;
    }
    size_t got = 0;
    while (got < answerLength) {
      const ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
      if (n <= 0) {
        std::fprintf(stderr, "pingtime: connection ended after %ld answers\n", i + warm);
        return 1;
      }
      got += static_cast<size_t>(n);
    }
    if (got != answerLength || std::memcmp(buf, kAnswer, answerLength) != 0) {
      std::fprintf(stderr, "pingtime: unexpected answer\n");
      return 1;
    }
    if (i >= 0) times.push_back(Now() - start);
  }
  close(fd);
  std::sort(times.begin(), times.end());
  auto at = [&](double q) { return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))]; };
  std::printf("%.4f %.4f\n", at(0.50) * 1e3, at(0.99) * 1e3);
  return 0;
}
