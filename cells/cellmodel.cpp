#include "cells/cellmodel.h"

#include <algorithm>

namespace engine {

namespace {

bool columnLess(const CellModel::StoredCell& cell, int column)
{
    return cell.column < column;
}

} // namespace

CellModel::StoredCell* CellModel::findOrInsert(int row, int column)
{
    // Cells are usually set row by row, left to right: appending at the end is the common case.
    auto rowIt = m_rows.empty() || m_rows.rbegin()->first < row ? m_rows.emplace_hint(m_rows.end(), row, Row{})
                                                                : m_rows.try_emplace(row).first;
    std::vector<StoredCell>& cells = rowIt->second.cells;
    if (cells.empty() || cells.back().column < column) {
        cells.emplace_back();
        cells.back().column = column;
        ++m_cellCount;
        return &cells.back();
    }
    auto it = std::lower_bound(cells.begin(), cells.end(), column, columnLess);
    if (it == cells.end() || it->column != column) {
        it = cells.emplace(it);
        it->column = column;
        ++m_cellCount;
    }
    return &*it;
}

void CellModel::setCell(int row, int column, const Cell& cell)
{
    if (cell.type == CellType::Empty && cell.format == NumberFormat::General) {
        auto rowIt = m_rows.find(row);
        if (rowIt == m_rows.end())
            return;
        std::vector<StoredCell>& cells = rowIt->second.cells;
        auto it = std::lower_bound(cells.begin(), cells.end(), column, columnLess);
        if (it != cells.end() && it->column == column) {
            cells.erase(it);
            --m_cellCount;
        }
        if (cells.empty() && rowIt->second.sourceLine == 0)
            m_rows.erase(rowIt);
        return;
    }
    StoredCell* stored = findOrInsert(row, column);
    stored->type = cell.type;
    stored->format = cell.format;
    stored->number = cell.number;
    stored->text.assign(cell.text.data(), cell.text.size());
}

void CellModel::setCellFormat(int row, int column, NumberFormat format)
{
    findOrInsert(row, column)->format = format;
}

const CellModel::StoredCell* CellModel::cell(int row, int column) const
{
    auto rowIt = m_rows.find(row);
    if (rowIt == m_rows.end())
        return nullptr;
    const std::vector<StoredCell>& cells = rowIt->second.cells;
    auto it = std::lower_bound(cells.begin(), cells.end(), column, columnLess);
    return it != cells.end() && it->column == column ? &*it : nullptr;
}

void CellModel::setColumnFormat(int column, NumberFormat format)
{
    if (format == NumberFormat::General)
        m_columnFormats.erase(column);
    else
        m_columnFormats[column] = format;
}

NumberFormat CellModel::columnFormat(int column) const
{
    auto it = m_columnFormats.find(column);
    return it == m_columnFormats.end() ? NumberFormat::General : it->second;
}

NumberFormat CellModel::effectiveFormat(int row, int column) const
{
    const StoredCell* stored = cell(row, column);
    if (stored && stored->format != NumberFormat::General)
        return stored->format;
    return columnFormat(column);
}

void CellModel::setSourceLine(int row, std::int64_t line)
{
    auto rowIt = m_rows.empty() || m_rows.rbegin()->first < row ? m_rows.emplace_hint(m_rows.end(), row, Row{})
                                                                : m_rows.try_emplace(row).first;
    rowIt->second.sourceLine = line;
}

class CellModelRowSource : public RowSource
{
public:
    explicit CellModelRowSource(const CellModel& model) : m_model(model), m_next(model.m_rows.begin()) {}

    std::vector<std::pair<int, NumberFormat>> columnFormats() const override
    {
        return {m_model.m_columnFormats.begin(), m_model.m_columnFormats.end()};
    }

    bool nextRow(RowView& row) override
    {
        // Rows that only carry formats or a line number have no cells to write; skip them so a
        // writer never sees an empty row.
        while (m_next != m_model.m_rows.end() && m_next->second.cells.empty())
            ++m_next;
        if (m_next == m_model.m_rows.end())
            return false;
        const std::vector<CellModel::StoredCell>& stored = m_next->second.cells;
        const int width = stored.back().column + 1;
        m_cells.assign(std::size_t(width), Cell{});
        for (const CellModel::StoredCell& cell : stored)
            m_cells[std::size_t(cell.column)] = cell.view();
        row.index = m_next->first;
        row.cells = m_cells.data();
        row.count = width;
        row.sourceLine = m_next->second.sourceLine;
        ++m_next;
        return true;
    }

private:
    const CellModel& m_model;
    std::map<int, CellModel::Row>::const_iterator m_next;
    std::vector<Cell> m_cells;
};

std::unique_ptr<RowSource> CellModel::rows() const
{
    return std::make_unique<CellModelRowSource>(*this);
}

} // namespace engine
