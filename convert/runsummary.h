#pragma once
// What a conversion run did, as values: one FileResult per source file, told to the observer as
// each file ends, and a RunSummary delivered when the run has ended. Front ends decide what to
// show and which exit status to give from these, never from the progress texts.

#include "automation/automation.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

enum class FileStatus { Converted, Failed, Skipped };

struct FileResult
{
    QString source;   // native path of the source text
    QString workbook; // native path of the workbook written (or that would have been written)
    FileStatus status = FileStatus::Converted;
    Failure failure;      // why it failed; None for a converted file
    QStringList warnings; // what the workbook could not hold as the text had it
    SaveFacts facts;      // rows, sheets and encoding, where the application tells them
    double seconds = 0;   // wall-clock time spent on the file
};

// The text of `result`'s failure for a line that already names the source: without the path
// where the failure concerns the source itself, so that a long path is not shown twice.
QString failureTextBesideSource(const FileResult& result);

struct RunSummary
{
    int sources = 0;    // source files listed at the start, and sub-folders that could not be listed
    int converted = 0;  // workbooks saved
    int failed = 0;     // sources in the failure list
    int notReached = 0; // sources the run never came to (it was stopped, or ended early)
    // A stop was asked for (Ctrl+C, closing the window) before every source was done.
    bool interrupted = false;
    // The stop was one to stop now: the file in progress was given up (it is in the failure list
    // with Reason::Interrupted and left nothing behind).
    bool fileGivenUp = false;
    // What ended the run before its sources were done, when something did: no spreadsheet
    // application, or a source that another program holds locked.
    Failure runFailure;
    // Where the failure list was written; empty when there was none or it could not be written.
    QString failureListPath;
    // The failure list could not be written anywhere.
    bool failureListLost = false;

    bool allConverted() const
    {
        return !runFailure.isFailure() && !interrupted && failed == 0 && notReached == 0 && !failureListLost;
    }
};

Q_DECLARE_METATYPE(RunSummary)
