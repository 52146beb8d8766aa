// Moving bytes on a block socket: sending, and every form of receiving with its time-out.

#include "net/BlockSocket.h"


#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "net/NetUtil.h"
#include "net/SocketApi.h"

namespace kova {
namespace {

// Bound on what Close drains: only what is queued already, so a peer that keeps sending cannot
// hold the closing thread (the window thread, when a relay is released).
constexpr size_t kDrainMaxBytes = 64u << 10;

using Clock = std::chrono::steady_clock;

}  // namespace

// ---- sending ------------------------------------------------------------------------------

int TBlockSocket::SendBytes(const void* buffer, int length) {
  HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return -1;
  }
  if (length < 0) {
    PublishError(10022);
    return -1;
  }
  ssize_t n;
  do {
    // A reset peer must give an error, not a process-killing signal.
    n = ::send(h->fd(), buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  RecordResult(n < 0 ? -1 : 0);
  if (n > 0) bytesSent_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  CheckError();
  return static_cast<int>(n);
}

int TBlockSocket::SendText(const std::string& text) {
  return SendBytes(text.data(), static_cast<int>(std::min<size_t>(text.size(), INT_MAX)));
}

// ---- receiving ----------------------------------------------------------------------------

int TBlockSocket::ReceiveBytesOn(const HandleRef& h, void* buffer, int length, int& err) {
  if (!h || length < 0) {
    err = h ? 10022 : kErrNotSocket;
    PublishError(err);
    return -1;
  }
  if (length == 0) {
    // A zero-length read says nothing about the peer; it must not look like a close.
    err = 0;
    PublishError(err);
    return 0;
  }
  ssize_t n;
  do {
    n = ::recv(h->fd(), buffer, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    err = kErrConnReset;  // an orderly close and a reset are reported alike
    lastError_.store(err, std::memory_order_relaxed);
  } else {
    err = RecordResult(n < 0 ? -1 : 0);
  }
  if (n > 0) bytesReceived_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  CheckError();
  return static_cast<int>(n);
}

int TBlockSocket::ReceiveBytes(void* buffer, int length) {
  int err = 0;
  return ReceiveBytesOn(AcquireHandle(), buffer, length, err);
}

int TBlockSocket::BytesAvailable() {
  HandleRef h = AcquireHandle();
  int n = 0;
  if (!h || ::ioctl(h->fd(), FIONREAD, &n) != 0 || n < 0) return 0;
  return n;
}

bool TBlockSocket::WaitReadableOn(const HandleRef& h, int timeoutMs, int& err) {
  if (!h) {
    err = kErrNotSocket;
    PublishError(err);
    return false;
  }
  const bool unlimited = timeoutMs < 0;
  const auto end = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  int r;
  pollfd p{h->fd(), POLLIN, 0};
  for (;;) {
    int wait = -1;
    if (!unlimited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(std::min<int64_t>(left, INT_MAX)) : 0;
    }
    p.revents = 0;
    r = ::poll(&p, 1, wait);
    if (r >= 0 || errno != EINTR) break;  // a signal only costs the time already spent
  }
  err = RecordResult(r < 0 ? -1 : 0);
  if (err == 0 && !IsCurrent(h)) err = kErrNotSocket;  // woken by Close: not a readable peer
  PublishError(err);
  return r > 0 && err == 0;
}

bool TBlockSocket::WaitReadable(int timeoutMs) {
  int err = 0;
  return WaitReadableOn(AcquireHandle(), timeoutMs, err);
}

std::string TBlockSocket::ReceiveAvailableOn(const HandleRef& h, int timeoutMs, int& err) {
  err = 0;
  lastError_.store(0, std::memory_order_relaxed);
  std::string result = TakeReadBufferFor(h);
  if (!result.empty()) {
    PublishError(0);
    return result;
  }
  if (!h) {
    err = kErrNotSocket;
    PublishError(err);
    return result;
  }
  std::this_thread::yield();
  int n = 0;
  if (::ioctl(h->fd(), FIONREAD, &n) != 0 || n < 0) n = 0;
  if (n == 0) {
    if (!WaitReadableOn(h, timeoutMs, err)) {
      // A failed wait (the object was closed) keeps its own code; only a quiet wait times out.
      if (err == 0) err = kErrTimedOut;
      PublishError(err);
      return result;
    }
    if (::ioctl(h->fd(), FIONREAD, &n) != 0 || n < 0) n = 0;
    if (n == 0) {
      // Readable with nothing queued: the peer closed, reset, or this object was closed.
      err = kErrConnReset;
      PublishError(err);
      return result;
    }
  }
  result.resize(static_cast<size_t>(n));
  int got = ReceiveBytesOn(h, result.data(), n, err);
  result.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return result;
}

std::string TBlockSocket::ReceiveAvailable(int timeoutMs) {
  int err = 0;
  return ReceiveAvailableOn(AcquireHandle(), timeoutMs, err);
}

int TBlockSocket::ReceiveExactOn(const HandleRef& h, void* buffer, int length, int timeoutMs,
                                 int& err) {
  err = 0;
  lastError_.store(0, std::memory_order_relaxed);
  if (length <= 0) return 0;
  auto* out = static_cast<char*>(buffer);
  int got = 0;
  std::string chunk;
  size_t take = 0;
  while (err == 0 && got < length) {
    chunk = ReceiveAvailableOn(h, timeoutMs, err);
    take = std::min(chunk.size(), static_cast<size_t>(length - got));
    std::memcpy(out + got, chunk.data(), take);
    got += static_cast<int>(take);
  }
  StoreReadBufferFor(h, chunk.substr(take));
  return got;
}

int TBlockSocket::ReceiveExact(void* buffer, int length, int timeoutMs) {
  int err = 0;
  return ReceiveExactOn(AcquireHandle(), buffer, length, timeoutMs, err);
}

std::string TBlockSocket::ReceiveExactText(int length, int timeoutMs) {
  if (length < 1) return "";
  std::string result(static_cast<size_t>(length), '\0');
  int err = 0;
  int got = ReceiveExactOn(AcquireHandle(), result.data(), length, timeoutMs, err);
  if (err != 0) return "";
  result.resize(static_cast<size_t>(got));
  return result;
}

uint8_t TBlockSocket::ReceiveByte(int timeoutMs) {
  HandleRef h = AcquireHandle();
  int err = 0;
  lastError_.store(0, std::memory_order_relaxed);
  std::string buf = TakeReadBufferFor(h);
  if (buf.empty()) buf = ReceiveAvailableOn(h, timeoutMs, err);
  uint8_t result = 0;
  if (err == 0 && !buf.empty()) {
    result = static_cast<uint8_t>(buf[0]);
    buf.erase(0, 1);
  }
  StoreReadBufferFor(h, std::move(buf));
  PublishError(err);
  return result;
}

std::string TBlockSocket::ReceiveUntil(int timeoutMs, const std::string& terminator,
                                       size_t maxLength) {
  lastError_.store(0, std::memory_order_relaxed);
  if (terminator.empty()) return "";
  HandleRef h = AcquireHandle();
  int err = 0;
  std::string acc, result;
  size_t found = std::string::npos;
  for (;;) {
    size_t from = acc.size() >= terminator.size() ? acc.size() - terminator.size() + 1 : 0;
    acc += ReceiveAvailableOn(h, timeoutMs, err);
    if (err != 0) break;
    found = acc.find(terminator, from);
    if (found != std::string::npos) break;
    if (maxLength > 0 && acc.size() > maxLength) {
      err = kErrMessageTooLong;  // a peer that never ends its line cannot take all memory
      break;
    }
  }
  if (found != std::string::npos && maxLength > 0 && found > maxLength) {
    err = kErrMessageTooLong;
    found = std::string::npos;
  }
  if (found != std::string::npos) {
    result = acc.substr(0, found);
    acc.erase(0, found + terminator.size());
  }
  StoreReadBufferFor(h, std::move(acc));
  PublishError(err);
  return result;
}

void TBlockSocket::DrainInput() {
  HandleRef h = AcquireHandle();
  TakeReadBufferFor(h);
  if (h) {
    char sink[16384];
    for (size_t drained = 0; drained < kDrainMaxBytes;) {
      const ssize_t n = ::recv(h->fd(), sink, sizeof sink, MSG_DONTWAIT);
      if (n <= 0 && !(n < 0 && errno == EINTR)) break;
      if (n > 0) drained += static_cast<size_t>(n);
    }
  }
  lastError_.store(0, std::memory_order_relaxed);
}

}  // namespace kova
