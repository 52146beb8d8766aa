#include "Options.h"

#include <array>
#include <cctype>
#include <iostream>
#include <sstream>
#include <vector>

#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "AccessOptions.h"
#include "net/NetUtil.h"

#ifndef KOVA_VERSION
#error "KOVA_VERSION comes from the project version in CMake"
#endif

namespace kova::relay {
namespace {

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

// "host:port" (or "[IPv6]:port") as the engine splits it, with a port 1..65535.
bool IsHostPort(const std::string& text) {
  std::string host, port;
  int number = 0;
  return kova::SplitTarget(text, host, port) && ParseRange(port, 1, 65535, number);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ','))
    if (!item.empty()) items.push_back(item);
  return items;
}

constexpr std::array<const char*, 4> kProxyTypes = {"none", "http", "socks4", "socks5"};

bool ParseProxyType(const std::string& text, int& type) {
  for (size_t i = 0; i < kProxyTypes.size(); ++i)
    if (text == kProxyTypes[i]) return type = static_cast<int>(i), true;
  return ParseRange(text, 0, 3, type);
}

// HOST:PORT, or SCHEME://HOST:PORT whose scheme sets the proxy type.
bool ApplyProxy(TRun& r, std::string v) {
  if (const size_t sep = v.find("://"); sep != std::string::npos) {
    const std::string scheme = v.substr(0, sep);
    if (scheme == "none" || !ParseProxyType(scheme, r.Settings.ProxyType) || std::isdigit(scheme[0]))
      return false;
    v.erase(0, sep + 3);
    if (!v.empty() && v.back() == '/') v.pop_back();
  }
  r.Settings.ProxyText = v;
  r.ProxyGiven = true;
  return IsHostPort(v);
}

bool Store(std::string& field, const std::string& v) {
  field = v;
  return !v.empty();
}

const std::vector<TOption>& Options() {
  static const std::vector<TOption> options = {
      {"--port", "PORT", "port to listen on; 0 lets the system choose", "1080", "a port number 0..65535",
       [](TRun& r, const std::string& v) {
         int port = 0;
         return ParseRange(v, 0, 65535, port) && Store(r.Port, std::to_string(port));
       }},
      {"--listen-address", "ADDR",
       "address to listen on: 127.0.0.1 serves this machine only, 0.0.0.0 every IPv4 address, :: "
       "every address, or one address of an interface",
       "the machine's own address", "an IP address or host name",
       [](TRun& r, const std::string& v) { return Store(r.Settings.ListenAddress, v); }},
      {"--servers", "HOST:PORT,...", "target servers, tried in turn", "none",
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
         r.ServerTextGiven = true;
         return Store(r.Settings.ServerText, v) && IsHostPort(v);
       }},
      {"--no-switch", nullptr, "stay on the current target when it cannot be reached",
       "switch to the next server", "true or false",
       [](TRun& r, const std::string& v) { return r.Settings.AutoSwitch = v != "on", true; }},
      {"--proxy-type", "TYPE",
       "upstream proxy: none, http (CONNECT), socks4 (host names go out as SOCKS 4a) or socks5; "
       "also 0 to 3 in that order",
       "none", "none, http, socks4, socks5 or 0..3",
       [](TRun& r, const std::string& v) { return ParseProxyType(v, r.Settings.ProxyType); }},
      {"--proxy", "HOST:PORT",
       "address of the upstream proxy; as http://HOST:PORT, socks4://HOST:PORT or "
       "socks5://HOST:PORT it also sets --proxy-type",
       "none", "host:port with a port 1..65535, optionally after http://, socks4:// or socks5://",
       ApplyProxy},
      {"--user", "NAME", "user name for the proxy", "none", "a user name",
       [](TRun& r, const std::string& v) { return r.Settings.ProxyUser = v, true; }},
      {"--password", "WORD",
       "password for the proxy; wiped from the command line once read, but visible to other local "
       "users until then: prefer --password-file or the environment variable KOVA_PROXY_PASSWORD",
       "none", "a password",
       [](TRun& r, const std::string& v) {
         ++r.PasswordSources;
         return r.Settings.ProxyPassword = v, true;
       },
       true},
      {"--password-file", "FILE",
       "read the proxy password from the first line of FILE, which only its owner may read", "none",
       "a file name",
       [](TRun& r, const std::string& v) {
         ++r.PasswordSources;
         r.Error = ReadPasswordFile(v, r.Settings.ProxyPassword);
         return r.Error.empty();
       }},
      {"--allow", "LIST",
       "let in only these clients: IPv4 or IPv6 addresses or CIDR ranges (192.168.1.0/24, fd00::/8) "
       "separated by commas; may be repeated; others are refused and logged",
       "every client", "addresses or CIDR ranges separated by commas",
       [](TRun& r, const std::string& v) {
         if (v.find_first_not_of(", \t") == std::string::npos) return false;  // no entry at all
         r.Error = AddAllowEntries(r.Allow, v);
         return r.Error.empty();
       },
       false, true},
      {"--allow-file", "FILE", "let in only the clients listed in FILE: one entry a line, # starts a comment",
       "every client", "a file name",
       [](TRun& r, const std::string& v) {
         r.Error = AddAllowFile(r.Allow, v);
         return r.Error.empty();
       },
       false, true},
      {"--idle", "MIN", "clear connections idle this many minutes; 0 never", "5", "minutes 0..600",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 600, r.Settings.IdleLimitMinutes); }},
      {"--sweep", "SEC", "look for idle connections every SEC seconds; 0 never", "3", "seconds 0..600",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 600, r.SweepSeconds); }},
      {"--log", nullptr, "write one line per ended connection to stderr", "no log", "true or false",
       [](TRun& r, const std::string& v) { return r.LogToStderr = v == "on", true; }},
      {"--log-file", "FILE",
       "append one line per ended connection to FILE; past 10 MiB it moves to FILE.1, and FILE.1 "
       "to FILE.3 keep the older lines",
       "no log", "a file name", [](TRun& r, const std::string& v) { return Store(r.LogFile, v); }},
      {"--stats", "SEC",
       "every SEC seconds while a connection is relayed, one line on stderr: active connections, "
       "the total rates down and up, bytes relayed since start; 0 never",
       "0", "seconds 0..3600",
       [](TRun& r, const std::string& v) { return ParseRange(v, 0, 3600, r.StatsSeconds); }},
  };
  return options;
}

// Help texts wrapped for the description column, which CLI11 indents after each newline.
std::string Wrapped(const std::string& text, size_t width) {
  std::istringstream words(text);
  std::string out, line, word;
  while (words >> word) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

constexpr size_t kColumn = 28, kWidth = 80;

std::string Described(const std::string& help, const std::string& byDefault) {
  return Wrapped(help + " (default: " + byDefault + ")", kWidth - kColumn);
}

std::string InvalidValue(const TOption& o, const std::string& v) {
  return std::string("invalid value '") + v + "' (expected " + o.Accepts + ")";
}

// A password must not lie in a file that others may read, as ssh insists for its keys.
std::string CheckConfigFile(CLI::App& app) {
  const std::string path = app.get_config_ptr()->as<std::string>();
  if (path.empty()) return "";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0) return "";
  for (const CLI::ConfigItem& item : app.get_config_formatter_base()->from_file(path))
    for (const TOption& o : Options())
      if (o.Secret && "--" + item.name == o.Name)
        return "--config: " + path + " holds " + o.Name + " but group or others can read it; chmod 600 it";
  return "";
}

// Gone from ps and /proc/PID/cmdline from here on; CLI11 has its own copy.
void WipePasswordArguments(int argc, char** argv) {
  const std::string name = "--password";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == name && i + 1 < argc) WipeArgument(argv[++i]);
    else if (arg.rfind(name + "=", 0) == 0) WipeArgument(argv[i] + name.size() + 1);
  }
}

}  // namespace

int Fail(const std::string& line) {
  std::cerr << kProgram << ": " << line << "\n";
  return 2;
}

int ParseCommandLine(int argc, char** argv, TRun& run) {
  CLI::App app(
      "Relay every TCP client that connects to the listening port to a target server,\n"
      "directly or through an HTTP CONNECT, SOCKS 4 or SOCKS 5 proxy. Prints\n"
      "\"listening ADDRESS PORT\" once it listens; runs until interrupted (SIGINT, SIGTERM).",
      kProgram);
  app.get_formatter()->column_width(kColumn);
  app.allow_extras();
  app.allow_config_extras(CLI::config_extras_mode::error);  // a misspelt setting is not ignored
  app.set_help_flag("-h,--help", "show this help and exit");
  app.set_version_flag("--version", std::string(kProgram) + " " + KOVA_VERSION, "show the version and exit");
  app.set_config("--config", "",
                 Described("read settings from FILE, one NAME = VALUE a line with NAME an option "
                           "without its dashes; the command line wins over the file",
                           "none"))
      ->type_name("FILE");
  for (const TOption& o : Options()) {
    auto applied = [&run, &o](const std::string& v) {
      run.Error.clear();
      if (o.Apply(run, v)) return;
      if (!run.Error.empty()) throw CLI::ValidationError(run.Error);
      throw CLI::ValidationError(o.Name, InvalidValue(o, v));
    };
    CLI::Option* opt = nullptr;
    if (o.Value && o.Repeatable) {
      opt = app.add_option_function<std::vector<std::string>>(
          o.Name, [applied](const std::vector<std::string>& values) { for (const auto& v : values) applied(v); },
          Described(o.Help, o.Default));
      opt->type_name(o.Value)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    } else if (o.Value) {
      opt = app.add_option_function<std::string>(o.Name, applied, Described(o.Help, o.Default));
      opt->type_name(o.Value)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    } else {
      opt = app.add_flag_function(
          o.Name, [applied](std::int64_t count) { applied(count > 0 ? "on" : "off"); },
          Described(o.Help, o.Default));
      // Checked before CLI11 sums the values, which it cannot do for a word like "maybe".
      opt->check(CLI::Validator(
          [&o](std::string& v) {
            try {
              CLI::detail::to_flag_value(v);
              return std::string();
            } catch (const std::exception&) {
              return InvalidValue(o, v);
            }
          },
          ""));
    }
  }
  app.footer(
      "Examples:\n"
      "  kova-relay --listen-address 127.0.0.1 --port 1080 \\\n"
      "      --servers 192.0.2.10:80,192.0.2.11:80\n"
      "  kova-relay --port 8080 --servers 192.0.2.10:22 \\\n"
      "      --proxy socks5://198.51.100.1:1080 --config ~/.config/kova/alice.conf\n"
      "  KOVA_PROXY_PASSWORD=secret kova-relay --port 8080 --servers 192.0.2.10:22 \\\n"
      "      --proxy http://198.51.100.1:3128 --user alice --allow 192.168.1.0/24\n\n"
      "Exit status: 0 after SIGINT or SIGTERM, 1 if it cannot listen, 2 for a bad setting\n"
      "(one line on stderr).\n"
      "Run as a service: kova-relay@NAME.service reads /etc/kova/NAME.conf (see kova-relay(1)).");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    what.resize(std::min(what.find('\n'), what.size()));
    for (const TOption& o : Options())  // CLI11 says "--port: 1 required PORT missing"
      if (what.rfind(std::string(o.Name) + ": ", 0) == 0 && what.ends_with(" missing"))
        what = std::string(o.Name) + " needs a value: " + o.Accepts;
    if (const std::string ini = "INI was not able to parse "; what.rfind(ini, 0) == 0)
      what = "--config: unknown setting '" + what.substr(ini.size()) + "' (sections are not read)";
    return Fail(what);
  }
  if (!app.remaining().empty())
    return Fail("unknown option '" + app.remaining().front() + "' (see " + kProgram + " --help)");
  if (const std::string refused = CheckConfigFile(app); !refused.empty()) return Fail(refused);
  WipePasswordArguments(argc, argv);
  if (run.PasswordSources > 1) return Fail("give the proxy password once: --password or --password-file");
  if (run.PasswordSources == 0) PasswordFromEnvironment(run.Settings.ProxyPassword);
  if (run.Settings.ProxyType != 0 && !run.ProxyGiven)
    return Fail(std::string("--proxy-type ") + kProxyTypes[run.Settings.ProxyType] + " needs --proxy HOST:PORT");
  if (run.LogToStderr && !run.LogFile.empty()) return Fail("--log and --log-file cannot be combined");
  if (!run.ServerTextGiven && !run.Settings.Servers.empty())
    run.Settings.ServerText = run.Settings.Servers.front();
  if (run.Settings.ServerText.empty())
    return Fail("no target: give --servers or --server-text, on the command line or in --config");
  return -1;
}

}  // namespace kova::relay
