#include "support/FakePeer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdio>

namespace kova::test {

std::string FromHex(const std::string& hex) {
  std::string out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const unsigned v =
        std::isdigit(static_cast<unsigned char>(c))
            ? static_cast<unsigned>(c - '0')
            : static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    value = value * 16 + (v & 15);
    if (++nibbles == 2) {
      out += static_cast<char>(value);
      nibbles = 0;
      value = 0;
    }
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", c);
    out += buf;
  }
  return out;
}

FakePeer::FakePeer(const std::string& host) : listener_(host, 4) {}

FakePeer::~FakePeer() {
  if (thread_.joinable()) thread_.join();
}

FakePeer& FakePeer::Expect(const std::string& bytes) {
  steps_.push_back({Step::kExpect, bytes});
  return *this;
}
FakePeer& FakePeer::Reply(const std::string& bytes) {
  steps_.push_back({Step::kReply, bytes});
  return *this;
}
FakePeer& FakePeer::ReplyBytewise(const std::string& bytes) {
  steps_.push_back({Step::kReplyBytewise, bytes});
  return *this;
}
FakePeer& FakePeer::CloseNow() {
  steps_.push_back({Step::kClose, {}});
  return *this;
}
FakePeer& FakePeer::StepTimeout(int ms) {
  stepTimeoutMs_ = ms;
  return *this;
}

void FakePeer::Start() {
  thread_ = std::thread([this] { Run(); });
}

bool FakePeer::Finish() {
  if (thread_.joinable()) thread_.join();
  return Accepted();
}

std::string FakePeer::Received() const {
  std::lock_guard lock(mu_);
  return received_;
}
std::string FakePeer::Mismatch() const {
  std::lock_guard lock(mu_);
  return mismatch_;
}
bool FakePeer::Accepted() const {
  std::lock_guard lock(mu_);
  return accepted_;
}

void FakePeer::AddReceived(const std::string& bytes) {
  std::lock_guard lock(mu_);
  received_ += bytes;
}

void FakePeer::Run() {
  UniqueFd conn = listener_.Accept(stepTimeoutMs_);
  listener_.Close();
  if (!conn.valid()) return;
  {
    std::lock_guard lock(mu_);
    accepted_ = true;
  }
  // Without coalescing, paced single-byte sends reach the client as separate segments.
  const int one = 1;
  ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  for (size_t i = 0; i < steps_.size(); ++i) {
    const Step& step = steps_[i];
    switch (step.kind) {
      case Step::kExpect: {
        const std::string got = ReadExactly(conn.get(), step.bytes.size(), stepTimeoutMs_);
        AddReceived(got);
        if (got != step.bytes) {
          std::lock_guard lock(mu_);
          mismatch_ = "step " + std::to_string(i) + ": expected [" + ToHex(step.bytes) + "] got [" +
                      ToHex(got) + "]";
          i = steps_.size();  // stop the script, keep recording
        }
        break;
      }
      case Step::kReply:
        SendAll(conn.get(), step.bytes);
        break;
      case Step::kReplyBytewise:
        for (char c : step.bytes) {
          if (!SendAll(conn.get(), std::string(1, c))) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        break;
      case Step::kClose:
        return;  // conn closes here, possibly with unread input (the client then sees a reset)
    }
  }
  AddReceived(ReadUntilClosed(conn.get(), stepTimeoutMs_));
}

}  // namespace kova::test
