#pragma once
// Shared pieces of the window tests: the application object, waiting with deadlines while the
// event loop runs, recording message boxes and answering file dialogs.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QString>
#include <QWidget>

#include "gui/Seams.h"

namespace kova::guitest {

// Runs the event loop until pred holds or the deadline passes; returns the last result.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline = std::chrono::seconds(5));
// Runs the event loop for about `ms` milliseconds (for things that must NOT happen).
void Spin(int ms);

// Socket reads for tests whose relay runs through this thread's event loop: they keep the loop
// turning while they wait, so the window can take the connection and set up the relay.
std::string ReadPumping(int fd, size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(8));
bool PeerClosedPumping(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(8));

struct TShownMessage {
  QString Title;
  QString Text;
  bool Error;
};

// Installs hooks for the boxes and dialogs for one test and removes them at its end.
class TSeamScope {
 public:
  TSeamScope();
  ~TSeamScope();
  std::vector<TShownMessage> Messages;
  std::vector<gui::TFileRequest> Requests;
  QString NextFileName;  // the dialogs' answer; empty = cancelled
  bool TrayAvailable = false;
};

template <typename T = QWidget>
T* Child(QWidget& root, const char* name) {
  T* w = root.findChild<T*>(QLatin1String(name));
  EXPECT_NE(w, nullptr) << "no control named " << name;
  return w;
}

inline void Click(QWidget& root, const char* name) {
  auto* b = Child<QAbstractButton>(root, name);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(b->isEnabled()) << name << " is disabled";
  b->click();
}

}  // namespace kova::guitest
