#pragma once
// A scripted loopback peer: one connection, exact bytes expected and answered, then silence while
// it records anything more until the client closes, so tests can assert nothing else was sent.

#include <netinet/tcp.h>

#include "support/Loopback.h"

// A socket call's result and the error it leaves (braces: the call runs before LastError is read).
#define EXPECT_RESULT(sock, call, want, error) \
  EXPECT_EQ((std::pair{call, (sock).LastError()}), (std::pair<decltype(call), int>(want, error)))

namespace kova::test {

inline std::string FromHex(std::string hex) {  // "05 01 00" -> three bytes
  std::erase(hex, ' ');
  std::string out;
  for (size_t at = 0; at + 1 < hex.size(); at += 2) out += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
  return out;
}

inline std::string ToHex(const std::string& bytes) {  // three bytes -> "05 01 00"
  std::string out;
  for (unsigned char c : bytes) out.append(out.empty() ? "" : " ").append({"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]});
  return out;
}

class FakePeer {
 public:
  explicit FakePeer(const std::string& hexScript = "") { Script(hexScript); }
  ~FakePeer() { Finish(); }
  // Steps split by '|': "> hex" expect, "< hex" reply, "~ hex" reply a byte at a time (paced so
  // the bytes arrive apart), "x" close here.
  FakePeer& Script(const std::string& hexScript) {
    for (size_t at = 0, bar; at < hexScript.size(); at = bar + 1) {
      bar = std::min(hexScript.find('|', at), hexScript.size());
      const size_t kind = hexScript.find_first_not_of(' ', at);
      if (kind < bar) Step(hexScript[kind], FromHex(hexScript.substr(kind + 1, bar - kind - 1)));
    }
    return *this;
  }
  FakePeer& Step(char kind, const std::string& bytes) { return steps_.emplace_back(kind, bytes), *this; }  // raw bytes
  FakePeer& Expect(const std::string& bytes) { return Step('>', bytes); }
  FakePeer& Reply(const std::string& bytes) { return Step('<', bytes); }
  FakePeer& Start() { return thread_ = std::thread([this] { Run(); }), *this; }
  // Every byte received; equal to Expected() only if the client sent exactly the script's bytes.
  std::string Finish() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }
  std::string Expected() const {
    std::string all;
    for (const auto& [kind, bytes] : steps_) all += kind == '>' ? bytes : "";
    return all;
  }
  const std::string& host() const { return listener_.host(); }
  std::string portText() const { return listener_.portText(); }

 private:
  void Run() {
    UniqueFd conn = listener_.Accept();
    listener_.Close();
    const int one = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // paced single bytes arrive as separate segments
    for (const auto& [kind, bytes] : steps_) {
      if (kind == 'x' || !conn.valid()) return;  // closing over unread input may send a reset
      if (kind == '<') SendAll(conn.get(), bytes);
      for (size_t k = 0; kind == '~' && k < bytes.size(); ++k) {
        SendAll(conn.get(), bytes.substr(k, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
      const std::string got = kind == '>' ? ReadExactly(conn.get(), bytes.size()) : "";
      received_ += got;
      if (kind == '>' && got != bytes) break;  // stop the script, keep recording
    }
    received_ += ReadUntilClosed(conn.get());
  }

  RawListener listener_{"127.0.0.1", 4};
  std::vector<std::pair<char, std::string>> steps_;
  std::thread thread_;
  std::string received_;  // the thread's until Finish joins it
};

}  // namespace kova::test
