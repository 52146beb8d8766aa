// The SOCKS 4/5 client reading a proxy's answers through the real socket code: the fuzzer's bytes
// (after the first) are all the proxy says, written into the far end of a socket pair that is then
// shut down, so every read ends at once and a run never waits out a time-out.
// First byte: bit 0 SOCKS 4, bit 1 with user name and password, bits 2-3 the target kind,
// bit 4 a second reply follows, read as the accept after a listen at the proxy reads it.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "net/BlockSocket.h"

namespace {

class TFuzzSocket : public kova::TTCPBlockSocket {
 public:
  using TTCPBlockSocket::SocksAccept;
  using TTCPBlockSocket::SocksConnectExchange;
};

bool IsDecimal(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  // The pair buffers far more than 4 KiB, so this write never blocks.
  FUZZ_CHECK(::send(fds[1], data + 1, size - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(size - 1));
  ::shutdown(fds[1], SHUT_WR);

  const uint8_t mode = data[0];
  static const std::string kHosts[] = {"192.0.2.1", "2001:db8::1", "target.example", "cafe"};
  const std::string& host = kHosts[(mode >> 2) & 3];
  TFuzzSocket s;
  s.AdoptHandle(fds[0]);
  s.SocksVersion = mode & 1 ? kova::TSocksType::Socks4 : kova::TSocksType::Socks5;
  if (mode & 2) {
    s.SocksUser = "user";
    s.SocksPassword = "pw";
  }
  s.SocksTimeout = 50;
  s.SocksConnectExchange(host, "80");
  if (s.LastError() == 0) {
    FUZZ_CHECK(s.SocksActive());
    FUZZ_CHECK(IsDecimal(s.SocksReplyPort()) && s.LocalPort() <= 65535);
    FUZZ_CHECK(s.RemoteAddressText() == host && s.RemotePort() == 80);
    if (mode & 16) {
      const int handle = s.SocksAccept();
      FUZZ_CHECK((handle >= 0) == (s.LastError() == 0));
      if (handle >= 0) FUZZ_CHECK(IsDecimal(s.SocksTargetPort()));
    }
  }
  s.Close();
  ::close(fds[1]);
  return 0;
}
