// The program: one window, one copy per user, ended from the tray menu.

#include <QApplication>
#include <QString>

#include <csignal>

#include "gui/Seams.h"
#include "gui/SingleInstance.h"
#include "gui/uMain.h"

int main(int argc, char* argv[]) {
  // A peer that resets a relayed connection must cost that relay, never the process.
  std::signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QApplication::setApplicationName(kova::gui::kAppTitle);
  // Hidden to the tray is not closed: only the window's real close ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

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
  form.show();
  return app.exec();
  // The window's destruction ends the listener, then the workers, then the sockets.
}
