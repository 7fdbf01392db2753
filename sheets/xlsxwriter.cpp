#include "sheets/xlsxwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sheets {

namespace {

// The built-in "@" format: readers recognise the text format by this number.
constexpr uint8_t builtinTextFormatIndex = 49;
// Characters in one cell; libxlsxwriter refuses longer strings.
constexpr int maxStringLength = 32767;

// libxlsxwriter opens files with the C library: local 8-bit names on POSIX, UTF-8 on Windows.
QByteArray nativeFileName(const QString& path)
{
#ifdef Q_OS_WIN
    return QDir::toNativeSeparators(path).toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when `text` at `pos` reads "_xHHHH_".
bool isEscapeAt(std::string_view text, std::size_t pos)
{
    return pos + 7 <= text.size() && text[pos] == '_' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
           isHex(text[pos + 2]) && isHex(text[pos + 3]) && isHex(text[pos + 4]) && isHex(text[pos + 5]) &&
           text[pos + 6] == '_';
}

class XlsxWriter : public WorkbookWriter
{
public:
    ~XlsxWriter() override
    {
        // An abandoned workbook is freed without writing anything; its temporary files were
        // unlinked when created, but their handles must be closed here.
        if (m_book) {
            closeRowFiles(false);
            lxw_workbook_free(m_book);
        }
    }

    WorkbookLimits limits() const override { return {LXW_ROW_MAX, LXW_COL_MAX, maxStringLength}; }

    bool begin(const QString& path, const QDateTime& created) override
    {
        if (m_book)
            return fail(QStringLiteral("the workbook is already started"));
        m_path = path;
        // Row data is kept in temporary files until the end; keeping them beside the target
        // puts them on the disk that must hold the workbook anyway (a memory-backed /tmp would
        // turn them back into memory).
        m_tmpdir = nativeFileName(QFileInfo(path).absolutePath());
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        options.tmpdir = m_tmpdir.data();
        options.use_zip64 = LXW_FALSE;
        const QByteArray fileName = nativeFileName(path);
        m_book = workbook_new_opt(fileName.constData(), &options);
        if (!m_book)
            return fail(QStringLiteral("cannot start the workbook %1").arg(QDir::toNativeSeparators(path)));

        lxw_doc_properties properties{};
        // libxlsxwriter takes 0 as "now", which would make the bytes depend on the clock.
        const qint64 seconds = created.isValid() ? created.toSecsSinceEpoch() : 0;
        properties.created = time_t(seconds > 0 ? seconds : 1);
        if (!check(workbook_set_properties(m_book, &properties), "cannot set the document properties"))
            return false;

        for (int i = 1; i < int(NumberFormat::Count); ++i) {
            lxw_format* format = workbook_add_format(m_book);
            if (!format)
                return fail(QStringLiteral("out of memory while preparing the number formats"));
            if (NumberFormat(i) == NumberFormat::Text)
                format_set_num_format_index(format, builtinTextFormatIndex);
            else
                format_set_num_format(format, numberFormatCode(NumberFormat(i)));
            m_formats[std::size_t(i)] = format;
        }
        return true;
    }

    bool addSheet(const QString& name, const std::vector<std::pair<int, NumberFormat>>& columnFormats) override
    {
        if (!m_book)
            return fail(QStringLiteral("the workbook is not started"));
        const QByteArray utf8 = name.toUtf8();
        const lxw_error nameError = workbook_validate_sheet_name(m_book, utf8.constData());
        if (nameError != LXW_NO_ERROR)
            return fail(
                QStringLiteral("invalid sheet name \"%1\": %2").arg(name, QString::fromUtf8(lxw_strerror(nameError))));
        m_sheet = workbook_add_worksheet(m_book, utf8.constData());
        if (!m_sheet)
            return fail(QStringLiteral("cannot add the sheet \"%1\" (no temporary file could be created in %2)")
                            .arg(name, QDir::toNativeSeparators(QString::fromLocal8Bit(m_tmpdir))));

        m_columnFormats.clear();
        for (const auto& [column, format] : columnFormats) {
            if (column < 0 || column >= LXW_COL_MAX || format == NumberFormat::General || format >= NumberFormat::Count)
                continue;
            if (m_columnFormats.size() <= std::size_t(column))
                m_columnFormats.resize(std::size_t(column) + 1, nullptr);
            m_columnFormats[std::size_t(column)] = m_formats[std::size_t(format)];
        }
        // One column entry per run of equal formats keeps the sheet's column list short.
        std::size_t first = 0;
        while (first < m_columnFormats.size()) {
            std::size_t last = first;
            while (last + 1 < m_columnFormats.size() && m_columnFormats[last + 1] == m_columnFormats[first])
                ++last;
            if (m_columnFormats[first]) {
                const lxw_error error = worksheet_set_column(m_sheet, lxw_col_t(first), lxw_col_t(last),
                                                             LXW_DEF_COL_WIDTH, m_columnFormats[first]);
                if (!check(error, "cannot set the column formats"))
                    return false;
            }
            first = last + 1;
        }
        return true;
    }

    bool writeRow(int row, const Cell* cells, int count) override
    {
        if (!m_sheet)
            return fail(QStringLiteral("no sheet has been started"));
        for (int c = 0; c < count; ++c) {
            const Cell& cell = cells[c];
            if (cell.type == CellType::Empty)
                continue;
            lxw_format* format = formatOf(cell, c);
            lxw_error error = LXW_NO_ERROR;
            switch (cell.type) {
            case CellType::Number:
                // A non-finite number has no spelling in the file; it would corrupt the sheet.
                if (!std::isfinite(cell.number))
                    return fail(QStringLiteral("row %1, column %2: not a finite number").arg(row + 1).arg(c + 1));
                error = worksheet_write_number(m_sheet, lxw_row_t(row), lxw_col_t(c), cell.number, format);
                break;
            case CellType::Boolean:
                error = worksheet_write_boolean(m_sheet, lxw_row_t(row), lxw_col_t(c), cell.number != 0, format);
                break;
            case CellType::Text:
                m_text = escapeXlsxText(cell.text);
                error = worksheet_write_string(m_sheet, lxw_row_t(row), lxw_col_t(c), m_text.c_str(), format);
                break;
            case CellType::Empty:
                break;
            }
            if (error != LXW_NO_ERROR)
                return fail(QStringLiteral("cannot write row %1, column %2: %3")
                                .arg(row + 1)
                                .arg(c + 1)
                                .arg(QString::fromUtf8(lxw_strerror(error))));
        }
        return true;
    }

    bool finish() override
    {
        if (!m_book)
            return fail(QStringLiteral("the workbook is not started"));
        closeRowFiles(true);
        // workbook_close frees the workbook whatever happens.
        const lxw_error error = workbook_close(m_book);
        m_book = nullptr;
        m_sheet = nullptr;
        if (error != LXW_NO_ERROR)
            return fail(QStringLiteral("cannot write %1: %2")
                            .arg(QDir::toNativeSeparators(m_path), QString::fromUtf8(lxw_strerror(error))));
        return true;
    }

    QString errorString() const override { return m_error; }

private:
    // In constant-memory mode libxlsxwriter keeps each sheet's rows in an unlinked temporary file
    // and closes it only after copying a sheet that holds data: a sheet without any cell (an
    // empty source) or an abandoned workbook would keep its file handle open for the life of the
    // process, and after about a thousand of them no file could be opened at all. `onlyEmpty`:
    // close just those of sheets without data, before the workbook is written.
    void closeRowFiles(bool onlyEmpty)
    {
        lxw_sheet* sheet;
        STAILQ_FOREACH(sheet, m_book->sheets, list_pointers)
        {
            if (sheet->is_chartsheet)
                continue;
            lxw_worksheet* worksheet = sheet->u.worksheet;
            if (worksheet->optimize_tmpfile && (!onlyEmpty || worksheet->dim_rowmin == LXW_ROW_MAX)) {
                std::fclose(worksheet->optimize_tmpfile);
                worksheet->optimize_tmpfile = nullptr;
            }
        }
    }

    lxw_format* formatOf(const Cell& cell, int column) const
    {
        if (cell.format != NumberFormat::General && cell.format < NumberFormat::Count)
            return m_formats[std::size_t(cell.format)];
        // A cell keeps its column's format: a cell without a format of its own would show as
        // General even in a text column.
        return std::size_t(column) < m_columnFormats.size() ? m_columnFormats[std::size_t(column)] : nullptr;
    }

    bool check(lxw_error error, const char* what)
    {
        if (error == LXW_NO_ERROR)
            return true;
        return fail(QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromUtf8(lxw_strerror(error))));
    }

    bool fail(const QString& message)
    {
        m_error = message;
        return false;
    }

    lxw_workbook* m_book = nullptr;
    lxw_worksheet* m_sheet = nullptr;
    std::array<lxw_format*, std::size_t(NumberFormat::Count)> m_formats{};
    std::vector<lxw_format*> m_columnFormats;
    QByteArray m_tmpdir;
    QString m_path;
    QString m_error;
    std::string m_text;
};

} // namespace

std::string escapeXlsxText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0')
            out += "_x0000_";
        else if (c == '_' && isEscapeAt(text, i))
            out += "_x005F_"; // the underscore itself, escaped; the rest follows as written
        else
            out += c;
    }
    return out;
}

std::unique_ptr<WorkbookWriter> createXlsxWriter()
{
    return std::make_unique<XlsxWriter>();
}

} // namespace sheets
