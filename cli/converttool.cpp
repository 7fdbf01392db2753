#include "cli/converttool.h"

#include "cli/commandline.h"
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

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// A stream whose reader went away (a closed pipe: EPIPE; a terminal that hung up: EIO) or that
// cannot take more is not written to again. What the run does does not depend on its being read.
std::atomic<bool> stdoutBroken{false};
std::atomic<bool> stderrBroken{false};

void writeBytes(FILE* stream, const QByteArray& bytes)
{
    std::atomic<bool>& broken = stream == stdout ? stdoutBroken : stderrBroken;
    if (broken.load())
        return;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size()) ||
        std::fflush(stream) != 0) {
        broken.store(true);
        std::clearerr(stream);
    }
}

bool stderrIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDERR_FILENO) == 1;
#else
    return false;
#endif
}

int terminalWidth()
{
#ifdef Q_OS_UNIX
    struct winsize size;
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
#endif
    return 80;
}

void printLine(FILE* stream, const QString& text)
{
    // Bytes of a file name that are no text are shown as \xNN (files/path.h).
    writeBytes(stream, files::displayText(text).toLocal8Bit() + '\n');
}

// Prints the run's progress on standard error: a progress bar on a terminal, one line per file
// otherwise, nothing but errors and warnings when quiet.
class ConsoleObserver : public MergeObserver
{
public:
    ConsoleObserver(bool quiet, bool terminal) : quiet(quiet), terminal(terminal && !quiet) {}

    bool drawsBar() const { return terminal; }

    void sourceFilesListed(int count) override
    {
        QMutexLocker lock(&mutex);
        total = count;
    }

    void fileFinished(const FileResult& result) override
    {
        QMutexLocker lock(&mutex);
        ++done;
        clearBar();
        if (result.status == FileStatus::Failed)
            printLine(stderr, QStringLiteral("失败: %1: %2").arg(result.source, result.failure.text()));
        else if (!quiet && !terminal)
            printLine(stderr,
                      QStringLiteral("[%1/%2] %3 -> %4").arg(done).arg(total).arg(result.source, result.workbook));
        for (const QString& warning : result.warnings)
            printLine(stderr, QStringLiteral("警告: %1: %2").arg(result.source, warning));
        drawBar(result.source);
    }

    void finish()
    {
        QMutexLocker lock(&mutex);
        clearBar();
    }

private:
    void clearBar()
    {
        if (terminal && barShown) {
            writeBytes(stderr, "\r\033[K");
            barShown = false;
        }
    }

    void drawBar(const QString& current)
    {
        if (!terminal)
            return;
        const int width = terminalWidth();
        const int barWidth = 24;
        const int filled = total > 0 ? int(qint64(barWidth) * done / total) : barWidth;
        QString line = QStringLiteral("[%1%2] %3/%4 ")
                           .arg(QString(filled, QLatin1Char('#')), QString(barWidth - filled, QLatin1Char(' ')))
                           .arg(done)
                           .arg(total);
        QString name = current;
        const int room = width - line.size() - 1;
        if (room < name.size())
            name = QStringLiteral("…") + name.right(qMax(0, room - 1));
        line += name;
        writeBytes(stderr, '\r' + line.toLocal8Bit());
        barShown = true;
    }

    QMutex mutex;
    const bool quiet;
    const bool terminal;
    bool barShown = false;
    int total = 0;
    int done = 0;
};

// What the run did, at its end: the summary on standard output (or the message that ended the
// run), what an interruption left undone, and where the failure list is.
void printEndOfRun(const RunSummary& summary, const QString& lastText)
{
    // The last text of a run is its summary, or the message that ended it.
    if (summary.runFailure.isFailure()) {
        printLine(stderr, lastText); // for a locked source, the message followed by its path
    } else {
        printLine(stdout, summaryText(summary.converted));
    }
    if (summary.interrupted) {
        const QString done = summary.fileGivenUp ? QStringLiteral("已中断: 正在转换的文件已放弃")
                                                 : QStringLiteral("已中断: 当前文件完成后停止");
        printLine(stderr, summary.notReached > 0
                              ? done + QStringLiteral(", 其余 %1 个文件未转换。").arg(summary.notReached)
                              : done + QStringLiteral("。"));
    }
    if (!summary.failureListPath.isEmpty())
        printLine(stdout, QStringLiteral("无法转换的文件列在: %1").arg(summary.failureListPath));
}

// 0 all converted, 1 some not; a run that a signal stopped before it was done gives 128 + that
// signal's number, whether it stopped after the current file or at once.
int exitStatus(const RunSummary& summary, int stopSignal)
{
    if (summary.interrupted && stopSignal != 0)
        return exitStatusForSignal(stopSignal);
    return summary.allConverted() ? 0 : 1;
}

} // namespace

int runConvertTool(const QStringList& arguments, const SpreadsheetApplicationFactory& binding)
{
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::ShowHelp:
        writeBytes(stdout, commandLineHelp().toLocal8Bit());
        return 0;
    case CommandLine::Action::ShowVersion:
        printLine(stdout, QStringLiteral("quillmorne-convert " QUILLMORNE_VERSION_TEXT));
        return 0;
    case CommandLine::Action::Error:
        printLine(stderr, QStringLiteral("quillmorne-convert: %1").arg(command.errorMessage));
        return 2;
    case CommandLine::Action::Convert:
        break;
    }

    if (const Failure folderProblem = checkFolders(command.options); folderProblem.isFailure()) {
        printLine(stderr, folderCheckText(folderProblem));
        return 2;
    }

    if (!command.automatic)
        removeOldFailureList(command.options);

    ConsoleObserver observer(command.quiet, stderrIsTerminal());
    QThread thread;
    thread.setObjectName(QStringLiteral("conversion"));
    MergeObject* worker = new MergeObject;
    worker->setObserver(&observer);
    worker->setApplicationFactory(binding);
    worker->setOptions(command.options);
    worker->moveToThread(&thread);

    QString lastText;
    RunSummary summary;
    QObject::connect(worker, &MergeObject::ShowDisposingFile, QCoreApplication::instance(),
                     [&lastText](const QString& text) { lastText = text; });
    QObject::connect(worker, &MergeObject::RunFinished, QCoreApplication::instance(),
                     [&summary](const RunSummary& finished) { summary = finished; });
    QObject::connect(worker, &MergeObject::Signal_SetButtonEnable, QCoreApplication::instance(),
                     [] { QCoreApplication::quit(); });

    // Ctrl+C stops after the current file, a second one (or SIGTERM, or SIGHUP) stops now. The
    // handler says so itself, at once, whatever the threads are doing; on a terminal it first
    // clears the progress bar's line.
    TerminationSignals requests({SIGINT});
    const QByteArray lineStart = observer.drawsBar() ? QByteArray("\r\033[K") : QByteArray();
    requests.setMessage(
        TerminationStage::StopAfterCurrentFile,
        lineStart + QStringLiteral("已收到中断信号: 当前文件完成后停止; 再按一次 Ctrl+C 立即停止。\n").toLocal8Bit());
    requests.setMessage(TerminationStage::StopNow,
                        lineStart + QStringLiteral("正在立即停止: 放弃正在转换的文件, 删除临时文件。\n").toLocal8Bit());
    QObject::connect(&requests, &TerminationSignals::stageReached, &requests, [worker](TerminationStage stage) {
        if (stage == TerminationStage::StopNow)
            worker->requestAbort();
        else
            worker->requestStop();
    });

    thread.start();
    QMetaObject::invokeMethod(worker, command.automatic ? "AutoTransform" : "Transform", Qt::QueuedConnection);
    QCoreApplication::exec();
    // Requests from here on find the run over; nothing may reach the worker once it is gone.
    requests.disconnect();
    thread.quit();
    thread.wait();
    delete worker;
    observer.finish();
    printEndOfRun(summary, lastText);
    return exitStatus(summary, TerminationSignals::stageSignal());
}
