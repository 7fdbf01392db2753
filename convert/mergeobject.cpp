#include "convert/mergeobject.h"

#include "convert/sourcefiles.h"
#include "convert/sourcetext.h"
#include "convert/textcolumns.h"
#include "files/filesystem.h"
#include "files/path.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>
#include <QTemporaryDir>
#include <QTextCodec>

#include <memory>

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
        entries = listSourceFiles(options.sourceFolder, &unlistedFolders);
        // A folder that could not be read counts with the sources: its files are not converted,
        // and it is listed as failed instead.
        summary.sources = unlistedFolders.size();
        for (const QFileInfo& entry : qAsConst(entries))
            summary.sources += isSourceFile(entry) ? 1 : 0;
        if (worker.observer)
            worker.observer->sourceFilesListed(summary.sources);
    }

    // The folders below the source folder that could not be read go first into the failure list.
    int reportUnlistedFolders()
    {
        for (const Failure& failure : qAsConst(unlistedFolders)) {
            fileTimer.start();
            FileResult result;
            result.source = failure.path;
            fileFailed(result, failure);
        }
        return unlistedFolders.size();
    }

    // A source that cannot be read or imported goes into the failure list with its reason, and
    // the run goes on. Only one that another program holds locked ends the run (false), with the
    // message and the file's path.
    bool sourceFailed(FileResult& result, const Failure& failure)
    {
        fileFailed(result, failure);
        if (failure.reason != Reason::Locked)
            return true;
        summary.runFailure = Failure(Reason::Locked, result.source);
        return false;
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
        int reached = reportUnlistedFolders();
        for (const QFileInfo& entry : qAsConst(entries)) {
            if (!isSourceFile(entry))
                continue;
            if (worker.stopRequested())
                break;
            ++reached;
            const QString nativePath = QDir::toNativeSeparators(entry.absoluteFilePath());
            // Bytes of the name that are no text are shown as \xNN; the result keeps them exactly.
            progress(files::displayText(nativePath));
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

    // The settings-driven steps for one source file. Returns false when the source is locked by
    // another program, which ends the run.
    bool transformFile(const QFileInfo& entry, FileResult& result)
    {
        if (usesCellByCellRoute(options))
            return transformCellByCell(entry, result);
        if (application->readsSourceTexts())
            return transformSourceText(entry, result);
        return transformImportFile(entry, result);
    }

    // The application reads the source itself, in the encoding the user chose: no import file.
    bool transformSourceText(const QFileInfo& entry, FileResult& result)
    {
        return finishImport(importByOpenText(result.source, codePageForChoice(options)), entry, result, {});
    }

    // The application imports an import file that the worker writes in the 8-bit code page.
    bool transformImportFile(const QFileInfo& entry, FileResult& result)
    {
        // Import files live in a private folder of the run, named like their source, so they can
        // never overwrite a source and a missing save folder cannot break the import. The folder
        // is made for the first import file, so a run that needs none leaves nothing behind even
        // when it is killed.
        if (!importFolder)
            importFolder = std::make_unique<QTemporaryDir>(
                QDir(QDir::tempPath()).filePath(QStringLiteral("quillmorne-import-XXXXXX")));
        if (!importFolder->isValid()) {
            fileFailed(result, Failure(Reason::TemporaryFileFailed, QString(), importFolder->errorString()));
            return true;
        }
        // The import file carries the source's name as valid text (the sheet is named after it).
        const QString importFilePath = importFolder->filePath(files::validText(entry.fileName()));
        const ImportFileResult prepared = prepareImportFile(result.source, importFilePath, options);
        if (prepared.sourceUnreadable) {
            return sourceFailed(result, prepared.sourceFailure.isFailure()
                                            ? prepared.sourceFailure
                                            : Failure(Reason::ReadError, QString(), prepared.errorString));
        }
        if (!prepared.ok) {
            fileFailed(result, Failure(Reason::TemporaryFileFailed, QString(), prepared.errorString));
            return true;
        }
        // Reading a large source and writing its import file takes a while; a stop-now request
        // that came meanwhile gives the file up before the import.
        Workbook* workbook = worker.abortRequested() ? nullptr : importByOpenText(importFilePath, prepared.codePage);
        const bool goOn = finishImport(workbook, entry, result, prepared.warnings);
        QFile::remove(importFilePath);
        return goOn;
    }

    bool transformCellByCell(const QFileInfo& entry, FileResult& result)
    {
        DecodedSource source;
        QString error;
        Failure failure;
        if (!readSourceText(result.source, options, &source, &error, &failure))
            return sourceFailed(result, failure.isFailure() ? failure : Failure(Reason::ReadError, QString(), error));
        Workbook* workbook = worker.abortRequested() ? nullptr : importCellByCell(source.text, result.warnings);
        return finishImport(workbook, entry, result, source.report.messages());
    }

    // Saves an imported workbook, or lists its source as failed when the import gave none. The
    // warnings of a decoding the worker made go into the workbook, beside what it could not hold
    // itself; an application that keeps no warnings leaves them to the file's result. False when
    // the run ends here (the source is locked by another program).
    bool finishImport(Workbook* workbook, const QFileInfo& entry, FileResult& result,
                      const QStringList& decodingWarnings)
    {
        if (!workbook) {
            if (worker.abortRequested()) {
                fileInterrupted(result);
                return true;
            }
            const Failure failure = books->failure();
            return sourceFailed(result, failure.isFailure() ? failure : Failure(Reason::ImportFailed));
        }
        for (const QString& warning : decodingWarnings) {
            if (!workbook->addWarning(warning))
                result.warnings << warning;
        }
        saveAndClose(workbook, entry, result);
        return true;
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
        Failure folderFailure;
        ensureFolder(location.folder, &folderFailure);
        if (folderFailure.isFailure()) {
            // The output folder cannot be made (a file stands in the way, no permission, ...).
            workbook->close(false);
            fileFailed(result, folderFailure);
            return;
        }
        files::Status before;
        files::status(location.filePath, &before);

        bool saved = workbook->saveAs(location.filePath, location.fileFormat);
        if (!application->reportsSaveFailures()) {
            // The application does not report its failures: the workbook must exist and be new.
            files::Status after;
            files::status(location.filePath, &after);
            saved = after.kind == files::Kind::RegularFile &&
                    (before.kind == files::Kind::Missing || after.modified != before.modified);
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
    Workbooks* books = nullptr;
    QList<QFileInfo> entries;
    QList<Failure> unlistedFolders;
    QStringList failures;
    QSet<QString> savedWorkbooks; // written in this run
    QElapsedTimer fileTimer;
    std::unique_ptr<QTemporaryDir> importFolder; // the COM route's import files
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

    const QString failureListPath = failureListPathFor(run.options);
    const bool completed = run.forEachSource(
        [&run](const QFileInfo& entry, FileResult& result) { return run.transformFile(entry, result); });
    run.writeFailureList(failureListPath);
    if (completed) {
        run.progress(summaryText(run.summary.converted));
    } else {
        // The run stopped at a source another program holds locked: the message, then its path.
        run.progress(cannotOpenText + QLatin1Char(' ') + files::displayText(run.summary.runFailure.path));
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
