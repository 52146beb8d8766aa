#pragma once
// A scripted peer on loopback: it accepts one connection, checks that the client sends exactly
// the expected bytes, answers exactly the scripted bytes, then stays silent and records anything
// more until the client closes, so a test can assert that nothing else was sent.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "support/Loopback.h"

namespace kova::test {

inline std::string FromHex(const std::string& hex) {  // "05 01 00" -> three bytes
  std::string out, pair;
  for (char c : hex) {
    if (c != ' ') pair += c;
    if (pair.size() == 2) out += static_cast<char>(std::strtoul(pair.c_str(), nullptr, 16));
    if (pair.size() == 2) pair.clear();
  }
  return out;
}

inline std::string ToHex(const std::string& bytes) {  // three bytes -> "05 01 00"
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) out += (std::snprintf(buf, sizeof buf, " %02X", c), buf);
  return out.empty() ? out : out.substr(1);
}

class FakePeer {
  template <class F>
  auto Locked(F f) const {
    std::lock_guard lock(mu_);
    return f();
  }

 public:
  explicit FakePeer(const std::string& hexScript = "") { Script(hexScript); }
  ~FakePeer() { Finish(); }
  // Steps split by '|': "> hex" expect, "< hex" reply, "~ hex" reply a byte at a time (paced so
  // the bytes arrive apart), "x" close here.
  FakePeer& Script(const std::string& hexScript) {
    for (size_t at = 0; at < hexScript.size();) {
      const size_t bar = std::min(hexScript.find('|', at), hexScript.size());
      const size_t kind = hexScript.find_first_not_of(' ', at);
      if (kind < bar) Add(hexScript[kind], FromHex(hexScript.substr(kind + 1, bar - kind - 1)));
      at = bar + 1;
    }
    return *this;
  }
  FakePeer& Expect(const std::string& bytes) { return Add('>', bytes); }
  FakePeer& Reply(const std::string& bytes) { return Add('<', bytes); }
  FakePeer& ReplyBytewise(const std::string& bytes) { return Add('~', bytes); }
  FakePeer& CloseNow() { return Add('x', ""); }
  FakePeer& StepTimeout(int ms) {
    stepTimeoutMs_ = ms;
    return *this;
  }
  FakePeer& Start() {
    thread_ = std::thread([this] { Run(); });
    return *this;
  }
  bool Finish() {  // joins the script; false when no client connected
    if (thread_.joinable()) thread_.join();
    return Locked([&] { return accepted_; });
  }
  const std::string& host() const { return listener_.host(); }
  std::string portText() const { return listener_.portText(); }
  std::string Received() const { return Locked([&] { return received_; }); }
  std::string Mismatch() const { return Locked([&] { return mismatch_; }); }
  std::string Expected() const {  // all bytes the script expects
    std::string all;
    for (const auto& [kind, bytes] : steps_) all += kind == '>' ? bytes : "";
    return all;
  }

 private:
  FakePeer& Add(char kind, const std::string& bytes) {
    steps_.emplace_back(kind, bytes);
    return *this;
  }
  void Run() {
    UniqueFd conn = listener_.Accept(stepTimeoutMs_);
    listener_.Close();
    if (!conn.valid()) return;
    Locked([&] { return accepted_ = true; });
    // Without coalescing, paced single-byte sends reach the client as separate segments.
    const int one = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (size_t i = 0; i < steps_.size(); ++i) {
      const auto& [kind, bytes] = steps_[i];
      if (kind == 'x') return;  // closing over unread input: the client may see a reset
      if (kind == '<') SendAll(conn.get(), bytes);
      for (size_t k = 0; kind == '~' && k < bytes.size(); ++k) {
        SendAll(conn.get(), bytes.substr(k, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
      const std::string got = kind == '>' ? ReadExactly(conn.get(), bytes.size(), stepTimeoutMs_) : bytes;
      Locked([&] { return received_ += kind == '>' ? got : ""; });
      if (got == bytes) continue;
      Locked([&] { return mismatch_ = "step " + std::to_string(i) + ": expected [" + ToHex(bytes) + "] got [" + ToHex(got) + "]"; });
      break;  // stop the script, keep recording
    }
    const std::string rest = ReadUntilClosed(conn.get(), stepTimeoutMs_);
    Locked([&] { return received_ += rest; });
  }

  RawListener listener_{"127.0.0.1", 4};
  std::vector<std::pair<char, std::string>> steps_;
  int stepTimeoutMs_ = 5000;
  std::thread thread_;
  mutable std::mutex mu_;
  std::string received_, mismatch_;
  bool accepted_ = false;
};

}  // namespace kova::test
