#pragma once
// A writer of one workbook file format. It receives sheets and recognised rows in order and
// knows nothing of text import; limits (rows, columns, characters) are applied before rows
// reach it, by the saver.

#include "cells/cell.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

namespace engine {

struct WorkbookLimits
{
    int maxRows;
    int maxColumns;
    int maxCellCharacters = 32767; // UTF-16 code units, as spreadsheet applications count them
};

class WorkbookWriter
{
public:
    virtual ~WorkbookWriter() = default;
    virtual WorkbookLimits limits() const = 0;
    // Starts the file at `path` (the saver passes a temporary name and renames it afterwards).
    // `created` is written as the document time so the same input gives the same bytes.
    virtual bool begin(const QString& path, const QDateTime& created) = 0;
    // Starts a new sheet; the previous one is complete. Column formats are 0-based columns.
    virtual bool addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats) = 0;
    // Writes one row of the current sheet; `row` is 0-based within the sheet and increases
    // strictly; count <= maxColumns and every text fits maxCellCharacters.
    virtual bool writeRow(int row, const Cell* cells, int count) = 0;
    // Completes the file. After a false return (from any call) the file is incomplete and the
    // caller removes it.
    virtual bool finish() = 0;
    virtual QString errorString() const = 0;
};

} // namespace engine
