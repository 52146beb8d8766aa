#pragma once
// The window's modal moments (message boxes, file dialogs) and the desktop facts it depends on
// go through here, so tests can answer them without a person and without blocking.

#include <functional>

#include <QString>
#include <QStringList>

class QFileDialog;
class QWidget;

namespace kova::gui {

inline const QString kAppTitle = QStringLiteral("KOVA 2.0");

struct TFileRequest {
  bool Save = false;
  QStringList FilterLabels;    // what the type box shows, in order
  QStringList FilterPatterns;  // the pattern each label stands for
  QString InitialName;
  QString Folder;
  QString DefaultSuffix;
};

class TUiSeam {
 public:
  // error: a file error box (error icon) rather than the program's plain one-button message;
  // informative: the box's second line, empty for none.
  using MessageHook =
      std::function<void(const QString& title, const QString& text, bool error, const QString& informative)>;
  // Returns the chosen file name, empty when cancelled.
  using FileHook = std::function<QString(const TFileRequest& request)>;
  using TrayHook = std::function<bool()>;

  static void SetMessageHook(MessageHook hook);
  static void SetFileHook(FileHook hook);
  static void SetTrayAvailableHook(TrayHook hook);

  // Without a hook: a modal box titled kAppTitle with one OK button. When KOVA_TEST_MESSAGE_LOG
  // names a file (only the tests set it), the box is not shown and "title\ttext" is appended there
  // (with "\tinformative" when there is one).
  static void ShowMessage(QWidget* parent, const QString& text, bool error, const QString& informative = {});
  // A name with '*' or '?' is never returned: the dialog filters its listing with it and stays.
  static QString AskFileName(QWidget* parent, const TFileRequest& request);
  // The dialog AskFileName runs, configured but not shown; the caller owns it.
  static QFileDialog* MakeFileDialog(QWidget* parent, const TFileRequest& request);
  static bool TrayAvailable();
  // The window has no field for the listening address; tests pin the listener to loopback.
  static void SetListenAddress(const QString& address);
  static QString ListenAddress();  // empty: the machine's own address
};

}  // namespace kova::gui
