#include "workbookreadback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

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

ReadWorkbook readWorkbookBack(const QString& path, bool summary)
{
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
