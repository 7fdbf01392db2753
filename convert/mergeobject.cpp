#include "convert/mergeobject.h"

#include "convert/conversionoptions.h"
#include "convert/sourcefiles.h"
#include "convert/sourcetext.h"
#include "convert/textcolumns.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTextCodec>

namespace {

const QString cannotOpenText = QStringLiteral("遇到无法打开的txt文件,请先将其关闭,或重启电脑后再尝试转换!");
const QString noApplicationText =
    QStringLiteral("本功能需要电脑中装有微软office或金山wps专业版(注意是专业版,不是个人版)!");

QString droppedNulWarning(qint64 count)
{
    return QStringLiteral("文本中的 %1 个空字符(NUL)无法存入单元格,已略去").arg(count);
}

} // namespace

// One run of either mode: the spreadsheet connection, the per-file steps they share, the
// failure list and the summary. Lives on the worker's thread for the length of one slot call.
class MergeObject::Run
{
public:
    explicit Run(MergeObject& worker) : worker(worker), options(conversionOptions()) {}

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
            progress(noApplicationText);
            closeConnection();
            return false;
        }
        return true;
    }

    void closeConnection()
    {
        if (application) {
            application->quit();
            delete application;
            application = nullptr;
            books = nullptr;
        }
        emit worker.Signal_SetButtonEnable();
    }

    void listSources()
    {
        entries = listSourceFiles(options.sourceFolder);
        int count = 0;
        for (const QFileInfo& entry : qAsConst(entries))
            count += isSourceFile(entry) ? 1 : 0;
        if (worker.observer)
            worker.observer->sourceFilesListed(count);
    }

    void fileFailed(const QString& nativePath, const QString& reason, const QStringList& warnings = {})
    {
        failures.append(nativePath);
        if (worker.observer)
            worker.observer->fileFinished(nativePath, MergeObserver::Outcome::Failed, reason, warnings);
    }

    // Calls `convert` for every source file in list order, after sending its path as progress
    // text, until a stop is requested. Returns false when `convert` aborted the run.
    template <typename Convert>
    bool forEachSource(Convert convert)
    {
        for (const QFileInfo& entry : qAsConst(entries)) {
            if (worker.stopRequested())
                break;
            if (!isSourceFile(entry))
                continue;
            const QString nativePath = QDir::toNativeSeparators(entry.absoluteFilePath());
            progress(nativePath);
            if (!convert(entry, nativePath))
                return false;
        }
        return true;
    }

    // The settings-driven steps for one source file. Returns false when the source cannot be
    // opened, which ends the run.
    bool transformFile(const QFileInfo& entry, const QString& nativePath, const QTemporaryDir& importFolder)
    {
        if (const QFileInfo info(nativePath); info.exists() && !info.isFile()) {
            // A FIFO, a device or the like is no text to convert; it is listed, and the run goes
            // on (it is not a text that some program holds open).
            fileFailed(nativePath, QStringLiteral("不是普通文件"));
            return true;
        }
        const bool cellByCell = usesCellByCellRoute(options);
        const QString importFilePath =
            importFolder.isValid() && !cellByCell ? importFolder.filePath(entry.fileName()) : QString();
        QString sourceText;
        ImportFileResult prepared;
        if (cellByCell) {
            prepared.ok = readSourceText(nativePath, options, &sourceText, &prepared.errorString, &prepared.droppedNul);
            prepared.sourceUnreadable = !prepared.ok;
        } else if (importFilePath.isEmpty()) {
            prepared.errorString = QStringLiteral("无法创建临时文件夹: %1").arg(importFolder.errorString());
        } else {
            prepared = prepareImportFile(nativePath, importFilePath, options);
        }
        if (prepared.sourceUnreadable) {
            // What was gathered so far, and this file, are still listed.
            fileFailed(nativePath, prepared.errorString);
            return false;
        }
        if (!prepared.ok) {
            fileFailed(nativePath, prepared.errorString);
            return true;
        }

        QStringList warnings;
        if (prepared.droppedNul > 0)
            warnings << droppedNulWarning(prepared.droppedNul);
        Workbook* workbook =
            cellByCell ? importCellByCell(sourceText, warnings) : importByOpenText(importFilePath, prepared.codePage);
        if (workbook) {
            saveAndClose(workbook, entry, nativePath, warnings);
        } else {
            const QString reason = books->errorString();
            fileFailed(nativePath, reason.isEmpty() ? QStringLiteral("导入没有生成工作簿") : reason, warnings);
        }
        if (!importFilePath.isEmpty())
            QFile::remove(importFilePath);
        return true;
    }

    Workbook* importByOpenText(const QString& importFilePath, int codePage)
    {
        OpenTextArguments arguments;
        arguments.fileName = QDir::toNativeSeparators(importFilePath);
        arguments.origin = codePage;
        arguments.startRow = 1;
        arguments.dataType = 1;
        arguments.textQualifier = 1;
        arguments.consecutiveDelimiter = options.consecutiveDelimiters;
        arguments.tab = options.delimiter == 1;
        arguments.semicolon = options.delimiter == 2;
        arguments.comma = options.delimiter == 3;
        arguments.space = options.delimiter == 4;
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
        const QChar separator = cellByCellSeparator(options.delimiter);
        const QStringList lines = splitCellByCellLines(sourceText);
        sourceText.clear();
        int unset = 0;
        for (int r = 0; r < lines.size(); ++r) {
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
    void saveAndClose(Workbook* workbook, const QFileInfo& entry, const QString& nativePath, QStringList warnings)
    {
        const OutputLocation location = outputLocation(entry, options);
        // Sources whose names differ only in letter case ("a.txt", "a.TXT") map to the same
        // workbook. The later one would silently replace the earlier one's, so it fails instead.
        if (savedWorkbooks.contains(location.filePath)) {
            fileFailed(nativePath,
                       QStringLiteral("工作簿 %1 已由同一文件夹中只有大小写不同的另一个txt文件写出, 未覆盖")
                           .arg(location.filePath),
                       warnings);
            workbook->close(false);
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
        warnings += workbook->warnings();
        if (saved) {
            ++successCount;
            savedWorkbooks.insert(location.filePath);
            if (worker.observer)
                worker.observer->fileFinished(nativePath, MergeObserver::Outcome::Converted, location.filePath,
                                              warnings);
        } else {
            QString reason = workbook->errorString();
            if (reason.isEmpty())
                reason = QStringLiteral("未能保存工作簿 %1").arg(location.filePath);
            fileFailed(nativePath, reason, warnings);
        }
        workbook->close(false);
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
                const QString shown = QDir::toNativeSeparators(path);
                if (worker.observer)
                    worker.observer->failureListWritten(shown);
                if (worker.showFileAction)
                    worker.showFileAction(shown);
                return;
            }
        }
        progress(QStringLiteral("无法写入失败列表 %1").arg(QDir::toNativeSeparators(preferredPath)));
    }

    MergeObject& worker;
    const ConversionOptions options;
    SpreadsheetApplication* application = nullptr;
    Workbooks* books = nullptr;
    QList<QFileInfo> entries;
    QStringList failures;
    QSet<QString> savedWorkbooks; // written in this run
    int successCount = 0;
};

MergeObject::MergeObject(QObject* parent) : QObject(parent) {}

MergeObject::~MergeObject() = default;

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
    const bool completed = run.forEachSource([&](const QFileInfo& entry, const QString& nativePath) {
        return run.transformFile(entry, nativePath, importFolder);
    });
    run.writeFailureList(failureListPath);
    if (completed)
        run.progress(summaryText(run.successCount));
    else
        run.progress(cannotOpenText); // the run stopped at a source it could not open
    run.closeConnection();
}

void MergeObject::AutoTransform()
{
    Run run(*this);
    run.listSources();
    if (!run.openConnection())
        return;

    run.forEachSource([&run](const QFileInfo& entry, const QString& nativePath) {
        if (Workbook* workbook = run.books->open(nativePath)) {
            run.saveAndClose(workbook, entry, nativePath, {});
        } else {
            const QString reason = run.books->errorString();
            run.fileFailed(nativePath, reason.isEmpty() ? QStringLiteral("无法打开") : reason);
        }
        return true;
    });

    // Files the application could not open are reported in the same list as the settings-driven
    // mode's, so no file goes missing from a run unnoticed.
    run.writeFailureList(QDir(QDir::fromNativeSeparators(run.options.sourceFolder)).filePath(failureListFileName()));
    run.progress(summaryText(run.successCount));
    run.closeConnection();
}
