#include "cli/converttool.h"

#include "cli/commandline.h"
#include "cli/console.h"
#include "cli/report.h"
#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "files/path.h"
#include "platform/terminationsignal.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

// What the run did, at its end: the summary on `summaryOut` (or the message that ended the run),
// what an interruption left undone, and where the failure list is.
void printEndOfRun(const RunSummary& summary, const QString& lastText, FILE* summaryOut)
{
    // The last text of a run is its summary, or the message that ended it.
    if (summary.runFailure.isFailure()) {
        printLine(stderr, lastText); // for a locked source, the message followed by its path
    } else {
        printLine(summaryOut, summaryText(summary.converted));
    }
    if (summary.interrupted) {
        const QString done = summary.fileGivenUp ? QStringLiteral("已中断: 正在转换的文件已放弃")
                                                 : QStringLiteral("已中断: 当前文件完成后停止");
        printLine(stderr, summary.notReached > 0
                              ? done + QStringLiteral(", 其余 %1 个文件未转换。").arg(summary.notReached)
                              : done + QStringLiteral("。"));
    }
    if (!summary.failureListPath.isEmpty())
        printLine(summaryOut, QStringLiteral("无法转换的文件列在: %1").arg(summary.failureListPath));
}

// 0 all converted, 1 some not; a run that a signal stopped before it was done gives 128 + that
// signal's number, whether it stopped after the current file or at once.
int exitStatus(const RunSummary& summary, int stopSignal)
{
    if (summary.interrupted && stopSignal != 0)
        return exitStatusForSignal(stopSignal);
    return summary.allConverted() ? 0 : 1;
}

// Hands each event of the run to the console and, when a report is asked for, to the report.
class RunObservers : public MergeObserver
{
public:
    RunObservers(ConsoleObserver* console, RunReport* report) : console(console), report(report) {}
    void sourceFilesListed(int count) override { console->sourceFilesListed(count); }
    void fileStarted(const QString& nativePath) override { console->fileStarted(nativePath); }
    void fileFinished(const FileResult& result) override
    {
        console->fileFinished(result);
        if (report)
            report->fileFinished(result);
    }

private:
    ConsoleObserver* console;
    RunReport* report;
};

// Where the summary lines go: standard output, unless the report goes there, which keeps
// standard output pure JSON for the script reading it.
FILE* summaryStream(const CommandLine& command)
{
    return reportGoesToStandardOutput(command.reportPath) ? stderr : stdout;
}

// Writes the report, when one was asked for. False when it could not be written (and says so).
bool finishReport(const CommandLine& command, const RunReport& report, const RunSummary& summary)
{
    if (command.reportPath.isEmpty())
        return true;
    QString error;
    if (writeReport(command.reportPath, report.json(summary), &error))
        return true;
    printLine(stderr, oneLine(error));
    return false;
}

// What a command line asks for before any conversion: the help, the version, or an error. Sets
// `status` and returns true when the tool ends there.
bool answeredWithoutConverting(const CommandLine& command, int* status)
{
    switch (command.action) {
    case CommandLine::Action::ShowHelp:
        writeBytes(stdout, consoleBytes(commandLineHelp()));
        *status = 0;
        return true;
    case CommandLine::Action::ShowVersion:
        printLine(stdout, QStringLiteral("quillmorne-convert " QUILLMORNE_VERSION_TEXT));
        *status = 0;
        return true;
    case CommandLine::Action::Error:
        printLine(stderr, QStringLiteral("quillmorne-convert: %1").arg(command.errorMessage));
        *status = 2;
        return true;
    case CommandLine::Action::Convert:
        break;
    }
    // Folders that cannot be used, and a report that cannot be written, stop the tool before
    // anything is converted.
    if (const Failure folderProblem = checkFolders(command.options); folderProblem.isFailure()) {
        printLine(stderr, folderCheckText(folderProblem));
        *status = 2;
        return true;
    }
    if (!command.reportPath.isEmpty()) {
        const QString reportProblem = reportPathProblem(command.reportPath);
        if (!reportProblem.isEmpty()) {
            printLine(stderr, oneLine(reportProblem));
            *status = 2;
            return true;
        }
    }
    return false;
}

// Ctrl+C stops after the current file, a second one (or SIGTERM, or SIGHUP) stops now. The
// handler says so itself, at once, whatever the threads are doing; on a terminal it first clears
// the progress bar's line.
void routeTerminationRequests(TerminationSignals& requests, MergeObject* worker, bool barShown)
{
    const QByteArray lineStart = barShown ? QByteArray("\r\033[K") : QByteArray();
    requests.setMessage(
        TerminationStage::StopAfterCurrentFile,
        lineStart + consoleBytes(QStringLiteral("已收到中断信号: 当前文件完成后停止; 再按一次 Ctrl+C 立即停止。\n")));
    requests.setMessage(TerminationStage::StopNow,
                        lineStart + consoleBytes(QStringLiteral("正在立即停止: 放弃正在转换的文件, 删除临时文件。\n")));
    QObject::connect(&requests, &TerminationSignals::stageReached, &requests, [worker](TerminationStage stage) {
        if (stage == TerminationStage::StopNow)
            worker->requestAbort();
        else
            worker->requestStop();
    });
}

} // namespace

int runConvertTool(const QStringList& arguments, const SpreadsheetApplicationFactory& binding)
{
    const CommandLine command = parseCommandLine(arguments);
    int status = 0;
    if (answeredWithoutConverting(command, &status))
        return status;
    if (!command.automatic)
        removeOldFailureList(command.options);

    ConsoleObserver console(command.quiet, isTerminal(stderr), colourWanted(isTerminal(stderr)));
    RunReport report;
    RunObservers observer(&console, command.reportPath.isEmpty() ? nullptr : &report);
    QThread thread;
    thread.setObjectName(QStringLiteral("conversion"));
    MergeObject* worker = new MergeObject;
    worker->setObserver(&observer);
    worker->setApplicationFactory(binding);
    worker->setOptions(command.options);
    worker->setParallelJobs(command.jobs > 0 ? command.jobs : QThread::idealThreadCount());
    worker->moveToThread(&thread);

    QString lastText;
    RunSummary summary;
    QObject::connect(worker, &MergeObject::ShowDisposingFile, QCoreApplication::instance(),
                     [&lastText](const QString& text) { lastText = text; });
    QObject::connect(worker, &MergeObject::RunFinished, QCoreApplication::instance(),
                     [&summary](const RunSummary& finished) { summary = finished; });
    QObject::connect(worker, &MergeObject::Signal_SetButtonEnable, QCoreApplication::instance(),
                     [] { QCoreApplication::quit(); });
    TerminationSignals requests({SIGINT});
    routeTerminationRequests(requests, worker, console.drawsBar());

    thread.start();
    QMetaObject::invokeMethod(worker, command.automatic ? "AutoTransform" : "Transform", Qt::QueuedConnection);
    QCoreApplication::exec();
    // Requests from here on find the run over; nothing may reach the worker once it is gone.
    requests.disconnect();
    thread.quit();
    thread.wait();
    delete worker;
    console.finish();
    printEndOfRun(summary, lastText, summaryStream(command));
    const bool reported = finishReport(command, report, summary);
    status = exitStatus(summary, TerminationSignals::stageSignal());
    return status == 0 && !reported ? 1 : status;
}
