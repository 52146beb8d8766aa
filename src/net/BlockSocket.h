#pragma once
// Blocking TCP socket objects with millisecond time-outs and a per-object error record.
//
// One object wraps one operating-system handle at a time and is reused across connections.
// Every operation leaves its outcome in LastError() (0 = success, otherwise a Windows Sockets
// style code, see GetErrorDesc) and callers test it right after the call.
//
// Thread use in the relay: one thread receives on an object while another sends on it, and the
// window thread closes it and reads its counters and address texts. Hence: the error code and
// counters are atomics, reported texts and address records are copied under a small lock, and
// the descriptor is reference-counted so that Close() never lets another thread's blocked or
// later call touch a descriptor number the system has meanwhile handed to another connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace kova {

// Error codes the relay and the proxy clients test for.
inline constexpr int kErrTimedOut = 10060;      // a wait passed without data
inline constexpr int kErrConnReset = 10054;     // the peer closed or reset
inline constexpr int kErrNotSocket = 10038;     // operation on a closed object
inline constexpr int kErrNetUnusable = 10091;   // a proxy refused (connect paths)
inline constexpr int kErrMessageTooLong = 10040;  // a line past its bound
inline constexpr int kErrNonRecoverable = 11003;  // a proxy refused (bind path)
inline constexpr int kErrHostNotFound = 11001;    // a host or port text the resolver cannot read

enum class TSocketFamily : uint8_t { Any = 0, IPv4 = 1, IPv6 = 2 };

// The platform's generic IPv4/IPv6 socket address; family 0 = empty record.
union TSockAddr {
  sockaddr sa;
  sockaddr_in in4;
  sockaddr_in6 in6;
};
static_assert(sizeof(TSockAddr) == 28);

// Used length of a record: 16 for IPv4, 28 for IPv6, 0 when empty.
socklen_t SockAddrLength(const TSockAddr& a);

class ESocketError : public std::runtime_error {
 public:
  ESocketError(int code, const std::string& message);
  // Message "TCP/IP Socket error %d: %s".
  static ESocketError FromCode(int code, const std::string& text);
  int ErrorCode;
  std::string ErrorMessage;
};

// Text of an error code (the 52-row table); 0 gives "", unknown codes a fallback text.
std::string GetErrorDesc(int code);
// Translates an errno value of a failed socket call to the Windows Sockets numbering.
int TranslateErrno(int err);

// Reference-counted descriptor: the number is closed when the last user lets go, so a call
// that still holds it can never touch a number the system has meanwhile reused.
class SocketHandle {
 public:
  explicit SocketHandle(int fd) : fd_(fd) {}
  ~SocketHandle();
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};
using HandleRef = std::shared_ptr<SocketHandle>;
inline int FdOf(const HandleRef& h) { return h ? h->fd() : -1; }

class TBlockSocket {
 public:
  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  // --- settings and state -----------------------------------------------------------------
  virtual void SetAddressFamily(TSocketFamily family);
  TSocketFamily Family() const { return family_.load(std::memory_order_relaxed); }
  TSocketFamily FamilyInUse() const { return familyInUse_.load(std::memory_order_relaxed); }
  bool IsIPv6() const { return isIPv6_.load(std::memory_order_relaxed); }
  bool PreferIPv4 = true;
  int ConnectTimeout = 21000;  // ms a connect waits for the peer's answer
  bool RaiseOnError = false;

  int Handle() const;  // -1 = none
  int LastError() const { return lastError_.load(std::memory_order_relaxed); }
  std::string LastErrorText() const;  // GetErrorDesc of the code as of the last CheckError
  uint64_t BytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
  uint64_t BytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
  TSockAddr LocalAddress() const;   // copies
  TSockAddr RemoteAddress() const;  // copies
  std::string ReadBufferCopy() const;  // for tests and diagnostics

  // --- handle life ---------------------------------------------------------------------------
  virtual void AdoptHandle(int handle);
  // A handle from accept, with the peer's record accept gave: a peer that reset at once is no
  // longer reported by the system, but it still has an address.
  void AdoptHandle(int handle, const TSockAddr& peer);
  // Safe while another thread is blocked in a call on this object: that call returns promptly
  // with an error. LastError := 0.
  virtual void Close();
  // Close (orderly: this class's own Close, else the plain one) for good: a connect running on
  // another thread returns at once, and no handle is opened or adopted until Rearm, whatever
  // instant a later connect starts at.
  void Abandon(bool orderly = true);
  void Rearm() { abandoned_.store(false); }
  bool Abandoned() const { return abandoned_.load(); }
  void RefreshAddresses();

  // --- connection set-up -----------------------------------------------------------------------
  void Bind(const std::string& host, const std::string& port);
  virtual void Connect(const std::string& host, const std::string& port);  // direct connect

  // --- sending -----------------------------------------------------------------------------
  // One send call; never raises SIGPIPE (a reset peer gives -1 and 10054).
  virtual int SendBytes(const void* buffer, int length);
  virtual int SendText(const std::string& text);

  // --- receiving -----------------------------------------------------------------------------
  virtual int ReceiveBytes(void* buffer, int length);
  virtual int ReceiveExact(void* buffer, int length, int timeoutMs);
  virtual std::string ReceiveExactText(int length, int timeoutMs);
  virtual uint8_t ReceiveByte(int timeoutMs);
  // maxLength > 0: a line longer than that fails with 10040 (what was read stays buffered).
  virtual std::string ReceiveUntil(int timeoutMs, const std::string& terminator,
                                   size_t maxLength = 0);
  virtual std::string ReceiveAvailable(int timeoutMs);
  virtual int BytesAvailable();
  bool WaitReadable(int timeoutMs);  // -1 = no limit

  // --- addresses (the TCP class reports proxy-side addresses after a proxy exchange) -------------
  virtual std::string LocalAddressText();
  virtual std::string RemoteAddressText();
  virtual int LocalPort();
  virtual int RemotePort();
  virtual int SocketType() const { return 0; }
  virtual int SocketProtocol() const { return 0; }

  // --- resolution ----------------------------------------------------------------------------
  bool UsesNameInfoApi() const;
  void FillAddress(TSockAddr& record, const std::string& host, const std::string& port);
  std::string AddressToText(const TSockAddr& record) const;
  static uint16_t AddressPort(const TSockAddr& record);
  void ResolveToAddressList(const std::string& name, std::vector<std::string>& list);
  std::string ResolveToAddress(const std::string& name);
  uint16_t ResolvePortNumber(const std::string& port);
  // The resolver's own text for the last FillAddress that found no address; empty otherwise.
  std::string ResolveFailureText() const;

  // --- error record --------------------------------------------------------------------------
  int RecordResult(int result);  // result of a system call; -1 takes errno
  void CheckError();
  void SetLastError(int code) { lastError_.store(code, std::memory_order_relaxed); }

 protected:
  void CreateHandleForFamily(const TSockAddr& address);
  void SetResolveFailure(int gaiCode);  // 0 clears
  // Takes a counted reference to the current descriptor; fd() of an empty guard is -1.
  std::shared_ptr<SocketHandle> AcquireHandle() const;
  bool IsCurrent(const HandleRef& h) const;  // h is still this object's handle
  void SetReadBuffer(std::string bytes);
  std::string TakeReadBuffer();
  void DrainInput();
  void SetLocalAddress(const TSockAddr& a);
  void SetRemoteAddress(const TSockAddr& a);

  // The primitives on one counted handle, reporting their own outcome in `err` so that a
  // compound read never mistakes the other thread's result for its own. They publish LastError.
  std::string ReceiveAvailableOn(const HandleRef& h, int timeoutMs, int& err);
  int ReceiveExactOn(const HandleRef& h, void* buffer, int length, int timeoutMs, int& err);
  int ReceiveBytesOn(const HandleRef& h, void* buffer, int length, int& err);
  bool WaitReadableOn(const HandleRef& h, int timeoutMs, int& err);
  // Read-buffer access tied to one handle: bytes of an older connection never reach a newer one.
  std::string TakeReadBufferFor(const HandleRef& h);
  void StoreReadBufferFor(const HandleRef& h, std::string bytes);
  // Swaps the handle out and wakes every call still blocked on it; the number closes later.
  void ReleaseHandle(HandleRef replacement);
  void PublishError(int code);

  mutable std::mutex mu_;  // guards handle_, the address records, readBuffer_ and reported texts
  std::shared_ptr<SocketHandle> handle_;
  mutable TSockAddr localAddress_{};
  mutable bool localAddressPending_ = false;  // localAddress_ is still to be read from handle_
  TSockAddr remoteAddress_{};
  std::string readBuffer_;
  std::string resolveFailure_;
  std::atomic<bool> readBufferNonEmpty_{false};
  std::atomic<bool> abandoned_{false};  // set under mu_, so no handle is installed after it
  std::atomic<TSocketFamily> family_{TSocketFamily::Any};
  std::atomic<TSocketFamily> familyInUse_{TSocketFamily::Any};
  std::atomic<bool> isIPv6_{false};
  std::atomic<int> lastError_{0};
  std::atomic<int> lastErrorTextCode_{0};
  std::atomic<uint64_t> bytesReceived_{0};
  std::atomic<uint64_t> bytesSent_{0};
};

enum class TSocksType : uint8_t { Socks5 = 0, Socks4 = 1 };

// Where a proxy exchange stopped, so a failed connect can say why; None when it did not.
enum class TProxyStop : uint8_t {
  None,
  Unreachable,  // the proxy itself could not be connected
  NoGreeting,   // SOCKS 5: timed out, closed or not SOCKS 5 before answering the greeting
  NoAnswer,     // timed out or closed in the middle of its answer (LastError tells which)
  BadAnswer,    // not the protocol, or an answer past its bounds
  NoMethod,     // SOCKS 5: no acceptable authentication method
  AuthRefused,  // SOCKS 5: user name and password refused
  TooLong,      // a user name, password or host name that cannot be framed
  NoIPv6,       // SOCKS 4: the target is an IPv6 address, which the protocol cannot carry
  Refused,      // a SOCKS reply code or an HTTP status line other than success
};

class TSocksBlockSocket : public TBlockSocket {
 public:
  TSocksBlockSocket();

  // Settings: plain values written by the owner before connecting, kept across Close.
  std::string SocksProxyHost;
  std::string SocksProxyPort = "1080";
  int SocksTimeout = 60000;
  std::string SocksUser;
  std::string SocksPassword;
  bool SocksRemoteResolve = true;
  TSocksType SocksVersion = TSocksType::Socks5;

  // Reported state: read by other threads (the monitor), so copied under the lock.
  bool SocksActive() const { return socksActive_.load(std::memory_order_relaxed); }
  TProxyStop ProxyStop() const { return proxyStop_.load(std::memory_order_relaxed); }
  int SocksReplyCode() const { return socksReplyCode_.load(std::memory_order_relaxed); }
  std::string SocksReplyHost() const;
  std::string SocksReplyPort() const;
  std::string SocksLocalHost() const;
  std::string SocksLocalPort() const;
  std::string SocksTargetHost() const;
  std::string SocksTargetPort() const;

  bool SocksNegotiate();
  bool SocksSendRequest(uint8_t command, const std::string& host, const std::string& port);
  bool SocksReadReply();
  std::string SocksEncodeAddress(const std::string& host, const std::string& port);
  void SocksDecodeAddress(const std::string& reply);

 protected:
  void SetSocksReply(const std::string& host, const std::string& port);
  void SetSocksLocal(const std::string& host, const std::string& port);
  void SetSocksTarget(const std::string& host, const std::string& port);
  void SetSocksActive(bool v) { socksActive_.store(v, std::memory_order_relaxed); }
  // Records the first stop of one connect; a later one is a consequence of it.
  bool StopAt(TProxyStop stop) {
    TProxyStop none = TProxyStop::None;
    proxyStop_.compare_exchange_strong(none, stop, std::memory_order_relaxed);
    return false;
  }
  // A failed read of the proxy's answer: its code says whether it timed out or closed.
  bool StopReading() { return StopAt(LastError() != 0 ? TProxyStop::NoAnswer : TProxyStop::BadAnswer); }
  std::atomic<TProxyStop> proxyStop_{TProxyStop::None};

  std::atomic<bool> socksActive_{false};
  std::atomic<int> socksReplyCode_{0};
  std::string socksReplyHost_, socksReplyPort_;
  std::string socksLocalHost_, socksLocalPort_;
  std::string socksTargetHost_, socksTargetPort_;
};

class TTCPBlockSocket : public TSocksBlockSocket {
 public:
  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  // HTTP CONNECT tunnel settings.
  std::string TunnelProxyHost;
  std::string TunnelProxyPort;
  std::string TunnelUser;
  std::string TunnelPassword;
  int TunnelTimeout = 30000;

  bool TunnelOpen() const { return tunnelOpen_.load(std::memory_order_relaxed); }
  std::string TunnelStatus() const;  // the status line the tunnel's proxy answered last
  std::string TunnelTargetHost() const;
  std::string TunnelTargetPort() const;

  // Half-close: shut down sending, drain what is queued, then close.
  void Close() override;
  // Proxy dispatch: SOCKS when SocksProxyHost is set, else the tunnel, else direct.
  void Connect(const std::string& host, const std::string& port) override;
  virtual void Listen();
  int Accept();  // new raw handle or -1

  void ConnectViaSocks(const std::string& host, const std::string& port);
  void ConnectViaTunnel(const std::string& host, const std::string& port);

  std::string LocalAddressText() override;
  std::string RemoteAddressText() override;
  int LocalPort() override;
  int RemotePort() override;
  int SocketType() const override { return SOCK_STREAM; }
  int SocketProtocol() const override { return IPPROTO_TCP; }

 protected:
  // SOCKS branches of Listen/Accept (defined with the SOCKS client): Listen calls SocksListen()
  // when SocksProxyHost is set; Accept calls SocksAccept while SocksActive is true.
  void SocksListen(bool throughTunnel = false);
  int SocksAccept();
  // Called by the direct row of Connect after it succeeds: a plain connection reports its own
  // peer, not the SOCKS or tunnel target of an earlier connection of this object.
  void ForgetProxySession();
  // Negotiate, request a connection to host:port and read the reply on the current handle;
  // shared by ConnectViaSocks and the HTTP-then-SOCKS chain.
  void SocksConnectExchange(const std::string& host, const std::string& port);
  void SetTunnelOpen(bool v) { tunnelOpen_.store(v, std::memory_order_relaxed); }
  void SetTunnelTarget(const std::string& host, const std::string& port);
  void DirectConnect(const std::string& host, const std::string& port) {
    TBlockSocket::Connect(host, port);
  }

  std::atomic<bool> tunnelOpen_{false};
  std::string tunnelTargetHost_, tunnelTargetPort_;
  std::string tunnelStatus_;
};

}  // namespace kova
