#pragma once
// The user's list of text columns ("2,3,4") and what the two import routes make of it. The one
// parser of such lists: the worker, the window and the command line all read them through it.

#include "convert/conversionoptions.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// A list of text columns as read. Pieces are separated by "," or, as Chinese input methods type
// them, by "，" or "、"; empty pieces are kept. Each piece is a base-10 integer with blanks around
// it allowed; a piece that is empty or no integer gives the column 0.
struct TextColumnList
{
    QList<int> columns;
    // The first piece that is no column number (empty, not an integer, or below 1), as written;
    // empty when every piece is one. `invalid` tells an empty bad piece from none.
    QString firstInvalidPiece;
    bool invalid = false;
};
TextColumnList parseTextColumnList(const QString& text);

// The columns alone (a piece that is no integer gives 0): "2,,4" gives 2, 0, 4.
QList<int> parseTextColumns(const QString& text);

// The column-format list of the import: (n, 2) for each listed column in the order written
// (duplicates kept, nothing sorted) when text columns are in force, else ((1, 1), (2, 1)).
QList<QPair<int, int>> columnFormatList(const ConversionOptions& options);

// True when the cell-by-cell route is taken: text columns are enabled and listed and the
// cell-by-cell choice is set.
bool usesCellByCellRoute(const ConversionOptions& options);

// Lines of the cell-by-cell route: split at CR LF, keeping empty pieces; when that gives at most
// one piece, at LF; when that again gives at most one piece, at CR.
QStringList splitCellByCellLines(const QString& text);
