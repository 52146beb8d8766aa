#pragma once
// Real proxy servers from Debian's packages, started by tests on free loopback ports.
//
//   std::string error;
//   auto socks = RealProxy::Start(RealProxy::Kind::Microsocks, {"user", "pass"}, &error);
//   ASSERT_TRUE(socks) << error;
//   ... connect through socks->host():socks->portText() to an EchoServer (support/Loopback.h) ...
//
// Each server listens on 127.0.0.1 only, with a temporary configuration, and may relay only to
// loopback. The object stops the server's whole process group and reaps it on destruction.
// A missing binary is an error, never a reason to skip: scripts/setup.sh installs them.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kova::test {

class RealProxy {
 public:
  enum class Kind {
    Microsocks,  // SOCKS 5; user name and password when given
    Dante,       // SOCKS 4 and 5 (it refuses the 4a name form); no authentication
    Tinyproxy,   // HTTP CONNECT; Basic authentication when given
  };
  struct Credentials {
    std::string user;
    std::string password;
  };

  // Starts the server and waits until it accepts connections; nullptr with *error set on failure.
  static std::unique_ptr<RealProxy> Start(Kind kind, const Credentials& credentials = {},
                                          std::string* error = nullptr);
  ~RealProxy();
  RealProxy(const RealProxy&) = delete;
  RealProxy& operator=(const RealProxy&) = delete;

  std::string host() const { return "127.0.0.1"; }
  uint16_t port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }
  // What the server wrote to its standard output and error so far (for failure messages).
  std::string Log() const;

 private:
  RealProxy() = default;
  bool Launch(Kind kind, const Credentials& credentials, std::string* error);
  void Stop();

  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string dir_;  // temporary folder with the configuration and the log
};

}  // namespace kova::test
