#include "convert/textcolumns.h"

QList<int> parseTextColumns(const QString& text)
{
    QList<int> columns;
    const QStringList pieces = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& piece : pieces) {
        bool ok = false;
        const int value = piece.trimmed().toInt(&ok, 10);
        columns.append(ok ? value : 0);
    }
    return columns;
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

QChar cellByCellSeparator(int delimiter)
{
    switch (delimiter) {
    case 2:
        return QLatin1Char(';');
    case 3:
        return QLatin1Char(',');
    case 4:
        return QLatin1Char(' ');
    default:
        return QLatin1Char('\t');
    }
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
