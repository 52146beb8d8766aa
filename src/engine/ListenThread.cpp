#include "engine/ListenThread.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/BlockSocket.h"

namespace kova {

void TThreadEnd::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  set_ = true;
  cv_.notify_all();
}

bool TThreadEnd::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return set_;
}

bool TThreadEnd::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  if (timeoutMs < 0) {
    cv_.wait(lock, [this] { return set_; });
    return true;
  }
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

namespace {

// The errno a socket error code stands for; the socket layer keeps only its own numbering.
int ErrnoOf(int code) {
  if (code == TranslateErrno(EACCES)) return EACCES;  // shared with EPERM; a low port is EACCES
  for (int e = 1; e < 256; ++e)
    if (TranslateErrno(e) == code) return e;
  return 0;
}

// A port as the resolver reads it: a number 0..65535 or a known service name.
bool PortReadable(TBlockSocket& socket, const std::string& port) {
  if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos)
    return port.size() - std::min(port.find_first_not_of('0'), port.size()) <= 5 &&
           std::stoul(port) <= 65535;
  return socket.ResolvePortNumber(port) != 0;
}

}  // namespace

std::string TListenFailure::Reason() const {
  switch (Kind) {
    case BadPort: return "not a port number";
    case UnknownAddress: return "not an address of this machine or a known host name";
    case System: return Errno ? std::strerror(Errno) : "unknown error";
    default: return "";
  }
}

std::shared_ptr<TListenThread> TListenThread::Create(std::shared_ptr<TMessagePort> wnd,
                                                     std::string port, std::string address) {
  return std::shared_ptr<TListenThread>(
      new TListenThread(std::move(wnd), std::move(port), std::move(address)));
}

TListenThread::TListenThread(std::shared_ptr<TMessagePort> wnd, std::string port,
                             std::string address)
    : Port(std::move(port)),
      Address(std::move(address)),
      wnd_(std::move(wnd)),
      socket_(std::make_unique<TTCPBlockSocket>()) {}

TListenThread::~TListenThread() = default;

void TListenThread::Resume() {
  if (resumed_.exchange(true)) return;
  try {
    std::thread([self = shared_from_this(), end = end_]() mutable {
      self->Execute();
      self.reset();  // the last reference frees the thread object here
      end->Set();
    }).detach();
  } catch (const std::system_error& e) {
    socket_.reset();
    Fail({TListenFailure::System, Address, Port, e.code().value()});
    end_->Set();
  }
}

void TListenThread::Terminate() {
  std::lock_guard<std::mutex> lock(mu_);
  terminated_.store(true);
  cv_.notify_all();
}

std::string TListenThread::BoundAddress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return boundAddress_;
}

TListenFailure TListenThread::Failure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

void TListenThread::Fail(TListenFailure failure) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    failure_ = std::move(failure);
  }
  Post(WM_LISTENSTATE, 2);
}

void TListenThread::Post(uint32_t msg, intptr_t wParam) {
  if (wnd_) {
    wnd_->Post(msg, wParam);
  } else if (msg == WM_ACCEPT) {
    ::close(static_cast<int>(wParam));
  }
}

bool TListenThread::SleepUnlessTerminated(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return terminated_.load(); });
}

void TListenThread::PrepareReusableHandle(const TSockAddr& record) {
  const int fd = ::socket(record.sa.sa_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return;
  // Relays accepted by an earlier start keep using the port, and closed ones linger in
  // TIME_WAIT; without this a stop and a start on the same port would fail to bind.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socket_->AdoptHandle(fd);
}

void TListenThread::Execute() {
  TSockAddr record{};
  socket_->FillAddress(record, Address, Port);
  if (record.sa.sa_family == 0) {
    const bool portBad = !PortReadable(*socket_, Port);
    socket_.reset();
    Fail({portBad ? TListenFailure::BadPort : TListenFailure::UnknownAddress, Address, Port});
    return;
  }
  const std::string tried = socket_->AddressToText(record);
  PrepareReusableHandle(record);
  socket_->Bind(Address, Port);
  // A socket whose bind failed would still listen here, on a port of the system's choice.
  if (socket_->LastError() == 0) socket_->Listen();
  if (const int code = socket_->LastError(); code != 0) {
    // Closed before the report, so that a new start may bind the same port at once.
    socket_.reset();
    Fail({TListenFailure::System, tried, Port, ErrnoOf(code)});
    return;
  }
  socket_->RefreshAddresses();
  {
    std::lock_guard<std::mutex> lock(mu_);
    boundAddress_ = socket_->LocalAddressText();
  }
  boundPort_.store(socket_->LocalPort());
  Post(WM_LISTENSTATE, 1);
  while (!terminated_.load()) {
    if (!socket_->WaitReadable(kAcceptWaitMs)) {
      const int err = socket_->LastError();
      // A wait that fails at once would otherwise spin.
      if (err != 0 && err != kErrTimedOut) SleepUnlessTerminated(100);
      continue;
    }
    const int handle = socket_->Accept();
    if (socket_->LastError() == 0 && handle >= 0) {
      Post(WM_ACCEPT, handle);
    } else {
      if (handle >= 0) ::close(handle);
      // Out of descriptors, the pending client stays queued and the socket stays readable:
      // pause instead of spinning until one is free again.
      SleepUnlessTerminated(100);
    }
  }
  socket_.reset();
  Post(WM_LISTENSTATE, 3);
}

}  // namespace kova
