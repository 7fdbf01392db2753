#pragma once
// Turns one source text file, whatever its encoding, into the decoded text and into the import
// file that the spreadsheet application imports. The user's encoding choice selects the decoding:
// "UCS-2(UTF-16)", "UTF8BOM" (the bytes are taken as text of the system's 8-bit code page), or
// neither (a UTF-16 byte-order mark selects UTF-16; else UTF-8 when the bytes are valid UTF-8;
// else GBK, read as its superset GB18030).
//
// NUL characters cannot be stored in a spreadsheet cell; they are dropped (and counted) instead of
// ending the text there, so nothing after a stray NUL is lost.

#include "automation/failure.h"
#include "convert/conversionoptions.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class QFile;

enum class SourceDecoding { Utf8, Gb18030, Utf16LE, Utf16BE, Local };

// Chooses the decoding of a file from the options, its first bytes and whether the whole file is
// valid UTF-8.
SourceDecoding chooseSourceDecoding(const ConversionOptions& options, const QByteArray& head, bool validUtf8);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool isValidUtf8(const char* data, qint64 size);

// Decodes a whole file's bytes by the options. droppedNul, when given, receives the number of
// NUL characters left out.
QString decodeSourceBytes(const QByteArray& bytes, const ConversionOptions& options, qint64* droppedNul = nullptr);

// Opens a source file for reading only, by its path's exact bytes (files/filesystem.h). Anything
// but a regular file (a FIFO, a device, a folder) is refused without blocking. `failure`, when
// given, receives why it cannot be opened.
bool openSourceFile(const QString& path, QFile& file, QString* errorString, Failure* failure = nullptr);

// Reads and decodes one source file. False (with errorString) when it cannot be opened or read;
// `failure`, when given, receives why it could not be opened.
bool readSourceText(const QString& nativePath, const ConversionOptions& options, QString* text, QString* errorString,
                    qint64* droppedNul = nullptr, Failure* failure = nullptr);

// The encoding the import file is written in and the code page announced to the import: the
// system's 8-bit code page (936 for GBK, 65001 for UTF-8, ...). When a text holds characters that
// code page cannot represent, the import file is written in UTF-8 (65001) instead, so nothing is
// replaced by a default character.
struct ImportFileResult
{
    bool ok = false;
    bool sourceUnreadable = false; // prepareImportFile only: the source could not be opened
    Failure sourceFailure;         // why it could not be opened
    int codePage = 65001;
    qint64 droppedNul = 0;
    QString errorString;
};

// The 8-bit code page's number, as announced to the import, for the locale's codec; 0 when the
// codec has no code-page number (the import file is then written in UTF-8).
int localCodePage();

// Writes `text` into the import file (created or emptied), without a byte-order mark and with
// the line ends as they are in the text. `modified`, when valid, becomes the file's modification
// time (the source's), so the workbook's document time is the same on every run.
ImportFileResult writeImportFile(const QString& importFilePath, const QString& text,
                                 const QDateTime& modified = QDateTime());

// The same result as readSourceText followed by writeImportFile, read and written in pieces so
// memory does not grow with the size of the file.
ImportFileResult prepareImportFile(const QString& nativePath, const QString& importFilePath,
                                   const ConversionOptions& options);
