#pragma once
// A scripted peer on loopback for protocol tests: it accepts one connection, checks that the
// client sends exactly the expected bytes, answers exactly the scripted bytes, and records
// everything it received (including bytes sent after the script ended).
//
//   FakePeer proxy;
//   proxy.Expect(FromHex("05 01 00")).Reply(FromHex("05 00")).Start();
//   ... connect a client to proxy.host():proxy.portText() ...
//   client.Close();
//   proxy.Finish();  // then check proxy.Mismatch() and proxy.Received()
//
// After the last step the peer stays silent and reads until the client closes (or the deadline),
// so a test can assert that nothing more was sent.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Loopback.h"

namespace kova::test {

// "05 01 00" -> the three bytes; blanks between byte pairs are optional.
std::string FromHex(const std::string& hex);
// The bytes as "05 01 00", for readable assertion messages.
std::string ToHex(const std::string& bytes);

class FakePeer {
 public:
  explicit FakePeer(const std::string& host = "127.0.0.1");
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  // Script steps, run in order after Start().
  FakePeer& Expect(const std::string& bytes);  // read exactly these bytes and compare
  FakePeer& Reply(const std::string& bytes);   // send in one piece
  FakePeer& ReplyBytewise(
      const std::string& bytes);  // one byte per send, paced so they arrive apart
  FakePeer& CloseNow();           // close the connection here, ending the script
  // Time each Expect and the final drain may wait; default 5000 ms.
  FakePeer& StepTimeout(int ms);

  void Start();
  // Waits for the script's thread to end (the client must have closed by then, or the drain
  // deadline passes); false when no connection was accepted.
  bool Finish();

  const std::string& host() const { return listener_.host(); }
  uint16_t port() const { return listener_.port(); }
  std::string portText() const { return listener_.portText(); }

  std::string Received() const;  // every byte received so far
  std::string Mismatch() const;  // first failed expectation, empty when all matched
  bool Accepted() const;

 private:
  struct Step {
    enum Kind { kExpect, kReply, kReplyBytewise, kClose } kind;
    std::string bytes;
  };
  void Run();
  void AddReceived(const std::string& bytes);

  RawListener listener_;
  std::vector<Step> steps_;
  int stepTimeoutMs_ = 5000;
  std::thread thread_;
  mutable std::mutex mu_;
  std::string received_;
  std::string mismatch_;
  bool accepted_ = false;
};

}  // namespace kova::test
