// The HTTP CONNECT client reading a proxy's answer through the real socket code: a loopback peer
// accepts the client's connection, writes the fuzzer's bytes (after the first) and shuts down its
// sending side, so the client's reads end at once; the request it sent is read away.
// First byte: bit 0 with user name and password, bits 1-2 the target kind, bit 3 a SOCKS 5
// exchange follows inside an open tunnel (the two-proxy chain), reading the bytes after the header.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "FuzzCheck.h"
#include "net/BlockSocket.h"

namespace {

class TFuzzSocket : public kova::TTCPBlockSocket {
 public:
  using TTCPBlockSocket::SocksConnectExchange;
};

constexpr int kPeerWaitMs = 5000;  // only a broken run takes this long

// The one listener of the process, on loopback; its port is read back.
int Listener(std::string& port) {
  static int fd = -1;
  static std::string portText;
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    FUZZ_CHECK(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               ::listen(fd, 4) == 0 &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    FUZZ_CHECK(a.sin_addr.s_addr == htonl(INADDR_LOOPBACK));  // never anything but loopback
    portText = std::to_string(ntohs(a.sin_port));
  }
  port = portText;
  return fd;
}

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kPeerWaitMs) == 1;
}

void Serve(int listener, const std::string& answer) {
  FUZZ_CHECK(WaitReadable(listener));
  const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  FUZZ_CHECK(c >= 0);
  for (size_t done = 0; done < answer.size();) {
    const ssize_t n = ::send(c, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::shutdown(c, SHUT_WR);
  // Until the client closes its side, so the reset below never cuts into its exchange.
  char sink[4096];
  while (WaitReadable(c) && ::recv(c, sink, sizeof sink, 0) > 0) {
  }
  // A reset leaves no TIME_WAIT behind: millions of runs would otherwise use up the ports.
  const linger reset{1, 0};
  ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 80 * 1024) return 0;  // room for an answer past the header bounds
  const uint8_t mode = data[0];
  std::string port;
  const int listener = Listener(port);
  std::thread peer(Serve, listener, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));

  static const std::string kHosts[] = {"192.0.2.1", "2001:db8::1", "target.example", "cafe"};
  const std::string& host = kHosts[(mode >> 1) & 3];
  TFuzzSocket s;
  s.TunnelProxyHost = "127.0.0.1";
  s.TunnelProxyPort = port;
  s.TunnelTimeout = 200;
  if (mode & 1) {
    s.TunnelUser = "user";
    s.TunnelPassword = "pw";
  }
  s.ConnectViaTunnel(host, "80");
  FUZZ_CHECK(s.TunnelTargetPort() == "80");
  FUZZ_CHECK(s.TunnelTargetHost() == (host.find(':') != std::string::npos ? "[" + host + "]" : host));
  if (s.LastError() == 0) FUZZ_CHECK(s.TunnelOpen());
  if (s.LastError() == 0 && (mode & 8)) {
    s.SocksTimeout = 200;
    s.SocksConnectExchange(host, "80");
    if (s.LastError() == 0) FUZZ_CHECK(s.SocksActive() && s.RemotePort() == 80);
  }
  s.Close();
  peer.join();
  return 0;
}
