#include "support/workbookreadback.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

// quillmorne-convert against faults of the file system and odd sources: a full disk, folders that
// cannot be written, FIFOs, undecodable names, link loops and odd contents, and termination
// signals in the middle of a large file. Whatever happens, every source ends up converted (a
// complete workbook with all its rows), in the failure list, or not reached because the run
// stopped (at a source it could not open, or on a signal); no partial or temporary file is left
// in the output or in the temporary folder, and no source changes. The run's report tells the
// same story.
class FaultsTest : public QObject
{
    Q_OBJECT

    enum class Outcome { Converted, Failed, NotReached };
    enum class Run { Plain, DiskFull, Unprivileged, OutputClosed };

    struct Source
    {
        QByteArray path; // relative, raw bytes (names need not be valid UTF-8)
        QByteArray content;
        Outcome outcome;
        int rows = 0;
        bool fifo = false;
        int generatedRows = 0; // a generated text of that many rows instead of `content`
    };

    struct Case
    {
        QList<Source> sources;
        QList<QByteArray> links;     // "name -> target" pairs, relative to the source folder
        QByteArray lockedSaveFolder; // made below the save folder, not writable for the run
        Run run = Run::Plain;
        bool xls = false;
        int status = 0;
        // Sent in turn once the first workbook exists, so the second source is in progress; each
        // after the tool has said that it received the one before.
        QList<int> signalsSent = {};
        QStringList said = {}; // what standard error must say
    };

    static QByteArray numbers(int count)
    {
        QByteArray text;
        for (int i = 1; i <= count; ++i)
            text += QByteArray::number(i) + '\n';
        return text;
    }

    // Rows of a few typed columns; about 30 bytes each.
    static QByteArray generatedText(int rows)
    {
        QByteArray text;
        text.reserve(rows * 32);
        for (int i = 1; i <= rows; ++i)
            text += QByteArray::number(i) + "\t编号" + QByteArray::number(i % 977) + "\t" +
                    QByteArray::number(i * 0.25) + "\t2024-01-05\r\n";
        return text;
    }

    static QByteArray contentOf(const Source& source)
    {
        return source.generatedRows ? generatedText(source.generatedRows) : source.content;
    }

    // A source in progress when the signals come, and one the run does not reach.
    static Case interrupted(QList<int> signalsSent, int status, Outcome big, int bigRows, QStringList said)
    {
        Case c{{{"a.txt", "a\t1\n", Outcome::Converted, 1},
                {"big.txt", {}, big, bigRows, false, bigRows},
                {"z.txt", "z\t2\n", Outcome::NotReached}},
               {},
               {},
               Run::Plain,
               false,
               status};
        c.signalsSent = std::move(signalsSent);
        c.said = std::move(said);
        return c;
    }

    static QList<Case> cases()
    {
        QList<Case> all;
        // A workbook larger than the file-size limit cannot be written (EFBIG, as on a full disk);
        // the smaller ones before and after it are.
        all.append({{{"a.txt", "a\t1\n", Outcome::Converted, 1},
                     {"big.txt", numbers(20000), Outcome::Failed},
                     {"z.txt", "z\t2\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::DiskFull,
                    true,
                    1});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"locked/b.txt", "b\n", Outcome::Failed},
                     {"open/c.txt", "c\nd\n", Outcome::Converted, 2}},
                    {},
                    "locked",
                    Run::Unprivileged,
                    false,
                    1});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"m.txt", {}, Outcome::Failed, 0, true},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    1});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"b\xff\xfe.txt", "b\n", Outcome::Failed},
                     {"c.txt", "c\n", Outcome::NotReached}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    1});
        all.append({{{"empty.txt", "", Outcome::Converted, 0},
                     {"one.txt", "x", Outcome::Converted, 1},
                     {"nul.txt", QByteArray("a\0b\t1\n\0\nc", 10), Outcome::Converted, 3},
                     {"new\nline.txt", "n\t1\r\nm\t2", Outcome::Converted, 2},
                     {"cr.txt", "1\r2\r3", Outcome::Converted, 3}},
                    {},
                    {},
                    Run::Plain,
                    true,
                    0});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1}, {"sub/b.txt", "b\n", Outcome::Converted, 1}},
                    {"sub/loop -> ..", "sub/self -> .", "sub/up -> ../sub", "l.txt -> a.txt"},
                    {},
                    Run::Plain,
                    false,
                    0});
        all.append({{{"a.TXT", "upper\t1\n", Outcome::Converted, 1},
                     {"a.txt", "lower\nx\n", Outcome::Failed},
                     {"b.txt", "b\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    1});
        // Nobody reads what the tool prints: it stops printing, the run goes on to its end.
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"m.txt", {}, Outcome::Failed, 0, true},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::OutputClosed,
                    false,
                    1});
        const QString afterFile = QStringLiteral("当前文件完成后停止; 再按一次 Ctrl+C 立即停止");
        const QString now = QStringLiteral("正在立即停止");
        const QString givenUp = QStringLiteral("已中断: 正在转换的文件已放弃, 其余 1 个文件未转换");
        all.append(interrupted({SIGINT}, 130, Outcome::Converted, 200000,
                               {afterFile, QStringLiteral("已中断: 当前文件完成后停止, 其余 1 个文件未转换")}));
        all.append(interrupted({SIGINT, SIGINT}, 130, Outcome::Failed, 3000000, {afterFile, now, givenUp}));
        all.append(interrupted({SIGTERM}, 143, Outcome::Failed, 3000000, {now, givenUp}));
        all.append(interrupted({SIGHUP}, 129, Outcome::Failed, 3000000, {now, givenUp}));
        return all;
    }

    static bool writeRaw(const QByteArray& path, const QByteArray& bytes)
    {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const bool ok = bytes.isEmpty() || ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
        return ::close(fd) == 0 && ok;
    }

    static QByteArray readRaw(const QByteArray& path)
    {
        QByteArray bytes;
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return "<missing>";
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, int(n));
        ::close(fd);
        return bytes;
    }

    static void openUp(const QString& path) { ::chmod(QFile::encodeName(path).constData(), 0777); }

    // The record of the source at `path` (raw bytes): matched by its exact bytes where the report
    // gives them (a name that is not valid UTF-8), else by the path itself.
    static QJsonObject recordOf(const QJsonArray& records, const QByteArray& path)
    {
        for (const QJsonValue& value : records) {
            const QJsonObject record = value.toObject();
            const bool same = record.contains("source_bytes")
                                  ? QByteArray::fromBase64(record.value("source_bytes").toString().toLatin1()) == path
                                  : record.value("source").toString() == QString::fromUtf8(path);
            if (same)
                return record;
        }
        return {};
    }

    static QString schemaProblems(const QString& reportPath)
    {
        QProcess process;
        process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON),
                      {QStringLiteral(QUILLMORNE_TEST_TOOLS "/checkreport.py"), reportPath});
        if (!process.waitForFinished(60000))
            return QStringLiteral("checkreport.py did not finish");
        return process.exitCode() == 0 ? QString() : QString::fromUtf8(process.readAll());
    }

private slots:
    void initTestCase()
    {
        // The tool keeps a termination signal it was started with ignored (a background job's
        // Ctrl+C); this suite's signals must reach it.
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signalNumber, SIG_DFL);
    }

    void everySourceAccountedFor_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("disk full while an .xls is written") << 0;
        QTest::newRow("save sub-folder not writable") << 1;
        QTest::newRow("FIFO named .txt is listed, the run goes on") << 2;
        QTest::newRow("name that is not valid UTF-8 stops the run") << 3;
        QTest::newRow("0-byte, 1-byte, NUL-laden, CR-only, newline in name") << 4;
        QTest::newRow("link loops and a link to a file") << 5;
        QTest::newRow("names equal but for case: the first keeps its workbook") << 6;
        QTest::newRow("standard output and error are pipes nobody reads") << 7;
        QTest::newRow("Ctrl+C: the large file in progress is finished, the rest not reached") << 8;
        QTest::newRow("Ctrl+C twice: the large file in progress is given up") << 9;
        QTest::newRow("SIGTERM: the large file in progress is given up") << 10;
        QTest::newRow("SIGHUP: the large file in progress is given up") << 11;
    }

    void everySourceAccountedFor()
    {
        QFETCH(int, index);
        const Case c = cases().at(index);
        if (c.run == Run::Unprivileged && ::geteuid() == 0 && QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs setpriv to drop root's rights");

        QTemporaryDir sourceDir, saveDir;
        const QByteArray source = QFile::encodeName(sourceDir.path()) + '/';
        const QByteArray save = QFile::encodeName(saveDir.path()) + '/';
        openUp(sourceDir.path());
        openUp(saveDir.path());
        for (const Source& s : c.sources) {
            const int slash = s.path.lastIndexOf('/');
            if (slash > 0) {
                QVERIFY(QDir().mkpath(QFile::decodeName(source + s.path.left(slash))));
                openUp(QFile::decodeName(source + s.path.left(slash)));
            }
            if (s.fifo)
                QCOMPARE(::mkfifo((source + s.path).constData(), 0644), 0);
            else
                QVERIFY(writeRaw(source + s.path, contentOf(s)));
        }
        for (const QByteArray& link : c.links) {
            const QList<QByteArray> parts = link.split(' ');
            QCOMPARE(::symlink(parts.at(2).constData(), (source + parts.at(0)).constData()), 0);
        }
        if (!c.lockedSaveFolder.isEmpty()) {
            QVERIFY(QDir().mkpath(QFile::decodeName(save + c.lockedSaveFolder)));
            ::chmod((save + c.lockedSaveFolder).constData(), 0555);
        }

        const QString tool = QStringLiteral(QUILLMORNE_BINARY_DIR "/quillmorne-convert");
        QTemporaryDir reportDir;
        openUp(reportDir.path());
        const QString reportPath = reportDir.filePath("report.json");
        QStringList arguments{"-q", "-o", saveDir.path(), "--report", reportPath, sourceDir.path()};
        if (c.xls)
            arguments.prepend("--xls");
        QProcess process;
        // A temporary folder of the run's own, so anything the run leaves there shows.
        QTemporaryDir temporaryDir;
        openUp(temporaryDir.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporaryDir.path());
        process.setProcessEnvironment(environment);
        if (c.run == Run::DiskFull) {
            // Started with SIGXFSZ at its default action, which would end the process: the tool
            // ignores it, so writes past the limit fail with EFBIG, as they would on a full disk.
            process.start("bash",
                          QStringList{"-c", "trap - XFSZ; ulimit -f 300; exec \"$0\" \"$@\"", tool} + arguments);
        } else if (c.run == Run::OutputClosed) {
            // Both go to a pipe whose reading end is closed before the tool starts; Python starts
            // it with SIGPIPE at its default action, as a shell would.
            process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON),
                          QStringList{"-c",
                                      "import os, subprocess, sys\n"
                                      "r, w = os.pipe()\n"
                                      "os.close(r)\n"
                                      "status = subprocess.call(sys.argv[1:], stdout=w, stderr=w)\n"
                                      "sys.exit(status if status >= 0 else 100 - status)",
                                      tool} +
                              arguments);
        } else if (c.run == Run::Unprivileged && ::geteuid() == 0) {
            process.start("setpriv",
                          QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", tool} + arguments);
        } else {
            process.start(tool, arguments);
        }
        QString err;
        if (!c.signalsSent.isEmpty()) {
            const QString first = saveDir.filePath(QStringLiteral("a.xlsx"));
            QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(first); }, 120000));
            int said = 0;
            for (int signalNumber : c.signalsSent) {
                QVERIFY(QTest::qWaitFor(
                    [&] {
                        err += QString::fromUtf8(process.readAllStandardError());
                        return err.count(QLatin1Char('\n')) >= said;
                    },
                    60000));
                const qint64 pid = process.processId(); // 0 once the tool has ended
                if (pid > 0)
                    ::kill(pid_t(pid), signalNumber);
                ++said; // the handler's message for this request
            }
        }
        QVERIFY(process.waitForFinished(120000));
        err += QString::fromUtf8(process.readAllStandardError());
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == c.status, qPrintable(err));
        for (const QString& text : c.said)
            QVERIFY2(err.contains(text), qPrintable(err));
        QCOMPARE(QDir(temporaryDir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());

        const QStringList listed =
            QString::fromUtf8(readBytes(sourceDir.filePath(QStringLiteral("无法转换的文件目录.txt"))))
                .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        const QString extension = c.xls ? QStringLiteral(".xls") : QStringLiteral(".xlsx");
        const QJsonObject report = QJsonDocument::fromJson(readBytes(reportPath)).object();
        QVERIFY2(schemaProblems(reportPath).isEmpty(), qPrintable(schemaProblems(reportPath)));
        const QJsonArray records = report.value("files").toArray();
        QStringList expectedOutput;
        bool stopped = false;
        int reached = 0;
        for (const Source& s : c.sources) {
            // The report has one record for each source the run came to, with its outcome.
            const QJsonObject record = recordOf(records, source + s.path);
            const QString status = record.value("status").toString();
            QVERIFY2(status == (s.outcome == Outcome::Converted ? "converted"
                                : s.outcome == Outcome::Failed  ? "failed"
                                                                : ""),
                     qPrintable(QFile::decodeName(s.path) + ": " + status));
            if (s.outcome == Outcome::Failed)
                QVERIFY(!record.value("reason").toObject().value("code").toString().isEmpty());
            if (s.outcome == Outcome::Converted && !record.value("rows").isNull())
                QCOMPARE(record.value("rows").toInt(), s.rows);
            reached += s.outcome == Outcome::NotReached ? 0 : 1;
            const QString name = QFile::decodeName(s.path);
            const QString workbook = saveDir.filePath(name.left(name.lastIndexOf('.')) + extension);
            QVERIFY2(readRaw(source + s.path) == (s.fifo ? QByteArray() : contentOf(s)), qPrintable(name)); // unchanged
            switch (s.outcome) {
            case Outcome::Converted: {
                expectedOutput.append(workbook);
                // Large workbooks are read for their size only.
                const bool large = s.rows > 10000;
                const ReadWorkbook book = readWorkbookBack(workbook, large);
                QVERIFY2(book.ok, qPrintable(name + ": " + book.error));
                int rows = large ? book.sheets.first().maxRow : 0;
                for (const ReadCell& cell : book.sheets.first().cells)
                    rows = qMax(rows, cell.row);
                QCOMPARE(rows, s.rows);
                break;
            }
            case Outcome::Failed:
                QVERIFY2(listed.contains(QFile::decodeName(source + s.path)),
                         qPrintable(name + " not in " + listed.join('|')));
                break;
            case Outcome::NotReached:
                stopped = true;
                QVERIFY(!QFileInfo::exists(workbook));
                break;
            }
        }
        if (stopped && c.signalsSent.isEmpty())
            QVERIFY2(err.contains(QStringLiteral("遇到无法打开的txt文件")), qPrintable(err));
        if (!c.signalsSent.isEmpty()) // the summary of what was done is still written
            QVERIFY2(out.startsWith(QStringLiteral("成功转换%1个txt文件,").arg(expectedOutput.size())),
                     qPrintable(out));
        QCOMPARE(records.size(), reached);
        QCOMPARE(report.value("summary").toObject().value("not_reached").toInt(), c.sources.size() - reached);

        // Nothing else in the output: no temporary or partial workbook, no stray file.
        QStringList output;
        QDirIterator it(saveDir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext())
            output.append(it.next());
        output.sort();
        expectedOutput.sort();
        QCOMPARE(output, expectedOutput);
        if (!c.lockedSaveFolder.isEmpty())
            ::chmod((save + c.lockedSaveFolder).constData(), 0755);
        for (const Source& s : c.sources)
            ::unlink((source + s.path).constData()); // QTemporaryDir cannot see undecodable names
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
