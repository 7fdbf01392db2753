// Splitting and recognition: random text under random import options. Checks that the records do
// not depend on how the text was cut into pieces, that every field is whole UTF-8, that the
// recognised cells are sound, and that the file import gives one row per record.

#include "fuzzsupport.h"
#include "text/delimitedsplitter.h"
#include "text/textimport.h"
#include "unicode/utf8.h"

#include <QBuffer>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

namespace {

const int CodePages[] = {65001, 0, 1200, 1201, 936};
const char32_t Others[] = {0, U'|', U'"', U'\'', U'\r', U'\n', U'\t', U'é', U'中', U'😀', U'-', U'0'};

struct Record
{
    std::int64_t line;
    std::vector<std::string> fields;
    bool operator==(const Record& other) const { return line == other.line && fields == other.fields; }
};

std::vector<Record> split(const QByteArray& bytes, const engine::ImportOptions& options, std::size_t chunkSize)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    unicode::TextDecoder decoder(&buffer, chunkSize);
    std::vector<Record> records;
    if (!decoder.start(options.codePage))
        return records;
    engine::DelimitedSplitter splitter(&decoder, options);
    while (splitter.next()) {
        Record record{splitter.line(), {}};
        for (std::string_view field : splitter.fields())
            record.fields.emplace_back(field);
        records.push_back(std::move(record));
    }
    FUZZ_CHECK(splitter.errorString().isEmpty());
    return records;
}

void checkCell(const engine::Cell& cell, std::string_view field, engine::ColumnType type)
{
    using engine::CellType;
    FUZZ_CHECK(cell.format < engine::NumberFormat::Count);
    if (field.empty()) {
        FUZZ_CHECK(cell.type == CellType::Empty);
        return;
    }
    if (type == engine::ColumnType::Skip) {
        FUZZ_CHECK(cell.type == CellType::Empty);
        return;
    }
    if (type == engine::ColumnType::Text) {
        FUZZ_CHECK(cell.type == CellType::Text && cell.text == field);
        return;
    }
    switch (cell.type) {
    case CellType::Number:
        FUZZ_CHECK(std::isfinite(cell.number));
        break;
    case CellType::Boolean:
        FUZZ_CHECK(cell.number == 0 || cell.number == 1);
        break;
    case CellType::Text:
        // A text is the field as written (a formula-like text included), never something made up.
        FUZZ_CHECK(cell.text.data() >= field.data() &&
                   cell.text.data() + cell.text.size() <= field.data() + field.size());
        FUZZ_CHECK(!cell.text.empty());
        break;
    case CellType::Empty:
        // Only a field of blanks alone may give no cell.
        FUZZ_CHECK(field.find_first_not_of(" \t") == std::string_view::npos);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Input input(data, size);
    engine::ImportOptions options;
    options.codePage = CodePages[input.byte() % (sizeof(CodePages) / sizeof(CodePages[0]))];
    const std::uint8_t flags = input.byte();
    options.consecutiveDelimiters = flags & 1;
    options.tab = flags & 2;
    options.semicolon = flags & 4;
    options.comma = flags & 8;
    options.space = flags & 16;
    options.qualifier = (flags >> 5) % 3 == 0 ? U'"' : (flags >> 5) % 3 == 1 ? U'\'' : 0;
    options.other = Others[input.byte() % (sizeof(Others) / sizeof(Others[0]))];
    const std::uint8_t start = input.byte();
    // Mostly small; sometimes past any line, and sometimes zero or negative (taken as the first).
    options.startRow = start == 255 ? INT_MAX : start == 254 ? -3 : start % 5 + 1;
    std::vector<std::pair<int, int>> fieldInfo;
    for (int i = 0; i < 2; ++i) {
        const int column = input.byte() % 9;
        fieldInfo.emplace_back(column, input.byte() % 12);
    }
    options.columnTypes = engine::ImportOptions::columnTypesFromFieldInfo(fieldInfo);
    const std::size_t chunkSize = 1 + input.byte() % 32;
    const QByteArray bytes = input.rest();

    const std::vector<Record> records = split(bytes, options, chunkSize);
    FUZZ_CHECK(records == split(bytes, options, unicode::TextDecoder::DefaultChunkSize));

    std::int64_t previousLine = 0;
    for (const Record& record : records) {
        FUZZ_CHECK(record.line > previousLine);
        previousLine = record.line;
        for (const std::string& field : record.fields) {
            FUZZ_CHECK(unicode::utf8::validPrefix(field.data(), field.size()) == field.size());
            for (int type = 1; type <= 9; ++type)
                checkCell(engine::recognizeField(field, engine::ColumnType(type)), field, engine::ColumnType(type));
        }
    }

    // The whole import from a file: one row per record, in order.
    const QString path = fuzzsupport::scratchPath("import.txt");
    FUZZ_CHECK(fuzzsupport::writeFile(path, bytes));
    Failure failure;
    std::unique_ptr<engine::TextImport> rows = engine::openTextImport(path, options, &failure);
    FUZZ_CHECK(rows != nullptr);
    engine::RowView row;
    std::size_t count = 0;
    while (rows->nextRow(row)) {
        FUZZ_CHECK(count < records.size());
        FUZZ_CHECK(row.index == std::int64_t(count));
        FUZZ_CHECK(row.sourceLine == records[count].line);
        FUZZ_CHECK(row.count >= 0 && std::size_t(row.count) <= records[count].fields.size());
        ++count;
    }
    FUZZ_CHECK(!rows->failure().isFailure());
    FUZZ_CHECK(count == records.size());
    return 0;
}
