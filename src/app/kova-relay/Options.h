#pragma once
// kova-relay's settings and the table that fills them from the command line and a --config
// file. A new option is one row in Options.cpp: --help, the config file and the error lines
// all come from the table.

#include <functional>
#include <string>

#include "engine/HeadlessWindow.h"
#include "net/AllowList.h"

namespace kova::relay {

inline constexpr const char* kProgram = "kova-relay";

struct TRun {
  THeadlessSettings Settings;
  std::string Port = "1080";
  bool ServerTextGiven = false;
  bool ProxyGiven = false;
  int SweepSeconds = 3;
  bool LogToStderr = false;
  std::string LogFile;
  TAllowList Allow;         // empty: every client
  int PasswordSources = 0;  // --password and --password-file given
  std::string Error;        // an option's own error line, when it has one
  int StatsSeconds = 0;  // 0: no statistics lines
};

struct TOption {
  const char* Name;     // "--port"; in a config file without the dashes
  const char* Value;    // "PORT"; nullptr: a switch (Apply gets "on" or "off")
  const char* Help;
  const char* Default;  // shown in --help
  const char* Accepts;  // what a valid value looks like, for the error line
  std::function<bool(TRun&, const std::string&)> Apply;  // false: the value is not accepted
  bool Secret = false;  // a config file holding it must be readable by its owner only
  bool Repeatable = false;  // every occurrence applies, in order; otherwise the last one wins
};

// Fills `run` from the arguments and the config file they name. -1 to go on, else the exit
// code: 0 after --help or --version, 2 after the one line on stderr for a bad setting.
int ParseCommandLine(int argc, char** argv, TRun& run);

// "kova-relay: LINE" on stderr; returns 2.
int Fail(const std::string& line);

}  // namespace kova::relay
