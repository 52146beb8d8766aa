// The server-list file as the window loads it (whole-file read, line breaks, entries, the
// "host:port" split) and the number boxes' text rule.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include <QByteArray>
#include <QString>

#include "FuzzCheck.h"
#include "gui/ServerList.h"
#include "gui/SpinEdit.h"

namespace {

// One in-memory file for all runs, opened by path as the window opens the chosen file.
const QString& ListFile(int& fd) {
  static int memFd = ::memfd_create("serverlist", MFD_CLOEXEC);
  static const QString path = QStringLiteral("/proc/self/fd/%1").arg(memFd);
  FUZZ_CHECK(memFd >= 0);
  fd = memFd;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  using namespace kova::gui;

  int fd = -1;
  const QString& path = ListFile(fd);
  FUZZ_CHECK(::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  QByteArray bytes;
  FUZZ_CHECK(ReadWholeFile(path, bytes) == 0 && bytes == input);

  // Every byte survives text and back; loading then saving changes line breaks (to CR LF) only.
  FUZZ_CHECK(BytesFromText(TextFromBytes(bytes)) == bytes);
  const QString edit = EditTextFromFileBytes(bytes);
  FUZZ_CHECK(!edit.contains(QLatin1Char('\r')));
  QByteArray crlf = bytes;
  crlf.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n");
  FUZZ_CHECK(FileBytesFromEditText(edit) == crlf);
  FUZZ_CHECK(EditTextFromFileBytes(FileBytesFromEditText(edit)) == edit);
  const QStringList entries = EntriesFromEditText(edit);
  FUZZ_CHECK(EntriesFromEditText(EditTextFromEntries(entries)) == entries);
  for (const QString& entry : entries) {
    // What the engine gets: never a name or port that a NUL would cut short.
    const std::string line = EngineTextFromText(entry);
    FUZZ_CHECK(line.find('\0') == std::string::npos);
    if (const auto target = UsableServer(line)) {
      // The host comes back as written: before the first ':', or the bracketed IPv6 literal.
      FUZZ_CHECK(!target->Host.empty() && !target->Port.empty());
      FUZZ_CHECK(target->Host + ":" + target->Port == line || "[" + target->Host + "]:" + target->Port == line);
    }
  }

  // The number boxes: any text either reads as a number that writes back the same way (blanks,
  // "+" and leading zeros aside) or is not a number; every int reads back as itself.
  const QString number = QString::fromUtf8(input);
  int value = 0;
  if (ParseWholeNumber(number, value)) {
    QString canonical = number.trimmed();
    const bool negative = canonical.startsWith(QLatin1Char('-'));
    if (negative || canonical.startsWith(QLatin1Char('+'))) canonical.remove(0, 1);
    while (canonical.size() > 1 && canonical.startsWith(QLatin1Char('0'))) canonical.remove(0, 1);
    if (negative && canonical != QLatin1String("0")) canonical.prepend(QLatin1Char('-'));
    FUZZ_CHECK(QString::number(value) == canonical);
  }
  if (size >= 4) {
    int32_t k = 0;
    std::memcpy(&k, data, 4);
    FUZZ_CHECK(ParseWholeNumber(QString::number(k), value) && value == k);
  }
  return 0;
}
