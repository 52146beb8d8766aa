#pragma once
// The target server list's pure parts: the "IP:Port" split rule, the edit box <-> list rules and
// the list file's bytes, kept free of widgets so their exact behaviour can be tested directly.

#include <optional>
#include <string>

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kova::gui {

struct TTarget {
  std::string Host;
  std::string Port;
};

// The relay's own target rule ("[IPv6]:port", else split at the first ':', a numeric port
// 1..65535). Nothing is trimmed or resolved: a bad host shows up when the engine connects.
std::optional<TTarget> UsableServer(const std::string& text);

// Entries of the list, in order, from the edit box's text (lines separated by '\n'): an empty
// line in the middle is an empty entry, a break at the very end adds none.
QStringList EntriesFromEditText(const QString& text);
// The edit box's text for a list: every entry followed by a line break.
QString EditTextFromEntries(const QStringList& entries);

// Bytes <-> text that keeps every byte. Text valid in the system code page (UTF-8: Qt 6 reads
// every Unix locale so) reads as usual; any other byte becomes the placeholder U+F700 + byte,
// which turns back into that byte. Valid characters the edit box would not keep as they are
// (its own separators, and the placeholders themselves) are stored byte by byte the same way,
// so bytes -> text -> bytes gives the same bytes for any input. Typed text is written in UTF-8.
QString TextFromBytes(const QByteArray& bytes);
QByteArray BytesFromText(const QString& text);
// An entry as the engine gets it: its bytes, so a host made of placeholders stays what the file
// held and simply fails to resolve. A NUL byte would cut the name or port short at the resolver
// and so reach a different server: such an entry is handed over empty, which no target accepts.
std::string EngineTextFromText(const QString& text);

// File bytes of the edit box's text: lines separated by CR LF, nothing else changed.
QByteArray FileBytesFromEditText(const QString& text);
// Edit box text of a file: CR LF, lone CR and lone LF all become one line break; every other
// byte is kept as TextFromBytes keeps it.
QString EditTextFromFileBytes(const QByteArray& bytes);

// Whole-file read and write with the system's error number on failure (0 on success).
int ReadWholeFile(const QString& path, QByteArray& bytes);
int WriteWholeFile(const QString& path, const QByteArray& bytes);

// "Cannot open file "<path>". <system text>." and "Cannot create file ..." for the error box.
QString FileErrorText(bool creating, const QString& absolutePath, int error);

}  // namespace kova::gui
