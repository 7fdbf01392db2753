#include "convert/filejob.h"

#include "convert/sourcefiles.h"
#include "convert/sourcetext.h"
#include "convert/textcolumns.h"
#include "files/filesystem.h"
#include "files/path.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

bool SpreadsheetSession::connect()
{
    if (application) {
        application->bind(QStringLiteral("Excel.Application"));
        application->setVisible(false);
        application->setDisplayAlerts(false);
        books = application->workbooks();
    }
    return books != nullptr;
}

QTemporaryDir* SpreadsheetSession::importFolder()
{
    if (!m_importFolder)
        m_importFolder = std::make_unique<QTemporaryDir>(
            QDir(QDir::tempPath()).filePath(QStringLiteral("quillmorne-import-XXXXXX")));
    return m_importFolder.get();
}

FileOutcome FileJob::run(const QFileInfo& entry, ConversionMode mode)
{
    QElapsedTimer timer;
    timer.start();
    outcome = FileOutcome();
    outcome.result.source = QDir::toNativeSeparators(entry.absoluteFilePath());
    outcome.result.workbook = outputLocation(entry, options).filePath;
    if (mode == ConversionMode::Automatic)
        openByRecognition(entry);
    else
        outcome.endsRun = !transformFile(entry);
    outcome.result.seconds = timer.nsecsElapsed() / 1e9;
    return outcome;
}

void FileJob::failed(const Failure& failure)
{
    outcome.result.status = FileStatus::Failed;
    outcome.result.failure = failure;
}

// A source that cannot be read or imported is a failure, and the run goes on. Only one that
// another program holds locked ends the run (false).
bool FileJob::sourceFailed(const Failure& failure)
{
    failed(failure);
    return failure.reason != Reason::Locked;
}

// The settings-driven steps. False when the source is locked by another program, which ends the
// run.
bool FileJob::transformFile(const QFileInfo& entry)
{
    if (usesCellByCellRoute(options))
        return transformCellByCell(entry);
    if (session.application->readsSourceTexts())
        return transformSourceText(entry);
    return transformImportFile(entry);
}

// The application reads the source itself, in the encoding the user chose: no import file.
bool FileJob::transformSourceText(const QFileInfo& entry)
{
    return finishImport(importByOpenText(outcome.result.source, codePageForChoice(options)), entry, {});
}

// The application imports an import file that the worker writes in the 8-bit code page.
bool FileJob::transformImportFile(const QFileInfo& entry)
{
    QTemporaryDir* folder = session.importFolder();
    if (!folder->isValid()) {
        failed(Failure(Reason::TemporaryFileFailed, QString(), folder->errorString()));
        return true;
    }
    // The import file carries the source's name as valid text (the sheet is named after it).
    const QString importFilePath = folder->filePath(files::validText(entry.fileName()));
    const ImportFileResult prepared = prepareImportFile(outcome.result.source, importFilePath, options);
    if (prepared.sourceUnreadable)
        return sourceFailed(prepared.failure);
    if (!prepared.ok) {
        failed(prepared.failure);
        return true;
    }
    // Reading a large source and writing its import file takes a while; a stop-now request that
    // came meanwhile gives the file up before the import.
    Workbook* workbook = aborted.load() ? nullptr : importByOpenText(importFilePath, prepared.codePage);
    const bool goOn = finishImport(workbook, entry, prepared.warnings);
    QFile::remove(importFilePath);
    return goOn;
}

bool FileJob::transformCellByCell(const QFileInfo& entry)
{
    DecodedSource source;
    const Failure failure = readSourceText(outcome.result.source, options, &source);
    if (failure.isFailure())
        return sourceFailed(failure);
    Workbook* workbook = aborted.load() ? nullptr : importCellByCell(source.text, outcome.result.warnings);
    return finishImport(workbook, entry, source.report.messages());
}

// The automatic mode: the application opens the source by its own recognition.
void FileJob::openByRecognition(const QFileInfo& entry)
{
    if (Workbook* workbook = session.books->open(outcome.result.source)) {
        saveAndClose(workbook, entry);
    } else {
        const Failure failure = session.books->failure();
        failed(failure.isFailure() ? failure : Failure(Reason::ImportFailed));
    }
}

// Saves an imported workbook, or notes the source as failed when the import gave none. The
// warnings of a decoding the worker made go into the workbook, beside what it could not hold
// itself; an application that keeps no warnings leaves them to the file's result. False when the
// run ends here (the source is locked by another program).
bool FileJob::finishImport(Workbook* workbook, const QFileInfo& entry, const QStringList& decodingWarnings)
{
    if (!workbook) {
        // A file given up because the run was asked to stop now: failed, nothing kept.
        if (aborted.load()) {
            failed(Failure(Reason::Interrupted, outcome.result.workbook));
            return true;
        }
        const Failure failure = session.books->failure();
        return sourceFailed(failure.isFailure() ? failure : Failure(Reason::ImportFailed));
    }
    for (const QString& warning : decodingWarnings) {
        if (!workbook->addWarning(warning))
            outcome.result.warnings << warning;
    }
    saveAndClose(workbook, entry);
    return true;
}

Workbook* FileJob::importByOpenText(const QString& path, int codePage)
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
    session.books->openText(arguments);
    return session.application->activeWorkbook();
}

// Fills a new workbook from the decoded text: the text columns first get the "@" format, then
// every piece of every line goes into its cell as written.
Workbook* FileJob::importCellByCell(QString& sourceText, QStringList& warnings)
{
    session.books->add();
    Workbook* workbook = session.application->activeWorkbook();
    Worksheet* sheet = session.application->activeSheet();
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
        if (aborted.load()) {
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

// Saves the workbook by the output location rule and closes it. A save that produced no workbook
// is a failure.
void FileJob::saveAndClose(Workbook* workbook, const QFileInfo& entry)
{
    const OutputLocation location = outputLocation(entry, options);
    Failure folderFailure;
    ensureFolder(location.folder, &folderFailure);
    if (folderFailure.isFailure()) {
        // The output folder cannot be made (a file stands in the way, no permission, ...).
        workbook->close(false);
        failed(folderFailure);
        return;
    }
    files::Status before;
    files::status(location.filePath, &before);

    bool saved = workbook->saveAs(location.filePath, location.fileFormat);
    if (!session.application->reportsSaveFailures()) {
        // The application does not report its failures: the workbook must exist and be new.
        files::Status after;
        files::status(location.filePath, &after);
        saved = after.kind == files::Kind::RegularFile &&
                (before.kind == files::Kind::Missing || after.modified != before.modified);
    }
    outcome.result.warnings += workbook->warnings();
    outcome.result.facts = workbook->saveFacts();
    const Failure failure = workbook->failure();
    workbook->close(false);
    if (saved)
        outcome.saved = true;
    else
        failed(failure.isFailure() ? failure : Failure(Reason::SaveFailed, location.filePath));
}
