#include "workbookreadback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

ReadCell ReadSheet::at(int row, int column) const
{
    for (const ReadCell& cell : cells) {
        if (cell.row == row && cell.column == column)
            return cell;
    }
    ReadCell none;
    none.row = row;
    none.column = column;
    return none;
}

namespace {

// With QUILLMORNE_KEEP_WORKBOOKS naming a folder, every workbook a test reads back is also copied
// there (under the suite's, the test's and the row's names), so that a later stage can put the
// writers' real outputs before stricter readers (tests/tools/strict-readers.sh). Copies larger
// than QUILLMORNE_KEEP_WORKBOOKS_MAX_BYTES (default 2 MB) are not kept: the stricter readers are
// slow.
void keepCopy(const QString& path)
{
    const QString folder = qEnvironmentVariable("QUILLMORNE_KEEP_WORKBOOKS");
    if (folder.isEmpty())
        return;
    bool limitGiven = false;
    const qint64 limit = qEnvironmentVariableIntValue("QUILLMORNE_KEEP_WORKBOOKS_MAX_BYTES", &limitGiven);
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > (limitGiven ? limit : 2 * 1024 * 1024))
        return;
    static int counter = 0;
    QString name =
        QStringLiteral("%1-%2-%3-%4-%5")
            .arg(QString::fromLatin1(QTest::currentAppName()), QString::fromLatin1(QTest::currentTestFunction()),
                 QString::fromUtf8(QTest::currentDataTag()))
            .arg(++counter)
            .arg(info.fileName());
    name.replace(QRegularExpression(QStringLiteral("[^\\w.\\-]+")), QStringLiteral("_"));
    QDir().mkpath(folder);
    QFile::copy(path, QDir(folder).filePath(name));
}

} // namespace

ReadWorkbook readWorkbookBack(const QString& path, bool summary)
{
    keepCopy(path);
    ReadWorkbook book;
    QProcess process;
    QStringList arguments{QStringLiteral(QUILLMORNE_TEST_TOOLS "/readbook.py"), path};
    if (summary)
        arguments << QStringLiteral("--summary");
    process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON), arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        book.error =
            QStringLiteral("reader failed on %1: %2").arg(path, QString::fromUtf8(process.readAllStandardError()));
        return book;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(process.readAllStandardOutput(), &parseError);
    if (document.isNull()) {
        book.error = QStringLiteral("reader output is not JSON: %1").arg(parseError.errorString());
        return book;
    }
    const QJsonObject root = document.object();
    book.reader = root.value(QStringLiteral("reader")).toString();
    for (const QJsonValue& sheetValue : root.value(QStringLiteral("sheets")).toArray()) {
        const QJsonObject sheetObject = sheetValue.toObject();
        ReadSheet sheet;
        sheet.name = sheetObject.value(QStringLiteral("name")).toString();
        sheet.maxRow = sheetObject.value(QStringLiteral("max_row")).toInt();
        sheet.maxColumn = sheetObject.value(QStringLiteral("max_col")).toInt();
        for (const QJsonValue& cellValue : sheetObject.value(QStringLiteral("cells")).toArray()) {
            const QJsonArray c = cellValue.toArray();
            ReadCell cell;
            cell.row = c.at(0).toInt();
            cell.column = c.at(1).toInt();
            cell.type = c.at(2).toString();
            cell.value = c.at(3).toVariant();
            cell.numberFormat = c.at(4).toString();
            sheet.cells.append(cell);
        }
        book.sheets.append(sheet);
    }
    book.ok = true;
    return book;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
