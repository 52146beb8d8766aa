#include "gui/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kova::gui {

QString TSingleInstance::KeyForExecutable(const QString& executablePath) {
  return QFileInfo(executablePath).fileName().toUpper();
}

QString TSingleInstance::DefaultFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) return runtime;
  return QDir::tempPath();
}

QString TSingleInstance::LockPathFor(const QString& key, const QString& folder) {
  QString name = key + QStringLiteral(".lock");
  if (folder == QDir::tempPath()) name = key + QLatin1Char('-') + QString::number(::getuid()) + QStringLiteral(".lock");
  return QDir(folder).filePath(name);
}

TSingleInstance::TSingleInstance(const QString& key, const QString& folder)
    : path_(LockPathFor(key, folder)) {
  // O_NOFOLLOW: in a shared folder another user's symlink must not redirect us.
  fd_ = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return;  // no guard possible: better to run than to refuse for a file problem
  int r;
  do {
    r = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0 && errno == EWOULDBLOCK) anotherCopy_ = true;
}

TSingleInstance::~TSingleInstance() {
  // Closing drops the lock; the file stays so the next copy need not race on its creation.
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace kova::gui
