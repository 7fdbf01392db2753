#pragma once
// The options of one conversion job: what the window's controls (or the command line) say when
// the job starts. The front end fills a record and hands the worker its own copy; nothing else
// shares it.

#include <QByteArray>
#include <QChar>
#include <QList>
#include <QString>

// The column delimiter.
enum class Delimiter { Tab, Semicolon, Comma, Space };

// Everything that is said about a delimiter, in one table (conversionoptions.cpp): its value in the
// settings file ("1" to "4", DelimiterChoice), the character that separates cells, and its name on
// the command line.
QByteArray settingsValueOf(Delimiter delimiter);
// The delimiter a stored settings value stands for: its first character "2", "3" or "4"; anything
// else (an empty value included) is the tab.
Delimiter delimiterFromSettingsValue(const QByteArray& value);
QChar separatorOf(Delimiter delimiter);
// The delimiter of a command-line name, in any letter case; false when there is none.
bool delimiterFromName(const QString& name, Delimiter* delimiter);
// The names, in the delimiters' order, for help texts and messages ("tab, semicolon, comma, space").
QString delimiterNames();
// Every delimiter, in the table's order.
QList<Delimiter> delimiters();

struct ConversionOptions
{
    QString sourceFolder;
    QString saveFolder;
    bool saveToSourceFolder = false;
    bool xlsxOutput = true;
    Delimiter delimiter = Delimiter::Tab;
    bool consecutiveDelimiters = false;
    bool textColumnsEnabled = false;
    QString textColumns;
    bool cellByCellMode = false;
    bool sourceUcs2 = false;
    bool sourceUtf8Bom = false;
    QString failureListPath;
};
