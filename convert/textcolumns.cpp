#include "convert/textcolumns.h"

#include <QRegularExpression>

namespace {

// The piece with full-width digits as ASCII ones: a Chinese input method in full-width mode types
// "１２" for 12. Other digit forms (superscripts, circled numbers) are no column numbers.
QString asciiDigits(QString piece)
{
    for (QChar& c : piece) {
        if (c.unicode() >= 0xFF10 && c.unicode() <= 0xFF19)
            c = QChar(u'0' + (c.unicode() - 0xFF10));
    }
    return piece;
}

} // namespace

TextColumnList parseTextColumnList(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,，、]"));
    TextColumnList list;
    const QStringList pieces = text.split(separators, Qt::KeepEmptyParts);
    for (const QString& piece : pieces) {
        bool ok = false;
        const int value = asciiDigits(piece).trimmed().toInt(&ok, 10);
        list.columns.append(ok ? value : 0);
        if ((!ok || value < 1) && !list.invalid) {
            list.invalid = true;
            list.firstInvalidPiece = piece;
        }
    }
    return list;
}

QList<int> parseTextColumns(const QString& text)
{
    return parseTextColumnList(text).columns;
}

QList<QPair<int, int>> columnFormatList(const ConversionOptions& options)
{
    QList<QPair<int, int>> list;
    if (options.textColumnsEnabled && !options.textColumns.isEmpty()) {
        for (int column : parseTextColumns(options.textColumns))
            list.append(qMakePair(column, 2));
    } else {
        list.append(qMakePair(1, 1));
        list.append(qMakePair(2, 1));
    }
    return list;
}

bool usesCellByCellRoute(const ConversionOptions& options)
{
    return options.textColumnsEnabled && !options.textColumns.isEmpty() && options.cellByCellMode;
}

QStringList splitCellByCellLines(const QString& text)
{
    QStringList lines = text.split(QStringLiteral("\r\n"), Qt::KeepEmptyParts);
    if (lines.size() <= 1)
        lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    if (lines.size() <= 1)
        lines = text.split(QLatin1Char('\r'), Qt::KeepEmptyParts);
    return lines;
}
