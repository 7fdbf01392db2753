#include "xls/xlswriter.h"

#include "unicode/utf8.h"
#include "xls/biff8.h"
#include "xls/gsfdeviceoutput.h"
#include "xls/sharedstrings.h"
#include "xls/spillfile.h"

#include <QDir>
#include <QIODevice>

#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace engine {

using namespace biff8;

namespace {

constexpr int kMaxRows = 65536;
constexpr int kMaxColumns = 256;
constexpr int kRowsPerBlock = 32;
constexpr std::size_t kDefaultSpillThreshold = std::size_t(4) << 20;

// XF 0-14 are the style XFs every workbook carries, XF 15 the default cell XF (General); the
// cell XF of each further number format follows.
constexpr int kFirstCellXf = 15;

std::uint16_t cellXf(NumberFormat format)
{
    const int f = int(format) < int(NumberFormat::Count) ? int(format) : 0;
    return std::uint16_t(kFirstCellXf + f);
}

std::u16string_view view(const QString& text)
{
    return std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()));
}

std::u16string utf16Of(const char* utf8)
{
    std::vector<char16_t> units;
    unicode::utf8::appendUtf16(utf8, units);
    return std::u16string(units.begin(), units.end());
}

void appendBof(ByteBuffer& out, std::uint16_t type)
{
    std::uint8_t* p = out.record(kBof, 16);
    putU16(p, 0x0600); // BIFF8
    putU16(p + 2, type);
    putU16(p + 4, 0x0DBB); // build and year of the Excel 97 format
    putU16(p + 6, 0x07CC);
    putU32(p + 8, 0);
    putU32(p + 12, 0x00000006);
}

void appendEof(ByteBuffer& out)
{
    out.record(kEof, 0);
}

void appendU16Record(ByteBuffer& out, std::uint16_t id, std::uint16_t value)
{
    putU16(out.record(id, 2), value);
}

// The record of one cell that is not empty. A text's shared string index is taken from
// `textIndex`, which then moves on to the row's next text.
inline void appendCellRecord(ByteBuffer& out, int row, int column, const Cell& cell, const std::uint32_t*& textIndex)
{
    std::uint8_t* p;
    switch (cell.type) {
    case CellType::Number: {
        std::uint32_t rk;
        if (encodeRk(cell.number, &rk)) {
            p = out.record(kRk, 10);
            putU32(p + 6, rk);
        } else if (std::isfinite(cell.number)) {
            p = out.record(kNumber, 14);
            putF64(p + 6, cell.number);
        } else {
            // A sheet cannot hold infinities or NaN; #NUM! is what a formula giving one shows.
            p = out.record(kBoolErr, 8);
            p[6] = 0x24;
            p[7] = 1;
        }
        break;
    }
    case CellType::Boolean:
        p = out.record(kBoolErr, 8);
        p[6] = cell.number != 0 ? 1 : 0;
        p[7] = 0;
        break;
    case CellType::Text:
    default:
        p = out.record(kLabelSst, 10);
        putU32(p + 6, *textIndex++);
        break;
    }
    putU16(p, std::uint16_t(row));
    putU16(p + 2, std::uint16_t(column));
    putU16(p + 4, cellXf(cell.format));
}

// The globals' opening: BOF, the file's settings, the writer's name and the window.
void appendBookSettings(ByteBuffer& globals)
{
    appendBof(globals, 0x0005);
    appendU16Record(globals, kInterfaceHdr, 1200);
    appendU16Record(globals, kMms, 0);
    globals.record(kInterfaceEnd, 0);
    {
        // The user name, padded with spaces to the record's fixed size.
        const std::u16string user = u"Quillmorne";
        globals.appendU16(kWriteAccess);
        globals.appendU16(112);
        const std::size_t used = appendUnicodeString(globals, user, false);
        std::memset(globals.grow(112 - used), ' ', 112 - used);
    }
    appendU16Record(globals, kCodePage, 1200);
    appendU16Record(globals, kDsf, 0);
    {
        std::uint8_t* p = globals.record(kWindow1, 18);
        putU16(p, 0x01E0);
        putU16(p + 2, 0x005A);
        putU16(p + 4, 0x3FCF);
        putU16(p + 6, 0x2A4E);
        putU16(p + 8, 0x0038); // scroll bars and sheet tabs shown
        putU16(p + 10, 0);     // active sheet
        putU16(p + 12, 0);     // first tab shown
        putU16(p + 14, 1);     // selected tabs
        putU16(p + 16, 600);   // tab bar width ratio
    }
    appendU16Record(globals, kDateMode, 0); // dates count from 1900
    appendU16Record(globals, kPrecision, 1);
    appendU16Record(globals, kBookBool, 0);
}

void appendFonts(ByteBuffer& globals)
{
    // Font 4 is never written (its index is skipped by readers), so four fonts cover 0-3.
    for (int i = 0; i < 4; ++i) {
        const std::u16string face = u"Arial";
        std::uint8_t* p = globals.record(kFont, std::uint16_t(14 + 2 + face.size()));
        putU16(p, 200); // 10 pt
        putU16(p + 2, 0);
        putU16(p + 4, 0x7FFF); // automatic colour
        putU16(p + 6, 400);    // normal weight
        putU16(p + 8, 0);
        p[10] = p[11] = p[12] = p[13] = 0;
        p[14] = std::uint8_t(face.size());
        p[15] = 0;
        for (std::size_t k = 0; k < face.size(); ++k)
            p[16 + k] = std::uint8_t(face[k]);
    }
}

// A FORMAT record for each number format but General, which needs none.
void appendNumberFormats(ByteBuffer& globals)
{
    for (int f = 0; f < int(NumberFormat::Count); ++f) {
        const auto format = NumberFormat(f);
        if (format == NumberFormat::General)
            continue;
        const std::u16string code = utf16Of(numberFormatCode(format));
        globals.appendU16(kFormat);
        globals.appendU16(std::uint16_t(2 + unicodeStringSize(code, false)));
        globals.appendU16(std::uint16_t(numberFormatId(format)));
        appendUnicodeString(globals, code, false);
    }
}

void appendXf(ByteBuffer& globals, std::uint16_t font, std::uint16_t format, std::uint16_t protection,
              std::uint8_t used)
{
    std::uint8_t* p = globals.record(kXf, 20);
    std::memset(p, 0, 20);
    putU16(p, font);
    putU16(p + 2, format);
    putU16(p + 4, protection);
    p[6] = 0x20; // bottom aligned
    p[9] = used;
    putU16(p + 18, 0x20C0); // automatic pattern colours
}

// The style XFs (0-14), each number format's cell XF at cellXf(format), and the STYLE record of
// Normal.
void appendXfs(ByteBuffer& globals)
{
    appendXf(globals, 0, 0, 0xFFF5, 0x00); // the Normal style
    for (int i = 1; i < kFirstCellXf; ++i)
        appendXf(globals, i <= 2 ? 1 : (i <= 4 ? 2 : 0), 0, 0xFFF5, 0xF4);
    for (int f = 0; f < int(NumberFormat::Count); ++f) {
        const auto format = NumberFormat(f);
        appendXf(globals, 0, std::uint16_t(numberFormatId(format)), 0x0001,
                 format == NumberFormat::General ? 0x00 : 0x04);
    }
    std::uint8_t* p = globals.record(kStyle, 4);
    putU16(p, 0x8000); // built-in style on XF 0
    p[2] = 0;          // Normal
    p[3] = 0xFF;
}

// The workbook globals up to the sheet list, which needs the sheets' positions.
void appendGlobals(ByteBuffer& globals)
{
    appendBookSettings(globals);
    appendFonts(globals);
    appendNumberFormats(globals);
    appendXfs(globals);
}

QString outputError(GsfOutput* output)
{
    const GError* e = gsf_output_error(output);
    return e ? QString::fromUtf8(e->message) : QString();
}

struct Sheet
{
    std::u16string name;
    std::vector<std::pair<int, NumberFormat>> columnFormats; // sorted, one per column
    std::uint64_t bodyStart = 0;                             // in the spill store
    std::uint64_t bodySize = 0;
    int firstRow = -1;
    int lastRow = -1;
    int firstColumn = kMaxColumns;
    int lastColumn = -1;
    std::vector<std::uint32_t> dbCells; // DBCELL positions relative to bodyStart

    // Runs of adjacent columns with one format, as COLINFO records carry them.
    std::vector<std::pair<std::pair<int, int>, NumberFormat>> columnRuns() const
    {
        std::vector<std::pair<std::pair<int, int>, NumberFormat>> runs;
        for (const auto& [column, format] : columnFormats) {
            if (!runs.empty() && runs.back().first.second + 1 == column && runs.back().second == format)
                runs.back().first.second = column;
            else
                runs.push_back({{column, column}, format});
        }
        return runs;
    }

    std::size_t headerSize() const
    {
        return 20                            // BOF
               + 4 + 16 + 4 * dbCells.size() // INDEX
               + 6                           // DEFCOLWIDTH
               + 16 * columnRuns().size()    // COLINFO
               + 18;                         // DIMENSIONS
    }

    // The records of the sheet's substream before its rows, headerSize() bytes. `start` is the
    // substream's position in the Workbook stream: INDEX holds absolute positions.
    void appendHeader(ByteBuffer& header, std::uint64_t start) const
    {
        const std::uint64_t bodyPosition = start + headerSize();
        const auto runs = columnRuns();
        appendBof(header, 0x0010);
        std::uint8_t* p = header.record(kIndex, std::uint16_t(16 + 4 * dbCells.size()));
        const bool hasRows = firstRow >= 0;
        putU32(p, 0);
        putU32(p + 4, hasRows ? std::uint32_t(firstRow) : 0);
        putU32(p + 8, hasRows ? std::uint32_t(lastRow + 1) : 0);
        putU32(p + 12, std::uint32_t(start + 20 + 4 + 16 + 4 * dbCells.size())); // DEFCOLWIDTH
        for (std::size_t k = 0; k < dbCells.size(); ++k)
            putU32(p + 16 + 4 * k, std::uint32_t(bodyPosition + dbCells[k]));
        appendU16Record(header, kDefColWidth, 8);
        for (const auto& run : runs) {
            p = header.record(kColInfo, 12);
            putU16(p, std::uint16_t(run.first.first));
            putU16(p + 2, std::uint16_t(run.first.second));
            putU16(p + 4, 0x0924); // the default width, 8.43 characters
            putU16(p + 6, cellXf(run.second));
            putU16(p + 8, 0);
            putU16(p + 10, 0);
        }
        p = header.record(kDimensions, 14);
        putU32(p, hasRows ? std::uint32_t(firstRow) : 0);
        putU32(p + 4, hasRows ? std::uint32_t(lastRow + 1) : 0);
        putU16(p + 8, hasRows ? std::uint16_t(firstColumn) : 0);
        putU16(p + 10, hasRows ? std::uint16_t(lastColumn + 1) : 0);
        putU16(p + 12, 0);
    }
};

} // namespace

struct XlsWriter::Private
{
    QString error;
    GsfOutput* sink = nullptr;
    bool begun = false;
    bool failed = false;
    bool finished = false;

    std::unique_ptr<SharedStringTable> strings = std::make_unique<SharedStringTable>();
    std::vector<Sheet> sheets;
    SpillFile store{"sheet", kDefaultSpillThreshold}; // sheet records in file order, until finish()

    // The row block being built: ROW records and the cell records of those rows.
    int block = -1;
    int lastRow = -1;
    ByteBuffer rowRecords;
    ByteBuffer cellRecords;
    std::vector<std::uint32_t> rowCellStarts; // offsets into cellRecords
    std::vector<std::string_view> rowTexts;   // the texts of the row being written
    std::vector<std::uint32_t> rowTextIndexes;
    ByteBuffer scratch;

    ~Private() { abandon(); }

    bool fail(const QString& message)
    {
        if (!failed)
            error = message;
        failed = true;
        return false;
    }

    // Lets go of the output without completing the container; the partly written file is its
    // owner's to discard.
    void abandon()
    {
        if (!sink)
            return;
        if (!gsf_output_is_closed(sink)) {
            gsf_output_set_error(sink, 0, "abandoned");
            gsf_output_close(sink);
        }
        g_object_unref(sink);
        sink = nullptr;
    }

    bool internRowTexts(int row, const Cell* cells, int count);
    void appendRowRecord(int row, int first, int last, std::size_t cellsStart);
    bool flushBlock();
    bool endSheet();

    bool assemble();
    bool placeSheets(std::size_t globalsSize, std::uint64_t& sstOffset, std::vector<std::uint64_t>& sheetStarts);
    void appendSheetList(ByteBuffer& globals, const std::vector<std::uint64_t>& sheetStarts) const;
    bool writeWorkbookStream(GsfOutput* stream, ByteBuffer& globals, std::uint64_t sstOffset,
                             const std::vector<std::uint64_t>& sheetStarts);
    bool writeToStream(GsfOutput* stream, const std::uint8_t* data, std::size_t size);
    bool closeContainer(GsfOutfile* ole, GsfOutput* stream, bool ok);
};

// Looks the row's texts up in the shared string table together, in order; rowTextIndexes then
// holds their indexes for the LABELSST records.
bool XlsWriter::Private::internRowTexts(int row, const Cell* cells, int count)
{
    rowTexts.clear();
    for (int c = 0; c < count; ++c) {
        const Cell& cell = cells[c];
        if (cell.type != CellType::Text || cell.text.empty())
            continue;
        if (cell.text.size() > std::size_t(MaxCellCharacters) &&
            unicode::utf8::utf16Length(cell.text) > std::size_t(MaxCellCharacters)) {
            return fail(QStringLiteral("text in row %1, column %2 is longer than %3 characters")
                            .arg(row + 1)
                            .arg(c + 1)
                            .arg(MaxCellCharacters));
        }
        rowTexts.push_back(cell.text);
    }
    rowTextIndexes.resize(rowTexts.size());
    if (!strings->internAll(rowTexts.data(), rowTexts.size(), rowTextIndexes.data()))
        return fail(strings->errorString());
    return true;
}

// The ROW record of a row whose cells span columns first to last and start at `cellsStart` in
// cellRecords; the sheet's extent grows to take it in.
void XlsWriter::Private::appendRowRecord(int row, int first, int last, std::size_t cellsStart)
{
    std::uint8_t* p = rowRecords.record(kRow, 16);
    putU16(p, std::uint16_t(row));
    putU16(p + 2, std::uint16_t(first));
    putU16(p + 4, std::uint16_t(last + 1));
    putU16(p + 6, 0x00FF); // default height
    putU32(p + 8, 0);
    putU32(p + 12, 0x000F0100); // default cell XF; the reserved bit that must be set
    rowCellStarts.push_back(std::uint32_t(cellsStart));

    Sheet& sheet = sheets.back();
    if (sheet.firstRow < 0)
        sheet.firstRow = row;
    sheet.lastRow = row;
    sheet.firstColumn = std::min(sheet.firstColumn, first);
    sheet.lastColumn = std::max(sheet.lastColumn, last);
}

bool XlsWriter::Private::flushBlock()
{
    if (rowCellStarts.empty())
        return true;
    Sheet& sheet = sheets.back();
    const std::uint64_t blockStart = store.size() - sheet.bodyStart;
    const std::size_t rows = rowCellStarts.size();
    const std::size_t dbRtrw = rowRecords.size() + cellRecords.size();

    scratch.clear();
    std::uint8_t* p = scratch.record(kDbCell, std::uint16_t(4 + 2 * rows));
    putU32(p, std::uint32_t(dbRtrw));
    // The first offset counts from the end of the first ROW record, the others from the first
    // cell of the previous row.
    putU16(p + 4, std::uint16_t(rowRecords.size() - 20 + rowCellStarts[0]));
    for (std::size_t i = 1; i < rows; ++i)
        putU16(p + 4 + 2 * i, std::uint16_t(rowCellStarts[i] - rowCellStarts[i - 1]));

    sheet.dbCells.push_back(std::uint32_t(blockStart + dbRtrw));
    const bool ok = store.append(rowRecords.data(), rowRecords.size()) &&
                    store.append(cellRecords.data(), cellRecords.size()) &&
                    store.append(scratch.data(), scratch.size());
    rowRecords.clear();
    cellRecords.clear();
    rowCellStarts.clear();
    if (!ok)
        return fail(store.errorString());
    return true;
}

bool XlsWriter::Private::endSheet()
{
    if (sheets.empty())
        return true;
    if (!flushBlock())
        return false;
    Sheet& sheet = sheets.back();
    scratch.clear();
    std::uint8_t* p = scratch.record(kWindow2, 18);
    std::memset(p, 0, 18);
    // Grid, headers, zeros, outline symbols; the first sheet is also selected and shown.
    putU16(p, sheets.size() == 1 ? 0x06B6 : 0x00B6);
    putU16(p + 6, 64); // default gridline colour
    appendEof(scratch);
    if (!store.append(scratch.data(), scratch.size()))
        return fail(store.errorString());
    sheet.bodySize = store.size() - sheet.bodyStart;
    return true;
}

XlsWriter::XlsWriter() : d(std::make_unique<Private>()) {}

XlsWriter::~XlsWriter() = default;

WorkbookLimits XlsWriter::limits() const
{
    return WorkbookLimits{kMaxRows, kMaxColumns, MaxCellCharacters};
}

void XlsWriter::setSpillThreshold(std::size_t bytes)
{
    d->store.setThreshold(std::max<std::size_t>(bytes, 1));
}

void XlsWriter::setStringMemoryBudget(std::size_t bytes)
{
    if (d->strings->referenceCount() == 0)
        d->strings = std::make_unique<SharedStringTable>(bytes);
}

QString XlsWriter::errorString() const
{
    return d->error.isEmpty() ? ownFileError() : d->error;
}

int XlsWriter::temporaryFileError() const
{
    return d->store.systemError() != 0 ? d->store.systemError() : d->strings->systemError();
}

bool XlsWriter::begin(QIODevice* device, const QDateTime& created)
{
    Q_UNUSED(created) // nothing in the workbook depends on the time; the bytes are fixed anyway
    if (d->begun)
        return d->fail(QStringLiteral("the workbook was already started"));
    d->begun = true;
    if (device == nullptr || !device->isWritable() || device->isSequential())
        return d->fail(QStringLiteral("the workbook needs a writable, seekable device"));

    static std::once_flag gsfReady;
    std::call_once(gsfReady, [] { gsf_init(); });
    d->sink = newGsfDeviceOutput(device);
    return true;
}

bool XlsWriter::addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats)
{
    if (d->failed)
        return false;
    if (!d->begun || d->finished)
        return d->fail(QStringLiteral("addSheet called outside begin() and finish()"));
    if (name.isEmpty() || name.size() > MaxSheetNameLength)
        return d->fail(QStringLiteral("invalid sheet name \"%1\": a name has 1 to %2 characters")
                           .arg(name)
                           .arg(MaxSheetNameLength));
    for (const Sheet& other : d->sheets) {
        if (QString::fromStdU16String(other.name).compare(name, Qt::CaseInsensitive) == 0)
            return d->fail(QStringLiteral("two sheets are named \"%1\"").arg(name));
    }
    if (!d->endSheet())
        return false;

    Sheet sheet;
    sheet.name.assign(view(name));
    for (const auto& [column, format] : columnFormats) {
        if (column < 0 || column >= kMaxColumns)
            return d->fail(QStringLiteral("column format for column %1 beyond the .xls limit").arg(column + 1));
        sheet.columnFormats.emplace_back(column, format);
    }
    // The last format given for a column holds.
    std::stable_sort(sheet.columnFormats.begin(), sheet.columnFormats.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<int, NumberFormat>> unique;
    for (const auto& entry : sheet.columnFormats) {
        if (!unique.empty() && unique.back().first == entry.first)
            unique.back() = entry;
        else
            unique.push_back(entry);
    }
    sheet.columnFormats = std::move(unique);
    sheet.bodyStart = d->store.size();
    d->sheets.push_back(std::move(sheet));
    d->block = -1;
    d->lastRow = -1;
    return true;
}

bool XlsWriter::writeRow(int row, const Cell* cells, int count)
{
    if (d->failed)
        return false;
    if (d->sheets.empty() || d->finished)
        return d->fail(QStringLiteral("writeRow called without a sheet"));
    if (row <= d->lastRow || row >= kMaxRows)
        return d->fail(
            QStringLiteral("row %1 is out of order or beyond the .xls limit of %2 rows").arg(row + 1).arg(kMaxRows));
    if (count < 0 || count > kMaxColumns)
        return d->fail(QStringLiteral("row %1 has %2 columns, beyond the .xls limit of %3")
                           .arg(row + 1)
                           .arg(count)
                           .arg(kMaxColumns));
    d->lastRow = row;

    const int block = row / kRowsPerBlock;
    if (block != d->block) {
        if (!d->flushBlock())
            return false;
        d->block = block;
    }
    if (!d->internRowTexts(row, cells, count))
        return false;
    const std::uint32_t* textIndex = d->rowTextIndexes.data();

    ByteBuffer& out = d->cellRecords;
    const std::size_t rowStart = out.size();
    int first = -1;
    int last = -1;
    for (int c = 0; c < count; ++c) {
        const Cell& cell = cells[c];
        // An empty text is no cell either, as when a user clears one.
        if (cell.type == CellType::Empty || (cell.type == CellType::Text && cell.text.empty()))
            continue;
        appendCellRecord(out, row, c, cell, textIndex);
        if (first < 0)
            first = c;
        last = c;
    }
    if (first < 0)
        return true; // no cell: the row is not written
    d->appendRowRecord(row, first, last, rowStart);
    return true;
}

bool XlsWriter::finish()
{
    if (d->failed)
        return false;
    if (!d->begun || d->finished)
        return d->fail(QStringLiteral("finish called outside begin()"));
    if (d->sheets.empty() && !addSheet(QStringLiteral("Sheet1"), {}))
        return false;
    if (!d->endSheet())
        return false;
    d->finished = true;
    if (!d->assemble()) {
        d->abandon();
        return false;
    }
    QString error;
    return commitOwnFile(&error) || d->fail(error);
}

bool XlsWriter::Private::assemble()
{
    ByteBuffer globals;
    appendGlobals(globals);
    std::uint64_t sstOffset = 0;
    std::vector<std::uint64_t> sheetStarts;
    if (!placeSheets(globals.size(), sstOffset, sheetStarts))
        return false;
    appendSheetList(globals, sheetStarts);
    Q_ASSERT(globals.size() == sstOffset);

    // The container: an OLE2 compound file with the records in its "Workbook" stream.
    GsfOutfile* ole = gsf_outfile_msole_new(sink);
    if (!ole)
        return fail(QStringLiteral("cannot start the compound file"));
    GsfOutput* stream = gsf_outfile_new_child(ole, "Workbook", FALSE);
    if (!stream) {
        g_object_unref(ole);
        return fail(QStringLiteral("cannot create the Workbook stream"));
    }
    const bool ok = writeWorkbookStream(stream, globals, sstOffset, sheetStarts);
    return closeContainer(ole, stream, ok);
}

// Where the shared strings and each sheet's substream will start in the Workbook stream. The
// sheet list (BOUNDSHEET) holds the substreams' positions but precedes the shared strings, so
// every position is worked out from the sizes before anything is written.
bool XlsWriter::Private::placeSheets(std::size_t globalsSize, std::uint64_t& sstOffset,
                                     std::vector<std::uint64_t>& sheetStarts)
{
    std::size_t sheetListSize = 0;
    for (const Sheet& sheet : sheets)
        sheetListSize += 4 + 6 + unicodeStringSize(sheet.name, true);
    sstOffset = globalsSize + sheetListSize;
    if (sstOffset > 0xFFFFFFFFu)
        return fail(QStringLiteral("the workbook is too large for the .xls format"));
    std::uint64_t position = sstOffset + strings->size() + 4; // the shared strings, then EOF
    for (const Sheet& sheet : sheets) {
        sheetStarts.push_back(position);
        position += sheet.headerSize() + sheet.bodySize;
    }
    // Stream positions in BIFF8 are 32-bit.
    if (position > 0xFFFFFFFFu)
        return fail(QStringLiteral("the workbook is too large for the .xls format (%1 bytes)").arg(position));
    return true;
}

// One BOUNDSHEET record per sheet: its name and where its substream starts.
void XlsWriter::Private::appendSheetList(ByteBuffer& globals, const std::vector<std::uint64_t>& sheetStarts) const
{
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        const Sheet& sheet = sheets[i];
        globals.appendU16(kBoundSheet8);
        globals.appendU16(std::uint16_t(6 + unicodeStringSize(sheet.name, true)));
        globals.appendU32(std::uint32_t(sheetStarts[i]));
        globals.appendU8(0); // visible
        globals.appendU8(0); // worksheet
        appendUnicodeString(globals, sheet.name, true);
    }
}

// The Workbook stream in file order: the globals, the shared strings and the globals' EOF, then
// each sheet's substream, its header made now and its rows copied from the spill store.
bool XlsWriter::Private::writeWorkbookStream(GsfOutput* stream, ByteBuffer& globals, std::uint64_t sstOffset,
                                             const std::vector<std::uint64_t>& sheetStarts)
{
    auto write = [this, stream](const std::uint8_t* data, std::size_t size) {
        return writeToStream(stream, data, size);
    };
    ByteBuffer globalsEnd; // after the shared strings
    appendEof(globalsEnd);

    bool ok = write(globals.data(), globals.size());
    if (ok && !strings->write(std::uint32_t(sstOffset), write))
        ok = failed ? false : fail(strings->errorString());
    ok = ok && write(globalsEnd.data(), globalsEnd.size());
    globals.reset();
    ByteBuffer header;
    for (std::size_t i = 0; ok && i < sheets.size(); ++i) {
        const Sheet& sheet = sheets[i];
        header.clear();
        sheet.appendHeader(header, sheetStarts[i]);
        Q_ASSERT(header.size() == sheet.headerSize());
        ok = write(header.data(), header.size()) && store.copy(sheet.bodyStart, sheet.bodySize, write);
        if (!ok && !failed)
            fail(store.errorString());
    }
    return ok;
}

bool XlsWriter::Private::writeToStream(GsfOutput* stream, const std::uint8_t* data, std::size_t size)
{
    if (size && !gsf_output_write(stream, size, data)) {
        QString reason = outputError(stream);
        if (reason.isEmpty())
            reason = outputError(sink);
        return fail(QStringLiteral("cannot write the workbook: %1")
                        .arg(reason.isEmpty() ? QStringLiteral("write failed") : reason));
    }
    return true;
}

// Closes the stream, the compound file and the sink, and lets go of them. `ok` false: something
// before failed; the sink is then marked abandoned before the compound file closes, as abandon()
// does, and the first failure stays the one reported.
bool XlsWriter::Private::closeContainer(GsfOutfile* ole, GsfOutput* stream, bool ok)
{
    const bool streamClosed = gsf_output_close(stream);
    if (ok && !streamClosed)
        ok = fail(QStringLiteral("cannot write the workbook: %1").arg(outputError(stream)));
    g_object_unref(stream);
    if (!ok)
        gsf_output_set_error(sink, 0, "abandoned");
    const bool oleClosed = gsf_output_close(GSF_OUTPUT(ole));
    if (ok && !oleClosed)
        ok = fail(QStringLiteral("cannot write the workbook: %1").arg(outputError(GSF_OUTPUT(ole))));
    g_object_unref(ole);
    if (!ok)
        return false;
    // libgsf reports some failures only as the output's error state, not as a false return.
    if ((!gsf_output_is_closed(sink) && !gsf_output_close(sink)) || gsf_output_error(sink))
        return fail(QStringLiteral("cannot write the workbook: %1").arg(outputError(sink)));
    g_object_unref(sink);
    sink = nullptr;
    return true;
}

std::unique_ptr<WorkbookWriter> createXlsWriter()
{
    return std::make_unique<XlsWriter>();
}

} // namespace engine
