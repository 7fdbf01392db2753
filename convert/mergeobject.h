#pragma once
// The conversion worker. A job creates one MergeObject, moves it to a thread of its own and
// triggers one of the two run slots through a queued connection; the run reports progress texts
// and, as its very last act, Signal_SetButtonEnable().

#include "automation/automation.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// Detail of a run beyond the status texts, for front ends that show more (the command-line
// tool's progress bar and per-file lines). Called on the worker's thread, in run order.
class MergeObserver
{
public:
    enum class Outcome { Converted, Failed };
    virtual ~MergeObserver() = default;
    virtual void sourceFilesListed(int count) { Q_UNUSED(count) }
    // detail: the workbook's path when converted, the reason when failed. warnings: data that
    // could not be stored (cut columns or characters, dropped NUL characters).
    virtual void fileFinished(const QString& nativePath, Outcome outcome, const QString& detail,
                              const QStringList& warnings)
    {
        Q_UNUSED(nativePath)
        Q_UNUSED(outcome)
        Q_UNUSED(detail)
        Q_UNUSED(warnings)
    }
    virtual void failureListWritten(const QString& path) { Q_UNUSED(path) }
};

class MergeObject : public QObject
{
    Q_OBJECT
public:
    explicit MergeObject(QObject* parent = nullptr);
    ~MergeObject() override;

    // The spreadsheet application a run talks to: the binding the program's entry point chose, or a
    // double in tests. Without one, a run finds no spreadsheet application and says so.
    void setApplicationFactory(SpreadsheetApplicationFactory factory);
    // How the failure list is shown to the user once written: the window opens it in the
    // desktop's text viewer, the command-line tool prints its path. By default nothing is shown.
    void setShowFileAction(std::function<void(const QString& path)> action);
    // Asks a running run to stop after the file in progress (callable from any thread). Workbooks
    // already saved stay; the run still writes its failure list and ends with its end signal.
    void requestStop();
    bool stopRequested() const;
    // Not owned; must outlive the runs it observes.
    void setObserver(MergeObserver* observer);

signals:
    void Signal_SetButtonEnable();
    void ShowDisposingFile(QString filePath);

public slots:
    void Transform();
    void AutoTransform();

private:
    class Run;
    SpreadsheetApplicationFactory applicationFactory;
    std::function<void(const QString&)> showFileAction;
    MergeObserver* observer = nullptr;
    std::atomic<bool> stopFlag{false};
};
