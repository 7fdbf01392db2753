#include "convert/mergeobject.h"

#include "convert/sourcefiles.h"
#include "convert/sourcetext.h"
#include "convert/textcolumns.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>
#include <QTemporaryDir>
#include <QTextCodec>

namespace {

const QString cannotOpenText = QStringLiteral("遇到无法打开的txt文件,请先将其关闭,或重启电脑后再尝试转换!");

const int runSummaryType = qRegisterMetaType<RunSummary>("RunSummary");

} // namespace

// One run of either mode: the spreadsheet connection, the per-file steps they share, the
// failure list and the summary. Lives on the worker's thread for the length of one slot call.
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
        if (application) {
            application->bind(QStringLiteral("Excel.Application"));
            application->setVisible(false);
            application->setDisplayAlerts(false);
            books = application->workbooks();
        }
        progress(QStringLiteral("WorkBooks OK!"));
        if (!books) {
            summary.runFailure = Failure(Reason::NoApplication);
            summary.notReached = summary.sources;
            progress(reasonText(Reason::NoApplication));
            closeConnection();
            return false;
        }
        QMutexLocker lock(&worker.applicationLock);
        worker.runningApplication = application;
        if (worker.abortRequested())
            application->abort();
        return true;
    }

    void closeConnection()
    {
        if (application) {
            {
                QMutexLocker lock(&worker.applicationLock);
                worker.runningApplication = nullptr;
            }
            application->quit();
            delete application;
            application = nullptr;
            books = nullptr;
        }
        summary.interrupted =
            summary.interrupted || (worker.stopRequested() && (summary.notReached > 0 || summary.fileGivenUp));
        emit worker.RunFinished(summary);
        emit worker.Signal_SetButtonEnable();
    }

    void listSources()
    {
        entries = listSourceFiles(options.sourceFolder);
        for (const QFileInfo& entry : qAsConst(entries))
            summary.sources += isSourceFile(entry) ? 1 : 0;
        if (worker.observer)
            worker.observer->sourceFilesListed(summary.sources);
    }

    void finishFile(FileResult& result)
    {
        result.seconds = fileTimer.nsecsElapsed() / 1e9;
        if (result.status == FileStatus::Converted) {
            ++summary.converted;
        } else if (result.status == FileStatus::Failed) {
            ++summary.failed;
            failures.append(result.source);
        }
        if (worker.observer)
            worker.observer->fileFinished(result);
    }

    void fileFailed(FileResult& result, const Failure& failure)
    {
        result.status = FileStatus::Failed;
        result.failure = failure;
        summary.fileGivenUp = summary.fileGivenUp || failure.reason == Reason::Interrupted;
        finishFile(result);
    }

    // A file given up because the run was asked to stop now: listed as failed, nothing kept.
    void fileInterrupted(FileResult& result) { fileFailed(result, Failure(Reason::Interrupted, result.workbook)); }

    // Calls `convert` for every source file in list order, after sending its path as progress
    // text, until a stop is requested. Returns false when `convert` ended the run.
    template <typename Convert>
    bool forEachSource(Convert convert)
    {
        int reached = 0;
        for (const QFileInfo& entry : qAsConst(entries)) {
            if (!isSourceFile(entry))
                continue;
            if (worker.stopRequested())
                break;
            ++reached;
            const QString nativePath = QDir::toNativeSeparators(entry.absoluteFilePath());
            progress(nativePath);
            if (worker.observer)
                worker.observer->fileStarted(nativePath);
            fileTimer.start();
            FileResult result;
            result.source = nativePath;
            result.workbook = outputLocation(entry, options).filePath;
            if (!convert(entry, result)) {
                summary.notReached = summary.sources - reached;
                return false;
            }
        }
        summary.notReached = summary.sources - reached;
        return true;
    }

    // The settings-driven steps for one source file. Returns false when the source cannot be
    // opened, which ends the run.
    bool transformFile(const QFileInfo& entry, FileResult& result, const QTemporaryDir& importFolder)
    {
        if (const QFileInfo info(result.source); info.exists() && !info.isFile()) {
            // A FIFO, a device or the like is no text to convert; it is listed, and the run goes
            // on (it is not a text that some program holds open).
            fileFailed(result, Failure(Reason::NotARegularFile));
            return true;
        }
        if (usesCellByCellRoute(options))
            return transformCellByCell(entry, result);
        if (application->readsSourceTexts())
            return transformSourceText(entry, result);
        return transformImportFile(entry, result, importFolder);
    }

    // The application reads the source itself, in the encoding the user chose: no import file.
    bool transformSourceText(const QFileInfo& entry, FileResult& result)
    {
        Workbook* workbook = importByOpenText(result.source, codePageForChoice(options));
        if (!workbook && books->failure().reason == Reason::ReadError) {
            // The source cannot be opened: the file is listed and the run ends, as in the other
            // routes.
            fileFailed(result, books->failure());
            return false;
        }
        finishImport(workbook, entry, result, {});
        return true;
    }

    // The application imports an import file that the worker writes in the 8-bit code page.
    bool transformImportFile(const QFileInfo& entry, FileResult& result, const QTemporaryDir& importFolder)
    {
        if (!importFolder.isValid()) {
            fileFailed(result, Failure(Reason::TemporaryFileFailed, QString(), importFolder.errorString()));
            return true;
        }
        const QString importFilePath = importFolder.filePath(entry.fileName());
        const ImportFileResult prepared = prepareImportFile(result.source, importFilePath, options);
        if (prepared.sourceUnreadable) {
            // What was gathered so far, and this file, are still listed.
            fileFailed(result, Failure(Reason::ReadError, QString(), prepared.errorString));
            return false;
        }
        if (!prepared.ok) {
            fileFailed(result, Failure(Reason::TemporaryFileFailed, QString(), prepared.errorString));
            return true;
        }
        // Reading a large source and writing its import file takes a while; a stop-now request
        // that came meanwhile gives the file up before the import.
        Workbook* workbook = worker.abortRequested() ? nullptr : importByOpenText(importFilePath, prepared.codePage);
        finishImport(workbook, entry, result, prepared.warnings);
        QFile::remove(importFilePath);
        return true;
    }

    bool transformCellByCell(const QFileInfo& entry, FileResult& result)
    {
        DecodedSource source;
        QString error;
        if (!readSourceText(result.source, options, &source, &error)) {
            fileFailed(result, Failure(Reason::ReadError, QString(), error));
            return false;
        }
        Workbook* workbook = worker.abortRequested() ? nullptr : importCellByCell(source.text, result.warnings);
        finishImport(workbook, entry, result, source.report.messages());
        return true;
    }

    // Saves an imported workbook, or lists its source as failed when the import gave none. The
    // warnings of a decoding the worker made go into the workbook, beside what it could not hold
    // itself; an application that keeps no warnings leaves them to the file's result.
    void finishImport(Workbook* workbook, const QFileInfo& entry, FileResult& result,
                      const QStringList& decodingWarnings)
    {
        if (!workbook) {
            if (worker.abortRequested()) {
                fileInterrupted(result);
                return;
            }
            const Failure failure = books->failure();
            fileFailed(result, failure.isFailure() ? failure : Failure(Reason::ImportFailed));
            return;
        }
        for (const QString& warning : decodingWarnings) {
            if (!workbook->addWarning(warning))
                result.warnings << warning;
        }
        saveAndClose(workbook, entry, result);
    }

    Workbook* importByOpenText(const QString& path, int codePage)
    {
        OpenTextArguments arguments;
        arguments.fileName = QDir::toNativeSeparators(path);
        arguments.origin = codePage;
        arguments.startRow = 1;
        arguments.dataType = 1;
        arguments.textQualifier = 1;
        arguments.consecutiveDelimiter = options.consecutiveDelimiters;
        arguments.tab = options.delimiter == Delimiter::Tab;
        arguments.semicolon = options.delimiter == Delimiter::Semicolon;
        arguments.comma = options.delimiter == Delimiter::Comma;
        arguments.space = options.delimiter == Delimiter::Space;
        arguments.other = false;
        arguments.otherChar = 936;
        arguments.fieldInfo = columnFormatList(options);
        books->openText(arguments);
        return application->activeWorkbook();
    }

    // Fills a new workbook from the decoded text: the text columns first get the "@" format, then
    // every piece of every line goes into its cell as written.
    Workbook* importCellByCell(QString& sourceText, QStringList& warnings)
    {
        books->add();
        Workbook* workbook = application->activeWorkbook();
        Worksheet* sheet = application->activeSheet();
        if (!workbook || !sheet)
            return nullptr;
        for (int column : parseTextColumns(options.textColumns)) {
            if (Range* range = sheet->columns(column))
                range->setNumberFormatLocal(QStringLiteral("@"));
        }
        const QChar separator = separatorOf(options.delimiter);
        const QStringList lines = splitCellByCellLines(sourceText);
        sourceText.clear();
        int unset = 0;
        for (int r = 0; r < lines.size(); ++r) {
            // A run asked to stop now gives up the workbook between two lines.
            if (worker.abortRequested()) {
                workbook->close(false);
                return nullptr;
            }
            const QStringList pieces = lines.at(r).split(separator, Qt::KeepEmptyParts);
            for (int c = 0; c < pieces.size(); ++c) {
                Range* cell = sheet->cells(r + 1, c + 1);
                if (!cell || !cell->setValue(pieces.at(c)))
                    ++unset;
            }
        }
        if (unset > 0)
            warnings << QStringLiteral("%1 个单元格无法写入").arg(unset);
        return workbook;
    }

    // Saves the workbook by the output location rule and closes it. A save that produced no
    // workbook is a failure: the file goes into the failure list and is not counted.
    void saveAndClose(Workbook* workbook, const QFileInfo& entry, FileResult& result)
    {
        const OutputLocation location = outputLocation(entry, options);
        // Sources whose names differ only in letter case ("a.txt", "a.TXT") map to the same
        // workbook. The later one would silently replace the earlier one's, so it fails instead.
        if (savedWorkbooks.contains(location.filePath)) {
            workbook->close(false);
            fileFailed(result, Failure(Reason::CaseCollision, location.filePath));
            return;
        }
        ensureFolder(location.folder);
        const QFileInfo before(location.filePath);
        const bool existedBefore = before.exists();
        const QDateTime timeBefore = existedBefore ? before.lastModified() : QDateTime();

        bool saved = workbook->saveAs(location.filePath, location.fileFormat);
        if (!application->reportsSaveFailures()) {
            // The application does not report its failures: the workbook must exist and be new.
            const QFileInfo after(location.filePath);
            saved = after.exists() && after.isFile() && (!existedBefore || after.lastModified() != timeBefore);
        }
        result.warnings += workbook->warnings();
        result.facts = workbook->saveFacts();
        const Failure failure = workbook->failure();
        workbook->close(false);
        if (saved) {
            savedWorkbooks.insert(location.filePath);
            finishFile(result);
        } else {
            fileFailed(result, failure.isFailure() ? failure : Failure(Reason::SaveFailed, location.filePath));
        }
    }

    // Writes the failure list (one native path per line, CR LF, the 8-bit code page) and hands it
    // to the show action. When the source folder cannot take it, the list goes to the system's
    // temporary folder instead, so the user still sees it.
    void writeFailureList(const QString& preferredPath)
    {
        if (failures.isEmpty())
            return;
        QString text;
        for (const QString& path : qAsConst(failures))
            text += path + QStringLiteral("\r\n");
        QTextCodec* codec = QTextCodec::codecForLocale();
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        QByteArray bytes = codec->fromUnicode(text.constData(), text.size(), &state);
        if (state.invalidChars > 0)
            bytes = QByteArray("\xEF\xBB\xBF") + text.toUtf8();

        const QStringList candidates{preferredPath, QDir(QDir::tempPath()).filePath(failureListFileName())};
        for (const QString& path : candidates) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
                file.flush()) {
                file.close();
                summary.failureListPath = QDir::toNativeSeparators(path);
                if (worker.showFileAction)
                    worker.showFileAction(summary.failureListPath);
                return;
            }
        }
        summary.failureListLost = true;
        progress(QStringLiteral("无法写入失败列表 %1").arg(QDir::toNativeSeparators(preferredPath)));
    }

    MergeObject& worker;
    const ConversionOptions options;
    SpreadsheetApplication* application = nullptr;
    Workbooks* books = nullptr;
    QList<QFileInfo> entries;
    QStringList failures;
    QSet<QString> savedWorkbooks; // written in this run
    QElapsedTimer fileTimer;
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
    if (runningApplication)
        runningApplication->abort();
}

bool MergeObject::abortRequested() const
{
    return abortFlag.load();
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

    // Import files live in a private folder of the run, named like their source, so they can
    // never overwrite a source and a missing save folder cannot break the import.
    QTemporaryDir importFolder(QDir(QDir::tempPath()).filePath(QStringLiteral("quillmorne-import-XXXXXX")));
    const QString failureListPath = failureListPathFor(run.options);
    const bool completed = run.forEachSource(
        [&](const QFileInfo& entry, FileResult& result) { return run.transformFile(entry, result, importFolder); });
    run.writeFailureList(failureListPath);
    if (completed) {
        run.progress(summaryText(run.summary.converted));
    } else {
        // The run stopped at a source it could not open.
        run.summary.runFailure = Failure(Reason::Locked, run.failures.isEmpty() ? QString() : run.failures.last());
        run.progress(cannotOpenText);
    }
    run.closeConnection();
}

void MergeObject::AutoTransform()
{
    Run run(*this);
    run.listSources();
    if (!run.openConnection())
        return;

    run.forEachSource([&run](const QFileInfo& entry, FileResult& result) {
        if (Workbook* workbook = run.books->open(result.source)) {
            run.saveAndClose(workbook, entry, result);
        } else {
            const Failure failure = run.books->failure();
            run.fileFailed(result, failure.isFailure() ? failure : Failure(Reason::ImportFailed));
        }
        return true;
    });

    // Files the application could not open are reported in the same list as the settings-driven
    // mode's, so no file goes missing from a run unnoticed.
    run.writeFailureList(QDir(QDir::fromNativeSeparators(run.options.sourceFolder)).filePath(failureListFileName()));
    run.progress(summaryText(run.summary.converted));
    run.closeConnection();
}
