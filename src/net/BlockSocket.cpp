// The block socket core: error codes and texts, the handle's life, connect and bind.

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

using Clock = std::chrono::steady_clock;

void ShutdownFd(const HandleRef& h, int how) {
  if (h) ::shutdown(h->fd(), how);
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
    // An abandoned object takes no new handle: the refused one closes as this call returns.
    if (replacement && abandoned_.load()) return;
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
  int family = RemoteAddress().sa.sa_family;
  socklen_t len = sizeof family;
  // An unconnected handle (a listener's, before its bind) has no peer to tell its family.
  if (family == 0 && handle >= 0 && ::getsockopt(handle, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0) family = 0;
  isIPv6_.store(family == AF_INET6, std::memory_order_relaxed);
}

void TBlockSocket::AdoptHandle(int handle, const TSockAddr& peer) {
  AdoptHandle(handle);
  if (peer.sa.sa_family == 0) return;
  SetRemoteAddress(peer);
  isIPv6_.store(peer.sa.sa_family == AF_INET6, std::memory_order_relaxed);
}

void TBlockSocket::Close() {
  // Cleared before the wake-up, so the error of a call this wakes is the one left standing.
  lastError_.store(0, std::memory_order_relaxed);
  familyInUse_.store(family_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  ReleaseHandle(nullptr);
}

void TBlockSocket::Abandon(bool orderly) {
  {
    std::lock_guard lock(mu_);
    abandoned_.store(true);
  }
  if (orderly) {
    Close();
  } else {
    TBlockSocket::Close();
  }
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
  if (SockAddrLength(record) == 0) {
    // Named as what it is, not as the family error a handle for no address would give.
    PublishError(kErrHostNotFound);
    CheckError();
    return;
  }
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

}  // namespace kova
