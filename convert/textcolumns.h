#pragma once
// The user's list of text columns ("2,3,4") and what the two import routes make of it.

#include "convert/conversionoptions.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Splits at every comma, keeping empty pieces; each piece is read as a base-10 integer with blanks
// around it allowed; a piece that is empty or no integer gives 0. "2,,4" gives 2, 0, 4.
QList<int> parseTextColumns(const QString& text);

// The column-format list of the import: (n, 2) for each listed column in the order written
// (duplicates kept, nothing sorted) when text columns are in force, else ((1, 1), (2, 1)).
QList<QPair<int, int>> columnFormatList(const ConversionOptions& options);

// True when the cell-by-cell route is taken: text columns are enabled and listed and the
// cell-by-cell choice is set.
bool usesCellByCellRoute(const ConversionOptions& options);

// The separator of the cell-by-cell route for the delimiter choice (1 tab, 2 ";", 3 ",", 4 " ").
QChar cellByCellSeparator(int delimiter);

// Lines of the cell-by-cell route: split at CR LF, keeping empty pieces; when that gives at most
// one piece, at LF; when that again gives at most one piece, at CR.
QStringList splitCellByCellLines(const QString& text);
