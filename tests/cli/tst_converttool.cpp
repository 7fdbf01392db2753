#include "support/workbookreadback.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

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
    // apply as they do for an ordinary user.
    Result runTool(const QStringList& arguments, bool unprivileged = false)
    {
        QProcess process;
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
};

QTEST_GUILESS_MAIN(ConvertToolTest)
#include "tst_converttool.moc"
