// The program: one window, one copy per user, ended from the tray menu.

#include <QApplication>
#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "gui/Icons.h"
#include "gui/Seams.h"
#include "gui/SingleInstance.h"
#include "gui/Translations.h"
#include "gui/uMain.h"

#ifndef KOVA_VERSION
#error "KOVA_VERSION comes from the project version in CMake"
#endif

namespace {

// Qt's own options that the program passes on; those marked take a value.
struct TQtOption {
  const char* Name;
  bool TakesValue;
};
constexpr TQtOption kQtOptions[] = {{"-platform", true}, {"-style", true}, {"-display", true}, {"-reverse", false}};

const char kHelp[] =
    "Usage: kova [OPTION]...\n"
    "Open the KOVA window: a TCP relay that listens on a port and forwards every client to a\n"
    "target server, directly or through an HTTP CONNECT, SOCKS 4 or SOCKS 5 proxy. All settings\n"
    "are made in the window. A second copy started by the same user says so and ends.\n"
    "\n"
    "Options:\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "  -platform NAME     Qt platform plugin, e.g. xcb, wayland or offscreen\n"
    "  -style NAME        Qt widget style, e.g. Fusion\n"
    "  -display DISPLAY   X display to use\n"
    "  -reverse           lay the window out right to left\n"
    "\n"
    "Without a display, kova-relay runs the same relay from a terminal.\n";

// Decided before Qt starts: help, version and bad arguments need no display and leave the
// single-instance lock alone. -1 to go on, else the exit code.
int CheckArguments(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("kova %s\n", KOVA_VERSION);
      return 0;
    }
    const TQtOption* qt = nullptr;
    for (const TQtOption& o : kQtOptions)
      if (std::strcmp(arg, o.Name) == 0) qt = &o;
    if (!qt) {
      std::fprintf(stderr, "kova: unknown argument '%s' (see kova --help)\n", arg);
      return 2;
    }
    if (qt->TakesValue && ++i >= argc) {
      std::fprintf(stderr, "kova: %s needs a value\n", arg);
      return 2;
    }
  }
  return -1;
}

// SIGTERM and SIGINT (a logout, kill, Ctrl-C) end the program as its "退出" does: the handler
// only writes a byte, and the window thread reads it and quits the normal way.
int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

kova::gui::TFormMain* gForm = nullptr;  // once the window exists

// Before the single-instance lock is taken, so a copy that holds it always ends cleanly; a
// signal that arrives before the window exists is acted on once the event loop runs.
void EndOnStopSignals(QApplication& app) {
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then the default action stays
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
    notifier->setEnabled(false);
    if (gForm)
      gForm->TmExitClick();
    else
      QCoreApplication::quit();
  });
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const int code = CheckArguments(argc, argv); code >= 0) return code;

  // A peer that resets a relayed connection must cost that relay, never the process.
  std::signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QApplication::setApplicationName(kova::gui::kAppTitle);
  // Ties the window to its menu entry (Wayland app id) and gives every box the program icon.
  QApplication::setDesktopFileName(QStringLiteral(KOVA_APP_ID));
  QApplication::setWindowIcon(kova::gui::MakeIcon(kova::gui::TIconKind::App));
  // Hidden to the tray is not closed: only the window's real close ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  kova::gui::InstallQtTranslations();
  EndOnStopSignals(app);

  // Before the window exists: a second copy says so and ends without touching the first.
  const kova::gui::TSingleInstance guard(
      kova::gui::TSingleInstance::KeyForExecutable(QApplication::applicationFilePath()));
  if (guard.AnotherCopyRuns()) {
    kova::gui::TUiSeam::ShowMessage(nullptr, QStringLiteral("KOVA数据转发服务程序已经运行!"), false);
    return 0;
  }

  kova::gui::TFormMain form;
  QObject::connect(&form, &kova::gui::TFormMain::programEndRequested, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  gForm = &form;
  form.show();
  const int code = app.exec();
  gForm = nullptr;
  return code;
  // The window's destruction ends the listener, then the workers, then the sockets.
}
