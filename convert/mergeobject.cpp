#include "convert/mergeobject.h"

#include "convert/filejob.h"
#include "convert/sourcefiles.h"
#include "files/filesystem.h"
#include "files/path.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutexLocker>
#include <QSet>
#include <QTextCodec>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString cannotOpenText = QStringLiteral("遇到无法打开的txt文件,请先将其关闭,或重启电脑后再尝试转换!");

const int runSummaryType = qRegisterMetaType<RunSummary>("RunSummary");

// One source file of a run on its way: handed to a converting thread, and its outcome, once done.
struct PendingFile
{
    QFileInfo entry;
    QString workbook;
    FileOutcome outcome;
    bool done = false;
    bool skipped = false;   // never begun: the run was asked to stop before a thread took it up
    bool announced = false; // its progress text was sent
};

// How many files a run with several threads keeps in flight for each thread: files are reported
// in list order, so with only one each, a thread that finished early would wait for the oldest.
constexpr int FilesInFlightPerThread = 4;

} // namespace

// Threads that each convert files with an application object of their own, for a run that
// converts several files at once. Each thread creates its application through the run's factory,
// and destroys it, itself; every application is registered with the worker so that a stop-now
// request reaches all of them.
class MergeObject::SessionPool
{
public:
    SessionPool(MergeObject& worker, int threads, ConversionMode mode, const ConversionOptions& options)
        : worker(worker), mode(mode), options(options)
    {
        for (int i = 0; i < threads; ++i)
            this->threads.emplace_back([this] { serve(); });
    }

    ~SessionPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        wake.notify_all();
        for (std::thread& thread : threads)
            thread.join();
    }

    void submit(const std::shared_ptr<PendingFile>& file)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(file);
        }
        wake.notify_one();
    }

    // Files still queued are not begun: the run ends (a source locked by another program).
    void stopStarting()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }

    // Waits until `file` is done.
    void waitFor(const PendingFile& file)
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&file] { return file.done; });
    }

private:
    void serve()
    {
        SpreadsheetApplication* application = worker.applicationFactory(nullptr);
        SpreadsheetSession session(application);
        const bool ready = session.connect();
        worker.registerApplication(application);
        FileJob job(session, options, worker.abortFlag);
        for (;;) {
            std::shared_ptr<PendingFile> file;
            bool skipped = false;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return closing || !queue.empty(); });
                if (queue.empty())
                    break;
                file = queue.front();
                queue.pop_front();
                skipped = ending;
            }
            // A stop after the files in progress leaves those not yet begun unreached, as a run
            // of one file at a time would.
            skipped = skipped || worker.stopRequested();
            FileOutcome outcome;
            if (!skipped && ready) {
                outcome = job.run(file->entry, mode);
            } else if (!skipped) {
                outcome.result.source = QDir::toNativeSeparators(file->entry.absoluteFilePath());
                outcome.result.workbook = file->workbook;
                outcome.result.status = FileStatus::Failed;
                outcome.result.failure = Failure(Reason::NoApplication);
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                file->outcome = std::move(outcome);
                file->skipped = skipped;
                file->done = true;
            }
            finished.notify_all();
        }
        worker.unregisterApplication(application);
        if (application) {
            application->quit();
            delete application;
        }
    }

    MergeObject& worker;
    const ConversionMode mode;
    const ConversionOptions& options;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<std::shared_ptr<PendingFile>> queue;
    bool closing = false;
    bool ending = false;
};

// One run of either mode: the spreadsheet connection, the source files in list order (converted
// here, or by a pool of threads with the results taken back in list order), the failure list and
// the summary. Lives on the worker's thread for the length of one slot call.
class MergeObject::Run
{
public:
    explicit Run(MergeObject& worker) : worker(worker), options(worker.jobOptions) {}

    void progress(const QString& text) { emit worker.ShowDisposingFile(text); }

    // Opens the spreadsheet connection. When no WorkBooks object is obtained, the message is shown
    // and the connection closed; the run ends there.
    bool openConnection()
    {
        application = worker.applicationFactory ? worker.applicationFactory(&worker) : nullptr;
        progress(QStringLiteral("excel OK!"));
        session = std::make_unique<SpreadsheetSession>(application);
        const bool ready = session->connect();
        progress(QStringLiteral("WorkBooks OK!"));
        if (!ready) {
            summary.runFailure = Failure(Reason::NoApplication);
            summary.notReached = summary.sources;
            progress(reasonText(Reason::NoApplication));
            closeConnection();
            return false;
        }
        worker.registerApplication(application);
        return true;
    }

    void closeConnection()
    {
        session.reset(); // its import files go first
        if (application) {
            worker.unregisterApplication(application);
            application->quit();
            delete application;
            application = nullptr;
        }
        summary.interrupted =
            summary.interrupted || (worker.stopRequested() && (summary.notReached > 0 || summary.fileGivenUp));
        emit worker.RunFinished(summary);
        emit worker.Signal_SetButtonEnable();
    }

    void listSources()
    {
        entries = listSourceFiles(options.sourceFolder, &unlistedFolders);
        // A folder that could not be read counts with the sources: its files are not converted,
        // and it is listed as failed instead.
        summary.sources = unlistedFolders.size();
        for (const QFileInfo& entry : qAsConst(entries))
            summary.sources += isSourceFile(entry) ? 1 : 0;
        if (worker.observer)
            worker.observer->sourceFilesListed(summary.sources);
    }

    // Converts every source file in list order until a stop is requested or a source locked by
    // another program ends the run (then false). Several at once where the worker and the binding
    // allow it; what is reported, and in which order, is the same either way.
    bool convertSources(ConversionMode mode)
    {
        reportUnlistedFolders();
        const int jobs = application->servesParallelRuns() ? worker.parallelJobs() : 1;
        if (jobs > 1) {
            SessionPool pool(worker, jobs, mode, options);
            return convertSources(mode, &pool, jobs);
        }
        return convertSources(mode, nullptr, 1);
    }

    // Writes the failure list and sends the run's last text: the summary, or the message of a run
    // that a locked source ended, followed by its path.
    void finish(bool completed, const QString& failureListPath)
    {
        writeFailureList(failureListPath);
        if (completed)
            progress(summaryText(summary.converted));
        else
            progress(cannotOpenText + QLatin1Char(' ') + files::displayText(summary.runFailure.path));
    }

    // The folders below the source folder that could not be read go first into the failure list.
    void reportUnlistedFolders()
    {
        for (const Failure& failure : qAsConst(unlistedFolders)) {
            FileOutcome outcome;
            outcome.result.source = failure.path;
            outcome.result.status = FileStatus::Failed;
            outcome.result.failure = failure;
            report(outcome);
            ++reached;
        }
    }

    bool convertSources(ConversionMode mode, SessionPool* pool, int jobs)
    {
        std::deque<std::shared_ptr<PendingFile>> inFlight;
        QHash<QString, std::shared_ptr<PendingFile>> inFlightByWorkbook;
        bool goOn = true;
        // Reports the oldest file in flight once it is done (in list order, whoever finished first).
        auto reportOldest = [&] {
            std::shared_ptr<PendingFile> oldest = inFlight.front();
            inFlight.pop_front();
            if (pool)
                pool->waitFor(*oldest);
            if (inFlightByWorkbook.value(oldest->workbook) == oldest)
                inFlightByWorkbook.remove(oldest->workbook);
            if (oldest->skipped)
                --reached;
            else
                goOn = report(oldest->outcome) && goOn;
            if (!goOn && pool)
                pool->stopStarting();
            else
                announceLeading(inFlight, std::size_t(jobs));
        };
        const int window = jobs > 1 ? FilesInFlightPerThread * jobs : 1;
        for (const QFileInfo& entry : qAsConst(entries)) {
            if (!isSourceFile(entry))
                continue;
            // A source whose workbook an earlier one in flight writes too ("a.txt", "a.TXT") waits
            // for that one's outcome; so does any source once the window of files in flight is full.
            const QString workbook = outputLocation(entry, options).filePath;
            while (goOn && !inFlight.empty() &&
                   (int(inFlight.size()) >= window || inFlightByWorkbook.contains(workbook)))
                reportOldest();
            if (!goOn || worker.stopRequested())
                break;
            ++reached;
            auto file = std::make_shared<PendingFile>();
            file->entry = entry;
            file->workbook = workbook;
            inFlight.push_back(file);
            inFlightByWorkbook.insert(workbook, file);
            announceLeading(inFlight, std::size_t(jobs));
            begin(file, mode, pool);
        }
        while (!inFlight.empty())
            reportOldest();
        summary.notReached = summary.sources - reached;
        return goOn;
    }

    // Progress texts name the files the threads are at: the first `count` in flight (one per
    // thread), which they took up in list order.
    void announceLeading(const std::deque<std::shared_ptr<PendingFile>>& inFlight, std::size_t count)
    {
        for (std::size_t i = 0; i < std::min(count, inFlight.size()) && !worker.stopRequested(); ++i) {
            if (!inFlight[i]->announced) {
                announce(*inFlight[i]);
                inFlight[i]->announced = true;
            }
        }
    }

    // Converts `file` on a thread of the pool, or here when there is none; a file whose workbook
    // an earlier source of the run wrote fails at once instead.
    void begin(const std::shared_ptr<PendingFile>& file, ConversionMode mode, SessionPool* pool)
    {
        if (savedWorkbooks.contains(file->workbook)) {
            // The earlier source's workbook stays; this one would silently replace it.
            file->outcome = collision(file->entry, file->workbook);
            file->done = true;
        } else if (pool) {
            pool->submit(file);
        } else {
            FileJob job(*session, options, worker.abortFlag);
            file->outcome = job.run(file->entry, mode);
            file->done = true;
        }
    }

    // The progress text of a file that is about to be converted, and the observer's notice.
    void announce(const PendingFile& file)
    {
        const QString nativePath = QDir::toNativeSeparators(file.entry.absoluteFilePath());
        // Bytes of the name that are no text are shown as \xNN; the result keeps them exactly.
        progress(files::displayText(nativePath));
        if (worker.observer)
            worker.observer->fileStarted(nativePath);
    }

    static FileOutcome collision(const QFileInfo& entry, const QString& workbook)
    {
        FileOutcome outcome;
        outcome.result.source = QDir::toNativeSeparators(entry.absoluteFilePath());
        outcome.result.workbook = workbook;
        outcome.result.status = FileStatus::Failed;
        outcome.result.failure = Failure(Reason::CaseCollision, workbook);
        return outcome;
    }

    // Counts a file's outcome and tells the observer. False when the file ends the run: a source
    // that another program holds locked.
    bool report(const FileOutcome& outcome)
    {
        const FileResult& result = outcome.result;
        if (result.status == FileStatus::Failed) {
            ++summary.failed;
            failures.append(result.source);
            summary.fileGivenUp = summary.fileGivenUp || result.failure.reason == Reason::Interrupted;
        } else if (outcome.saved) {
            ++summary.converted;
            savedWorkbooks.insert(result.workbook);
        }
        if (worker.observer)
            worker.observer->fileFinished(result);
        if (!outcome.endsRun)
            return true;
        summary.runFailure = Failure(Reason::Locked, result.source);
        return false;
    }

    // Writes the failure list (one native path per line, CR LF, the 8-bit code page) and hands it
    // to the show action. When the source folder cannot take it, the list goes to the system's
    // temporary folder instead, so the user still sees it.
    void writeFailureList(const QString& preferredPath)
    {
        if (failures.isEmpty())
            return;
        const QByteArray bytes = failureListBytes();
        const QStringList candidates{preferredPath, QDir(QDir::tempPath()).filePath(failureListFileName())};
        for (const QString& path : candidates) {
            if (!files::writeFile(path, bytes).isFailure()) {
                summary.failureListPath = QDir::toNativeSeparators(path);
                if (worker.showFileAction)
                    worker.showFileAction(summary.failureListPath);
                return;
            }
        }
        summary.failureListLost = true;
        progress(
            QStringLiteral("无法写入失败列表 %1").arg(files::displayText(QDir::toNativeSeparators(preferredPath))));
    }

    QByteArray failureListBytes() const
    {
#ifdef Q_OS_UNIX
        // A path is bytes here: each line holds the path's own bytes, so a name that is not valid
        // in any encoding is listed as it is, and the list leads to the very file.
        QByteArray bytes;
        for (const QString& path : failures)
            bytes += files::pathBytes(path) + "\r\n";
        return bytes;
#else
        QString text;
        for (const QString& path : failures)
            text += path + QStringLiteral("\r\n");
        QTextCodec* codec = QTextCodec::codecForLocale();
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        const QByteArray bytes = codec->fromUnicode(text.constData(), text.size(), &state);
        return state.invalidChars > 0 ? QByteArray("\xEF\xBB\xBF") + text.toUtf8() : bytes;
#endif
    }

    MergeObject& worker;
    const ConversionOptions options;
    SpreadsheetApplication* application = nullptr;
    std::unique_ptr<SpreadsheetSession> session;
    QList<QFileInfo> entries;
    QList<Failure> unlistedFolders;
    QStringList failures;
    QSet<QString> savedWorkbooks; // written in this run
    int reached = 0;              // sources (and unlisted folders) the run came to
    RunSummary summary;
};

MergeObject::MergeObject(QObject* parent) : QObject(parent)
{
    Q_UNUSED(runSummaryType)
}

MergeObject::~MergeObject() = default;

void MergeObject::setOptions(const ConversionOptions& options)
{
    jobOptions = options;
}

void MergeObject::setApplicationFactory(SpreadsheetApplicationFactory factory)
{
    applicationFactory = std::move(factory);
}

void MergeObject::setShowFileAction(std::function<void(const QString&)> action)
{
    showFileAction = std::move(action);
}

void MergeObject::setParallelJobs(int count)
{
    jobs = qMax(1, count);
}

void MergeObject::requestStop()
{
    stopFlag.store(true);
}

bool MergeObject::stopRequested() const
{
    return stopFlag.load();
}

void MergeObject::requestAbort()
{
    stopFlag.store(true);
    abortFlag.store(true);
    QMutexLocker lock(&applicationLock);
    for (SpreadsheetApplication* application : qAsConst(runningApplications))
        application->abort();
}

bool MergeObject::abortRequested() const
{
    return abortFlag.load();
}

void MergeObject::registerApplication(SpreadsheetApplication* application)
{
    if (!application)
        return;
    QMutexLocker lock(&applicationLock);
    runningApplications.append(application);
    if (abortRequested())
        application->abort();
}

void MergeObject::unregisterApplication(SpreadsheetApplication* application)
{
    QMutexLocker lock(&applicationLock);
    runningApplications.removeAll(application);
}

void MergeObject::setObserver(MergeObserver* newObserver)
{
    observer = newObserver;
}

void MergeObject::Transform()
{
    Run run(*this);
    run.listSources();
    if (!run.openConnection())
        return;
    const bool completed = run.convertSources(ConversionMode::SettingsDriven);
    run.finish(completed, failureListPathFor(run.options));
    run.closeConnection();
}

void MergeObject::AutoTransform()
{
    Run run(*this);
    run.listSources();
    if (!run.openConnection())
        return;
    run.convertSources(ConversionMode::Automatic);
    // Files the application could not open are reported in the same list as the settings-driven
    // mode's, so no file goes missing from a run unnoticed.
    run.finish(true, QDir(QDir::fromNativeSeparators(run.options.sourceFolder)).filePath(failureListFileName()));
    run.closeConnection();
}
