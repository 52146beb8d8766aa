#pragma once
// The relay engine's view of "its window": where it posts messages, where it reads the
// settings, and how it reports the listener's state. The Qt main window implements it on its
// event loop; the headless host implements it on a thread running a message queue.

#include <cstdint>
#include <mutex>
#include <string>

#include <unistd.h>

#include "engine/TargetList.h"

namespace kova {

inline constexpr uint32_t WM_CONNCLOSE = 1025;  // wParam identifies the relay to release
inline constexpr uint32_t WM_SYNCCALL = 1027;   // engine-internal: run workers' synchronous calls
inline constexpr uint32_t WM_REFUSALS = 1028;   // engine-internal: clients the allow-list refused
inline constexpr uint32_t WM_LISTENSTATE = 1125;  // wParam 1 listening, 2 start failed, 3 stopped
inline constexpr uint32_t WM_ACCEPT = 1126;     // wParam = accepted client handle, now the window's

// Where workers and the listener post: any thread may post, nobody reads settings here.
class IMessagePost {
 public:
  virtual ~IMessagePost() = default;
  // Any thread. Queues (msg, wParam) for the window thread, which then passes it to
  // TRelayEngine::HandleMessage. Never blocks on the window thread.
  virtual void PostMessage(uint32_t msg, intptr_t wParam) = 0;
};

// What the engine reads and reports on the window thread.
class IRelaySettings {
 public:
  virtual ~IRelaySettings() = default;

  // Window thread only: the settings, read at the moments the engine needs them.
  virtual std::string ServerText() = 0;              // text of EdServerIP
  virtual void SetServerText(const std::string&) = 0;  // NextServer shows its choice there
  // The in-use list, kept by the window as it changes (load, apply, add), never rebuilt here.
  virtual const TTargetList& ServerList() = 0;
  virtual bool AutoSwitch() = 0;                     // CbServer
  virtual int ProxyType() = 0;                       // RgProxy item index 0..3
  virtual std::string ProxyText() = 0;               // EdProxy
  virtual std::string ProxyUser() = 0;               // EdUsername
  virtual std::string ProxyPassword() = 0;           // EdPassword
  virtual int IdleLimitMinutes() = 0;                // EdTimeClear as read (may be out of range)

  // Window thread only: the listener reported its state (1, 2 or 3); boundPort is the
  // listening socket's local port for state 1, else 0.
  virtual void ListenStateChanged(int state, int boundPort) = 0;
};

// The window as the engine sees it: its post box and its settings.
class IRelayWindow : public IMessagePost, public IRelaySettings {};

// A post box that outlives the window: threads that may still post after the window is gone
// (the self-freeing listener, a worker finishing) post here, and a detached port drops them.
class TMessagePort {
 public:
  explicit TMessagePort(IMessagePost* window) : window_(window) {}
  void Post(uint32_t msg, intptr_t wParam) {
    std::lock_guard<std::mutex> lock(mu_);
    if (window_) {
      window_->PostMessage(msg, wParam);
    } else if (msg == WM_ACCEPT) {
      ::close(static_cast<int>(wParam));  // nobody will own this client any more
    }
  }
  void Detach() {
    std::lock_guard<std::mutex> lock(mu_);
    window_ = nullptr;
  }

 private:
  std::mutex mu_;
  IMessagePost* window_;
};

}  // namespace kova
