#pragma once
// settings/: what the window program keeps between runs and starts with: the settings file (this
// header) and the values recorded at start-up (startupvalues.h).
//
// The settings file: one small text of key=value lines beside the executable that keeps the user's
// choices between runs. The window loads it once at construction, looks up each key in that loaded
// text and writes a key back to the file whenever the user changes the matching control.
//
// Format: a key is recognised only at the start of a line (the first line may begin with a UTF-8
// byte-order mark), written as the key, "=" and the value. A line ends at CR LF, at a bare LF or at
// the end of the text. Keys are case-sensitive and the first line that holds a key wins. Values are
// byte strings in the locale's 8-bit encoding; blanks and tabs around a value are not part of it.
// The program writes CR LF line ends and never creates the file.

#include <QByteArray>
#include <QString>

// The keys the program uses.
namespace SettingsKey {
constexpr char SourcePath[] = "SourcePath";
constexpr char SavePath[] = "SavePath";
constexpr char SaveToQuondamPath[] = "SaveToQuondamPath";
constexpr char XlsxMode[] = "xlsxMode";
constexpr char DelimiterChoice[] = "vbaOpenFunFomatArg";
} // namespace SettingsKey

// Limits. A file larger than SettingsFileCapacity is not loaded and never rewritten; a value longer
// than SettingsValueCapacity is neither read nor written; a write that would grow the file by more
// than SettingsWriteGrowth bytes, or beyond SettingsFileCapacity, is refused and the file is kept.
constexpr int SettingsFileCapacity = 10239;
constexpr int SettingsValueCapacity = 1023;
constexpr int SettingsWriteGrowth = 2048;

// Reads the whole settings file into `text`. Returns 0 on success, -1 when the file cannot be read
// or is larger than SettingsFileCapacity; `text` is left untouched then.
int LoadSettingsText(const QString& path, QByteArray* text);

// The value of `key` in a loaded text: the bytes after "key=" up to the end of that line, without
// leading and trailing blanks and tabs. Empty when the key is missing or its value is longer than
// SettingsValueCapacity (a value cut short would name some other folder).
QByteArray GetSettingValue(const QByteArray& text, const char* key);

// Rewrites the file with `key` set to `value`: the key's first line is replaced, or a new line is
// appended (after a CR LF when the file's last line has no line end). Every other line stays as it
// was. Returns 0 on success, -1 when the file cannot be read (nothing is created), when the value
// holds a line break or exceeds SettingsValueCapacity, when the result would break the limits, or
// when the file cannot be written; in each failure the file stays as it was.
int SetSettingValue(const QString& path, const char* key, const QByteArray& value);
