#pragma once
// convert/: the conversion worker (this header) and what it needs: the job's options with the
// delimiter table (conversionoptions.h), one file's conversion (filejob.h), listing sources and
// naming their workbooks (sourcefiles.h), source texts the worker reads itself (sourcetext.h),
// text-column lists (textcolumns.h) and the results of a run (runsummary.h). It sees only the
// automation interface, never a binding or the engine.
//
// The conversion worker. A job creates one MergeObject, gives it the job's options and the
// spreadsheet binding, moves it to a thread of its own and triggers one of the two run slots
// through a queued connection. The run reports progress texts; when it ends it delivers its
// RunSummary and then, as its very last act, Signal_SetButtonEnable().

#include "automation/automation.h"
#include "convert/conversionoptions.h"
#include "convert/runsummary.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// Detail of a run beyond the status texts, for front ends that show more (the command-line
// tool's progress bar, per-file lines and report). Called on the worker's thread, in run order.
class MergeObserver
{
public:
    virtual ~MergeObserver() = default;
    virtual void sourceFilesListed(int count) { Q_UNUSED(count) }
    virtual void fileStarted(const QString& nativePath) { Q_UNUSED(nativePath) }
    virtual void fileFinished(const FileResult& result) { Q_UNUSED(result) }
};

class MergeObject : public QObject
{
    Q_OBJECT
public:
    explicit MergeObject(QObject* parent = nullptr);
    ~MergeObject() override;

    // The options of the job; the worker keeps its own copy. Set before the run is triggered.
    void setOptions(const ConversionOptions& options);
    const ConversionOptions& options() const { return jobOptions; }
    // The spreadsheet application a run talks to: the binding the program's entry point chose, or a
    // double in tests. Without one, a run finds no spreadsheet application and says so.
    void setApplicationFactory(SpreadsheetApplicationFactory factory);
    // How the failure list is shown to the user once written: the window opens it in the
    // desktop's text viewer, the command-line tool prints its path. By default nothing is shown.
    void setShowFileAction(std::function<void(const QString& path)> action);
    // Asks a running run to stop after the file in progress (callable from any thread). Workbooks
    // already saved stay; the run still writes its failure list and ends with its end signals.
    void requestStop();
    bool stopRequested() const;
    // Asks a running run to stop now (callable from any thread): the file in progress is given up
    // and leaves nothing behind, and the run ends as after requestStop().
    void requestAbort();
    bool abortRequested() const;
    // How many files a run converts at once (at least 1). Several only where the binding serves
    // parallel runs; each then gets an application object of its own, on a thread of its own.
    // Progress texts, per-file results, the failure list and the summary come in list order and
    // are the same as with one.
    void setParallelJobs(int jobs);
    int parallelJobs() const { return jobs; }
    // Not owned; must outlive the runs it observes.
    void setObserver(MergeObserver* observer);

signals:
    void Signal_SetButtonEnable();
    void ShowDisposingFile(QString filePath);
    // The run has ended; emitted just before Signal_SetButtonEnable().
    void RunFinished(RunSummary summary);

public slots:
    void Transform();
    void AutoTransform();

private:
    class Run;
    class SessionPool;
    // Applications a stop-now request must reach; registering one after the request aborts it.
    void registerApplication(SpreadsheetApplication* application);
    void unregisterApplication(SpreadsheetApplication* application);
    ConversionOptions jobOptions;
    SpreadsheetApplicationFactory applicationFactory;
    std::function<void(const QString&)> showFileAction;
    MergeObserver* observer = nullptr;
    std::atomic<bool> stopFlag{false};
    std::atomic<bool> abortFlag{false};
    int jobs = 1;
    // The applications of the run in progress, so that requestAbort() can reach them from another
    // thread; guarded by applicationLock.
    QMutex applicationLock;
    QList<SpreadsheetApplication*> runningApplications;
};
