#pragma once
// A stream of recognised rows, the seam between where rows come from (a text import read as it
// goes, or cells set one by one) and the workbook writers.

#include "automation/failure.h"
#include "cells/cell.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <utility>
#include <vector>

namespace engine {

struct RowView
{
    std::int64_t index = 0;      // 0-based row in the unsplit sheet; strictly increasing, gaps allowed
    const Cell* cells = nullptr; // cells[c] is column c (0-based); Empty cells are not written
    int count = 0;
    std::int64_t sourceLine = 0; // 1-based line of the text where the row starts (0 if none)
};

class RowSource
{
public:
    virtual ~RowSource() = default;
    // Column formats known before the first row (text columns carry NumberFormat::Text),
    // 0-based sheet columns.
    virtual std::vector<std::pair<int, NumberFormat>> columnFormats() const { return {}; }
    // The next row; false at the end or on an error (then failure() says why). The row's cells
    // stay valid until the next call.
    virtual bool nextRow(RowView& row) = 0;
    virtual Failure failure() const { return {}; }
    // What the source could not give as its text had it (characters that could not be decoded,
    // say), one message each; complete once nextRow() has returned false.
    virtual QStringList warnings() const { return {}; }
};

} // namespace engine
