#pragma once
// Converting one source file with one spreadsheet application: the steps of either conversion
// mode for a single file, from reading the source to the saved workbook, and nothing of the run
// around it. The worker runs these jobs one after another, or on several threads at once with an
// application each; what the run makes of a job's outcome (counts, the failure list, the order of
// reports) is the worker's affair.

#include "automation/automation.h"
#include "convert/conversionoptions.h"
#include "convert/runsummary.h"

#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

// A spreadsheet application bound and ready for imports, and the folder of the import files it
// needs (the COM route's; made for the first one).
class SpreadsheetSession
{
public:
    explicit SpreadsheetSession(SpreadsheetApplication* application) : application(application) {}
    // Binds the application (not owned; may be null), makes it invisible and quiet, and fetches
    // its WorkBooks object; false when there is none.
    bool connect();

    SpreadsheetApplication* const application;
    Workbooks* books = nullptr;
    // Import files live in a private folder, named like their source, so they can never overwrite
    // a source and a missing save folder cannot break the import. The folder is made for the first
    // import file, so a run that needs none leaves nothing behind even when it is killed.
    QTemporaryDir* importFolder();

private:
    std::unique_ptr<QTemporaryDir> m_importFolder;
};

struct FileOutcome
{
    FileResult result;
    bool saved = false;   // a workbook was saved at result.workbook
    bool endsRun = false; // the source is locked by another program: the run stops here
};

enum class ConversionMode { SettingsDriven, Automatic };

class FileJob
{
public:
    // `aborted` becomes true when the run is asked to stop now.
    FileJob(SpreadsheetSession& session, const ConversionOptions& options, const std::atomic<bool>& aborted)
        : session(session), options(options), aborted(aborted)
    {}

    // Converts `entry` (a source file) and says how it went.
    FileOutcome run(const QFileInfo& entry, ConversionMode mode);

private:
    bool transformFile(const QFileInfo& entry);
    bool transformSourceText(const QFileInfo& entry);
    bool transformImportFile(const QFileInfo& entry);
    bool transformCellByCell(const QFileInfo& entry);
    void openByRecognition(const QFileInfo& entry);
    bool finishImport(Workbook* workbook, const QFileInfo& entry, const QStringList& decodingWarnings);
    Workbook* importByOpenText(const QString& path, int codePage);
    Workbook* importCellByCell(QString& sourceText, QStringList& warnings);
    void saveAndClose(Workbook* workbook, const QFileInfo& entry);
    void failed(const Failure& failure);
    bool sourceFailed(const Failure& failure);

    SpreadsheetSession& session;
    const ConversionOptions& options;
    const std::atomic<bool>& aborted;
    FileOutcome outcome;
};
