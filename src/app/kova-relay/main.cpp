// kova-relay: the relay engine without a window, for servers, scripts, tests and benchmarks.
// Prints "listening <address> <port>" once listening (and tells systemd it is ready); runs until
// SIGINT or SIGTERM. Every setting is checked before anything listens (Options.cpp).

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "Options.h"
#include "engine/ConnectionLog.h"
#include "engine/HeadlessWindow.h"
#include "engine/Relay.h"
#include "engine/TrafficStats.h"

using namespace kova::relay;

int main(int argc, char** argv) {
  TRun run;
  if (const int code = ParseCommandLine(argc, argv, run); code >= 0) return code;

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
      const kova::TListenFailure why = window.Query([&] { return window.Engine()->ListenFailure(); });
      std::string where = why.Address.empty() ? run.Settings.ListenAddress : why.Address;
      if (where.empty()) where = "the machine's own address";
      std::cerr << kProgram << ": cannot listen on " << where << " port " << run.Port << ": " << (state == 2 ? why.Reason() : "no answer from the listener")
                << std::endl;
      exitCode = 1;
    } else {
      std::cout << "listening " << window.ListenAddress() << " " << window.BoundPort()
                << std::endl;
      sd_notify(0, "READY=1");  // does nothing outside a systemd service
      std::unique_ptr<kova::TStatsReporter> stats;
      if (run.StatsSeconds > 0)
        stats = std::make_unique<kova::TStatsReporter>(window, run.StatsSeconds, [](const std::string& line) {
          const std::string text = std::string(kProgram) + ": " + line + "\n";
          [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());  // one piece
        });
      int sig = 0;
      sigwait(&stopSignals, &sig);
    }
    window.Shutdown();
  }
  std::fflush(stdout);
  return exitCode;
}
