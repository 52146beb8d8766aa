#include "GuiTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cerrno>
#include <thread>

#include <sys/socket.h>

namespace kova::guitest {
namespace {

// One QApplication for the whole test program, on the offscreen platform.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsSet("KOVA_SCREENSHOT_PNG")
                                   ? qgetenv("QT_QPA_PLATFORM")
                                   : QByteArray("offscreen"));
    static int argc = 1;
    static char name[] = "kova_gui_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (pred()) return true;
    if (clock.elapsed() >= deadline.count()) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // poll interval, not a hope
  }
}

void Spin(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

std::string ReadPumping(int fd, size_t n, std::chrono::milliseconds deadline) {
  std::string got;
  WaitFor(
      [&] {
        char buffer[4096];
        for (;;) {
          const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), MSG_DONTWAIT);
          if (r <= 0) break;
          got.append(buffer, static_cast<size_t>(r));
          if (got.size() >= n) break;
        }
        return got.size() >= n;
      },
      deadline);
  return got;
}

bool PeerClosedPumping(int fd, std::chrono::milliseconds deadline) {
  return WaitFor(
      [&] {
        char buffer[4096];
        for (;;) {
          const ssize_t r = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
          if (r == 0) return true;
          if (r < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;  // reset counts as closed
        }
      },
      deadline);
}

TSeamScope::TSeamScope() {
  gui::TUiSeam::SetMessageHook([this](const QString& title, const QString& text, bool error) {
    Messages.push_back({title, text, error});
  });
  gui::TUiSeam::SetFileHook([this](const gui::TFileRequest& request) {
    Requests.push_back(request);
    return NextFileName;
  });
  gui::TUiSeam::SetTrayAvailableHook([this] { return TrayAvailable; });
}

TSeamScope::~TSeamScope() {
  gui::TUiSeam::SetMessageHook(nullptr);
  gui::TUiSeam::SetFileHook(nullptr);
  gui::TUiSeam::SetTrayAvailableHook(nullptr);
}

}  // namespace kova::guitest
