#pragma once
// The options of the current conversion job. The window (or the command-line tool) fills the
// process-wide record before it triggers a run; the worker only reads it.

#include <QString>

struct ConversionOptions
{
    QString sourceFolder;
    QString saveFolder;
    bool saveToSourceFolder = false;
    bool xlsxOutput = true;
    int delimiter = 1; // 1 tab, 2 semicolon, 3 comma, 4 space
    bool consecutiveDelimiters = false;
    bool textColumnsEnabled = false;
    QString textColumns;
    bool cellByCellMode = false;
    bool sourceUcs2 = false;
    bool sourceUtf8Bom = false;
    QString failureListPath;
};

// The process-wide record.
ConversionOptions& conversionOptions();
