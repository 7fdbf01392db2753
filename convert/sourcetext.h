#pragma once
// A source text for the routes in which the worker reads it itself: the cell-by-cell route needs
// the whole decoded text, and a spreadsheet application that does not read source texts (the
// COM route) imports an import file that holds the text in the system's 8-bit code page. An
// application that reads source texts (the embedded engine) is handed the source itself.
//
// The user's encoding choice selects the decoding (codePageForChoice): "UCS-2(UTF-16)",
// "UTF8BOM" (the bytes are taken as text of the system's 8-bit code page), or neither (the
// encoding is recognised: unicode/detection.h). A byte-order mark overrides the choice. The
// decoding is the unicode module's: NUL characters, which no cell can hold, are left out instead
// of ending the text there, and every character that had to be replaced is reported with its
// line.

#include "automation/failure.h"
#include "convert/conversionoptions.h"
#include "files/filedevice.h"
#include "unicode/decodingreport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// The code page of the import for the user's encoding choice: 2, the system's 8-bit code page,
// for "UTF8BOM" (which wins when both are set); 1200, UTF-16, for "UCS-2(UTF-16)"; 0, recognise,
// for neither.
int codePageForChoice(const ConversionOptions& options);

// A whole decoded source.
struct DecodedSource
{
    QString text;
    unicode::DecodingReport report; // the encoding it was read in and what had to be repaired
};

// Decodes a whole source's bytes by the options.
DecodedSource decodeSourceBytes(const QByteArray& bytes, const ConversionOptions& options);

// Reads and decodes one source file. The failure, when it cannot be opened or read, says why
// (the system's cause, in Chinese); no failure when it was read.
Failure readSourceText(const QString& nativePath, const ConversionOptions& options, DecodedSource* source);

// The import file of one source. It is written in the system's 8-bit code page, whose number is
// announced to the import (936 for GBK, 65001 for UTF-8, ...); when the text holds characters that
// code page cannot represent, it is written in UTF-8 (65001) instead, so nothing is replaced by a
// default character.
struct ImportFileResult
{
    bool ok = false;
    bool sourceUnreadable = false; // the source could not be opened or read
    Failure failure;               // why not ok: the source's failure, or the import file's
    int codePage = 65001;
    QStringList warnings; // what the decoding had to repair
};

// Decodes a source and writes its text into the import file (created or emptied), without a
// byte-order mark and with the line ends as they are, read and written in pieces so memory does
// not grow with the size of the file. The import file carries the source's modification time,
// so the workbook's document time is the same on every run.
ImportFileResult prepareImportFile(const QString& nativePath, const QString& importFilePath,
                                   const ConversionOptions& options);
