#include "settings/settingsfile.h"

#include <QTemporaryDir>
#include <QtTest>

// The settings file's rules, checked on the bytes of the file: what a lookup returns for a given
// text, and what a write leaves on disk.
class SettingsFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;

    QString writeFile(const QByteArray& content)
    {
        const QString path = folder.filePath(QStringLiteral("Quillmorne.vqd"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(content);
        return path;
    }

    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void lookup_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");

        QTest::newRow("only SavePath") << QByteArray("SavePath=D:\\Out\\\r\n") << QByteArray("SavePath")
                                       << QByteArray("D:\\Out\\");
        QTest::newRow("absent key is empty")
            << QByteArray("SavePath=D:\\Out\\\r\n") << QByteArray("SourcePath") << QByteArray();
        QTest::newRow("blanks and tabs around value")
            << QByteArray("xlsxMode=  n\t\r\n") << QByteArray("xlsxMode") << QByteArray("n");
        QTest::newRow("inner blanks stay")
            << QByteArray("SourcePath= /a b/c \r\n") << QByteArray("SourcePath") << QByteArray("/a b/c");
        QTest::newRow("last line without line end")
            << QByteArray("xlsxMode=y\r\nSavePath=/out/") << QByteArray("SavePath") << QByteArray("/out/");
        QTest::newRow("bare LF line ends")
            << QByteArray("xlsxMode=n\nSavePath=/out/\n") << QByteArray("xlsxMode") << QByteArray("n");
        QTest::newRow("letter case differs") << QByteArray("xlsxmode=n\r\n") << QByteArray("xlsxMode") << QByteArray();
        QTest::newRow("first of two occurrences") << QByteArray("vbaOpenFunFomatArg=2\r\nvbaOpenFunFomatArg=3\r\n")
                                                  << QByteArray("vbaOpenFunFomatArg") << QByteArray("2");
        QTest::newRow("key inside another line is not a key")
            << QByteArray("SourcePath=/x/SavePath=/wrong/\r\nSavePath=/right/\r\n") << QByteArray("SavePath")
            << QByteArray("/right/");
        QTest::newRow("longer key sharing a prefix")
            << QByteArray("SavePathOld=/old/\r\nSavePath=/new/\r\n") << QByteArray("SavePath") << QByteArray("/new/");
        QTest::newRow("byte-order mark before first key")
            << QByteArray("\xEF\xBB\xBFSourcePath=/in/\r\n") << QByteArray("SourcePath") << QByteArray("/in/");
        QTest::newRow("empty value") << QByteArray("xlsxMode=\r\n") << QByteArray("xlsxMode") << QByteArray();
        QTest::newRow("value of 1023 bytes") << "SavePath=" + QByteArray(1023, 'a') + "\r\n"
                                             << QByteArray("SavePath") << QByteArray(1023, 'a');
        QTest::newRow("value over 1023 bytes is ignored") << "SavePath=" + QByteArray(1024, 'a') + "\r\n"
                                                          << QByteArray("SavePath") << QByteArray();
        QTest::newRow("GBK bytes pass unchanged") << QByteArray("SourcePath=D:\\\xCA\xFD\xBE\xDD\\\r\n")
                                                  << QByteArray("SourcePath") << QByteArray("D:\\\xCA\xFD\xBE\xDD\\");
    }

    void lookup()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QCOMPARE(GetSettingValue(text, key.constData()), value);
    }

    void write_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("after");

        QTest::newRow("empty file gets one line")
            << QByteArray() << QByteArray("xlsxMode") << QByteArray("y") << 0 << QByteArray("xlsxMode=y\r\n");
        QTest::newRow("absent key appended after CR LF")
            << QByteArray("SavePath=/o/\r\n") << QByteArray("xlsxMode") << QByteArray("n") << 0
            << QByteArray("SavePath=/o/\r\nxlsxMode=n\r\n");
        QTest::newRow("absent key after last line without line end")
            << QByteArray("SavePath=/o/") << QByteArray("xlsxMode") << QByteArray("n") << 0
            << QByteArray("SavePath=/o/\r\nxlsxMode=n\r\n");
        QTest::newRow("last line without line end replaced")
            << QByteArray("xlsxMode=y\r\nSavePath=/o/") << QByteArray("SavePath") << QByteArray("/p/") << 0
            << QByteArray("xlsxMode=y\r\nSavePath=/p/\r\n");
        QTest::newRow("only the key's line is replaced")
            << QByteArray("SourcePath=/s/\r\nxlsxMode=y\r\nSavePath=/o/\r\n") << QByteArray("xlsxMode")
            << QByteArray("n") << 0 << QByteArray("SourcePath=/s/\r\nxlsxMode=n\r\nSavePath=/o/\r\n");
        QTest::newRow("LF-only file keeps its other lines")
            << QByteArray("xlsxMode=y\nSavePath=/o/\nSourcePath=/s/\n") << QByteArray("SavePath") << QByteArray("/p/")
            << 0 << QByteArray("xlsxMode=y\nSavePath=/p/\r\nSourcePath=/s/\n");
        QTest::newRow("absent key after LF-only file")
            << QByteArray("xlsxMode=y\n") << QByteArray("SavePath") << QByteArray("/p/") << 0
            << QByteArray("xlsxMode=y\nSavePath=/p/\r\n");
        QTest::newRow("first of two occurrences replaced")
            << QByteArray("xlsxMode=y\r\nxlsxMode=y\r\n") << QByteArray("xlsxMode") << QByteArray("n") << 0
            << QByteArray("xlsxMode=n\r\nxlsxMode=y\r\n");
        QTest::newRow("occurrence inside another line untouched")
            << QByteArray("SourcePath=/SavePath=/x/\r\n") << QByteArray("SavePath") << QByteArray("/p/") << 0
            << QByteArray("SourcePath=/SavePath=/x/\r\nSavePath=/p/\r\n");
        QTest::newRow("byte-order mark kept in front of first key")
            << QByteArray("\xEF\xBB\xBFSourcePath=/s/\r\nxlsxMode=y\r\n") << QByteArray("SourcePath")
            << QByteArray("/t/") << 0 << QByteArray("\xEF\xBB\xBFSourcePath=/t/\r\nxlsxMode=y\r\n");
        QTest::newRow("value written verbatim with blanks")
            << QByteArray() << QByteArray("SavePath") << QByteArray(" /a b/ ") << 0
            << QByteArray("SavePath= /a b/ \r\n");
        QTest::newRow("unknown lines untouched")
            << QByteArray("# mine\r\nOther=1\r\n") << QByteArray("xlsxMode") << QByteArray("y") << 0
            << QByteArray("# mine\r\nOther=1\r\nxlsxMode=y\r\n");
        QTest::newRow("value with line break refused")
            << QByteArray("SavePath=/o/\r\n") << QByteArray("SavePath") << QByteArray("/p/\nxlsxMode=n") << -1
            << QByteArray("SavePath=/o/\r\n");
        QTest::newRow("value over 1023 bytes refused") << QByteArray("SavePath=/o/\r\n") << QByteArray("SavePath")
                                                       << QByteArray(1024, 'v') << -1 << QByteArray("SavePath=/o/\r\n");
        const QByteArray nearlyFull = "Pad=" + QByteArray(10239 - 4 - 2 - 12, 'x') + "\r\n" + "xlsxMode=y\r\n";
        QVERIFY(nearlyFull.size() == SettingsFileCapacity);
        QTest::newRow("write that fits the limit") << nearlyFull << QByteArray("xlsxMode") << QByteArray("n") << 0
                                                   << QByteArray(nearlyFull).replace("xlsxMode=y", "xlsxMode=n");
        QTest::newRow("write beyond the file limit refused")
            << nearlyFull << QByteArray("xlsxMode") << QByteArray("yes") << -1 << nearlyFull;
        const QByteArray tooLarge = "Pad=" + QByteArray(10240, 'x') + "\r\n";
        QTest::newRow("oversized file never rewritten")
            << tooLarge << QByteArray("xlsxMode") << QByteArray("y") << -1 << tooLarge;
    }

    void write()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(int, result);
        QFETCH(QByteArray, after);
        const QString path = writeFile(before);
        QVERIFY(!path.isEmpty());
        QCOMPARE(SetSettingValue(path, key.constData(), value), result);
        QCOMPARE(readFile(path), after);
        if (result == 0) {
            QByteArray text;
            QCOMPARE(LoadSettingsText(path, &text), 0);
            QCOMPARE(GetSettingValue(text, key.constData()), value.trimmed());
        }
    }

    void missingFileIsNeverCreated()
    {
        const QString path = folder.filePath(QStringLiteral("absent.vqd"));
        QByteArray text("untouched");
        QCOMPARE(LoadSettingsText(path, &text), -1);
        QCOMPARE(text, QByteArray("untouched"));
        QCOMPARE(SetSettingValue(path, SettingsKey::XlsxMode, "y"), -1);
        QVERIFY(!QFile::exists(path));
    }

    void loadLimits_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("result");
        QTest::newRow("10239 bytes load") << 10239 << 0;
        QTest::newRow("10240 bytes refused") << 10240 << -1;
    }

    void loadLimits()
    {
        QFETCH(int, size);
        QFETCH(int, result);
        const QByteArray content = "xlsxMode=n\r\n" + QByteArray(size - 12, 'x');
        QByteArray text;
        QCOMPARE(LoadSettingsText(writeFile(content), &text), result);
        QCOMPARE(GetSettingValue(text, SettingsKey::XlsxMode), result == 0 ? QByteArray("n") : QByteArray());
    }

    void writeKeepsPermissionsAndLinks()
    {
        const QString target = writeFile("xlsxMode=y\r\n");
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
        const QString link = folder.filePath(QStringLiteral("link.vqd"));
        QVERIFY(QFile::link(target, link));
        QCOMPARE(SetSettingValue(link, SettingsKey::XlsxMode, "n"), 0);
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readFile(target), QByteArray("xlsxMode=n\r\n"));
        QCOMPARE(QFile::permissions(target), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }
};

QTEST_APPLESS_MAIN(SettingsFileTest)
#include "tst_settingsfile.moc"
