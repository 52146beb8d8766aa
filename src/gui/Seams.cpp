#include "gui/Seams.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <memory>

namespace kova::gui {
namespace {

TUiSeam::MessageHook& MessageHookRef() {
  static TUiSeam::MessageHook hook;
  return hook;
}
TUiSeam::FileHook& FileHookRef() {
  static TUiSeam::FileHook hook;
  return hook;
}
TUiSeam::TrayHook& TrayHookRef() {
  static TUiSeam::TrayHook hook;
  return hook;
}

// A name with '*' or '?' is a pattern for the listing, as on the desktop the list files come
// from: accepting it shows only the names that match and keeps the dialog open.
class TFileDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    auto* nameBox = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QString typed = nameBox ? nameBox->text().trimmed() : QString();
    const QFileInfo info(typed);
    const QString pattern = info.fileName();
    if (!pattern.contains(QLatin1Char('*')) && !pattern.contains(QLatin1Char('?'))) {
      QFileDialog::accept();
      return;
    }
    if (typed.contains(QLatin1Char('/'))) setDirectory(QDir(directory()).absoluteFilePath(info.path()));
    // The type box stays as it is; choosing a type again replaces this pattern.
    if (auto* listing = findChild<QFileSystemModel*>())
      listing->setNameFilters(pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts));
    nameBox->setText(pattern);
  }
};

}  // namespace

void TUiSeam::SetMessageHook(MessageHook hook) { MessageHookRef() = std::move(hook); }
void TUiSeam::SetFileHook(FileHook hook) { FileHookRef() = std::move(hook); }
void TUiSeam::SetTrayAvailableHook(TrayHook hook) { TrayHookRef() = std::move(hook); }

void TUiSeam::ShowMessage(QWidget* parent, const QString& text, bool error, const QString& informative) {
  if (MessageHookRef()) {
    MessageHookRef()(kAppTitle, text, error, informative);
    return;
  }
  const QString log = qEnvironmentVariable("KOVA_TEST_MESSAGE_LOG");
  if (!log.isEmpty()) {
    QFile f(log);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write((kAppTitle + '\t' + text + (informative.isEmpty() ? "" : '\t' + informative) + '\n').toUtf8());
    return;
  }
  QMessageBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, kAppTitle, text,
                  QMessageBox::Ok, parent);
  box.setInformativeText(informative);
  box.exec();
}

QString TUiSeam::AskFileName(QWidget* parent, const TFileRequest& request) {
  if (FileHookRef()) return FileHookRef()(request);
  std::unique_ptr<QFileDialog> dialog(MakeFileDialog(parent, request));
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
  return dialog->selectedFiles().first();
}

QFileDialog* TUiSeam::MakeFileDialog(QWidget* parent, const TFileRequest& request) {
  auto* dialog = new TFileDialog(parent);
  // Qt's own dialog: the type labels must read exactly as given, with their patterns hidden.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  QStringList filters;
  for (qsizetype i = 0; i < request.FilterLabels.size(); ++i)
    filters << request.FilterLabels[i] + QStringLiteral(" (") + request.FilterPatterns.value(i) + ')';
  dialog->setNameFilters(filters);
  dialog->selectNameFilter(filters.value(0));
  dialog->setDirectory(request.Folder);
  dialog->selectFile(request.InitialName);
  dialog->setDefaultSuffix(request.DefaultSuffix);
  if (request.Save) {
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
  } else {
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::AnyFile);  // a missing file is reported by the load itself
  }
  return dialog;
}

bool TUiSeam::TrayAvailable() {
  if (TrayHookRef()) return TrayHookRef()();
  return QSystemTrayIcon::isSystemTrayAvailable();
}

namespace {
QString& ListenAddressSetting() {
  static QString address;
  return address;
}
}  // namespace

void TUiSeam::SetListenAddress(const QString& address) { ListenAddressSetting() = address; }
QString TUiSeam::ListenAddress() { return ListenAddressSetting(); }

}  // namespace kova::gui
