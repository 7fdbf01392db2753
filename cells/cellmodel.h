#pragma once
// The cell-by-cell store of a workbook whose values are set one cell at a time (an added
// workbook, or an imported one that is changed afterwards). Rows are sparse and every cell owns
// its text, so memory grows with the cells set, not with the sheet's extent.

#include "cells/cell.h"
#include "cells/rowsource.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace engine {

class CellModel
{
public:
    // A cell as the model keeps it: Cell with the text owned. A stored Empty cell only carries a
    // number format of its own (set before a value).
    struct StoredCell
    {
        int column = 0;
        CellType type = CellType::Empty;
        NumberFormat format = NumberFormat::General;
        double number = 0;
        std::string text;

        Cell view() const { return Cell{type, format, number, text}; }
    };

    // Stores `cell` at (row, column), both 0-based; its text is copied. An Empty cell with the
    // General format removes whatever was there.
    void setCell(int row, int column, const Cell& cell);
    // Gives one cell a number format of its own, keeping its value.
    void setCellFormat(int row, int column, NumberFormat format);
    // Null when nothing is stored at (row, column).
    const StoredCell* cell(int row, int column) const;

    void setColumnFormat(int column, NumberFormat format);
    NumberFormat columnFormat(int column) const;
    // The format a value set into (row, column) falls under: the cell's own, else the column's.
    NumberFormat effectiveFormat(int row, int column) const;

    // Remembers the text line a row came from, for messages about that row.
    void setSourceLine(int row, std::int64_t line);

    std::size_t cellCount() const { return m_cellCount; }

    // A stream of the model's rows in order, for saving. The model must outlive the source and
    // stay unchanged while it is read.
    std::unique_ptr<RowSource> rows() const;

private:
    struct Row
    {
        std::int64_t sourceLine = 0;
        std::vector<StoredCell> cells; // sorted by column
    };
    friend class CellModelRowSource;

    StoredCell* findOrInsert(int row, int column);

    std::map<int, Row> m_rows;
    std::map<int, NumberFormat> m_columnFormats;
    std::size_t m_cellCount = 0;
};

} // namespace engine
