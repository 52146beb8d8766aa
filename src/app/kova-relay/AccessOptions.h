#pragma once
// kova-relay's access options apart from the parser: who may connect (--allow, --allow-file)
// and the proxy password handed over without showing it (--password-file, the environment,
// and --password wiped from the process's own argument memory).

#include <string>

#include "net/AllowList.h"

namespace kova::relay {

inline constexpr const char* kPasswordEnvironment = "KOVA_PROXY_PASSWORD";

// Adds the comma-separated entries of one --allow value. "" or the error line, naming the entry.
std::string AddAllowEntries(TAllowList& list, const std::string& value);
// Adds the entries of an allow-list file (one a line, '#' comments). "" or the error line.
std::string AddAllowFile(TAllowList& list, const std::string& path);

// The first line of `path`, its line break dropped. A file that group or others may read is
// refused, as a private key would be. "" or the error line, which never holds the password.
std::string ReadPasswordFile(const std::string& path, std::string& password);
// The value of KOVA_PROXY_PASSWORD; false when it is not set.
bool PasswordFromEnvironment(std::string& password);
// Overwrites an argument in place, so ps and /proc/PID/cmdline no longer show it.
void WipeArgument(char* argument);

}  // namespace kova::relay
