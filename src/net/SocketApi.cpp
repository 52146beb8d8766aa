#include "net/SocketApi.h"

#include <mutex>

#include "net/BlockSocket.h"

namespace kova {

std::atomic<bool> HasNameInfoApi{false};
std::atomic<bool> HasIPv6HelperApi{false};

namespace {
std::mutex& SocketInterfaceLock() {
  static std::mutex m;
  return m;
}
int gStarts = 0;  // guarded by SocketInterfaceLock
}  // namespace

bool LoadSocketInterface(const std::string& /*library*/) {
  std::lock_guard lock(SocketInterfaceLock());
  if (gStarts == 0) {
    HasNameInfoApi = true;
    HasIPv6HelperApi = false;
  }
  ++gStarts;
  return true;
}

void UnloadSocketInterface() {
  std::lock_guard lock(SocketInterfaceLock());
  if (gStarts > 0) --gStarts;
}

int SocketInterfaceStarts() {
  std::lock_guard lock(SocketInterfaceLock());
  return gStarts;
}

void StartSocketInterface(bool (*loader)(const std::string&)) {
  if (!loader("ws2_32.dll")) throw ESocketError(0, "Error loading Socket interface (ws2_32.dll)!");
}

void StopSocketInterface() { UnloadSocketInterface(); }

}  // namespace kova
