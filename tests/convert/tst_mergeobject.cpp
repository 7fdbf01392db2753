#include "convert/mergeobject.h"
#include "convert/sourcefiles.h"
#include "support/fakespreadsheet.h"
#include "support/workbookreadback.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Fake = FakeSpreadsheetApplication;

namespace {

// Run as root, file access in this thread is checked as for the user "nobody" while this lives,
// so that permissions apply as they do for an ordinary user.
class AsNobody
{
public:
    AsNobody()
    {
        if (::geteuid() == 0) {
            ::setfsgid(65534);
            ::setfsuid(65534);
        }
    }
    ~AsNobody()
    {
        if (::geteuid() == 0) {
            ::setfsuid(0);
            ::setfsgid(0);
        }
    }
};

class ResultLog : public MergeObserver
{
public:
    void fileFinished(const FileResult& result) override { results.append(result); }
    QList<FileResult> results;
};

} // namespace

// The worker's run against a recording spreadsheet double: what it asks of the application,
// what it shows, what it saves and what it lists as failed.
class MergeObjectTest : public QObject
{
    Q_OBJECT

    struct RunResult
    {
        QStringList texts;
        int endSignals = 0;
        QStringList shownFiles;
        QStringList failures; // "file name|reason code" in run order
        RunSummary summary;
    };

    // Notes every failed source as "file name|reason code" and hands each result on to `next`.
    struct FailureObserver : MergeObserver
    {
        QStringList* failures;
        MergeObserver* next = nullptr;
        void fileFinished(const FileResult& result) override
        {
            if (result.status == FileStatus::Failed)
                *failures << QFileInfo(result.source).fileName() + '|' + reasonCode(result.failure.reason);
            if (next)
                next->fileFinished(result);
        }
    };

    // `abortAt`: the point of the double ("SaveAs b.xlsx", "Cell 2,1") where the run is asked to
    // stop now. `observer`, when given, also sees every file's result.
    RunResult run(const ConversionOptions& options, FakeSpreadsheetBehaviour behaviour, bool automatic = false,
                  bool stopFirst = false, const QString& abortAt = QString(), MergeObserver* observer = nullptr)
    {
        Fake::reset();
        MergeObject worker;
        worker.setOptions(options);
        if (!abortAt.isEmpty()) {
            behaviour.atPoint = [&worker, abortAt](const QString& point) {
                if (point == abortAt)
                    worker.requestAbort();
            };
        }
        worker.setApplicationFactory(fakeSpreadsheetFactory(behaviour));
        RunResult result;
        FailureObserver failureObserver;
        failureObserver.failures = &result.failures;
        failureObserver.next = observer;
        worker.setObserver(&failureObserver);
        worker.setShowFileAction([&result](const QString& path) { result.shownFiles << path; });
        QObject::connect(&worker, &MergeObject::ShowDisposingFile, [&result](const QString& t) { result.texts << t; });
        QObject::connect(&worker, &MergeObject::Signal_SetButtonEnable, [&result] { ++result.endSignals; });
        QObject::connect(&worker, &MergeObject::RunFinished,
                         [&result](const RunSummary& summary) { result.summary = summary; });
        if (stopFirst)
            worker.requestStop();
        if (automatic)
            worker.AutoTransform();
        else
            worker.Transform();
        return result;
    }

    ConversionOptions optionsFor(const QTemporaryDir& source, const QTemporaryDir& save)
    {
        ConversionOptions options;
        options.sourceFolder = QDir::toNativeSeparators(source.path()) + QDir::separator();
        options.saveFolder = QDir::toNativeSeparators(save.path()) + QDir::separator();
        options.failureListPath = options.sourceFolder + QStringLiteral("/无法转换的文件目录.txt");
        return options;
    }

private slots:
    void emptyFolderStillFramesTheRun()
    {
        QTemporaryDir source, save;
        const RunResult result = run(optionsFor(source, save), {});
        QCOMPARE(result.texts, QStringList({"excel OK!", "WorkBooks OK!", "成功转换0个txt文件,"}));
        QCOMPARE(result.endSignals, 1);
        QCOMPARE(Fake::log(),
                 QStringList({"Bind Excel.Application", "SetVisible 0", "DisplayAlerts 0", "Quit", "Destroyed"}));
        QCOMPARE(Fake::liveObjects(), 0);
        QVERIFY(result.shownFiles.isEmpty());
    }

    void noApplicationEndsWithoutSummary()
    {
        QTemporaryDir source, save;
        writeBytes(source.filePath("a.txt"), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.noWorkbooks = true;
        const RunResult result = run(optionsFor(source, save), behaviour);
        QCOMPARE(result.texts,
                 QStringList({"excel OK!", "WorkBooks OK!",
                              "本功能需要电脑中装有微软office或金山wps专业版(注意是专业版,不是个人版)!"}));
        QCOMPARE(result.endSignals, 1);
        QVERIFY(!QFileInfo::exists(save.filePath("a.xlsx")));
    }

    // An application that reads only its code page imports an import file; one that reads source
    // texts (the embedded engine) imports the source itself, told the user's encoding choice.
    void importArgumentsFollowTheOptions_data()
    {
        QTest::addColumn<QString>("delimiter"); // its command-line name
        QTest::addColumn<bool>("merge");
        QTest::addColumn<QString>("textColumns");
        QTest::addColumn<bool>("readsSourceTexts");
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<int>("origin");
        // Import files are written in the 8-bit code page, UTF-8 here.
        QTest::newRow("tab, general") << "tab" << false << "" << false << "" << 65001;
        QTest::newRow("semicolon, merged") << "semicolon" << true << "" << false << "" << 65001;
        QTest::newRow("comma, text columns") << "comma" << false << "2,3,4" << false << "" << 65001;
        QTest::newRow("space") << "space" << false << "" << false << "" << 65001;
        QTest::newRow("source read, encoding recognised") << "comma" << false << "" << true << "" << 0;
        QTest::newRow("source read as UTF-16") << "tab" << true << "2,3,4" << true << "utf16" << 1200;
        QTest::newRow("source read in the 8-bit code page") << "comma" << false << "" << true << "local" << 2;
    }
    void importArgumentsFollowTheOptions()
    {
        QFETCH(QString, delimiter);
        QFETCH(bool, merge);
        QFETCH(QString, textColumns);
        QFETCH(bool, readsSourceTexts);
        QFETCH(QString, encoding);
        QFETCH(int, origin);
        QTemporaryDir source, save;
        writeBytes(source.filePath("in.txt"), "a,b\r\n");
        ConversionOptions options = optionsFor(source, save);
        QVERIFY(delimiterFromName(delimiter, &options.delimiter));
        options.consecutiveDelimiters = merge;
        options.textColumnsEnabled = !textColumns.isEmpty();
        options.textColumns = textColumns;
        options.sourceUcs2 = encoding == "utf16";
        options.sourceUtf8Bom = encoding == "local";
        FakeSpreadsheetBehaviour behaviour;
        behaviour.readsSourceTexts = readsSourceTexts;
        run(options, behaviour);
        QCOMPARE(Fake::imports().size(), 1);
        const OpenTextArguments& a = Fake::imports().first();
        if (readsSourceTexts) {
            QCOMPARE(a.fileName, QDir::toNativeSeparators(source.filePath("in.txt")));
        } else {
            QCOMPARE(QFileInfo(a.fileName).fileName(), QStringLiteral("in.txt")); // named like its source
            QVERIFY(!a.fileName.startsWith(source.path()));                       // but never in the source tree
        }
        QCOMPARE(a.origin, origin);
        QCOMPARE(a.startRow, 1);
        QCOMPARE(a.dataType, 1);
        QCOMPARE(a.textQualifier, 1);
        QCOMPARE(a.consecutiveDelimiter, merge);
        QCOMPARE(QList<bool>({a.tab, a.semicolon, a.comma, a.space, a.other}),
                 QList<bool>({delimiter == "tab", delimiter == "semicolon", delimiter == "comma", delimiter == "space",
                              false}));
        QCOMPARE(a.otherChar, QVariant(936));
        if (textColumns.isEmpty())
            QCOMPARE(a.fieldInfo, (QList<QPair<int, int>>{{1, 1}, {2, 1}}));
        else
            QCOMPARE(a.fieldInfo, (QList<QPair<int, int>>{{2, 2}, {3, 2}, {4, 2}}));
        QCOMPARE(Fake::importedBytes().first(), QByteArray("a,b\r\n"));
        QVERIFY(QFileInfo::exists(save.filePath("in.xlsx")));
        // An import file is removed after the import; the source stays as it was.
        QCOMPARE(QFileInfo::exists(a.fileName), readsSourceTexts);
        QCOMPARE(readBytes(source.filePath("in.txt")), QByteArray("a,b\r\n"));
    }

    void failedImportsAndSavesAreListed()
    {
        QTemporaryDir source, save;
        for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "skip.txt.bak", "sub/e.txt"})
            writeBytes(source.filePath(QString::fromUtf8(name)), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.refuseImportOf = QStringList{"b.txt"};
        behaviour.failSaveOf = QStringList{"d.xlsx"};
        const ConversionOptions options = optionsFor(source, save);
        const RunResult result = run(options, behaviour);

        const QString a = QDir::toNativeSeparators(source.filePath("a.txt"));
        const QString b = QDir::toNativeSeparators(source.filePath("b.txt"));
        const QString c = QDir::toNativeSeparators(source.filePath("c.txt"));
        const QString d = QDir::toNativeSeparators(source.filePath("d.txt"));
        const QString e = QDir::toNativeSeparators(source.filePath("sub/e.txt"));
        QCOMPARE(result.texts, QStringList({"excel OK!", "WorkBooks OK!", a, b, c, d, e, "成功转换3个txt文件,"}));
        // The list: native paths, CR LF, in run order; shown once.
        QCOMPARE(readBytes(options.failureListPath), (b + "\r\n" + d + "\r\n").toUtf8());
        QCOMPARE(result.shownFiles, QStringList{QDir::toNativeSeparators(options.failureListPath)});
        QVERIFY(QFileInfo::exists(save.filePath("sub/e.xlsx"))); // mirrored sub-folder created
        QVERIFY(!QFileInfo::exists(save.filePath("b.xlsx")));
        QVERIFY(!QFileInfo::exists(save.filePath("skip.txt.xlsx")));
    }

    void saveThatWritesNothingIsAFailure()
    {
        QTemporaryDir source, save;
        writeBytes(source.filePath("a.txt"), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.reportsSaveFailures = false; // like COM: the worker looks at the file itself
        behaviour.saveWithoutWriting = true;
        const ConversionOptions options = optionsFor(source, save);
        const RunResult result = run(options, behaviour);
        QCOMPARE(result.texts.last(), QStringLiteral("成功转换0个txt文件,"));
        QCOMPARE(readBytes(options.failureListPath),
                 (QDir::toNativeSeparators(source.filePath("a.txt")) + "\r\n").toUtf8());
    }

    void unwritableSourceFolderStillShowsTheList()
    {
        QTemporaryDir source, save;
        writeBytes(source.filePath("a.txt"), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.refuseImportOf = QStringList{"a.txt"};
        ConversionOptions options = optionsFor(source, save);
        options.failureListPath = source.filePath("no/such/folder/list.txt");
        const RunResult result = run(options, behaviour);
        QCOMPARE(result.shownFiles.size(), 1);
        QVERIFY(result.shownFiles.first().startsWith(QDir::toNativeSeparators(QDir::tempPath())));
        QVERIFY(readBytes(result.shownFiles.first()).endsWith("a.txt\r\n"));
        QFile::remove(result.shownFiles.first());
    }

    // A source that cannot be read goes into the failure list with the system's reason, by its
    // exact bytes, and the sources after it are still converted.
    void unreadableSourceIsListedAndTheRunGoesOn_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("cellByCell");
        QTest::addColumn<int>("reason");
        QTest::newRow("vanished after the listing") << "vanished" << false << int(Reason::Vanished);
        QTest::newRow("vanished, read by the application") << "vanished-direct" << false << int(Reason::Vanished);
        QTest::newRow("no permission") << "unreadable" << false << int(Reason::NoPermission);
        QTest::newRow("no permission, cell by cell") << "unreadable" << true << int(Reason::NoPermission);
        QTest::newRow("FIFO") << "fifo" << false << int(Reason::NotARegularFile);
        QTest::newRow("device") << "device" << false << int(Reason::NotARegularFile);
        QTest::newRow("sub-folder that cannot be listed") << "folder" << false << int(Reason::NoPermission);
        QTest::newRow("name that is not UTF-8, import refused") << "undecodable" << false << int(Reason::ImportFailed);
    }
    void unreadableSourceIsListedAndTheRunGoesOn()
    {
        QFETCH(QString, kind);
        QFETCH(bool, cellByCell);
        QFETCH(int, reason);
        QTemporaryDir source, save;
        for (const QTemporaryDir* dir : {&source, &save})
            ::chmod(QFile::encodeName(dir->path()).constData(), 0777);
        writeBytes(source.filePath("a.txt"), "1");
        writeBytes(source.filePath("c.txt"), "3");
        QByteArray odd = QFile::encodeName(source.filePath("b.txt"));
        FakeSpreadsheetBehaviour behaviour;
        if (kind.startsWith("vanished")) {
            writeBytes(source.filePath("b.txt"), "2");
            behaviour.removeOnFirstImport = source.filePath("b.txt");
            behaviour.readsSourceTexts = kind == "vanished-direct";
        } else if (kind == "unreadable") {
            writeBytes(source.filePath("b.txt"), "2");
            ::chmod(odd.constData(), 0);
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(odd.constData(), 0644), 0);
        } else if (kind == "device") {
            if (::mknod(odd.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                QSKIP("cannot make a device node here");
        } else if (kind == "folder") {
            odd = QFile::encodeName(source.filePath("b"));
            writeBytes(source.filePath("b/inner.txt"), "2");
            ::chmod(odd.constData(), 0);
        } else if (kind == "undecodable") {
            odd = QFile::encodeName(source.path()) + "/b\xff.txt";
            const int fd = ::open(odd.constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0 && ::write(fd, "2", 1) == 1 && ::close(fd) == 0);
            behaviour.refuseImportOf = QStringList{QStringLiteral("b\uFFFD.txt")};
        }
        ConversionOptions options = optionsFor(source, save);
        options.delimiter = Delimiter::Comma;
        options.textColumnsEnabled = cellByCell;
        options.textColumns = cellByCell ? QStringLiteral("1") : QString();
        options.cellByCellMode = cellByCell;
        ResultLog log;
        RunResult result;
        {
            AsNobody nobody;
            result = run(options, behaviour, false, false, QString(), &log);
        }
        ::chmod(odd.constData(), 0755);
        if (kind == "undecodable") {
            ::unlink(odd.constData()); // QTemporaryDir cannot name it
            QVERIFY2(result.texts.contains(QDir::toNativeSeparators(source.path()) + "/b\\xFF.txt"),
                     qPrintable(result.texts.join('|')));
        }

        QCOMPARE(result.texts.last(), QStringLiteral("成功转换2个txt文件,"));
        QCOMPARE(result.endSignals, 1);
        QVERIFY(QFileInfo::exists(save.filePath("a.xlsx")));
        QVERIFY(QFileInfo::exists(save.filePath("c.xlsx")));
        QCOMPARE(readBytes(options.failureListPath), odd + "\r\n");
        const auto failed = std::find_if(log.results.begin(), log.results.end(),
                                         [](const FileResult& r) { return r.status == FileStatus::Failed; });
        QVERIFY(failed != log.results.end());
        QCOMPARE(int(failed->failure.reason), reason);
    }

    // Only a source another program holds locked stops the run, with the message and its path;
    // the list gathered so far is written.
    void lockedSourceStopsTheRunWithItsPath()
    {
        QTemporaryDir source, save;
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            writeBytes(source.filePath(QString::fromUtf8(name)), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.lockedImportOf = QStringList{"b.txt"};
        const ConversionOptions options = optionsFor(source, save);
        ResultLog log;
        RunSummary summary;
        Fake::reset();
        MergeObject worker;
        worker.setOptions(options);
        worker.setApplicationFactory(fakeSpreadsheetFactory(behaviour));
        worker.setObserver(&log);
        QStringList texts;
        QObject::connect(&worker, &MergeObject::ShowDisposingFile, [&texts](const QString& t) { texts << t; });
        QObject::connect(&worker, &MergeObject::RunFinished, [&summary](const RunSummary& s) { summary = s; });
        worker.Transform();
        const QString b = QDir::toNativeSeparators(source.filePath("b.txt"));
        QCOMPARE(texts.last(), QStringLiteral("遇到无法打开的txt文件,请先将其关闭,或重启电脑后再尝试转换! ") + b);
        QCOMPARE(summary.runFailure.reason, Reason::Locked);
        QCOMPARE(summary.runFailure.path, b);
        QCOMPARE(summary.notReached, 1);
        QVERIFY(QFileInfo::exists(save.filePath("a.xlsx"))); // saved before the stop: kept
        QVERIFY(!QFileInfo::exists(save.filePath("c.xlsx")));
        QCOMPARE(readBytes(options.failureListPath), (b + "\r\n").toUtf8());
    }

    void cellByCellWritesEveryPiece()
    {
        QTemporaryDir source, save;
        writeBytes(source.filePath("c.txt"), "a,b\r\nc,,\"d\"\r\n");
        ConversionOptions options = optionsFor(source, save);
        options.delimiter = Delimiter::Comma;
        options.textColumnsEnabled = true;
        options.textColumns = QStringLiteral("2,0");
        options.cellByCellMode = true;
        run(options, {});
        QVERIFY(Fake::imports().isEmpty());
        QCOMPARE(Fake::textColumns(), QList<int>{2}); // column 0 is never used
        QMap<QString, QVariant> expected{{"1,1", "a"}, {"1,2", "b"},     {"2,1", "c"},
                                         {"2,2", ""},  {"2,3", "\"d\""}, {"3,1", ""}};
        QCOMPARE(Fake::cellValues(), expected);
        QVERIFY(QFileInfo::exists(save.filePath("c.xlsx")));
    }

    // A stop after the current file, or a stop now that gives up the file in progress (during its
    // save, or between two lines of a cell-by-cell fill): what was saved stays, the file given up
    // is listed as interrupted and never saved, the rest is not reached, and the run ends as usual.
    void stopRequestEndsTheRunCleanly_data()
    {
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<QString>("abortAt");
        QTest::addColumn<bool>("cellByCell");
        QTest::addColumn<bool>("automatic");
        QTest::addColumn<QStringList>("workbooks");
        QTest::addColumn<QStringList>("failures");
        QTest::addColumn<int>("notReached");

        QTest::newRow("stop before the first file")
            << true << "" << false << false << QStringList() << QStringList() << 3;
        QTest::newRow("stop now while b is saved") << false << "SaveAs b.xlsx" << false << false
                                                   << QStringList{"a.xlsx"} << QStringList{"b.txt|interrupted"} << 1;
        QTest::newRow("stop now between two lines of b, cell by cell")
            << false << "Cell 2,1" << true << false << QStringList{"a.xlsx"} << QStringList{"b.txt|interrupted"} << 1;
        QTest::newRow("stop now while the last file is saved, automatic mode")
            << false << "SaveAs c.xlsx" << false << true << QStringList{"a.xlsx", "b.xlsx"}
            << QStringList{"c.txt|interrupted"} << 0;
    }

    void stopRequestEndsTheRunCleanly()
    {
        QFETCH(bool, stopFirst);
        QFETCH(QString, abortAt);
        QFETCH(bool, cellByCell);
        QFETCH(bool, automatic);
        QFETCH(QStringList, workbooks);
        QFETCH(QStringList, failures);
        QFETCH(int, notReached);
        QTemporaryDir source, save;
        writeBytes(source.filePath("a.txt"), "1,2"); // one line: its cells are all in row 1
        writeBytes(source.filePath("b.txt"), "3,4\r\n5,6\r\n7,8");
        writeBytes(source.filePath("c.txt"), "9");
        ConversionOptions options = optionsFor(source, save);
        options.delimiter = Delimiter::Comma;
        options.cellByCellMode = cellByCell;
        options.textColumnsEnabled = cellByCell;
        options.textColumns = cellByCell ? QStringLiteral("1") : QString();
        const RunResult result = run(options, {}, automatic, stopFirst, abortAt);

        QCOMPARE(result.texts.last(), summaryText(workbooks.size()));
        QCOMPARE(result.endSignals, 1);
        QCOMPARE(Fake::liveObjects(), 0);
        QCOMPARE(QDir(save.path()).entryList(QDir::Files | QDir::Hidden), workbooks);
        QCOMPARE(result.failures, failures);
        QStringList listed;
        for (const QString& failure : failures)
            listed << QDir::toNativeSeparators(source.filePath(failure.section('|', 0, 0))) + "\r\n";
        QCOMPARE(QString::fromUtf8(readBytes(source.filePath(failureListFileName()))), listed.join(QString()));
        QVERIFY(result.summary.interrupted);
        QCOMPARE(result.summary.fileGivenUp, !abortAt.isEmpty());
        QCOMPARE(result.summary.notReached, notReached);
        if (cellByCell)
            QVERIFY(!Fake::cellValues().contains("3,1")); // the fill stopped between two lines
    }

    void automaticModeOpensSourcesWhereTheyLie()
    {
        QTemporaryDir source, save;
        writeBytes(source.filePath("a.b.txt"), "1");
        writeBytes(source.filePath("bad.txt"), "1");
        FakeSpreadsheetBehaviour behaviour;
        behaviour.refuseImportOf = QStringList{"bad.txt"};
        ConversionOptions options = optionsFor(source, save);
        options.xlsxOutput = false;
        options.failureListPath.clear(); // an automatic start does not set it
        const RunResult result = run(options, behaviour, true);
        const QString ab = QDir::toNativeSeparators(source.filePath("a.b.txt"));
        const QString bad = QDir::toNativeSeparators(source.filePath("bad.txt"));
        QCOMPARE(result.texts, QStringList({"excel OK!", "WorkBooks OK!", ab, bad, "成功转换1个txt文件,"}));
        QVERIFY(Fake::log().contains("Open " + ab));
        QVERIFY(Fake::log().contains(
            QStringLiteral("SaveAs %1 56").arg(QDir::toNativeSeparators(save.filePath("a.b.xls")))));
        QVERIFY(Fake::imports().isEmpty());
        QCOMPARE(readBytes(source.filePath(failureListFileName())), (bad + "\r\n").toUtf8());
    }
};

QTEST_GUILESS_MAIN(MergeObjectTest)
#include "tst_mergeobject.moc"
