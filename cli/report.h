#pragma once
// The machine-readable report of a run (--report FILE.json): one record per source file and a
// summary, as JSON, for scripts. The format (version 1) is described in the manual and in
// docs/report.schema.json:
//
//   {"version": 1,
//    "files": [{"source": ..., "workbook": ..., "status": "converted" | "failed" | "skipped",
//               "rows": n | null, "sheets": n | null, "encoding": "UTF-8" | null,
//               "warnings": [...], "reason": {"code": ..., "text": ...} | null,
//               "seconds": s}, ...],
//    "summary": {"sources": n, "converted": n, "failed": n, "skipped": n, "not_reached": n,
//                "interrupted": bool, "failure_list": path | null,
//                "run_failure": {"code": ..., "text": ...} | null}}
//
// JSON strings are valid Unicode. A name that is not valid UTF-8 reaches the front end with its
// stray bytes as U+DC80..U+DCFF; in the report those show as U+FFFD, and the record gets the
// exact bytes of the path, base64-encoded, under "source_bytes" / "workbook_bytes" (and the
// summary under "failure_list_bytes"). Those keys appear only for such names.

#include "convert/mergeobject.h"
#include "convert/runsummary.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QVector>

// A text made valid for JSON: every lone surrogate becomes U+FFFD.
QString validUnicode(const QString& text);
// True when the text carries bytes of a name that was not valid UTF-8 (lone U+DC80..U+DCFF).
bool hasEscapedBytes(const QString& text);
// The bytes a name stands for: UTF-8, with each lone U+DC80..U+DCFF as the byte it carries.
QByteArray nameBytes(const QString& text);

// Gathers the record of every file as the run goes (the worker calls it on its thread) and
// makes the report once the run has ended.
class RunReport : public MergeObserver
{
public:
    void fileFinished(const FileResult& result) override;
    QByteArray json(const RunSummary& summary) const;

private:
    mutable QMutex mutex;
    QVector<FileResult> records;
};

// Writes the report to `path` ("-": standard output) as a whole: a report file is replaced only
// by a complete one. False, with `error` set, when it could not be written.
bool writeReport(const QString& path, const QByteArray& json, QString* error);
// Checks before a run that a report can be written at `path`; empty when it can, else why not.
QString reportPathProblem(const QString& path);
// True when the report goes to the tool's standard output: "-", or a path that names the file
// standard output already is (/dev/stdout, /dev/fd/1, the file it is redirected to).
bool reportGoesToStandardOutput(const QString& path);
