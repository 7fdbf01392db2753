#include "workbook/workbooksaver.h"

#include "unicode/utf8.h"
#include "xls/xlswriter.h"
#include "xlsx/xlsxwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <string_view>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace engine {

const char* const warningSheetName = "警告";

namespace {

constexpr int maxSheetNameLength = 31;
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

QString temporaryPathFor(const QString& path)
{
    // Hidden and with an ending no conversion run picks up, so a run that is interrupted
    // between writing and renaming leaves nothing that looks like a source or a result.
    const QString folder = QFileInfo(path).absolutePath();
    const quint64 tag = QRandomGenerator::global()->generate64();
    return folder + QLatin1String("/.quillmorne-") + QString::number(tag, 16) + QLatin1String(".tmp");
}

bool replaceFile(const QString& from, const QString& to, QString* error)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *error = qt_error_string(int(GetLastError()));
    return false;
#else
    // rename() replaces an existing file in one step: readers see the old or the new workbook.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    *error = qt_error_string(errno);
    return false;
#endif
}

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
    QString valid = name;
    for (QChar& c : valid) {
        if (c.unicode() < 0x20 || QStringView(u"[]:*?/\\").contains(c))
            c = QLatin1Char('_');
    }
    valid = unicode::utf16::left(valid, maxSheetNameLength);
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
    return unicode::utf16::left(firstName, maxSheetNameLength - suffix.size()) + suffix;
}

SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path,
                        std::unique_ptr<WorkbookWriter> writer, const WorkbookLimits& limits, const QDateTime& created)
{
    if (!writer)
        return failed(Failure(Reason::UnknownFileFormat, QDir::toNativeSeparators(path)));
    const WorkbookLimits own = writer->limits();
    const WorkbookLimits applied{qBound(1, limits.maxRows, own.maxRows), qBound(1, limits.maxColumns, own.maxColumns),
                                 qBound(1, limits.maxCellCharacters, own.maxCellCharacters)};

    const QString temporary = temporaryPathFor(path);
    Failure error;
    Saver saver(rows, sheetBaseName, *writer, applied);
    bool ok = writer->begin(temporary, created);
    if (!ok)
        error = Failure(Reason::WriteError, QString(), writer->errorString());
    ok = ok && saver.writeSheets(&error);
    if (ok && !writer->finish()) {
        ok = false;
        error = Failure(Reason::WriteError, QString(), writer->errorString());
    }
    // The writer lets go of the file before it is removed or renamed.
    writer.reset();
    if (ok) {
        QString renameError;
        if (!replaceFile(temporary, path, &renameError)) {
            ok = false;
            error = Failure(Reason::WriteError, QString(), renameError);
        }
    }
    if (!ok) {
        QFile::remove(temporary);
        if (!error.isFailure())
            error = Failure(Reason::SaveFailed);
        if (error.path.isEmpty())
            error.path = QDir::toNativeSeparators(path);
        return failed(error);
    }
    SaveResult result;
    result.ok = true;
    result.warnings = saver.warnings();
    result.rows = saver.rowsWritten();
    result.sheets = saver.sheetCount();
    return result;
}

SaveResult saveWorkbook(RowSource& rows, const QString& sheetBaseName, const QString& path, int fileFormat,
                        const QDateTime& created)
{
    std::unique_ptr<WorkbookWriter> writer;
    if (fileFormat == FileFormatXlsx) {
        writer = createXlsxWriter();
    } else if (fileFormat == FileFormatXls) {
        writer = createXlsWriter();
        if (!writer)
            return failed(Failure(Reason::UnknownFileFormat, QDir::toNativeSeparators(path),
                                  QStringLiteral("这个版本不能写 .xls 文件")));
    } else {
        return failed(Failure(Reason::UnknownFileFormat, QDir::toNativeSeparators(path),
                              QStringLiteral("格式代码 %1 (51 为 .xlsx, 56 为 .xls)").arg(fileFormat)));
    }
    const WorkbookLimits limits = writer->limits();
    return saveWorkbook(rows, sheetBaseName, path, std::move(writer), limits, created);
}

} // namespace engine
