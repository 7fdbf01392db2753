#pragma once
// Reads a written workbook back through an independent reader (openpyxl for .xlsx, xlrd for
// .xls, run by tests/tools/readbook.py) so tests compare what another program sees.

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVector>

struct ReadCell
{
    int row = 0;
    int column = 0;
    QString type; // "n" number, "s" text, "b" boolean, "d" date/time, "" absent
    QVariant value;
    QString numberFormat;
};

struct ReadSheet
{
    QString name;
    int maxRow = 0;
    int maxColumn = 0;
    QVector<ReadCell> cells;
    // The cell at (row, column), counted from 1; an absent cell has an empty type.
    ReadCell at(int row, int column) const;
};

struct ReadWorkbook
{
    bool ok = false;
    QString error;
    QString reader;
    QVector<ReadSheet> sheets;
};

// summary: only sheet names and sizes (no cell list), for very large workbooks.
ReadWorkbook readWorkbookBack(const QString& path, bool summary = false);

// Small file helpers for tests.
bool writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);
