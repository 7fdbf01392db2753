#include "text/textimport.h"

#include "files/filedevice.h"
#include "text/delimitedsplitter.h"
#include "text/valuerecognizer.h"
#include "unicode/textdecoder.h"

#include <QDir>

#include <algorithm>

namespace engine {

namespace {

// Column types are looked up per field; a table is faster than the map for the columns the
// field info names (bounded, so a field info naming a huge column costs no memory).
constexpr int MaxTableColumns = 1 << 16;

class TextImportSource : public TextImport
{
public:
    TextImportSource(std::unique_ptr<QIODevice> file, const ImportOptions& options)
        : m_file(std::move(file)), m_options(options), m_decoder(m_file.get()), m_splitter(&m_decoder, options)
    {
        m_decoder.setStopFlag(options.stop);
        const int lastNamed = options.columnTypes.empty() ? 0 : options.columnTypes.rbegin()->first;
        m_types.resize(std::size_t(std::min(lastNamed, MaxTableColumns)), ColumnType::General);
        int skipped = 0;
        for (const auto& [column, type] : options.columnTypes) {
            if (column <= 0)
                continue;
            if (column <= MaxTableColumns)
                m_types[std::size_t(column - 1)] = type;
            if (type == ColumnType::Skip)
                ++skipped;
            else if (type == ColumnType::Text)
                m_columnFormats.emplace_back(column - 1 - skipped, NumberFormat::Text);
        }
    }

    // Chooses the decoding; a code page without a decoder, or a read error while the encoding
    // is recognised, is the failure.
    Failure start(const QString& nativePath)
    {
        m_nativePath = nativePath;
        if (m_decoder.start(m_options.codePage)) {
            m_report.setEncoding(m_decoder.encodingName());
            m_report.setUtf16WithoutMark(m_decoder.utf16WithoutMark());
            return {};
        }
        if (m_decoder.stopped())
            return Failure(Reason::Interrupted, nativePath);
        if (m_decoder.readFailed())
            return files::readFailure(m_file.get(), nativePath);
        return Failure(Reason::UnsupportedImport, nativePath, m_decoder.errorString());
    }

    std::vector<std::pair<int, NumberFormat>> columnFormats() const override { return m_columnFormats; }

    bool nextRow(RowView& row) override
    {
        if (!m_splitter.next()) {
            if (!m_splitter.errorString().isEmpty())
                m_failure = files::readFailure(m_file.get(), m_nativePath);
            else
                noteRepairsAtEnd();
            return false;
        }
        noteRepairs();
        const std::vector<std::string_view>& fields = m_splitter.fields();
        m_cells.clear();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const ColumnType type = i < m_types.size()                 ? m_types[i]
                                    : i < std::size_t(MaxTableColumns) ? ColumnType::General
                                                                       : m_options.columnType(int(i) + 1);
            if (type == ColumnType::Skip)
                continue;
            m_cells.push_back(recognizeField(fields[i], type));
        }
        // Trailing empty fields write nothing; leaving them out keeps them from counting
        // against the column limit.
        while (!m_cells.empty() && m_cells.back().type == CellType::Empty)
            m_cells.pop_back();
        row.index = m_rowIndex++;
        row.cells = m_cells.data();
        row.count = int(m_cells.size());
        row.sourceLine = m_splitter.line();
        return true;
    }

    Failure failure() const override { return m_failure; }
    QStringList warnings() const override { return m_report.messages(); }
    QString encodingName() const override { return m_decoder.encodingName(); }

private:
    // Notes the repairs the decoder made in the record just split, with their lines. Those before
    // it lie in lines the start row leaves out: nothing of them is imported, so nothing is said.
    void noteRepairs()
    {
        const std::string_view text = m_splitter.recordText();
        const std::uint64_t begin = m_splitter.recordOffset();
        const std::uint64_t end = begin + text.size();
        unicode::Repair repair;
        if (!m_decoder.takeRepair(end, &repair))
            return; // the common case, checked once per record
        unicode::LineCursor cursor(m_splitter.line());
        std::size_t pos = 0;
        do {
            if (repair.offset < begin)
                continue;
            const std::size_t at = std::max(pos, std::size_t(repair.offset - begin));
            cursor.advance(text.substr(pos, at - pos));
            pos = at;
            m_report.note(repair.kind, cursor.line());
        } while (m_decoder.takeRepair(end, &repair));
    }

    // After the last record only NUL characters left out after its end remain to be said, on
    // the last line; repairs in lines left out before the start row (when no record followed
    // them) are not.
    void noteRepairsAtEnd()
    {
        unicode::Repair repair;
        while (m_decoder.takeRepair(UINT64_MAX, &repair)) {
            if (repair.offset >= m_splitter.startRowOffset())
                m_report.note(repair.kind, m_splitter.currentLine());
        }
    }

    std::unique_ptr<QIODevice> m_file;
    QString m_nativePath;
    ImportOptions m_options;
    unicode::TextDecoder m_decoder;
    DelimitedSplitter m_splitter;
    std::vector<ColumnType> m_types; // column (from 0) -> type, for the columns the field info names
    std::vector<std::pair<int, NumberFormat>> m_columnFormats;
    std::vector<Cell> m_cells;
    std::int64_t m_rowIndex = 0;
    Failure m_failure;
    unicode::DecodingReport m_report;
};

} // namespace

std::unique_ptr<TextImport> openTextImport(const QString& path, const ImportOptions& options, Failure* failure)
{
    const QString nativePath = QDir::toNativeSeparators(path);
    auto fail = [failure](const Failure& why) {
        if (failure)
            *failure = why;
        return nullptr;
    };
    if (options.dataType == 2)
        return fail(Failure(Reason::UnsupportedImport, QString(),
                            QStringLiteral("只能导入带分隔符的文本, 不能导入固定宽度的文本")));
    if (options.dataType != 1)
        return fail(Failure(Reason::UnsupportedImport, QString(),
                            QStringLiteral("未知的数据类型 %1, 只能导入带分隔符的文本 (1)").arg(options.dataType)));
    // Opened by the path's exact bytes, read-only, regular files only; the failure says why not.
    Failure opened;
    std::unique_ptr<QIODevice> file = files::openReadDevice(path, &opened);
    if (!file)
        return fail(opened);
    auto source = std::make_unique<TextImportSource>(std::move(file), options);
    const Failure started = source->start(nativePath);
    if (started.isFailure())
        return fail(started);
    return source;
}

} // namespace engine
