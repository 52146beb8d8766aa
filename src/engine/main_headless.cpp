// kova_headless: the relay engine without a window, for tests and benchmarks.
//   kova_headless --port P [--listen-address A] [--servers "h:p,h:p,..."] [--server-text h:p] [--no-switch]
//                 [--proxy-type 0|1|2|3] [--proxy h:p] [--user U] [--password W]
//                 [--idle MIN] [--sweep SEC]
// Prints "listening <address> <port>" once listening; runs until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <pthread.h>

#include "engine/HeadlessWindow.h"

namespace {

bool ParseInt(const std::string& text, int& out) {
  try {
    size_t used = 0;
    int v = std::stoi(text, &used);
    if (used != text.size()) return false;
    out = v;
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

int Usage() {
  std::cerr << "usage: kova_headless --port P [--listen-address A] [--servers \"h:p,...\"] [--server-text h:p]"
               " [--no-switch] [--proxy-type 0|1|2|3] [--proxy h:p] [--user U]"
               " [--password W] [--idle MIN] [--sweep SEC]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  kova::THeadlessSettings settings;
  std::string port = "0";
  bool serverTextGiven = false;
  int sweepSeconds = 3;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--no-switch") {
      settings.AutoSwitch = false;
    } else if (!value(v)) {
      return Usage();
    } else if (arg == "--port") {
      port = v;
    } else if (arg == "--listen-address") {
      settings.ListenAddress = v;
    } else if (arg == "--servers") {
      settings.Servers = SplitList(v);
    } else if (arg == "--server-text") {
      settings.ServerText = v;
      serverTextGiven = true;
    } else if (arg == "--proxy-type") {
      if (!ParseInt(v, settings.ProxyType) || settings.ProxyType < 0 || settings.ProxyType > 3)
        return Usage();
    } else if (arg == "--proxy") {
      settings.ProxyText = v;
    } else if (arg == "--user") {
      settings.ProxyUser = v;
    } else if (arg == "--password") {
      settings.ProxyPassword = v;
    } else if (arg == "--idle") {
      if (!ParseInt(v, settings.IdleLimitMinutes)) return Usage();
    } else if (arg == "--sweep") {
      if (!ParseInt(v, sweepSeconds)) return Usage();
    } else {
      return Usage();
    }
  }
  if (!serverTextGiven && !settings.Servers.empty()) settings.ServerText = settings.Servers.front();

  // Signals are taken by sigwait below; every thread created later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  int exitCode = 0;
  {
    kova::THeadlessWindow window(settings);
    int before = window.ListenReports();
    window.StartService(port);
    if (sweepSeconds > 0) window.SetSweepPeriod(sweepSeconds * 1000);
    int state = window.WaitListenReport(before, 30000);
    if (state != 1) {
      std::cerr << "start failed" << std::endl;
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
