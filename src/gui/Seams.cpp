#include "gui/Seams.h"

#include <QFile>
#include <QFileDialog>
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

}  // namespace

void TUiSeam::SetMessageHook(MessageHook hook) { MessageHookRef() = std::move(hook); }
void TUiSeam::SetFileHook(FileHook hook) { FileHookRef() = std::move(hook); }
void TUiSeam::SetTrayAvailableHook(TrayHook hook) { TrayHookRef() = std::move(hook); }

void TUiSeam::ShowMessage(QWidget* parent, const QString& text, bool error) {
  if (MessageHookRef()) {
    MessageHookRef()(kAppTitle, text, error);
    return;
  }
  const QString log = qEnvironmentVariable("KOVA_TEST_MESSAGE_LOG");
  if (!log.isEmpty()) {
    QFile f(log);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append)) f.write((kAppTitle + '\t' + text + '\n').toUtf8());
    return;
  }
  QMessageBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, kAppTitle, text,
                  QMessageBox::Ok, parent);
  box.exec();
}

QString TUiSeam::AskFileName(QWidget* parent, const TFileRequest& request) {
  if (FileHookRef()) return FileHookRef()(request);
  std::unique_ptr<QFileDialog> dialog(MakeFileDialog(parent, request));
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
  return dialog->selectedFiles().first();
}

QFileDialog* TUiSeam::MakeFileDialog(QWidget* parent, const TFileRequest& request) {
  auto* dialog = new QFileDialog(parent);
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

}  // namespace kova::gui
