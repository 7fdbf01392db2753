#include "cli/converttool.h"

#include "cli/commandline.h"
#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "files/path.h"

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

std::atomic<bool> interruptRequested{false};
MergeObject* volatile interruptTarget = nullptr;

extern "C" void onInterrupt(int)
{
    // Stop after the current file; a second Ctrl+C ends the process at once.
    interruptRequested.store(true);
    if (MergeObject* worker = interruptTarget)
        worker->requestStop();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
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
    const QByteArray bytes = files::displayText(text).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Prints the run's progress on standard error: a progress bar on a terminal, one line per file
// otherwise, nothing but errors and warnings when quiet.
class ConsoleObserver : public MergeObserver
{
public:
    ConsoleObserver(bool quiet, bool terminal) : quiet(quiet), terminal(terminal && !quiet) {}

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
            std::fputs("\r\033[K", stderr);
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
        const QByteArray bytes = line.toLocal8Bit();
        std::fputs("\r", stderr);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
        barShown = true;
    }

    QMutex mutex;
    const bool quiet;
    const bool terminal;
    bool barShown = false;
    int total = 0;
    int done = 0;
};

} // namespace

int runConvertTool(const QStringList& arguments, const SpreadsheetApplicationFactory& binding)
{
    const CommandLine command = parseCommandLine(arguments);
    switch (command.action) {
    case CommandLine::Action::ShowHelp:
        std::fputs(commandLineHelp().toLocal8Bit().constData(), stdout);
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

    interruptTarget = worker;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    thread.start();
    QMetaObject::invokeMethod(worker, command.automatic ? "AutoTransform" : "Transform", Qt::QueuedConnection);
    QCoreApplication::exec();
    interruptTarget = nullptr;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    thread.quit();
    thread.wait();
    delete worker;
    observer.finish();

    // The last text of a run is its summary, or the message that ended it.
    if (summary.runFailure.isFailure()) {
        printLine(stderr, lastText); // for a locked source, the message followed by its path
    } else {
        printLine(stdout, summaryText(summary.converted));
    }
    if (summary.interrupted)
        printLine(stderr, QStringLiteral("已中断: 当前文件完成后停止, 其余文件未转换。"));
    if (!summary.failureListPath.isEmpty())
        printLine(stdout, QStringLiteral("无法转换的文件列在: %1").arg(summary.failureListPath));

    return summary.allConverted() ? 0 : 1;
}
