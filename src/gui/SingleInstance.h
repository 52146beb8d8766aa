#pragma once
// One copy per user: an exclusive lock on a file named after the executable (upper case) in the
// user's runtime folder. The system drops the lock when the holder dies, so a crashed or killed
// first copy never blocks the next start.

#include <QString>

namespace kova::gui {

class TSingleInstance {
 public:
  // key: the guard's name, e.g. KeyForExecutable(...); folder: where the lock file lives.
  explicit TSingleInstance(const QString& key, const QString& folder = DefaultFolder());
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  bool AnotherCopyRuns() const { return anotherCopy_; }
  QString LockPath() const { return path_; }

  // "/usr/bin/kova" -> "KOVA": the file name without folder, in upper case.
  static QString KeyForExecutable(const QString& executablePath);
  // $XDG_RUNTIME_DIR, else the shared temporary folder.
  static QString DefaultFolder();
  // The lock file of a key in a folder; in the shared folder the user id keeps users apart.
  static QString LockPathFor(const QString& key, const QString& folder);

 private:
  QString path_;
  int fd_ = -1;
  bool anotherCopy_ = false;
};

}  // namespace kova::gui
