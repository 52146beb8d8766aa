#include "gui/ServerList.h"

#include <cerrno>
#include <cstring>

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace kova::gui {

std::optional<TTarget> SplitTarget(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return std::nullopt;
  return TTarget{text.substr(0, colon), text.substr(colon + 1)};
}

QStringList EntriesFromEditText(const QString& text) {
  if (text.isEmpty()) return {};
  QStringList lines = text.split(QLatin1Char('\n'));
  if (lines.last().isEmpty()) lines.removeLast();  // the final break ends a line, starts none
  return lines;
}

QString EditTextFromEntries(const QStringList& entries) {
  QString text;
  for (const QString& e : entries) {
    text += e;
    text += QLatin1Char('\n');
  }
  return text;
}

QByteArray FileBytesFromEditText(const QString& text) {
  QByteArray bytes = text.toLocal8Bit();
  bytes.replace("\n", "\r\n");
  return bytes;
}

QString EditTextFromFileBytes(const QByteArray& bytes) {
  QByteArray out;
  out.reserve(bytes.size());
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      out += '\n';
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;  // CR LF is one break
    } else {
      out += c;
    }
  }
  return QString::fromLocal8Bit(out);
}

int ReadWholeFile(const QString& path, QByteArray& bytes) {
  bytes.clear();
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;  // e.g. a folder opens fine and fails here
      ::close(fd);
      bytes.clear();
      return error;
    }
  }
  ::close(fd);
  return 0;
}

int WriteWholeFile(const QString& path, const QByteArray& bytes) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      return error;
    }
    done += n;
  }
  // A full disk may only show at close on some file systems; a lost tail must not look saved.
  if (::close(fd) != 0) return errno;
  return 0;
}

QString FileErrorText(bool creating, const QString& absolutePath, int error) {
  QString reason = QString::fromLocal8Bit(std::strerror(error));
  if (!reason.endsWith(QLatin1Char('.'))) reason += QLatin1Char('.');
  return QStringLiteral("%1 \"%2\". %3")
      .arg(creating ? QStringLiteral("Cannot create file") : QStringLiteral("Cannot open file"),
           absolutePath, reason);
}

}  // namespace kova::gui
