#include "cli/console.h"
#include "cli/report.h"
#include "support/filesizelimit.h"
#include "support/workbookreadback.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// quillmorne-convert run as a user runs it: real folders, real workbooks read back by openpyxl
// and xlrd, exit statuses and messages.
class ConvertToolTest : public QObject
{
    Q_OBJECT

    struct Result
    {
        int status = -1;
        QString out;
        QString err;
    };

    // Runs the tool; as root, `unprivileged` runs it as the user "nobody" so that permissions
    // apply as they do for an ordinary user. `environment` ("NAME=value") is added to the tool's.
    Result runTool(const QStringList& arguments, bool unprivileged = false, const QStringList& environment = {})
    {
        QProcess process;
        process.setProcessEnvironment(withVariables(environment));
        const QString tool = QStringLiteral(QUILLMORNE_BINARY_DIR "/quillmorne-convert");
        if (unprivileged && ::geteuid() == 0)
            process.start(QStringLiteral("setpriv"),
                          QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", tool} + arguments);
        else
            process.start(tool, arguments);
        Result result;
        if (!process.waitForFinished(120000))
            return result;
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    static QProcessEnvironment withVariables(const QStringList& variables)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& variable : variables)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        return environment;
    }

    // Runs the tool with standard output and standard error on a terminal (a pseudo-terminal of
    // script(1)); both arrive mixed in `out`.
    Result runOnTerminal(const QStringList& arguments, const QStringList& environment)
    {
        QStringList words{QStringLiteral(QUILLMORNE_BINARY_DIR "/quillmorne-convert")};
        words += arguments;
        for (QString& word : words)
            word = "'" + word.replace("'", "'\\''") + "'";
        QProcess process;
        process.setProcessEnvironment(withVariables(environment));
        process.start(QStringLiteral("script"), {"-qfec", words.join(' '), "/dev/null"});
        Result result;
        if (!process.waitForFinished(120000))
            return result;
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        return result;
    }

    // The report checked against the schema in docs/ by tests/tools/checkreport.py; empty when
    // it is valid, else what is wrong.
    static QString schemaProblems(const QByteArray& report)
    {
        QProcess process;
        process.start(QStringLiteral(QUILLMORNE_TEST_PYTHON),
                      {QStringLiteral(QUILLMORNE_TEST_TOOLS "/checkreport.py"), "-"});
        process.write(report);
        process.closeWriteChannel();
        if (!process.waitForFinished(60000))
            return QStringLiteral("checkreport.py did not finish");
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        return {};
    }

    static void openUp(const QString& path)
    {
        // Lets "nobody" into a temporary folder.
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                        QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther |
                                        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup);
    }

    void writeSampleTree(const QString& root)
    {
        const QString table = QStringLiteral("编号\t身份证号\t姓名\t金额\t日期\r\n"
                                             "007\t110101199003071234\t张三\t1,234.5\t2024-01-05\r\n"
                                             "8\t31010419850612002X\t李四\t-4.5\t2024/1/5\r\n");
        QVERIFY(writeBytes(root + "/utf8.txt", table.toUtf8()));
        QVERIFY(writeBytes(root + "/sub/gbk.txt", QTextCodec::codecForName("GBK")->fromUnicode(table)));
        QByteArray utf16("\xFF\xFE", 2);
        for (QChar c : table) {
            utf16.append(char(c.unicode() & 0xFF));
            utf16.append(char(c.unicode() >> 8));
        }
        QVERIFY(writeBytes(root + "/sub/deeper/utf16.txt", utf16));
        QVERIFY(writeBytes(root + "/notes.md", "not a source"));
    }

    void checkSampleWorkbook(const QString& path)
    {
        const ReadWorkbook book = readWorkbookBack(path);
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.size(), 1);
        const ReadSheet& sheet = book.sheets.first();
        QCOMPARE(sheet.at(1, 3).value.toString(), QStringLiteral("姓名"));
        QCOMPARE(sheet.at(2, 1).type, QStringLiteral("s")); // leading zero kept as text
        QCOMPARE(sheet.at(2, 1).value.toString(), QStringLiteral("007"));
        QCOMPARE(sheet.at(2, 2).type, QStringLiteral("s"));
        QCOMPARE(sheet.at(2, 2).value.toString(), QStringLiteral("110101199003071234"));
        QCOMPARE(sheet.at(3, 2).value.toString(), QStringLiteral("31010419850612002X"));
        QCOMPARE(sheet.at(3, 1).type, QStringLiteral("n"));
        QCOMPARE(sheet.at(3, 1).value.toDouble(), 8.0);
        QCOMPARE(sheet.at(2, 4).value.toDouble(), 1234.5);
        QCOMPARE(sheet.at(3, 4).value.toDouble(), -4.5);
        QCOMPARE(sheet.at(2, 5).type, QStringLiteral("d"));
        QCOMPARE(sheet.at(2, 5).value.toString(), QStringLiteral("2024-01-05T00:00:00"));
        QCOMPARE(sheet.at(3, 5).value.toString(), QStringLiteral("2024-01-05T00:00:00"));
    }

private slots:
    void helpAndArgumentErrors()
    {
        Result help = runTool({"--help"});
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.contains(QStringLiteral("用法: quillmorne-convert")));
        // The statuses a script sees when a signal stopped the run.
        QVERIFY(help.out.contains(QStringLiteral("Ctrl+C 为 130, SIGTERM 为 143, SIGHUP 为 129")));

        Result bad = runTool({"--delimiter", "pipe", "."});
        QCOMPARE(bad.status, 2);
        QVERIFY(bad.err.contains(QStringLiteral("pipe")));

        QTemporaryDir dir;
        Result noSource = runTool({dir.filePath("missing")});
        QCOMPARE(noSource.status, 2);
        QCOMPARE(noSource.err.trimmed(), QStringLiteral("提取文件夹不存在!"));

        Result noSave = runTool({"-o", dir.filePath("missing"), dir.path()});
        QCOMPARE(noSave.status, 2);
        QCOMPARE(noSave.err.trimmed(), QStringLiteral("保存文件夹不存在!"));

        // A file given as a folder is named for what it is, not reported as missing.
        QVERIFY(writeBytes(dir.filePath("file.txt"), "x"));
        Result fileAsSource = runTool({dir.filePath("file.txt")});
        QCOMPARE(fileAsSource.status, 2);
        QCOMPARE(fileAsSource.err.trimmed(),
                 QStringLiteral("不是文件夹: %1 (提取文件夹)").arg(QDir::toNativeSeparators(dir.filePath("file.txt"))));
        // A report that cannot be written stops the run before anything is converted.
        QVERIFY(writeBytes(dir.filePath("in/a.txt"), "1"));
        for (const QString& report : {dir.filePath("missing/r.json"), dir.filePath("in")}) {
            Result noReport = runTool({"--report", report, dir.filePath("in")});
            QCOMPARE(noReport.status, 2);
            QVERIFY2(noReport.err.startsWith(QStringLiteral("无法写入报告: ")), qPrintable(noReport.err));
            QVERIFY(!QFileInfo::exists(dir.filePath("in/a.xlsx")));
        }
    }

    void nestedFolderMirroredBelowTheSaveFolder()
    {
        QTemporaryDir source, save;
        writeSampleTree(source.path());
        Result run = runTool({"--text-columns", "2", "-o", save.path(), source.path()});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.split('\n').first(), QStringLiteral("成功转换3个txt文件,"));
        for (const char* name : {"utf8.xlsx", "sub/gbk.xlsx", "sub/deeper/utf16.xlsx"})
            checkSampleWorkbook(save.filePath(QString::fromUtf8(name)));
        QVERIFY(!QFileInfo::exists(save.filePath("notes.xlsx")));
        QVERIFY(!QFileInfo::exists(source.filePath("utf8.xlsx")));
    }

    // Several files at once tell the same story as one at a time: the same progress lines,
    // warnings and failures in the same order, the same failure list, report and summary, and the
    // same workbook bytes. The folder holds a pair of names equal but for case (the later fails
    // while the earlier one, in flight, decides), a FIFO, a damaged text and a large one.
    void parallelRunsTellTheSameStory_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow(".xlsx") << QString();
        QTest::newRow(".xls") << QStringLiteral("--xls");
    }
    void parallelRunsTellTheSameStory()
    {
        QFETCH(QString, format);
        QTemporaryDir source, save;
        writeSampleTree(source.path());
        QByteArray large;
        for (int row = 0; row < 60000; ++row)
            large += QByteArray::number(row) + "\t名称" + QByteArray::number(row % 97) + "\t" +
                     QByteArray::number(row * 0.5) + "\r\n";
        QVERIFY(writeBytes(source.filePath("big.txt"), large));
        for (int i = 0; i < 24; ++i)
            QVERIFY(writeBytes(source.filePath(QStringLiteral("many/f%1.txt").arg(i, 2, 10, QLatin1Char('0'))),
                               "id\t" + QByteArray::number(i) + "\r\n00" + QByteArray::number(i) + "\t2024-01-05\r\n"));
        QVERIFY(writeBytes(source.filePath("case.TXT"), "upper\t1\n"));
        QVERIFY(writeBytes(source.filePath("case.txt"), "lower\t2\n"));
        QVERIFY(writeBytes(source.filePath("damaged.txt"),
                           "张三\t1\n李\xFF四\t2\n王五\t3\n赵六\t4\n" + QByteArray(60, 'x')));
        QCOMPARE(::mkfifo(QFile::encodeName(source.filePath("pipe.txt")).constData(), 0644), 0);

        struct Told
        {
            Result run;
            QByteArray report;
            QByteArray failureList;
            QMap<QString, QByteArray> workbooks;
        };
        const auto runWith = [&](const QString& jobs) {
            QDir(save.path()).removeRecursively();
            QDir().mkpath(save.path());
            Told told;
            QStringList arguments{"-j", jobs,        "--report",   save.filePath("../report-" + jobs + ".json"),
                                  "-o", save.path(), source.path()};
            if (!format.isEmpty())
                arguments.prepend(format);
            told.run = runTool(arguments);
            QJsonObject report =
                QJsonDocument::fromJson(readBytes(save.filePath("../report-" + jobs + ".json"))).object();
            QJsonArray files = report.value("files").toArray();
            for (int i = 0; i < files.size(); ++i) {
                QJsonObject record = files.at(i).toObject();
                record.remove("seconds"); // the one figure that may differ
                files[i] = record;
            }
            report["files"] = files;
            told.report = QJsonDocument(report).toJson();
            told.failureList = readBytes(source.filePath(QStringLiteral("无法转换的文件目录.txt")));
            QDirIterator it(save.path(), QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                told.workbooks.insert(QDir(save.path()).relativeFilePath(path), readBytes(path));
            }
            return told;
        };
        const Told one = runWith("1");
        const Told four = runWith("4");
        QCOMPARE(one.run.status, 1); // the FIFO and the later of the pair fail
        QCOMPARE(four.run.status, one.run.status);
        QCOMPARE(four.run.out, one.run.out);
        QCOMPARE(four.run.err.split('\n'), one.run.err.split('\n'));
        QVERIFY2(one.run.err.contains(QStringLiteral("警告: ")), qPrintable(one.run.err));
        QCOMPARE(four.report, one.report);
        QVERIFY(one.failureList.contains("pipe.txt\r\n"));
        QVERIFY(one.failureList.contains("case.txt\r\n"));
        QCOMPARE(four.failureList, one.failureList);
        QCOMPARE(one.workbooks.size(), 3 + 24 + 3); // the sample tree, many/, big, case, damaged
        QCOMPARE(four.workbooks.keys(), one.workbooks.keys());
        for (const QString& name : one.workbooks.keys())
            QVERIFY2(four.workbooks.value(name) == one.workbooks.value(name), qPrintable(name));
    }

    // Workbooks saved side by side each carry their source's time: formatting the time is safe on
    // several threads at once (it once went through Qt's shared system locale, and a few workbooks
    // of a parallel run came out with empty times). Each run is a new process, whose first saves
    // race; fifty runs over eight small texts show the fault nearly every time.
    void documentTimesOfParallelSaves()
    {
        QTemporaryDir source, save;
        for (int i = 0; i < 8; ++i)
            QVERIFY(writeBytes(source.filePath(QStringLiteral("f%1.txt").arg(i)), "a\t1\n"));
        const QString check =
            QStringLiteral("import sys, zipfile, glob\n"
                           "bad = [f for f in glob.glob(sys.argv[1] + '/*.xlsx')\n"
                           "       if b'W3CDTF\"><' in zipfile.ZipFile(f).read('docProps/core.xml')]\n"
                           "print(' '.join(bad)); sys.exit(1 if bad else 0)");
        for (int run = 0; run < 50; ++run) {
            QDir(save.path()).removeRecursively();
            QDir().mkpath(save.path());
            QCOMPARE(runTool({"-q", "-j", "4", "-o", save.path(), source.path()}).status, 0);
            QProcess python;
            python.start(QStringLiteral(QUILLMORNE_TEST_PYTHON), {"-c", check, save.path()});
            QVERIFY(python.waitForFinished(60000));
            QVERIFY2(python.exitCode() == 0, qPrintable("empty document time in " + python.readAllStandardOutput()));
        }
    }

    void besideTheSourcesAsXls()
    {
        QTemporaryDir source;
        writeSampleTree(source.path());
        Result run = runTool({"--xls", "-q", "--text-columns", "2", source.path()});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.err.isEmpty(), qPrintable(run.err)); // quiet: nothing but the summary
        for (const char* name : {"utf8.xls", "sub/gbk.xls", "sub/deeper/utf16.xls"})
            checkSampleWorkbook(source.filePath(QString::fromUtf8(name)));
    }

    void unwritableSaveFolderListsEveryFile()
    {
        if (QStandardPaths::findExecutable("setpriv").isEmpty() && ::geteuid() == 0)
            QSKIP("needs setpriv to drop root's rights");
        QTemporaryDir source, save;
        openUp(source.path());
        writeSampleTree(source.path());
        for (const char* folder : {"sub", "sub/deeper"})
            openUp(source.filePath(QString::fromUtf8(folder)));
        QFile::setPermissions(save.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                               QFileDevice::ExeOther);
        Result run = runTool({"-o", save.path(), source.path()}, true);
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.startsWith(QStringLiteral("成功转换0个txt文件,")));
        const QString listPath = source.filePath(QStringLiteral("无法转换的文件目录.txt"));
        QVERIFY2(run.out.contains(QDir::toNativeSeparators(listPath)), qPrintable(run.out));
        const QByteArray expected = (QDir::toNativeSeparators(source.filePath("utf8.txt")) + "\r\n" +
                                     QDir::toNativeSeparators(source.filePath("sub/gbk.txt")) + "\r\n" +
                                     QDir::toNativeSeparators(source.filePath("sub/deeper/utf16.txt")) + "\r\n")
                                        .toUtf8();
        QCOMPARE(readBytes(listPath), expected);
        QCOMPARE(QDir(save.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    void readOnlySourceConvertsForAnOrdinaryUser()
    {
        QTemporaryDir source;
        openUp(source.path());
        const QString path = source.filePath("ro.txt");
        QVERIFY(writeBytes(path, "a\t1\r\n"));
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadOther | QFileDevice::ReadGroup);
        Result run = runTool({source.path()}, true);
        QCOMPARE(run.status, 0);
        const ReadWorkbook book = readWorkbookBack(source.filePath("ro.xlsx"));
        QVERIFY2(book.ok, qPrintable(book.error));
        QCOMPARE(book.sheets.first().at(1, 2).value.toDouble(), 1.0);
        QCOMPARE(readBytes(path), QByteArray("a\t1\r\n"));
    }

    void oldFailureListIsNotConverted()
    {
        QTemporaryDir source;
        QVERIFY(writeBytes(source.filePath(QStringLiteral("无法转换的文件目录.txt")), "/old/list\r\n"));
        QVERIFY(writeBytes(source.filePath("a.txt"), "1"));
        Result run = runTool({source.path()});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.trimmed(), QStringLiteral("成功转换1个txt文件,"));
        QVERIFY(!QFileInfo::exists(source.filePath(QStringLiteral("无法转换的文件目录.txt"))));
    }

    // The columns a terminal gives a name; the progress bar is cut by them.
    // What the user reads for a system error: its own reason where it has one, and for the rest
    // the error's number rather than nothing.
    void systemErrorReasons_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("writing");
        QTest::addColumn<int>("reason");
        QTest::newRow("EACCES") << EACCES << false << int(Reason::NoPermission);
        QTest::newRow("ENOSPC") << ENOSPC << true << int(Reason::DiskFull);
        QTest::newRow("EDQUOT") << EDQUOT << true << int(Reason::DiskFull);
        QTest::newRow("EFBIG") << EFBIG << true << int(Reason::FileTooLarge);
        QTest::newRow("EPIPE: the reader has gone") << EPIPE << true << int(Reason::PipeClosed);
        QTest::newRow("ENOENT") << ENOENT << false << int(Reason::Vanished);
        QTest::newRow("EIO reading") << EIO << false << int(Reason::ReadError);
        QTest::newRow("EIO writing") << EIO << true << int(Reason::WriteError);
        QTest::newRow("ELOOP") << ELOOP << false << int(Reason::PathBlocked);
        QTest::newRow("EMFILE") << EMFILE << false << int(Reason::TooManyOpenFiles);
        QTest::newRow("ENOTSUP: no reason of its own") << ENOTSUP << true << int(Reason::Other);
        QTest::newRow("EINVAL: no reason of its own") << EINVAL << false << int(Reason::Other);
    }
    void systemErrorReasons()
    {
        QFETCH(int, error);
        QFETCH(bool, writing);
        QFETCH(int, reason);
        const Failure failure =
            writing ? writeFailure(error, QStringLiteral("/p")) : systemFailure(error, QStringLiteral("/p"));
        QCOMPARE(int(failure.reason), reason);
        QCOMPARE(failure.path, QStringLiteral("/p"));
        if (Reason(reason) == Reason::Other) {
            QVERIFY2(failure.text().contains(QStringLiteral("系统错误 %1").arg(error)), qPrintable(failure.text()));
            // No English sentence of the system's between the Chinese texts.
            QVERIFY2(!failure.text().contains(QRegularExpression(QStringLiteral("[a-z]{3}"))),
                     qPrintable(failure.text()));
        } else
            QCOMPARE(failure.text(), reasonText(Reason(reason)) + QStringLiteral(": /p"));
    }

    void displayWidth_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("columns");
        QTest::newRow("ASCII") << QStringLiteral("report.txt") << 10;
        QTest::newRow("CJK ideographs") << QStringLiteral("汉字表") << 6;
        QTest::newRow("fullwidth letters and punctuation") << QStringLiteral("ＡＢ，") << 6;
        QTest::newRow("Hangul syllables") << QStringLiteral("한국") << 4;
        QTest::newRow("halfwidth katakana") << QStringLiteral("ｱｲ") << 2;
        QTest::newRow("combining accent") << QStringLiteral("e\u0301") << 1;
        QTest::newRow("zero-width space") << QStringLiteral("a\u200Bb") << 2;
        QTest::newRow("emoji outside the BMP") << QString::fromUcs4(U"\U0001F600") << 2;
        QTest::newRow("CJK extension B") << QString::fromUcs4(U"\U00020000x") << 3;
    }
    void displayWidth()
    {
        QFETCH(QString, text);
        QFETCH(int, columns);
        QCOMPARE(::displayWidth(text), columns);
    }

    // The progress bar's line never takes the terminal's last column (the terminal would wrap it
    // and "\r" could no longer redraw it), never holds a control character, and keeps the end
    // of a name too long for it.
    void progressLine_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("tail");
        const QString cjk = QStringLiteral("/数据/") + QString(40, QChar(0x8868)) + QStringLiteral("尾.txt");
        QTest::newRow("short name") << QStringLiteral("/d/a.txt") << 80 << QStringLiteral(" 3/10 /d/a.txt");
        QTest::newRow("CJK name wider than the room") << cjk << 80 << QStringLiteral("表表尾.txt");
        QTest::newRow("CJK name, narrow terminal") << cjk << 21 << QStringLiteral("尾.txt");
        QTest::newRow("CJK name, wide terminal") << cjk << 200 << cjk;
        QTest::newRow("terminal of 12 columns: no bar, the name's end")
            << QStringLiteral("/d/a.txt") << 12 << QStringLiteral(" 3/10 ...xt");
        QTest::newRow("newline in the name")
            << QStringLiteral("/d/new\nline.txt") << 80 << QStringLiteral("/d/new\\nline.txt");
        QTest::newRow("carriage return and escape in the name")
            << QStringLiteral("/d/a\rb\x1B[2J.txt") << 80 << QStringLiteral("a\\rb\\x1B[2J.txt");
        QTest::newRow("name bytes not UTF-8") << QStringLiteral("/d/caf") + QChar(0xDCE9) + QStringLiteral(".txt") << 80
                                              << QStringLiteral("/d/caf\\xE9.txt");
        QString emoji;
        for (int i = 0; i < 50; ++i)
            emoji += QString::fromUcs4(U"\U0001F600");
        QTest::newRow("emoji cut between their pairs") << emoji << 40 << QString::fromUcs4(U"\U0001F600\U0001F600");
    }
    void progressLine()
    {
        QFETCH(QString, current);
        QFETCH(int, width);
        QFETCH(QString, tail);
        const QString line = ::progressLine(3, 10, current, width);
        QVERIFY2(::displayWidth(line) <= width - 1, qPrintable(line));
        QVERIFY2(line.endsWith(tail), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral(" 3/10 ")), qPrintable(line));
        for (int i = 0; i < line.size(); ++i) {
            QVERIFY2(line.at(i).unicode() >= 0x20, qPrintable(line));
            if (line.at(i).isHighSurrogate())
                QVERIFY2(i + 1 < line.size() && line.at(++i).isLowSurrogate(), qPrintable(line));
            else
                QVERIFY2(!line.at(i).isSurrogate(), qPrintable(line));
        }
    }

    // One record of the report, made from a FileResult: the keys and values a script reads, and
    // the whole report valid under the schema.
    void reportRecord_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("reason");
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QVariantMap>("expected");
        const QString plain = QStringLiteral("/in/数据.txt");
        QTest::newRow("converted, facts known")
            << plain << int(FileStatus::Converted) << int(Reason::None) << qint64(70000) << "GB18030" << QStringList()
            << QVariantMap{{"status", "converted"},     {"rows", 70000},        {"sheets", 2},
                           {"encoding", "GB18030"},     {"reason", QVariant()}, {"source", plain},
                           {"source_bytes", "<absent>"}};
        QTest::newRow("facts unknown are null")
            << plain << int(FileStatus::Converted) << int(Reason::None) << qint64(-1) << QString() << QStringList()
            << QVariantMap{{"rows", QVariant()}, {"sheets", QVariant()}, {"encoding", QVariant()}};
        QTest::newRow("failed, with its reason")
            << plain << int(FileStatus::Failed) << int(Reason::NoPermission) << qint64(-1) << QString() << QStringList()
            << QVariantMap{{"status", "failed"},
                           {"reason.code", "no-permission"},
                           {"reason.text", QStringLiteral("没有权限: /in/数据.txt")}};
        QTest::newRow("skipped") << plain << int(FileStatus::Skipped) << int(Reason::Interrupted) << qint64(-1)
                                 << QString() << QStringList()
                                 << QVariantMap{{"status", "skipped"}, {"reason.code", "interrupted"}};
        const QString latin1 = QStringLiteral("/in/caf") + QChar(0xDCE9) + QStringLiteral(".txt");
        QTest::newRow("name not UTF-8: U+FFFD, and the exact bytes")
            << latin1 << int(FileStatus::Converted) << int(Reason::None) << qint64(1) << "UTF-8" << QStringList()
            << QVariantMap{{"source", QStringLiteral("/in/caf\uFFFD.txt")},
                           {"source_bytes", QByteArray("/in/caf\xE9.txt").toBase64()},
                           {"workbook_bytes", QByteArray("/out/caf\xE9.xlsx").toBase64()}};
        QTest::newRow("warnings, one carrying a stray byte")
            << plain << int(FileStatus::Converted) << int(Reason::None) << qint64(3) << "UTF-8"
            << QStringList{QStringLiteral("第 2 行：超出每行 16384 列的上限"), QStringLiteral("x") + QChar(0xDC80)}
            << QVariantMap{{"warnings", QStringList{QStringLiteral("第 2 行：超出每行 16384 列的上限"),
                                                    QStringLiteral("x\uFFFD")}}};
        for (int r = int(Reason::None) + 1; r <= int(Reason::Other); ++r)
            QTest::addRow("failed: %s", reasonCode(Reason(r)))
                << plain << int(FileStatus::Failed) << r << qint64(-1) << QString() << QStringList()
                << QVariantMap{{"reason.code", QString::fromLatin1(reasonCode(Reason(r)))}};
    }
    // A report the system refuses to take whole (past the file-size limit here; a full disk is
    // the same) is an error, and the report written before stays as it was.
    void reportThatCannotBeWrittenKeepsTheOldOne()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("report.json"));
        QVERIFY(writeBytes(path, "{\"old\": true}"));
        QString error;
        bool written;
        {
            const FileSizeLimit limit(4096);
            QVERIFY(limit.isSet());
            written = writeReport(path, QByteArray(10000, ' '), &error);
        }
        QVERIFY(!written);
        QVERIFY2(error.contains(reasonText(Reason::FileTooLarge)), qPrintable(error));
        QCOMPARE(readBytes(path), QByteArray("{\"old\": true}"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"report.json"});
    }

    void reportRecord()
    {
        QFETCH(QString, source);
        QFETCH(int, status);
        QFETCH(int, reason);
        QFETCH(qint64, rows);
        QFETCH(QString, encoding);
        QFETCH(QStringList, warnings);
        QFETCH(QVariantMap, expected);
        FileResult result;
        result.source = source;
        result.workbook =
            QString(source).replace(QStringLiteral("/in/"), QStringLiteral("/out/")).replace(".txt", ".xlsx");
        result.status = FileStatus(status);
        if (reason != int(Reason::None))
            result.failure = Failure(Reason(reason), source);
        result.facts.rows = rows;
        result.facts.sheets = rows < 0 ? -1 : int(rows / 65536 + 1);
        result.facts.encoding = encoding;
        result.warnings = warnings;
        result.seconds = 0.25;
        RunReport report;
        report.fileFinished(result);
        RunSummary summary;
        summary.sources = 1;
        const QByteArray json = report.json(summary);

        QJsonParseError error;
        const QJsonObject root = QJsonDocument::fromJson(json, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(QString::fromUtf8(json).toUtf8() == json); // valid UTF-8 throughout
        const QJsonObject record = root.value("files").toArray().at(0).toObject();
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QStringList path = it.key().split('.');
            QJsonValue value = record.value(path.first());
            if (path.size() > 1)
                value = value.toObject().value(path.at(1));
            if (it.value() == QVariant("<absent>"))
                QVERIFY2(value.isUndefined(), qPrintable(it.key()));
            else if (!it.value().isValid())
                QVERIFY2(value.isNull(), qPrintable(it.key()));
            else if (it.value().type() == QVariant::StringList)
                QCOMPARE(value.toVariant().toStringList(), it.value().toStringList());
            else
                QCOMPARE(value.toVariant(),
                         it.value().type() == QVariant::ByteArray ? QVariant(it.value().toString()) : it.value());
        }
        const QJsonObject counts = root.value("summary").toObject();
        const char* statusKeys[] = {"converted", "failed", "skipped"};
        QCOMPARE(counts.value(statusKeys[status]).toInt(), 1);
        const QString problems = schemaProblems(json);
        QVERIFY2(problems.isEmpty(), qPrintable(problems + QString::fromUtf8(json)));
    }

    // Where each message goes: failures and warnings on standard error, the summary on standard
    // output (standard error when the report takes standard output); colour only on a terminal
    // without NO_COLOR; no name breaks a line.
    void messages_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("report"); // where --report writes to standard output, if it does
        QTest::addColumn<bool>("colour");
        QTest::newRow("pipes") << false << QStringList{"TERM=xterm"} << QString() << false;
        QTest::newRow("pipes, report on standard output") << false << QStringList{"TERM=xterm"} << "-" << false;
        QTest::newRow("pipes, report on /dev/stdout") << false << QStringList{"TERM=xterm"} << "/dev/stdout" << false;
        QTest::newRow("terminal") << true << QStringList{"TERM=xterm", "NO_COLOR="} << QString() << true;
        QTest::newRow("terminal, NO_COLOR set")
            << true << QStringList{"TERM=xterm", "NO_COLOR=1"} << QString() << false;
        QTest::newRow("dumb terminal") << true << QStringList{"TERM=dumb", "NO_COLOR="} << QString() << false;
    }
    void messages()
    {
        QFETCH(bool, terminal);
        QFETCH(QStringList, environment);
        QFETCH(QString, report);
        QFETCH(bool, colour);
        const bool reportToStdout = !report.isEmpty();
        if (terminal && QStandardPaths::findExecutable("script").isEmpty())
            QSKIP("needs script(1) for a terminal");
        QTemporaryDir source;
        QVERIFY(writeBytes(source.filePath("a.txt"), "a\t1\n"));
        QVERIFY(writeBytes(source.filePath("new\nline.txt"), "n\t2\n"));
        QVERIFY(writeBytes(source.filePath("wide.txt"), QByteArray("1\t").repeated(16385) + "\n"));
        QCOMPARE(::mkfifo(QFile::encodeName(source.filePath("fifo.txt")).constData(), 0644), 0);
        QStringList arguments{source.path()};
        if (reportToStdout)
            arguments.prepend("--report=" + report);
        const Result run = terminal ? runOnTerminal(arguments, environment) : runTool(arguments, false, environment);
        QCOMPARE(run.status, 1);
        const QString all = run.out + run.err;
        QCOMPARE(all.contains(QStringLiteral("\033[1;31m失败\033[0m: ")), colour);
        QCOMPARE(all.contains(QStringLiteral("\033[33m警告\033[0m: ")), colour);
        if (!colour)
            QVERIFY2(!all.contains(QStringLiteral("\033[1;31m")) && !all.contains(QStringLiteral("\033[33m")),
                     qPrintable(all));
        QVERIFY2(all.contains(QStringLiteral("new\\nline.txt")), qPrintable(all));
        QVERIFY2(!all.contains(QStringLiteral("new\n")) && !all.contains(QStringLiteral("new\r\n")), qPrintable(all));
        if (terminal)
            return;

        const QStringList errLines = run.err.split('\n', Qt::SkipEmptyParts);
        const QStringList failures = errLines.filter(QRegularExpression(QStringLiteral("^失败: ")));
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().contains(QStringLiteral("fifo.txt: 不是普通文件")), qPrintable(failures.first()));
        const QStringList warnings = errLines.filter(QRegularExpression(QStringLiteral("^警告: ")));
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings.first().contains(QStringLiteral("wide.txt: 第 1 行")), qPrintable(warnings.first()));
        const QString summary = QStringLiteral("成功转换3个txt文件,");
        if (reportToStdout) {
            QVERIFY2(errLines.contains(summary), qPrintable(run.err));
            QJsonParseError error;
            const QJsonObject report = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(report.value("files").toArray().size(), 4);
            QCOMPARE(report.value("summary").toObject().value("failed").toInt(), 1);
        } else {
            const QStringList outLines = run.out.split('\n', Qt::SkipEmptyParts);
            QCOMPARE(outLines.size(), 2);
            QCOMPARE(outLines.first(), summary);
            QVERIFY(outLines.at(1).startsWith(QStringLiteral("无法转换的文件列在: ")));
        }
    }
};

QTEST_GUILESS_MAIN(ConvertToolTest)
#include "tst_converttool.moc"
