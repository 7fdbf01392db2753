#pragma once
// The steps both conversion modes share: listing the files below the source folder, choosing the
// source files among them, and mapping a source file to its workbook's path.

#include "automation/automation.h"
#include "convert/conversionoptions.h"

#include <QFileInfo>
#include <QList>
#include <QString>

// Every file below `folder`, depth first: a folder's own files (hidden ones included, links
// excluded) before its sub-folders (hidden ones excluded, links to folders followed), each group
// sorted by lower-cased name. A folder already entered (by its canonical path) is not entered
// again, so a link back to an enclosing folder cannot make the walk endless.
// Entries that are not regular files (FIFOs, devices) and files whose names cannot be decoded are
// listed too, so that they are reported as sources that cannot be opened rather than skipped.
QList<QFileInfo> listSourceFiles(const QString& folder);

// A listed file is a source file when its path, lower-cased, ends with ".txt".
bool isSourceFile(const QFileInfo& entry);

// Makes the folder exist, creating missing levels, and returns it. Never climbs above the file
// system's root. Whether it succeeded shows in the later save.
QString ensureFolder(const QString& path);

struct OutputLocation
{
    QString folder;   // native separators, no trailing separator
    QString filePath; // native separators
    int fileFormat = FileFormatXlsx;
};

// Where the workbook of `entry` goes: beside it when saveToSourceFolder is set, otherwise in the
// same folder relative to sourceFolder, placed below saveFolder (computed on paths, not on text,
// so trailing separators or letter case cannot send it into the source tree). Does not create
// anything; see ensureFolder.
OutputLocation outputLocation(const QFileInfo& entry, const ConversionOptions& options);

// The failure list's path for the options: failureListPath when set, else the list's file name in
// the source folder.
QString failureListPathFor(const ConversionOptions& options);
// The name of the failure list written into the source folder.
QString failureListFileName();

// The settings-driven start removes a failure list left by an earlier run, so it is neither
// converted as a source nor mistaken for this run's list.
void removeOldFailureList(const ConversionOptions& options);

// "成功转换N个txt文件,"
QString summaryText(int convertedCount);
