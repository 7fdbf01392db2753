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
// sorted by lower-cased name. A folder already entered (by its device and inode) is not entered
// again, so a link back to an enclosing folder cannot make the walk endless.
// Names are read as bytes: a name that is not UTF-8 is listed under those bytes (files/path.h),
// and folders deeper than the system's path limit are walked like the others. Entries that are
// not regular files (FIFOs, devices) are listed too, so that they are reported as sources that
// cannot be opened rather than skipped. A folder that cannot be read is not skipped in silence:
// `unlisted`, when given, receives why.
QList<QFileInfo> listSourceFiles(const QString& folder, QList<Failure>* unlisted = nullptr);

// A listed file is a source file when its path, lower-cased, ends with ".txt".
bool isSourceFile(const QFileInfo& entry);

// Makes the folder exist, creating missing levels, and returns it. Never climbs above the file
// system's root. `failure`, when given, receives why it could not be made.
QString ensureFolder(const QString& path, Failure* failure = nullptr);

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

// Checks the folders of a job before it starts, for the window and the command line alike: the
// source folder must be a folder the user may list, the save folder (unless the workbooks go
// beside the sources) a folder the user may enter. No failure when they are usable; otherwise
// SourceFolderMissing or SaveFolderMissing for a folder that does not exist, or the cause
// (FolderFieldEmpty, NotAFolder, NoPermission, PathBlocked, NameTooLong, ...) with the
// path, and the folder's role (提取文件夹 or 保存文件夹) as the detail.
Failure checkJobFolders(const ConversionOptions& options);

// The message for a refused start: "提取文件夹不存在!" or "保存文件夹不存在!" as the program
// always said for a folder that does not exist, else the cause with the path.
QString folderCheckText(const Failure& failure);

// "成功转换N个txt文件,"
QString summaryText(int convertedCount);
