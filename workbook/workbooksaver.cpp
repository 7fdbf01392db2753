#include "workbook/workbooksaver.h"

#include "files/atomicfile.h"
#include "files/filedevice.h"
#include "files/path.h"
#include "unicode/utf8.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include <QDir>

#include <string_view>

namespace engine {

const char* const warningSheetName = "警告";

namespace {

// Enough to say what was cut without letting a pathological text make the warnings themselves
// a burden; the rest are counted.
constexpr int maxWarningMessages = 1000;

class WarningLog
{
public:
    void add(const QString& message)
    {
        if (m_messages.size() < maxWarningMessages)
            m_messages.append(message);
        else
            ++m_omitted;
    }
    bool isEmpty() const { return m_messages.isEmpty(); }
    QStringList messages() const
    {
        QStringList all = m_messages;
        if (m_omitted > 0)
            all.append(QStringLiteral("另有 %1 处内容被截断，未一一列出").arg(m_omitted));
        return all;
    }

private:
    QStringList m_messages;
    qint64 m_omitted = 0;
};

class Saver
{
public:
    Saver(RowSource& rows, const QString& baseName, WorkbookWriter& writer, const WorkbookLimits& limits)
        : m_rows(rows), m_firstName(validSheetName(baseName)), m_writer(writer), m_limits(limits)
    {
        for (const auto& [column, format] : rows.columnFormats()) {
            if (column >= 0 && column < limits.maxColumns)
                m_columnFormats.emplace_back(column, format);
        }
    }

    // Writes every sheet; the caller has begun the file and finishes it.
    bool writeSheets(Failure* error)
    {
        RowView row;
        std::int64_t previous = -1;
        while (m_rows.nextRow(row)) {
            if (row.index <= previous) {
                *error = Failure(
                    Reason::Other, QString(),
                    QStringLiteral("行的顺序有误 (第 %1 行在第 %2 行之后)").arg(row.index + 1).arg(previous + 1));
                return false;
            }
            previous = row.index;
            const std::int64_t sheet = row.index / m_limits.maxRows;
            while (m_sheetCount <= sheet) {
                if (!startSheet(error))
                    return false;
            }
            const Cell* cells = row.cells;
            const int count = applyLimits(row, cells);
            if (!m_writer.writeRow(int(row.index % m_limits.maxRows), cells, count))
                return writerFailed(error);
            ++m_rowsWritten;
        }
        if (m_rows.failure().isFailure()) {
            *error = m_rows.failure();
            return false;
        }
        if (m_sheetCount == 0 && !startSheet(error))
            return false;
        m_sourceWarnings = m_rows.warnings();
        return (m_sourceWarnings.isEmpty() && m_warnings.isEmpty()) || writeWarningSheet(error);
    }

    QStringList warnings() const { return m_sourceWarnings + m_warnings.messages(); }
    std::int64_t rowsWritten() const { return m_rowsWritten; }
    int sheetCount() const { return int(m_sheetCount); }

private:
    bool writerFailed(Failure* error)
    {
        *error = Failure(Reason::WriteError, QString(), m_writer.errorString());
        return false;
    }

    bool startSheet(Failure* error)
    {
        ++m_sheetCount;
        const QString name = m_sheetCount == 1 ? m_firstName : continuationSheetName(m_firstName, int(m_sheetCount));
        m_sheetNames.append(name);
        if (!m_writer.addSheet(name, m_columnFormats))
            return writerFailed(error);
        return true;
    }

    // Cuts the row to what the format can hold, noting each cut; `cells` then points at the
    // cells to write (the row's own, or a copy with shortened texts).
    int applyLimits(const RowView& row, const Cell*& cells)
    {
        const std::int64_t line = row.sourceLine > 0 ? row.sourceLine : row.index + 1;
        int count = row.count;
        if (count > m_limits.maxColumns) {
            int lost = 0;
            for (int c = m_limits.maxColumns; c < count; ++c)
                lost += row.cells[c].type != CellType::Empty;
            count = m_limits.maxColumns;
            if (lost > 0)
                m_warnings.add(QStringLiteral("第 %1 行：超出每行 %2 列的上限，第 %3 列起的 %4 个单元格未能保存")
                                   .arg(line)
                                   .arg(m_limits.maxColumns)
                                   .arg(m_limits.maxColumns + 1)
                                   .arg(lost));
        }
        bool copied = false;
        for (int c = 0; c < count; ++c) {
            const Cell& cell = row.cells[c];
            // A text of no more bytes than the limit cannot have more UTF-16 units either.
            if (cell.type != CellType::Text || cell.text.size() <= std::size_t(m_limits.maxCellCharacters))
                continue;
            // The limit counts UTF-16 units, as the file formats do; the warning counts the
            // characters that were lost.
            if (unicode::utf8::utf16Length(cell.text) <= std::size_t(m_limits.maxCellCharacters))
                continue;
            if (!copied) {
                m_cells.assign(row.cells, row.cells + count);
                copied = true;
            }
            const std::string_view kept =
                unicode::utf8::leftUtf16Units(cell.text, std::size_t(m_limits.maxCellCharacters));
            m_cells[std::size_t(c)].text = kept;
            m_warnings.add(QStringLiteral("第 %1 行第 %2 列：超出每格 %3 个字符的上限，其后 %4 个字符未能保存")
                               .arg(line)
                               .arg(c + 1)
                               .arg(m_limits.maxCellCharacters)
                               .arg(unicode::utf8::characterCount(cell.text.substr(kept.size()))));
        }
        cells = copied ? m_cells.data() : row.cells;
        return count;
    }

    bool writeWarningSheet(Failure* error)
    {
        QString name = QString::fromUtf8(warningSheetName);
        for (int n = 2; m_sheetNames.contains(name, Qt::CaseInsensitive); ++n)
            name = continuationSheetName(QString::fromUtf8(warningSheetName), n);
        if (!m_writer.addSheet(name, {}))
            return writerFailed(error);
        QStringList lines = warnings();
        // Cuts alone keep the heading they always had; what the reading changed is no cut.
        lines.prepend(m_sourceWarnings.isEmpty() ? QStringLiteral("以下内容超出工作簿格式的限制，已被截断：")
                                                 : QStringLiteral("以下内容未能照原文存入工作簿："));
        for (int i = 0; i < lines.size(); ++i) {
            const QByteArray utf8 = lines.at(i).toUtf8();
            const Cell cell = Cell::makeText(std::string_view(utf8.constData(), std::size_t(utf8.size())));
            if (!m_writer.writeRow(i, &cell, 1))
                return writerFailed(error);
        }
        return true;
    }

    RowSource& m_rows;
    const QString m_firstName;
    WorkbookWriter& m_writer;
    const WorkbookLimits m_limits;
    std::vector<std::pair<int, NumberFormat>> m_columnFormats;
    std::int64_t m_sheetCount = 0;
    QStringList m_sheetNames;
    std::vector<Cell> m_cells;
    WarningLog m_warnings;
    QStringList m_sourceWarnings;
    std::int64_t m_rowsWritten = 0;
};

SaveResult failed(const Failure& failure)
{
    SaveResult result;
    result.failure = failure;
    return result;
}

} // namespace

QString validSheetName(const QString& name)
{
    // Bytes of a file name that are no text cannot be part of a sheet's name.
    QString valid = files::validText(name);
    for (QChar& c : valid) {
        if (c.unicode() < 0x20 || QStringView(u"[]:*?/\\").contains(c))
            c = QLatin1Char('_');
    }
    valid = unicode::utf16::left(valid, MaxSheetNameLength);
    // A name may neither begin nor end with an apostrophe.
    if (valid.startsWith(QLatin1Char('\'')))
        valid[0] = QLatin1Char('_');
    if (valid.endsWith(QLatin1Char('\'')))
        valid[valid.size() - 1] = QLatin1Char('_');
    return valid.isEmpty() ? QStringLiteral("Sheet1") : valid;
}

QString continuationSheetName(const QString& firstName, int number)
{
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    return unicode::utf16::left(firstName, MaxSheetNameLength - suffix.size()) + suffix;
}

SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, QIODevice* device,
                        std::unique_ptr<WorkbookWriter> writer, const WorkbookLimits& limits, const QDateTime& created)
{
    if (!writer)
        return failed(Failure(Reason::UnknownFileFormat));
    const WorkbookLimits own = writer->limits();
    const WorkbookLimits applied{qBound(1, limits.maxRows, own.maxRows), qBound(1, limits.maxColumns, own.maxColumns),
                                 qBound(1, limits.maxCellCharacters, own.maxCellCharacters)};

    Failure error;
    Saver saver(rows, sheetBaseName, *writer, applied);
    bool ok = writer->begin(device, created);
    if (!ok)
        error = Failure(Reason::WriteError, QString(), writer->errorString());
    ok = ok && saver.writeSheets(&error);
    if (ok && !writer->finish()) {
        ok = false;
        error = Failure(Reason::WriteError, QString(), writer->errorString());
    }
    const int temporaryFileError = writer->temporaryFileError();
    // The writer lets go of the device before its owner puts the file in place or discards it.
    writer.reset();
    if (!ok) {
        // A write the system refused says why (a full disk, a file past the size limit, ...): the
        // workbook's own, or one of the writer's temporary files, which live in the temporary
        // folder.
        if (error.reason == Reason::WriteError) {
            if (const int systemError = files::systemErrorOf(device); systemError != 0)
                error = writeFailure(systemError, QString());
            else if (temporaryFileError != 0)
                error = writeFailure(temporaryFileError, QDir::toNativeSeparators(QDir::tempPath()));
        }
        return failed(error.isFailure() ? error : Failure(Reason::SaveFailed));
    }
    SaveResult result;
    result.ok = true;
    result.warnings = saver.warnings();
    result.rows = saver.rowsWritten();
    result.sheets = saver.sheetCount();
    return result;
}

SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path,
                        std::unique_ptr<WorkbookWriter> writer, const WorkbookLimits& limits, const QDateTime& created)
{
    const QString shownPath = QDir::toNativeSeparators(path);
    if (!writer)
        return failed(Failure(Reason::UnknownFileFormat, shownPath));
    // Written as a file without a name beside the target and linked into place when complete: an
    // existing workbook is only ever replaced by a complete one, and nothing is left behind however
    // the save ends.
    files::AtomicFile file(path);
    if (const Failure opened = file.open(); opened.isFailure())
        return failed(opened);
    SaveResult result = saveWorkbook(rows, sheetBaseName, file.device(), std::move(writer), limits, created);
    if (result.ok) {
        if (const Failure committed = file.commit(); committed.isFailure())
            result = failed(committed);
    }
    if (!result.ok && result.failure.path.isEmpty())
        result.failure.path = shownPath;
    return result;
}

Failure fileFormatFailure(int fileFormat, const QString& path)
{
    if (fileFormat == FileFormatXlsx || fileFormat == FileFormatXls)
        return {};
    return Failure(
        Reason::UnknownFileFormat, QDir::toNativeSeparators(path),
        QStringLiteral("格式代码 %1 (%2 为 .xlsx, %3 为 .xls)").arg(fileFormat).arg(FileFormatXlsx).arg(FileFormatXls));
}

SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path, int fileFormat,
                        const QDateTime& created)
{
    if (const Failure unknown = fileFormatFailure(fileFormat, path); unknown.isFailure())
        return failed(unknown);
    std::unique_ptr<WorkbookWriter> writer;
    if (fileFormat == FileFormatXlsx) {
        writer = createXlsxWriter();
    } else {
        writer = createXlsWriter();
        if (!writer)
            return failed(Failure(Reason::UnknownFileFormat, QDir::toNativeSeparators(path),
                                  QStringLiteral("这个版本不能写 .xls 文件")));
    }
    const WorkbookLimits limits = writer->limits();
    return saveWorkbook(rows, sheetBaseName, path, std::move(writer), limits, created);
}

} // namespace engine
