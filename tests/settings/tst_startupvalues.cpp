#include "settings/startupvalues.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

// Paths derived from the command line, written with "/" in the table and turned into the native
// separator, so the same rows hold on every platform.
static QByteArray native(const char* path)
{
    return QFile::encodeName(QDir::toNativeSeparators(QString::fromUtf8(path)));
}

class StartupValuesTest : public QObject
{
    Q_OBJECT

private slots:
    void derivation_data()
    {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QByteArray>("firstArgument");
        QTest::addColumn<QByteArray>("programDirectory");
        QTest::addColumn<QByteArray>("updatePackagePath");

        QTest::newRow("full path") << QByteArrayList{native("/opt/tools/Quillmorne")} << QByteArray()
                                   << native("/opt/tools/") << native("/opt/tools/Quillmorne.zip");
        QTest::newRow("bare name gives empty folder")
            << QByteArrayList{"Quillmorne"} << QByteArray() << QByteArray() << QByteArray("Quillmorne.zip");
        QTest::newRow("relative path") << QByteArrayList{native("./build/Quillmorne"), "-autorun"}
                                       << QByteArray("-autorun") << native("./build/")
                                       << native("./build/Quillmorne.zip");
        QTest::newRow("first argument cut to 31 bytes")
            << QByteArrayList{"Quillmorne", QByteArray(40, 'a')} << QByteArray(31, 'a') << QByteArray()
            << QByteArray("Quillmorne.zip");
        QTest::newRow("no arguments at all")
            << QByteArrayList{} << QByteArray() << QByteArray() << QByteArray("Quillmorne.zip");
        QTest::newRow("folder ending in separator only")
            << QByteArrayList{native("/Quillmorne")} << QByteArray() << native("/") << native("/Quillmorne.zip");
#ifndef Q_OS_WIN
        // Only the native separator divides a path; on Linux a backslash belongs to the file name.
        QTest::newRow("backslash is part of the name") << QByteArrayList{"C:\\Tools\\Quillmorne.exe"} << QByteArray()
                                                       << QByteArray() << QByteArray("Quillmorne.zip");
#endif
    }

    void derivation()
    {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QByteArray, firstArgument);
        QFETCH(QByteArray, programDirectory);
        QFETCH(QByteArray, updatePackagePath);
        const StartupValues values = deriveStartupValues(arguments, QString(), QString());
        QCOMPARE(values.firstArgument, firstArgument);
        QCOMPARE(values.programPath, arguments.value(0));
        QCOMPARE(values.programDirectory, programDirectory);
        QCOMPARE(values.updatePackagePath, updatePackagePath);
        // Without a per-user folder the settings file is always the one beside the executable.
        QCOMPARE(values.settingsFilePath, programDirectory + "Quillmorne.vqd");
        QVERIFY(!values.settingsInUserConfigFolder);
    }

    void overlongValuesAreCutAtWholeCharacters()
    {
        // "数" is three bytes in UTF-8: 30 ASCII bytes plus it would take 33 bytes, so it goes whole.
        QTextCodec* previous = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        const QByteArray utf8 = QByteArray(30, 'a') + QString::fromUtf8("数据").toUtf8();
        QCOMPARE(cutToCapacity(utf8, 31), QByteArray(30, 'a'));
        QCOMPARE(cutToCapacity(utf8, 33), QByteArray(30, 'a') + QString::fromUtf8("数").toUtf8());

        // In GBK the same character takes two bytes.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
        const QByteArray gbk = QByteArray(30, 'a') + QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("数"));
        QCOMPARE(cutToCapacity(gbk, 31), QByteArray(30, 'a'));
        QCOMPARE(cutToCapacity(gbk, 32), gbk);
        QTextCodec::setCodecForLocale(previous);

        const QByteArray longPath = native("/") + QByteArray(1100, 'd') + native("/Quillmorne");
        const StartupValues values = deriveStartupValues({longPath}, QString(), QString());
        QCOMPARE(values.programPath.size(), PathCapacity);
        // A folder that does not fit is not cut into another folder's name: it stays empty.
        QCOMPARE(values.programDirectory, QByteArray());
    }

    void settingsFileLocation_data()
    {
        QTest::addColumn<bool>("nameHasFolder");
        QTest::addColumn<bool>("fileBesideExecutable");
        QTest::addColumn<bool>("userFolderGiven");
        QTest::addColumn<QString>("expected"); // "exe", "config" or "relative"

        QTest::newRow("beside executable") << true << true << true << "exe";
        QTest::newRow("started through PATH finds file beside executable") << false << true << true << "exe";
        QTest::newRow("no file beside executable uses user folder") << true << false << true << "config";
        QTest::newRow("no user folder keeps path beside executable") << true << false << false << "exe";
        QTest::newRow("bare name without either file is relative") << false << false << false << "relative";
    }

    void settingsFileLocation()
    {
        QFETCH(bool, nameHasFolder);
        QFETCH(bool, fileBesideExecutable);
        QFETCH(bool, userFolderGiven);
        QFETCH(QString, expected);

        QTemporaryDir root;
        const QString exeFolder = root.filePath(QStringLiteral("bin"));
        const QString configFolder = root.filePath(QStringLiteral("config/Quillmorne"));
        QVERIFY(QDir().mkpath(exeFolder));
        const QString besideFile = QDir::toNativeSeparators(exeFolder + QStringLiteral("/Quillmorne.vqd"));
        if (fileBesideExecutable) {
            QFile file(besideFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QByteArray program =
            nameHasFolder ? QFile::encodeName(QDir::toNativeSeparators(exeFolder + "/Quillmorne")) : "Quillmorne";
        const StartupValues values =
            deriveStartupValues({program}, exeFolder, userFolderGiven ? configFolder : QString());

        const QString configFile = QDir::toNativeSeparators(configFolder + QStringLiteral("/Quillmorne.vqd"));
        if (expected == "exe")
            QCOMPARE(values.settingsFileName(), besideFile);
        else if (expected == "config")
            QCOMPARE(values.settingsFileName(), configFile);
        else
            QCOMPARE(values.settingsFileName(), QStringLiteral("Quillmorne.vqd"));
        // The program's folder is what the command line says, wherever the settings file is.
        QCOMPARE(values.programDirectory.isEmpty(), !nameHasFolder);

        QCOMPARE(values.settingsInUserConfigFolder, expected == "config");
        QVERIFY(prepareSettingsFile(values));
        if (expected == "config") {
            QCOMPARE(QFileInfo(configFile).size(), qint64(0));
            // A second start keeps what the first one stored.
            QFile file(configFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("xlsxMode=n\r\n");
            file.close();
            QVERIFY(prepareSettingsFile(values));
            QCOMPARE(QFileInfo(configFile).size(), qint64(12));
        } else {
            QVERIFY(!QFile::exists(configFile));
        }
    }
};

QTEST_APPLESS_MAIN(StartupValuesTest)
#include "tst_startupvalues.moc"
