#pragma once
// Why something failed, as a value: a reason code, the path it concerns and, where the system gave
// one, the system's own detail. Every part of the program reports its failures this way, and the
// Chinese text the user reads for each reason stands in one table (failure.cpp), so a reason is
// named the same way in the window, on the command line and in reports, and no caller ever looks
// into a message's wording to find out what happened.

#include <QString>

enum class Reason {
    None,
    // Folders the user gave
    FolderFieldEmpty,    // no folder was given
    FolderMissing,       // nothing exists at the path
    SourceFolderMissing, // the source folder of a job does not exist
    SaveFolderMissing,   // the save folder of a job does not exist
    NotAFolder,          // something that is not a folder exists at the path
    // Causes the system reports for a file or folder
    NoPermission,       // EACCES, EPERM
    DiskFull,           // ENOSPC, EDQUOT
    FileTooLarge,       // EFBIG
    NameTooLong,        // ENAMETOOLONG
    ReadOnlyFileSystem, // EROFS
    Vanished,           // ENOENT: it was there when the folder was listed
    NotARegularFile,    // a FIFO, a device, a socket
    IsAFolder,          // a folder stands where a file is needed
    PathBlocked,        // ENOTDIR, ELOOP: a part of the path is no folder, or links loop
    TooManyOpenFiles,   // EMFILE, ENFILE
    PipeClosed,         // EPIPE: the program reading the output has ended
    ReadError,          // EIO and other failures while reading
    WriteError,         // other failures while writing
    Locked,             // another program holds the file open (a Windows sharing violation)
    // Decisions of the conversion
    WorkbookNotWritable, // an existing workbook the user may not write is left alone
    CaseCollision,       // a source whose name differs from an earlier one's only in letter case
    ImportFailed,        // the spreadsheet application produced no workbook
    SaveFailed,          // the spreadsheet application saved nothing
    UnknownFileFormat,   // a save in a format code other than 51 or 56
    UnsupportedImport,   // import arguments the application cannot honour (fixed width, ...)
    TemporaryFileFailed, // the run's temporary folder or file could not be made
    Interrupted,         // the run was stopped while this file was in progress
    NoApplication,       // no spreadsheet application is available
    Other,               // anything else; the detail says what
};

struct Failure
{
    Reason reason = Reason::None;
    QString path;   // what the failure concerns, native separators; may be empty
    QString detail; // the system's or component's own words, shown after the reason's text

    Failure() = default;
    Failure(Reason reason, const QString& path = QString(), const QString& detail = QString())
        : reason(reason), path(path), detail(detail)
    {}

    bool isFailure() const { return reason != Reason::None; }
    // The Chinese text for the user: the reason's text with the path, then the detail, if any.
    QString text() const;
};

// The reason's own Chinese text, without path or detail ("没有权限", "磁盘已满", ...).
QString reasonText(Reason reason);
// A stable ASCII name of the reason, for machine-readable reports ("no-permission").
const char* reasonCode(Reason reason);
// The reason for a system error number (errno on POSIX systems); Other for one without a reason of
// its own.
Reason reasonForErrno(int error);
// A Failure for the system error `error` on `path`. The detail stays empty when the reason says it
// all; otherwise it carries the system's message.
Failure systemFailure(int error, const QString& path);
// The same for an error while writing: an input/output error is then a failed write, not a read.
Failure writeFailure(int error, const QString& path);
