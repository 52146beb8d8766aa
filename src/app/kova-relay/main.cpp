// kova-relay: the relay engine without a window, for servers, scripts, tests and benchmarks.
// Prints "listening <address> <port>" once listening; runs until SIGINT or SIGTERM.
// Every option is checked before anything listens; a bad one is one line on stderr and exit 2.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "AccessOptions.h"
#include "engine/ConnectionLog.h"
#include "engine/HeadlessWindow.h"
#include "engine/Relay.h"

#ifndef KOVA_VERSION
#error "KOVA_VERSION comes from the project version in CMake"
#endif

namespace {

constexpr const char* kProgram = "kova-relay";

struct TRun {
  kova::THeadlessSettings Settings;
  std::string Port = "1080";
  bool ServerTextGiven = false;
  bool ProxyGiven = false;
  int SweepSeconds = 3;
  bool LogToStderr = false;
  std::string LogFile;
  kova::TAllowList Allow;
  int PasswordSources = 0;  // --password and --password-file given
  std::string Error;        // an option's own error line, when it has one
};

// Decimal digits only (no sign, blanks or service names), within [low, high].
bool ParseRange(const std::string& text, int low, int high, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  out = v;
  return true;
}

// "host:port" as the engine splits it: at the first ":", a host and a port 1..65535.
bool IsHostPort(const std::string& text) {
  const size_t colon = text.find(':');
  int port = 0;
  return colon != std::string::npos && colon > 0 &&
         ParseRange(text.substr(colon + 1), 1, 65535, port);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ','))
    if (!item.empty()) items.push_back(item);
  return items;
}

// One row per option: the parser and --help both read this table, so a new option is one row.
struct TOption {
  const char* Name;
  const char* Value;    // nullptr: a switch without a value
  const char* Help;
  const char* Default;  // nullptr: no default worth printing
  const char* Accepts;  // what a valid value looks like, for error lines
  std::function<bool(TRun&, const std::string&)> Apply;  // false: the value is not accepted
};

const std::vector<TOption>& Options() {
  static const std::vector<TOption> options = {
      {"--port", "PORT", "port to listen on; 0 lets the system choose", "1080", "a port number 0..65535",
       [](TRun& r, const std::string& v) {
         int port = 0;
         if (!ParseRange(v, 0, 65535, port)) return false;
         r.Port = std::to_string(port);
         return true;
       }},
      {"--listen-address", "ADDR",
       "address to listen on: 127.0.0.1 serves this machine only, 0.0.0.0 every IPv4 address, :: "
       "every address, or one address of an interface",
       "the machine's own address", "an IP address or host name",
       [](TRun& r, const std::string& v) {
         r.Settings.ListenAddress = v;
         return !v.empty();
       }},
      {"--servers", "HOST:PORT,...", "target servers, tried in turn", nullptr,
       "host:port entries separated by commas",
       [](TRun& r, const std::string& v) {
         r.Settings.Servers = SplitList(v);
         for (const std::string& s : r.Settings.Servers)
           if (!IsHostPort(s)) return false;
         return !r.Settings.Servers.empty();
       }},
      {"--server-text", "HOST:PORT", "the target to use first", "the first of --servers",
       "host:port with a port 1..65535",
       [](TRun& r, const std::string& v) {
         r.Settings.ServerText = v;
         r.ServerTextGiven = true;
         return IsHostPort(v);
       }},
      {"--no-switch", nullptr, "stay on the current target when it cannot be reached",
       "switch to the next server", nullptr,
       [](TRun& r, const std::string&) {
         r.Settings.AutoSwitch = false;
         return true;
       }},
      {"--proxy-type", "N", "upstream proxy: 0 none, 1 HTTP, 2 SOCKS 4, 3 SOCKS 5", "0",
       "0, 1, 2 or 3",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 3, r.Settings.ProxyType); }},
      {"--proxy", "HOST:PORT", "address of the upstream proxy", nullptr, "host:port with a port 1..65535",
       [](TRun& r, const std::string& v) {
         r.Settings.ProxyText = v;
         r.ProxyGiven = true;
         return IsHostPort(v);
       }},
      {"--user", "NAME", "user name for the proxy", "none", "a user name",
       [](TRun& r, const std::string& v) {
         r.Settings.ProxyUser = v;
         return true;
       }},
      {"--password", "WORD",
       "password for the proxy; wiped from the command line once read, but visible to other local "
       "users until then: prefer --password-file or the environment variable KOVA_PROXY_PASSWORD",
       "none", "a password",
       [](TRun& r, const std::string& v) {
         r.Settings.ProxyPassword = v;
         ++r.PasswordSources;
         return true;
       }},
      {"--password-file", "FILE",
       "read the proxy password from the first line of FILE, which only its owner may read", nullptr,
       "a file name",
       [](TRun& r, const std::string& v) {
         ++r.PasswordSources;
         r.Error = kova::relay::ReadPasswordFile(v, r.Settings.ProxyPassword);
         return r.Error.empty();
       }},
      {"--allow", "LIST",
       "let in only these clients: IPv4 or IPv6 addresses or CIDR ranges (192.168.1.0/24, fd00::/8) "
       "separated by commas; may be repeated; others are refused and logged",
       "every client", "addresses or CIDR ranges separated by commas",
       [](TRun& r, const std::string& v) {
         if (v.find_first_not_of(", \t") == std::string::npos) return false;  // no entry at all
         r.Error = kova::relay::AddAllowEntries(r.Allow, v);
         return r.Error.empty();
       }},
      {"--allow-file", "FILE", "let in only the clients listed in FILE: one entry a line, # starts a comment",
       nullptr, "a file name",
       [](TRun& r, const std::string& v) {
         r.Error = kova::relay::AddAllowFile(r.Allow, v);
         return r.Error.empty();
       }},
      {"--idle", "MIN", "clear connections idle this many minutes; 0 never", "5", "minutes 0..600",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 600, r.Settings.IdleLimitMinutes); }},
      {"--sweep", "SEC", "look for idle connections every SEC seconds; 0 never", "3", "seconds 0..600",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 600, r.SweepSeconds); }},
      {"--log", nullptr, "write one line per ended connection to stderr", "no log", nullptr,
       [](TRun& r, const std::string&) {
         r.LogToStderr = true;
         return true;
       }},
      {"--log-file", "FILE",
       "append one line per ended connection to FILE; past 10 MiB it moves to FILE.1, and FILE.1 "
       "to FILE.3 keep the older lines",
       nullptr, "a file name",
       [](TRun& r, const std::string& v) {
         r.LogFile = v;
         return !v.empty();
       }},
  };
  return options;
}

void PrintHelp() {
  std::cout << "Usage: " << kProgram << " [OPTION]...\n"
            << "Relay every TCP client that connects to the listening port to a target server,\n"
            << "directly or through an HTTP CONNECT, SOCKS 4 or SOCKS 5 proxy. Prints\n"
            << "\"listening ADDRESS PORT\" once it listens; runs until interrupted (SIGINT, SIGTERM).\n\n"
            << "Options:\n";
  // Option names in one column, their texts wrapped to 80 columns in the next.
  constexpr size_t kIndent = 28, kWidth = 80;
  auto row = [](const std::string& head, const std::string& text) {
    std::string line = "  " + head;
    std::istringstream words(text);
    std::string word;
    bool first = true;
    while (words >> word) {
      const bool fits = line.size() + (first ? 0 : 1) + word.size() <= kWidth;
      if (line.size() < kIndent) {
        line.resize(kIndent, ' ');
      } else if (first || !fits) {
        std::cout << line << "\n";
        line = std::string(kIndent, ' ');
      } else {
        line += ' ';
      }
      line += word;
      first = false;
    }
    std::cout << line << "\n";
  };
  for (const TOption& o : Options())
    row(std::string(o.Name) + (o.Value ? std::string(" ") + o.Value : ""),
        std::string(o.Help) + (o.Default ? std::string(" (default: ") + o.Default + ")" : ""));
  row("--help", "show this help and exit");
  row("--version", "show the version and exit");
  std::cout << "\n"
            << "Examples:\n"
            << "  " << kProgram << " --listen-address 127.0.0.1 --port 1080 --servers 192.0.2.10:80,192.0.2.11:80\n"
            << "  " << kProgram << " --port 8080 --servers 192.0.2.10:22 --proxy-type 3 --proxy 198.51.100.1:1080 \\\n"
            << "      --user alice --password-file ~/.config/kova/proxy-password\n"
            << "  KOVA_PROXY_PASSWORD=secret " << kProgram << " --port 8080 --servers 192.0.2.10:22 --proxy-type 1 \\\n"
            << "      --proxy 198.51.100.1:3128 --user alice --allow 127.0.0.1,192.168.1.0/24\n\n"
            << "Exit status: 0 after SIGINT or SIGTERM, 1 if it cannot listen, 2 for a bad option.\n";
}

int Fail(const std::string& line) {
  std::cerr << kProgram << ": " << line << "\n";
  return 2;
}

// Fills `run` from the arguments; -1 to go on, else the exit code (help, version, a bad option).
int Parse(int argc, char** argv, TRun& run) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    }
    if (arg == "--version") {
      std::cout << kProgram << " " << KOVA_VERSION << "\n";
      return 0;
    }
    std::string value;
    bool inlineValue = false;
    char* valueMemory = nullptr;  // where the value sits in the argument memory
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
      valueMemory = argv[i] + eq + 1;
    }
    const TOption* option = nullptr;
    for (const TOption& o : Options())
      if (arg == o.Name) option = &o;
    if (!option) return Fail("unknown option '" + arg + "' (see " + kProgram + " --help)");
    if (!option->Value) {
      if (inlineValue) return Fail(arg + " takes no value");
    } else if (!inlineValue) {
      if (i + 1 >= argc) return Fail(arg + " needs a value: " + option->Accepts);
      value = argv[++i];
      valueMemory = argv[i];
    }
    // Gone from ps and /proc/PID/cmdline from here on.
    if (arg == "--password") kova::relay::WipeArgument(valueMemory);
    if (!option->Apply(run, value)) {
      if (!run.Error.empty()) return Fail(run.Error);
      return Fail(arg + ": invalid value '" + value + "' (expected " + option->Accepts + ")");
    }
  }
  if (run.PasswordSources > 1) return Fail("give the proxy password once: --password or --password-file");
  if (run.PasswordSources == 0) kova::relay::PasswordFromEnvironment(run.Settings.ProxyPassword);
  if (run.Settings.ProxyType != 0 && !run.ProxyGiven)
    return Fail("--proxy-type " + std::to_string(run.Settings.ProxyType) + " needs --proxy HOST:PORT");
  if (run.LogToStderr && !run.LogFile.empty()) return Fail("--log and --log-file cannot be combined");
  if (!run.ServerTextGiven && !run.Settings.Servers.empty())
    run.Settings.ServerText = run.Settings.Servers.front();
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  TRun run;
  if (const int code = Parse(argc, argv, run); code >= 0) return code;

  // Signals are taken by sigwait below; every thread created later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  // The log outlives the window: relays still running at the end are recorded while it closes.
  std::unique_ptr<kova::TConnectionLog> log;
  if (run.LogToStderr) log = std::make_unique<kova::TConnectionLog>(STDERR_FILENO);
  if (!run.LogFile.empty()) {
    log = std::make_unique<kova::TConnectionLog>(run.LogFile);
    if (const std::string error = log->Check(); !error.empty()) return Fail("--log-file: " + error);
  }

  int exitCode = 0;
  {
    kova::THeadlessWindow window(run.Settings);
    if (!run.Allow.Empty()) {
      auto allow = std::make_shared<const kova::TAllowList>(run.Allow);
      window.Call([&] { window.Engine()->SetAllowList(allow); });
    }
    if (log)
      window.Call([&] { window.Engine()->SetOutcomeHandler([&](const kova::TRelayOutcome& o) { log->Add(o); }); });
    int before = window.ListenReports();
    window.StartService(run.Port);
    if (run.SweepSeconds > 0) window.SetSweepPeriod(run.SweepSeconds * 1000);
    int state = window.WaitListenReport(before, 30000);
    if (state != 1) {
      std::cerr << kProgram << ": cannot listen on port " << run.Port << std::endl;
      exitCode = 1;
    } else {
      std::cout << "listening " << window.ListenAddress() << " " << window.BoundPort()
                << std::endl;
      int sig = 0;
      sigwait(&stopSignals, &sig);
    }
    window.Shutdown();
  }
  std::fflush(stdout);
  return exitCode;
}
