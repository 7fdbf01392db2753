#pragma once
// xls/: the .xls writer (this header) and what it is built from: BIFF8 records (biff8.h), the
// shared string table (sharedstrings.h), bytes kept in memory or spilled to a temporary file
// (spillfile.h), and the libgsf output onto a device that carries the OLE2 container
// (gsfdeviceoutput.h).
//
// The .xls (Excel 97-2003, BIFF8) workbook writer: BIFF8 records of our own in an OLE2 compound
// file written through libgsf.

#include "cells/workbookwriter.h"

#include <cstddef>
#include <memory>

namespace engine {

// A new .xls writer; null where the .xls container library is missing.
std::unique_ptr<WorkbookWriter> createXlsWriter();

// Writes a BIFF8 workbook. The shared string table must precede the sheets in the file but is
// complete only at the end, so sheet records are kept until finish(): in memory up to a
// threshold, then in a temporary file. The table itself keeps its records and most of its lookup
// on disk too (sharedstrings.h): memory stays flat however many rows and texts a workbook has.
class XlsWriter final : public WorkbookWriter
{
public:
    XlsWriter();
    ~XlsWriter() override;

    WorkbookLimits limits() const override;
    using WorkbookWriter::begin;
    bool begin(QIODevice* device, const QDateTime& created) override;
    bool addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats) override;
    bool writeRow(int row, const Cell* cells, int count) override;
    bool finish() override;
    QString errorString() const override;
    int temporaryFileError() const override;

    // Sheet records held in memory before they move to a temporary file (default 4 MiB).
    void setSpillThreshold(std::size_t bytes);
    // Memory for looking up the shared strings (default 24 MiB); only before the first text.
    void setStringMemoryBudget(std::size_t bytes);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace engine
