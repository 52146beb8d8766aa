#include "gui/ServerList.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <QFile>

#include "net/NetUtil.h"

#include <fcntl.h>
#include <unistd.h>

namespace kova::gui {

std::optional<TTarget> UsableServer(const std::string& text) {
  TTarget t;
  if (!UsableTarget(text, t.Host, t.Port)) return std::nullopt;
  return t;
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

namespace {

constexpr char16_t kRawByteBase = 0xF700;  // private use: no keyboard layout produces these

bool IsRawBytePlaceholder(char32_t c) { return c >= kRawByteBase && c <= kRawByteBase + 0xFF; }

// Valid characters the edit box cannot hold as they are: the document turns its paragraph
// separator and its two frame marks into line breaks.
bool KeptAsCharacter(char32_t c) {
  return !IsRawBytePlaceholder(c) && c != 0x2029 && c != 0xFDD0 && c != 0xFDD1;
}

// Length of the well-formed UTF-8 sequence at p[0..n), 0 if there is none; its code point in cp.
int Utf8Sequence(const unsigned char* p, qsizetype n, char32_t& cp) {
  const unsigned char b = p[0];
  cp = b;
  if (b < 0x80) return 1;
  const int len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (len == 0 || n < len) return 0;
  cp &= 0x7F >> len;  // the lead byte's payload bits
  for (int k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[k] & 0x3F);
  }
  // Overlong forms, surrogates and code points past the last plane are not valid text.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

}  // namespace

QString TextFromBytes(const QByteArray& bytes) {
  QString text;
  text.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
  const qsizetype n = bytes.size();
  for (qsizetype i = 0; i < n;) {
    char32_t cp = 0;
    const int len = Utf8Sequence(p + i, n - i, cp);
    if (len > 0 && KeptAsCharacter(cp)) {
      if (cp < 0x10000) {
        text += QChar(static_cast<char16_t>(cp));
      } else {
        text += QChar(QChar::highSurrogate(cp));
        text += QChar(QChar::lowSurrogate(cp));
      }
      i += len;
    } else {
      for (const qsizetype end = i + std::max(len, 1); i < end; ++i) text += QChar(char16_t(kRawByteBase + p[i]));
    }
  }
  return text;
}

QByteArray BytesFromText(const QString& text) {
  QByteArray bytes;
  bytes.reserve(text.size());
  qsizetype typed = 0;  // start of the stretch of ordinary characters not yet written
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (!IsRawBytePlaceholder(c)) continue;
    bytes += QStringView(text).mid(typed, i - typed).toUtf8();
    bytes += static_cast<char>(c - kRawByteBase);
    typed = i + 1;
  }
  bytes += QStringView(text).mid(typed).toUtf8();
  return bytes;
}

std::string EngineTextFromText(const QString& text) {
  std::string bytes = BytesFromText(text).toStdString();
  if (bytes.find('\0') != std::string::npos) bytes.clear();
  return bytes;
}

QByteArray FileBytesFromEditText(const QString& text) {
  QByteArray bytes = BytesFromText(text);
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
  return TextFromBytes(out);
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
