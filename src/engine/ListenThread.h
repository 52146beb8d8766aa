#pragma once
// The accepting thread of one start of the service. It owns the listening socket, reports
// through a message port (1125 listening / start failed / stopped, 1126 per accepted client) and
// frees itself when its body ends: the running thread holds a reference to itself, so the
// window may keep, drop or use its own reference at any time.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/WindowHost.h"

namespace kova {

class TTCPBlockSocket;
union TSockAddr;

// Why a start did not listen: what was tried and the system's word for it.
struct TListenFailure {
  enum TKind { None, BadPort, UnknownAddress, System };
  TKind Kind = None;
  std::string Address;  // the address tried, resolved where it could be; may be empty
  std::string Port;     // the port as given
  int Errno = 0;        // System: errno of the call that failed
  std::string Reason() const;  // "Address already in use", "not a port number", ...
};

// Set once a thread has completely finished its work (socket closed, last message posted).
class TThreadEnd {
 public:
  void Set();
  bool IsSet() const;
  bool Wait(int timeoutMs);  // -1 = no limit; true once set

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

class TListenThread : public std::enable_shared_from_this<TListenThread> {
 public:
  static constexpr int kAcceptWaitMs = 500;  // how long a stop request may go unnoticed

  // Created suspended: nothing is bound until Resume.
  // An empty address means the machine's own address.
  static std::shared_ptr<TListenThread> Create(std::shared_ptr<TMessagePort> wnd,
                                               std::string port, std::string address = "");
  ~TListenThread();
  TListenThread(const TListenThread&) = delete;
  TListenThread& operator=(const TListenThread&) = delete;

  void Resume();  // starts the body once; later calls do nothing
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

  // The bound local port and address, set before 1125 with wParam 1 is posted; 0 / "" before.
  int BoundPort() const { return boundPort_.load(); }
  std::string BoundAddress() const;
  // Set before 1125 with wParam 2 is posted; Kind None before.
  TListenFailure Failure() const;

  // Keep this to wait for the thread's end without keeping the thread object.
  std::shared_ptr<TThreadEnd> EndSignal() const { return end_; }
  bool WaitFor(int timeoutMs) { return end_->Wait(timeoutMs); }

  const std::string Port;
  const std::string Address;

 private:
  TListenThread(std::shared_ptr<TMessagePort> wnd, std::string port, std::string address);
  void Execute();
  void PrepareReusableHandle(const TSockAddr& record);
  void Fail(TListenFailure failure);
  void Post(uint32_t msg, intptr_t wParam);
  bool SleepUnlessTerminated(int ms);

  std::shared_ptr<TMessagePort> wnd_;
  std::unique_ptr<TTCPBlockSocket> socket_;  // used by the thread only
  std::shared_ptr<TThreadEnd> end_ = std::make_shared<TThreadEnd>();
  std::atomic<bool> resumed_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<int> boundPort_{0};
  mutable std::mutex mu_;  // guards boundAddress_; with cv_, lets Terminate cut a pause short
  std::condition_variable cv_;
  std::string boundAddress_;
  TListenFailure failure_;  // guarded by mu_
};

}  // namespace kova
