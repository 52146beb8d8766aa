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

struct ErrorRow {
  int code;
  const char* text;
};

constexpr ErrorRow kErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for Socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on Socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No Buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after Socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(std::size(kErrorTable) == 51);  // plus the empty text of 0

// Bound on what Close drains: only what is queued already, so a peer that keeps sending cannot
// hold the closing thread (the window thread, when a relay is released).
constexpr size_t kDrainMaxBytes = 64u << 10;

using Clock = std::chrono::steady_clock;

void ShutdownFd(const HandleRef& h, int how) {
  if (h) ::shutdown(h->fd(), how);
}

int ResolveFamilyHint(TSocketFamily f) {
  switch (f) {
    case TSocketFamily::IPv4: return AF_INET;
    case TSocketFamily::IPv6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}

}  // namespace

// ---- free functions -----------------------------------------------------------------------

SocketHandle::~SocketHandle() {
  if (fd_ >= 0) ::close(fd_);
}

socklen_t SockAddrLength(const TSockAddr& a) {
  switch (a.sa.sa_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
  }
}

ESocketError::ESocketError(int code, const std::string& message)
    : std::runtime_error(message), ErrorCode(code), ErrorMessage(message) {}

ESocketError ESocketError::FromCode(int code, const std::string& text) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "TCP/IP Socket error %d: ", code);
  ESocketError e(code, buf + text);
  e.ErrorMessage = text;
  return e;
}

std::string GetErrorDesc(int code) {
  if (code == 0) return "";
  for (const auto& row : kErrorTable)
    if (row.code == code) return row.text;
  return "Not a Winsock error (" + std::to_string(code) + ")";
}

int TranslateErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same number here
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case EBADF: case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: case EPIPE: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    // No counterpart: the errno itself, which no table row uses, so the fallback text shows it.
    default: return err;
  }
}

// ---- TBlockSocket: state and error record ---------------------------------------------------

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() { TBlockSocket::Close(); }

void TBlockSocket::SetAddressFamily(TSocketFamily family) {
  family_.store(family, std::memory_order_relaxed);
  familyInUse_.store(family, std::memory_order_relaxed);
}

int TBlockSocket::Handle() const { return FdOf(AcquireHandle()); }

std::string TBlockSocket::LastErrorText() const {
  return GetErrorDesc(lastErrorTextCode_.load(std::memory_order_relaxed));
}

TSockAddr TBlockSocket::LocalAddress() const {
  std::lock_guard lock(mu_);
  if (localAddressPending_) {
    localAddressPending_ = false;
    socklen_t len = sizeof localAddress_;
    if (!handle_ || ::getsockname(handle_->fd(), &localAddress_.sa, &len) != 0)
      localAddress_ = TSockAddr{};
  }
  return localAddress_;
}

TSockAddr TBlockSocket::RemoteAddress() const {
  std::lock_guard lock(mu_);
  return remoteAddress_;
}

std::string TBlockSocket::ReadBufferCopy() const {
  std::lock_guard lock(mu_);
  return readBuffer_;
}

int TBlockSocket::RecordResult(int result) {
  int code = result == -1 ? TranslateErrno(errno) : 0;
  lastErrorTextCode_.store(code, std::memory_order_relaxed);
  lastError_.store(code, std::memory_order_relaxed);
  return code;
}

void TBlockSocket::CheckError() {
  int code = LastError();
  lastErrorTextCode_.store(code, std::memory_order_relaxed);
  if (code != 0 && code != 10035 && code != 10036 && RaiseOnError)
    throw ESocketError::FromCode(code, GetErrorDesc(code));
}

void TBlockSocket::PublishError(int code) {
  lastError_.store(code, std::memory_order_relaxed);
  CheckError();
}

// ---- handle life --------------------------------------------------------------------------

HandleRef TBlockSocket::AcquireHandle() const {
  std::lock_guard lock(mu_);
  return handle_;
}

bool TBlockSocket::IsCurrent(const HandleRef& h) const {
  std::lock_guard lock(mu_);
  return handle_ == h;
}

void TBlockSocket::ReleaseHandle(HandleRef replacement) {
  HandleRef old;
  {
    std::lock_guard lock(mu_);
    old = std::exchange(handle_, std::move(replacement));
    // The buffered bytes belong to the connection that is going away; a local address nobody
    // asked for stays unknown.
    localAddressPending_ = false;
    readBuffer_.clear();
    readBufferNonEmpty_.store(false, std::memory_order_release);
  }
  // Wakes receives, waits, sends, accepts and connects still running on the old descriptor;
  // they hold their own reference, so the number is closed only after the last one returns.
  ShutdownFd(old, SHUT_RDWR);
}

void TBlockSocket::SetReadBuffer(std::string bytes) {
  std::lock_guard lock(mu_);
  readBuffer_ = std::move(bytes);
  readBufferNonEmpty_.store(!readBuffer_.empty(), std::memory_order_release);
}

std::string TBlockSocket::TakeReadBuffer() {
  std::lock_guard lock(mu_);
  readBufferNonEmpty_.store(false, std::memory_order_release);
  return std::exchange(readBuffer_, std::string());
}

std::string TBlockSocket::TakeReadBufferFor(const HandleRef& h) {
  if (!readBufferNonEmpty_.load(std::memory_order_acquire)) return "";
  std::lock_guard lock(mu_);
  if (handle_ != h) return "";
  readBufferNonEmpty_.store(false, std::memory_order_release);
  return std::exchange(readBuffer_, std::string());
}

void TBlockSocket::StoreReadBufferFor(const HandleRef& h, std::string bytes) {
  if (bytes.empty() && !readBufferNonEmpty_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mu_);
  if (handle_ != h) return;  // closed meanwhile: the bytes belong to no current connection
  readBuffer_ = std::move(bytes);
  readBufferNonEmpty_.store(!readBuffer_.empty(), std::memory_order_release);
}

void TBlockSocket::SetLocalAddress(const TSockAddr& a) {
  std::lock_guard lock(mu_);
  localAddress_ = a;
  localAddressPending_ = false;
}

void TBlockSocket::SetRemoteAddress(const TSockAddr& a) {
  std::lock_guard lock(mu_);
  remoteAddress_ = a;
}

void TBlockSocket::CreateHandleForFamily(const TSockAddr& address) {
  bytesReceived_.store(0, std::memory_order_relaxed);
  bytesSent_.store(0, std::memory_order_relaxed);
  lastError_.store(0, std::memory_order_relaxed);
  isIPv6_.store(address.sa.sa_family == AF_INET6, std::memory_order_relaxed);
  // CLOEXEC only keeps the descriptor out of programs this process starts.
  int fd = ::socket(address.sa.sa_family, SocketType() | SOCK_CLOEXEC, SocketProtocol());
  RecordResult(fd);
  ReleaseHandle(fd >= 0 ? std::make_shared<SocketHandle>(fd) : nullptr);
  CheckError();
}

void TBlockSocket::AdoptHandle(int handle) {
  bytesReceived_.store(0, std::memory_order_relaxed);
  bytesSent_.store(0, std::memory_order_relaxed);
  // A previous handle is closed rather than leaked; stale buffered bytes go with it.
  ReleaseHandle(handle >= 0 ? std::make_shared<SocketHandle>(handle) : nullptr);
  RefreshAddresses();
  isIPv6_.store(RemoteAddress().sa.sa_family == AF_INET6, std::memory_order_relaxed);
}

void TBlockSocket::Close() {
  // Cleared before the wake-up, so the error of a call this wakes is the one left standing.
  lastError_.store(0, std::memory_order_relaxed);
  familyInUse_.store(family_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  ReleaseHandle(nullptr);
}

void TBlockSocket::RefreshAddresses() {
  HandleRef h = AcquireHandle();
  TSockAddr remote{};
  if (h) {
    // The peer's record now: once the peer has reset, the system no longer tells it.
    socklen_t len = sizeof remote;
    if (::getpeername(h->fd(), &remote.sa, &len) != 0) remote = TSockAddr{};
  }
  std::lock_guard lock(mu_);
  remoteAddress_ = remote;
  // The own side cannot change while the handle lives and is rarely asked for (never for a
  // relayed connection), so it is read on first use: every new relay saves the call.
  localAddress_ = TSockAddr{};
  localAddressPending_ = h && handle_ == h;
}

// ---- connection set-up ------------------------------------------------------------------------

void TBlockSocket::Bind(const std::string& host, const std::string& port) {
  lastError_.store(0, std::memory_order_relaxed);
  TSockAddr record;
  FillAddress(record, host, port);
  if (!AcquireHandle()) CreateHandleForFamily(record);
  HandleRef h = AcquireHandle();
  if (h) {
    RecordResult(::bind(h->fd(), &record.sa, SockAddrLength(record)));
    TSockAddr local{};
    socklen_t len = sizeof local;
    if (::getsockname(h->fd(), &local.sa, &len) != 0) local = TSockAddr{};
    SetLocalAddress(local);
  }
  // Without a handle the creation's error stands.
  StoreReadBufferFor(h, "");
  CheckError();
}

void TBlockSocket::Connect(const std::string& host, const std::string& port) {
  TSockAddr record;
  FillAddress(record, host, port);
  if (!AcquireHandle()) CreateHandleForFamily(record);
  HandleRef h = AcquireHandle();
  if (h) {
    // Linux retries an unanswered SYN for about two minutes; a dead server in the list must
    // cost the client seconds. The wait is a poll, so a Close from another thread ends it.
    const int fd = h->fd();
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, &record.sa, SockAddrLength(record));
    if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      const auto end = Clock::now() + std::chrono::milliseconds(ConnectTimeout);
      pollfd p{fd, POLLOUT, 0};
      int ready;
      for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        ready = ::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
        if (ready >= 0 || errno != EINTR) break;
      }
      int soErr = ETIMEDOUT;
      if (ready > 0) {
        socklen_t len = sizeof soErr;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
        // Woken by Close: the attempt was abandoned, whatever the socket says.
        if (soErr == 0 && !IsCurrent(h)) soErr = ENOTSOCK;
      } else if (ready < 0) {
        soErr = errno;
      }
      errno = soErr;
      r = soErr ? -1 : 0;
    }
    const int saved = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    RecordResult(r);
    RefreshAddresses();
  } else if (LastError() == 0) {
    SetLastError(kErrNotSocket);  // closed by another thread before the attempt: no connection
  }
  StoreReadBufferFor(h, "");
  CheckError();
}

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

// ---- addresses ----------------------------------------------------------------------------

std::string TBlockSocket::LocalAddressText() { return AddressToText(LocalAddress()); }
std::string TBlockSocket::RemoteAddressText() { return AddressToText(RemoteAddress()); }
int TBlockSocket::LocalPort() { return AddressPort(LocalAddress()); }
int TBlockSocket::RemotePort() { return AddressPort(RemoteAddress()); }

// ---- resolution ---------------------------------------------------------------------------

bool TBlockSocket::UsesNameInfoApi() const {
  return HasNameInfoApi.load() || (FamilyInUse() == TSocketFamily::IPv6 && HasIPv6HelperApi.load());
}

namespace {

// The resolver reads any text that strtoul takes whole as a number and keeps its low 16 bits, so
// "70000" would become 4464 and "-1" 65535. Only plain decimal digits up to 65535 are numbers;
// other texts the resolver would read as numbers are not ports at all.
bool PortTextUsable(const std::string& port) {
  if (port.empty()) return true;
  const bool digits = std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    const size_t first = port.find_first_not_of('0');
    return first == std::string::npos || (port.size() - first <= 5 && std::stoul(port.substr(first)) <= 65535);
  }
  char* end = nullptr;
  errno = 0;
  (void)std::strtoul(port.c_str(), &end, 10);
  return *end != '\0';  // not numeric to the resolver: a service name, looked up as such
}

// A dotted IPv4 address with a decimal port gives the record the general lookup would give,
// without its interface queries: every relayed connection connects through here.
bool FillNumericIPv4(TSockAddr& record, const std::string& host, const std::string& port) {
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long value = std::stoul(port);
  in_addr a{};
  if (value > 65535 || ::inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  record.in4.sin_family = AF_INET;
  record.in4.sin_port = htons(static_cast<uint16_t>(value));
  record.in4.sin_addr = a;
  return true;
}

}  // namespace

void TBlockSocket::FillAddress(TSockAddr& record, const std::string& host,
                               const std::string& port) {
  // The name-info calls always exist here, so there is no other lookup path.
  std::memset(&record, 0, sizeof record);
  addrinfo hints{};
  if (!AcquireHandle())
    hints.ai_family = ResolveFamilyHint(FamilyInUse());
  else
    hints.ai_family = IsIPv6() ? AF_INET6 : AF_INET;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  std::string self;
  const char* node = host.c_str();
  if (host == "0.0.0.0") {
    node = nullptr;
    hints.ai_flags = AI_PASSIVE;
  } else if (host == "127.0.0.1") {
    node = nullptr;
  } else if (host.empty()) {
    // The machine's own address: one that other hosts can reach where there is one.
    self = OwnAddressText();
    if (self.empty()) self = LocalHostName();
    node = self.c_str();
  }
  // The resolver reads a text only up to a NUL: "127.0.0.1\0x" must not reach 127.0.0.1.
  if (!PortTextUsable(port) || host.find('\0') != std::string::npos ||
      port.find('\0') != std::string::npos)
    return;
  // Loopback in IPv4 is what the lookup below would pick for "127.0.0.1": without it, because
  // the lookup of two candidates asks the system for its interfaces and probes each candidate
  // with a socket of its own, about a dozen calls on every relayed connection to a local server.
  if (node == nullptr && hints.ai_flags == 0 &&
      (hints.ai_family == AF_INET || (hints.ai_family == AF_UNSPEC && PreferIPv4)) &&
      FillNumericIPv4(record, host, port))
    return;
  std::string dotted;
  if (node == host.c_str()) {
    if (IsIPv4Text(host)) {
      // Parts with leading zeros are decimal, as in a SOCKS request; the resolver would read
      // them as octal and reach another host.
      dotted = CanonicalIPv4Text(host);
      node = dotted.c_str();
    } else if (in_addr a{}; ::inet_aton(host.c_str(), &a) != 0) {
      return;  // hexadecimal, octal or short numeric forms name no host the proxies would agree on
    }
    if (hints.ai_family != AF_INET6 && FillNumericIPv4(record, node, port)) return;
  }
  addrinfo* res = nullptr;
  if (::getaddrinfo(node, port.c_str(), &hints, &res) != 0) return;
  const addrinfo *v4 = nullptr, *v6 = nullptr;
  for (const addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET && !v4) v4 = p;
    if (p->ai_family == AF_INET6 && !v6) v6 = p;
  }
  const addrinfo* pick = v4 && v6 ? (PreferIPv4 ? v4 : v6) : (v4 ? v4 : v6);
  if (pick && pick->ai_addrlen <= sizeof record) std::memcpy(&record, pick->ai_addr, pick->ai_addrlen);
  ::freeaddrinfo(res);
}

std::string TBlockSocket::AddressToText(const TSockAddr& record) const {
  char host[1025], service[32];
  socklen_t len = SockAddrLength(record);
  if (len == 0) return "";
  if (::getnameinfo(&record.sa, len, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return host;
}

uint16_t TBlockSocket::AddressPort(const TSockAddr& record) {
  switch (record.sa.sa_family) {
    case AF_INET: return ntohs(record.in4.sin_port);
    case AF_INET6: return ntohs(record.in6.sin6_port);
    default: return 0;
  }
}

void TBlockSocket::ResolveToAddressList(const std::string& name, std::vector<std::string>& list) {
  list.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  addrinfo* res = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0) {
    const TSocketFamily inUse = FamilyInUse();
    for (const addrinfo* p = res; p; p = p->ai_next) {
      if (p->ai_family == AF_INET && inUse == TSocketFamily::IPv6) continue;
      if (p->ai_family == AF_INET6 && inUse == TSocketFamily::IPv4) continue;
      if (p->ai_addrlen > sizeof(TSockAddr)) continue;
      TSockAddr a{};
      std::memcpy(&a, p->ai_addr, p->ai_addrlen);
      std::string text = AddressToText(a);
      if (!text.empty()) list.push_back(std::move(text));
    }
    ::freeaddrinfo(res);
  }
  if (list.empty()) list.push_back("0.0.0.0");
}

std::string TBlockSocket::ResolveToAddress(const std::string& name) {
  std::vector<std::string> list;
  ResolveToAddressList(name, list);
  return list.front();
}

uint16_t TBlockSocket::ResolvePortNumber(const std::string& port) {
  if (!PortTextUsable(port) || port.find('\0') != std::string::npos) return 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_PASSIVE;
  hints.ai_socktype = SocketType();
  hints.ai_protocol = SocketProtocol();
  addrinfo* res = nullptr;
  if (::getaddrinfo(nullptr, port.c_str(), &hints, &res) != 0) return 0;
  uint16_t result = 0;
  if (res && (res->ai_family == AF_INET || res->ai_family == AF_INET6) &&
      res->ai_addrlen <= sizeof(TSockAddr)) {
    TSockAddr a{};
    std::memcpy(&a, res->ai_addr, res->ai_addrlen);
    result = AddressPort(a);
  }
  ::freeaddrinfo(res);
  return result;
}

// ---- TTCPBlockSocket ----------------------------------------------------------------------

TTCPBlockSocket::TTCPBlockSocket() = default;

TTCPBlockSocket::~TTCPBlockSocket() { TTCPBlockSocket::Close(); }

void TTCPBlockSocket::Close() {
  if (HandleRef h = AcquireHandle()) {
    // The peer sees end of data; what it already sent is read away so the close is not a reset.
    ::shutdown(h->fd(), SHUT_WR);
    DrainInput();
  }
  TBlockSocket::Close();
}

void TTCPBlockSocket::Connect(const std::string& host, const std::string& port) {
  if (!SocksProxyHost.empty()) {
    ConnectViaSocks(host, port);
  } else if (!TunnelProxyHost.empty()) {
    ConnectViaTunnel(host, port);
  } else {
    proxyStop_.store(TProxyStop::None, std::memory_order_relaxed);
    DirectConnect(host, port);
    if (LastError() == 0) ForgetProxySession();
  }
}

void TTCPBlockSocket::Listen() {
  if (!SocksProxyHost.empty()) {
    SocksListen();
    return;
  }
  HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return;
  }
  RecordResult(::listen(h->fd(), 0x7FFFFFFF));
  RefreshAddresses();
  CheckError();
}

int TTCPBlockSocket::Accept() {
  if (SocksActive()) return SocksAccept();
  HandleRef h = AcquireHandle();
  if (!h) {
    PublishError(kErrNotSocket);
    return -1;
  }
  TSockAddr peer{};
  socklen_t len = sizeof peer;
  int fd;
  do {
    len = sizeof peer;
    fd = ::accept4(h->fd(), &peer.sa, &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  RecordResult(fd < 0 ? -1 : 0);
  if (fd >= 0) SetRemoteAddress(peer);
  CheckError();
  return fd;
}

}  // namespace kova
