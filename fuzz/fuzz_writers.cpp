// The two writers: random recognised rows (gaps between rows, wide rows, long texts, odd numbers)
// saved as .xlsx or .xls under small random limits. Checks that the save succeeds and leaves no
// temporary file, and reads the file's structure back: the .xlsx zip directory is valid and holds
// one worksheet per expected sheet with the expected number of cells; the .xls compound file's
// Workbook stream is a clean chain of records with one BOF/EOF pair per sheet and the expected
// number of cell records.

#include "fuzzsupport.h"
#include "text/textimport.h"
#include "unicode/utf8.h"
#include "workbook/workbooksaver.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include <QDir>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-utils.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using engine::Cell;
using engine::CellType;

// Rows made from the payload: lines are rows, tabs separate fields. A line starting with 0x01
// leaves a gap of rows before it; a field starting with 0x02 is a text column's field, one starting
// with 0x03 followed by eight bytes is a raw double (NaN and infinities included).
class FuzzRows : public engine::RowSource
{
public:
    explicit FuzzRows(const QByteArray& payload)
    {
        unicode::utf8::appendRepaired(m_text, payload.constData(), std::size_t(payload.size()));
        std::size_t start = 0;
        std::int64_t index = 0;
        while (start <= m_text.size() && m_rows.size() < 400) {
            std::size_t end = m_text.find('\n', start);
            if (end == std::string::npos)
                end = m_text.size();
            std::string_view line(m_text.data() + start, end - start);
            if (!line.empty() && line.front() == '\x01') {
                index += 1 + (line.size() > 1 ? std::uint8_t(line[1]) * 7 : 0);
                line.remove_prefix(std::min<std::size_t>(2, line.size()));
            }
            Row row{index++, {}};
            std::size_t fieldStart = 0;
            while (fieldStart <= line.size()) {
                std::size_t tab = line.find('\t', fieldStart);
                if (tab == std::string_view::npos)
                    tab = line.size();
                std::string_view field = line.substr(fieldStart, tab - fieldStart);
                if (!field.empty() && field.front() == '\x03' && field.size() >= 9) {
                    double value;
                    std::memcpy(&value, field.data() + 1, sizeof value);
                    row.cells.push_back(Cell::makeNumber(
                        value, engine::NumberFormat(std::uint8_t(field[1]) % int(engine::NumberFormat::Count))));
                } else if (!field.empty() && field.front() == '\x02') {
                    row.cells.push_back(engine::recognizeField(field.substr(1), engine::ColumnType::Text));
                } else {
                    row.cells.push_back(engine::recognizeField(field, engine::ColumnType::General));
                }
                fieldStart = tab + 1;
            }
            m_rows.push_back(std::move(row));
            start = end + 1;
        }
    }

    bool nextRow(engine::RowView& view) override
    {
        if (m_next >= m_rows.size())
            return false;
        const Row& row = m_rows[m_next++];
        view.index = row.index;
        view.cells = row.cells.data();
        view.count = int(row.cells.size());
        view.sourceLine = 0;
        return true;
    }

    // Sheets and stored cells the saver should produce under `limits`.
    std::int64_t expectedSheets(const engine::WorkbookLimits& limits) const
    {
        const std::int64_t last = m_rows.empty() ? 0 : m_rows.back().index;
        return std::max<std::int64_t>(1, last / limits.maxRows + 1);
    }
    std::int64_t expectedCells(const engine::WorkbookLimits& limits) const
    {
        std::int64_t cells = 0;
        for (const Row& row : m_rows) {
            for (int c = 0; c < int(row.cells.size()) && c < limits.maxColumns; ++c) {
                const Cell& cell = row.cells[std::size_t(c)];
                // A text cut to the character limit keeps nothing when its first character, a
                // pair of UTF-16 units, does not fit (a limit of one unit): no cell is stored.
                const bool cutAway = cell.type == CellType::Text && !cell.text.empty() &&
                                     limits.maxCellCharacters < 2 && std::uint8_t(cell.text.front()) >= 0xF0;
                cells +=
                    cell.type != CellType::Empty && !(cell.type == CellType::Text && cell.text.empty()) && !cutAway;
            }
        }
        return cells;
    }

private:
    struct Row
    {
        std::int64_t index;
        std::vector<Cell> cells;
    };
    std::string m_text;
    std::vector<Row> m_rows;
    std::size_t m_next = 0;
};

std::uint16_t u16(const QByteArray& b, int at)
{
    return std::uint16_t(std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8);
}
std::uint32_t u32(const QByteArray& b, int at)
{
    return std::uint32_t(u16(b, at)) | std::uint32_t(u16(b, at + 2)) << 16;
}

// Inflates one raw-deflate zip member.
QByteArray inflateRaw(const QByteArray& compressed, std::uint32_t size)
{
    QByteArray out(int(size), '\0');
    z_stream stream{};
    FUZZ_CHECK(inflateInit2(&stream, -MAX_WBITS) == Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.constData()));
    stream.avail_in = uInt(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    FUZZ_CHECK(result == Z_STREAM_END && stream.total_out == size);
    return out;
}

// Walks the zip directory; returns worksheet count and the number of cells in them.
void checkXlsx(const QByteArray& zip, std::int64_t* sheets, std::int64_t* cells)
{
    *sheets = 0;
    *cells = 0;
    FUZZ_CHECK(zip.size() >= 22);
    const int eocd = zip.lastIndexOf(QByteArray("PK\x05\x06", 4));
    FUZZ_CHECK(eocd >= 0 && eocd + 22 <= zip.size());
    const int entries = u16(zip, eocd + 10);
    const std::uint32_t directorySize = u32(zip, eocd + 12);
    const std::uint32_t directoryOffset = u32(zip, eocd + 16);
    FUZZ_CHECK(std::uint64_t(directoryOffset) + directorySize == std::uint64_t(eocd));
    int at = int(directoryOffset);
    for (int i = 0; i < entries; ++i) {
        FUZZ_CHECK(at + 46 <= eocd && u32(zip, at) == 0x02014b50);
        const int method = u16(zip, at + 10);
        const std::uint32_t crc = u32(zip, at + 16);
        const std::uint32_t compressedSize = u32(zip, at + 20);
        const std::uint32_t size = u32(zip, at + 24);
        const int nameLength = u16(zip, at + 28);
        const int extra = u16(zip, at + 30) + u16(zip, at + 32);
        const std::uint32_t local = u32(zip, at + 42);
        const QByteArray name = zip.mid(at + 46, nameLength);
        FUZZ_CHECK(local + 30 <= directoryOffset && u32(zip, int(local)) == 0x04034b50);
        const int dataStart = int(local) + 30 + u16(zip, int(local) + 26) + u16(zip, int(local) + 28);
        FUZZ_CHECK(std::uint64_t(dataStart) + compressedSize <= directoryOffset);
        const QByteArray compressed = zip.mid(dataStart, int(compressedSize));
        const QByteArray data = method == 0 ? compressed : inflateRaw(compressed, size);
        FUZZ_CHECK(method == 0 || method == 8);
        FUZZ_CHECK(std::uint32_t(data.size()) == size);
        FUZZ_CHECK(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())) == crc);
        if (name.startsWith("xl/worksheets/sheet") && name.endsWith(".xml")) {
            ++*sheets;
            // Every cell element carries its reference (text never holds a raw "<").
            FUZZ_CHECK(!data.contains("<c>"));
            *cells += data.count("<c r=\"");
        }
        at += 46 + nameLength + extra;
    }
}

// Walks the Workbook stream's records; returns BOF count and cell records.
void checkXls(const QString& path, std::int64_t* sheets, std::int64_t* cells)
{
    *sheets = 0;
    *cells = 0;
    const QByteArray file = fuzzsupport::readFile(path);
    GsfInput* input = gsf_input_memory_new(reinterpret_cast<const guint8*>(file.constData()), file.size(), FALSE);
    GError* error = nullptr;
    GsfInfile* ole = gsf_infile_msole_new(input, &error);
    FUZZ_CHECK(ole != nullptr);
    GsfInput* stream = gsf_infile_child_by_name(ole, "Workbook");
    FUZZ_CHECK(stream != nullptr);
    const gsf_off_t size = gsf_input_size(stream);
    QByteArray book(int(size), '\0');
    FUZZ_CHECK(gsf_input_read(stream, size_t(size), reinterpret_cast<guint8*>(book.data())) != nullptr);
    g_object_unref(stream);
    g_object_unref(ole);
    g_object_unref(input);

    int at = 0;
    int bof = 0, eof = 0;
    while (at < book.size()) {
        FUZZ_CHECK(at + 4 <= book.size());
        const int type = u16(book, at);
        const int length = u16(book, at + 2);
        FUZZ_CHECK(length <= 8224);
        FUZZ_CHECK(at + 4 + length <= book.size());
        if (type == 0x0809)
            ++bof;
        else if (type == 0x000A)
            ++eof;
        else if (type == 0x00FD || type == 0x0203 || type == 0x027E || type == 0x0205)
            ++*cells;
        // Every substream is balanced: an EOF never comes before its BOF.
        FUZZ_CHECK(eof <= bof);
        at += 4 + length;
    }
    FUZZ_CHECK(bof == eof);
    *sheets = bof - 1; // the workbook globals substream is not a sheet
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gsf_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Input input(data, size);
    // The first byte's top bit picks the format: one workbook per input doubles the rate, and the
    // two writers share no code that a second write would cover.
    const std::uint8_t first = input.byte();
    const int format = first & 0x80 ? FileFormatXls : FileFormatXlsx;
    const int maxRows = 1 + (first & 0x7f) % 16;
    const int maxColumns = 1 + input.byte() % 8;
    const int maxCharacters = 1 + input.byte() % 64;
    FuzzRows rows(input.rest());
    const engine::WorkbookLimits limits{maxRows, maxColumns, maxCharacters};
    // Hundreds of continuation sheets exercise nothing a few do not, and slow the search down.
    if (rows.expectedSheets(limits) > 24)
        return 0;
    const QDateTime created(QDate(2024, 1, 5), QTime(13, 45), Qt::UTC);

    auto writer = format == FileFormatXlsx ? engine::createXlsxWriter() : engine::createXlsWriter();
    const QString path = fuzzsupport::scratchPath(format == FileFormatXlsx ? "book.xlsx" : "book.xls");
    const engine::SaveResult result =
        engine::saveWorkbook(rows, QStringLiteral("Fuzz"), path, std::move(writer), limits, created);
    FUZZ_CHECK(result.ok);
    // Only the workbook itself is left beside it: no temporary file.
    FUZZ_CHECK(QDir(fuzzsupport::scratchFolder()).entryList(QDir::Files | QDir::Hidden).size() <= 4);

    const std::int64_t expectedSheets = rows.expectedSheets(limits) + (result.warnings.isEmpty() ? 0 : 1);
    const std::int64_t expectedCells =
        rows.expectedCells(limits) + (result.warnings.isEmpty() ? 0 : result.warnings.size() + 1);
    std::int64_t sheets = 0, cells = 0;
    if (format == FileFormatXlsx)
        checkXlsx(fuzzsupport::readFile(path), &sheets, &cells);
    else
        checkXls(path, &sheets, &cells);
    FUZZ_CHECK(sheets == expectedSheets);
    FUZZ_CHECK(cells == expectedCells);
    return 0;
}
