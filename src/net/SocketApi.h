#pragma once
// Start and stop of the socket interface. The system's sockets are always there, so loading
// only counts starts and records which name-info calls exist (always all three here).

#include <atomic>
#include <string>

namespace kova {

// The library offers getaddrinfo, getnameinfo and freeaddrinfo itself.
extern std::atomic<bool> HasNameInfoApi;
// A separate helper library supplies them instead (never the case here).
extern std::atomic<bool> HasIPv6HelperApi;

// Counts one start; the first start sets the flags. An empty name means the default library.
bool LoadSocketInterface(const std::string& library = "");
// Counts one start less (never below zero).
void UnloadSocketInterface();
// Number of starts not yet undone (for tests).
int SocketInterfaceStarts();

// Program start: throws ESocketError("Error loading Socket interface (ws2_32.dll)!", code 0)
// when the loader fails; the loader is a parameter so that the failure path can be exercised.
void StartSocketInterface(bool (*loader)(const std::string&) = LoadSocketInterface);
// Program end.
void StopSocketInterface();

}  // namespace kova
