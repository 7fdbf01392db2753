#pragma once
// workbook/: saving rows as a workbook file (this header): the writer for a file-format code, the
// format's limits with continuation sheets and the "警告" sheet, sheet names, and the file put in
// place whole.
//
// Saving a stream of rows as a workbook file: the one place where a file format's limits are
// applied. Rows beyond a sheet's limit continue on further sheets; columns and characters that
// cannot be stored are cut and reported, in the result and on a last sheet of the workbook. The
// file is written as an unnamed temporary file beside the target and linked into place
// (files::AtomicFile), so an existing workbook is only ever replaced by a complete one, keeps its
// permissions and stays behind a symbolic link, and an interrupted save leaves nothing.

#include "automation/automation.h"
#include "cells/rowsource.h"
#include "cells/workbookwriter.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

class QIODevice;

namespace engine {

struct SaveResult
{
    bool ok = false;
    Failure failure;
    // The rows' own warnings (what their source could not read as written), then one message per
    // cut row or cell (capped; a last message counts the rest).
    QStringList warnings;
    std::int64_t rows = 0; // rows written, continuation sheets included
    int sheets = 0;        // sheets of rows, the warning sheet not counted
};

// Writes `rows` to `path` as .xlsx (51) or .xls (56); any other code writes nothing. The first
// sheet is named after `sheetBaseName` (made valid), continuation sheets after it with " (2)",
// " (3)" … `created` is the document time, so the same input gives the same bytes.
SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path, int fileFormat,
                        const QDateTime& created);

// The same with a given writer and limits no larger than the writer's own (tests use small ones).
SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path,
                        std::unique_ptr<WorkbookWriter> writer, const WorkbookLimits& limits, const QDateTime& created);

// Writes the workbook onto `device` (open for writing, seekable), which stays the caller's. A
// device that tells its system error (files::SystemErrorSource) gives a failure of that reason.
SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, QIODevice* device,
                        std::unique_ptr<WorkbookWriter> writer, const WorkbookLimits& limits, const QDateTime& created);

// No failure for a file-format code a writer serves (FileFormatXlsx, FileFormatXls); for any other,
// the failure of a save to `path` in it, which names the codes there are.
Failure fileFormatFailure(int fileFormat, const QString& path);

// `name` as a sheet may carry it: each of [ ] : * ? / \ (and control characters, and an
// apostrophe at either end) becomes "_", and the name is cut to 31 characters; empty gives
// "Sheet1".
QString validSheetName(const QString& name);

// The name of the `number`-th sheet (from 2) that continues the sheet `firstName`: the first
// name, cut so that the whole stays within 31 characters, followed by " (number)".
QString continuationSheetName(const QString& firstName, int number);

// The name of the last sheet that lists what was cut (another name when a data sheet has it).
extern const char* const warningSheetName;

} // namespace engine
