#pragma once
// A writer of one workbook file format. It receives sheets and recognised rows in order and
// knows nothing of text import; limits (rows, columns, characters) are applied before rows
// reach it, by the saver.

#include "cells/cell.h"

#include <QDateTime>
#include <QString>

#include <memory>

class QIODevice;

namespace files {
class AtomicFile;
}
#include <utility>
#include <vector>

namespace engine {

// What both file formats allow: a sheet name of 1 to MaxSheetNameLength characters, and
// MaxCellCharacters in a cell (both in UTF-16 code units, as spreadsheet applications count).
constexpr int MaxSheetNameLength = 31;
constexpr int MaxCellCharacters = 32767;

struct WorkbookLimits
{
    int maxRows;
    int maxColumns;
    int maxCellCharacters = MaxCellCharacters;
};

class WorkbookWriter
{
public:
    WorkbookWriter();
    virtual ~WorkbookWriter();
    WorkbookWriter(const WorkbookWriter&) = delete;
    WorkbookWriter& operator=(const WorkbookWriter&) = delete;

    virtual WorkbookLimits limits() const = 0;
    // Starts the workbook on `device`, open for writing and seekable (the containers patch what
    // they wrote earlier). The writer neither owns nor closes it; the saver hands it a temporary
    // file and puts that in place afterwards. `created` is written as the document time so the
    // same input gives the same bytes.
    virtual bool begin(QIODevice* device, const QDateTime& created) = 0;
    // Starts the workbook in a file at `path` that appears there, complete, when finish()
    // succeeds, and not at all otherwise. For tools and tests; the program saves through the
    // saver.
    bool begin(const QString& path, const QDateTime& created);
    // Starts a new sheet; the previous one is complete. Column formats are 0-based columns.
    virtual bool addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats) = 0;
    // Writes one row of the current sheet; `row` is 0-based within the sheet and increases
    // strictly; count <= maxColumns and every text fits maxCellCharacters.
    virtual bool writeRow(int row, const Cell* cells, int count) = 0;
    // Completes the file. After a false return (from any call) the file is incomplete and the
    // caller removes it.
    virtual bool finish() = 0;
    virtual QString errorString() const = 0;
    // The system error (errno) that made a write to the writer's own temporary files fail, 0 when
    // none did: a full or size-limited temporary folder rather than the workbook's own device.
    virtual int temporaryFileError() const { return 0; }

protected:
    // For finish() once the workbook is complete: puts the file of begin(path) in place. True
    // when the writer was begun on a device of the caller's.
    bool commitOwnFile(QString* error);
    // Why begin(path) could not make its file; empty otherwise.
    QString ownFileError() const { return m_ownFileError; }

private:
    std::unique_ptr<files::AtomicFile> m_ownFile;
    QString m_ownFileError;
};

} // namespace engine
