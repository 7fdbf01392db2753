// Showing the failure list: the desktop's text viewer is started detached with the file, and a
// desktop without a viewer is not an error for the program.

#include "platform/textviewer.h"

#include <QTemporaryDir>
#include <QtTest>

class TextViewerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QByteArray savedPath;

private slots:
    void initTestCase() { savedPath = qgetenv("PATH"); }
    void cleanup() { qputenv("PATH", savedPath); }

#ifndef Q_OS_WIN
    void viewerGetsFileAndIsNotWaitedFor()
    {
        // A stand-in viewer that records its argument and then stays open, as a real one does.
        const QString bin = folder.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        const QString record = folder.filePath(QStringLiteral("opened.txt"));
        QFile script(bin + QStringLiteral("/xdg-open"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec >/dev/null 2>&1\nprintf '%s' \"$1\" > '" + QFile::encodeName(record) +
                     "'\nsleep 5\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");

        const QString list = folder.filePath(QStringLiteral("无法转换的文件目录 1.txt"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(showTextFile(list));
        QVERIFY(timer.elapsed() < 3000);
        QTRY_VERIFY(QFileInfo(record).size() > 0);
        QFile opened(record);
        QVERIFY(opened.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(opened.readAll()), list);
    }

    // Whether the list was shown is known once the launcher ends: xdg-open starts even where no
    // program for text files is set up and then ends with a non-zero status.
    void watchedLauncherVerdict_data()
    {
        QTest::addColumn<QByteArray>("launcher"); // the stand-in xdg-open's shell commands; empty: none
        QTest::addColumn<bool>("shown");
        QTest::newRow("viewer opened") << QByteArray("exit 0") << true;
        QTest::newRow("no program for text files") << QByteArray("exit 3") << false;
        QTest::newRow("viewer could not start") << QByteArray("exit 4") << false;
        QTest::newRow("launcher killed") << QByteArray("kill -9 $$") << false;
        QTest::newRow("launcher waits for the viewer") << QByteArray("sleep 1; exit 0") << true;
        QTest::newRow("launcher leaves a viewer running") << QByteArray("(sleep 30 >/dev/null 2>&1 &); exit 0") << true;
        QTest::newRow("no launcher at all") << QByteArray() << false;
    }

    void watchedLauncherVerdict()
    {
        QFETCH(QByteArray, launcher);
        QFETCH(bool, shown);
        const QString bin = folder.filePath(QStringLiteral("watched"));
        QVERIFY(QDir(bin).removeRecursively() && QDir().mkpath(bin));
        const QString record = folder.filePath(QStringLiteral("watched-opened.txt"));
        QFile::remove(record);
        if (!launcher.isEmpty()) {
            QFile script(bin + QStringLiteral("/xdg-open"));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nprintf '%s' \"$1\" > '" + QFile::encodeName(record) + "'\n" + launcher + "\n");
            script.close();
            QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        }
        qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
        const QString list = folder.filePath(QStringLiteral("无法转换的文件目录 2.txt"));

        QObject context;
        QList<bool> verdicts;
        showTextFileWatched(list, &context, [&verdicts](bool verdict) { verdicts << verdict; });
        QVERIFY(verdicts.isEmpty()); // never before the event loop runs
        QTRY_COMPARE_WITH_TIMEOUT(verdicts.size(), 1, 20000);
        QCOMPARE(verdicts.first(), shown);
        if (!launcher.isEmpty()) {
            QFile opened(record);
            QVERIFY(opened.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(opened.readAll()), list);
        }
        QTest::qWait(50);
        QCOMPARE(verdicts.size(), 1);
    }

    // The context goes before the launcher ends: nothing is called.
    void verdictDroppedWithContext()
    {
        const QString bin = folder.filePath(QStringLiteral("late"));
        QVERIFY(QDir().mkpath(bin));
        QFile script(bin + QStringLiteral("/xdg-open"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nsleep 0.3\nexit 3\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
        int calls = 0;
        {
            QObject context;
            showTextFileWatched(folder.filePath(QStringLiteral("list.txt")), &context, [&calls](bool) { ++calls; });
        }
        QTest::qWait(800);
        QCOMPARE(calls, 0);
    }

    void missingViewerReportsFalse()
    {
        const QString empty = folder.filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(empty));
        qputenv("PATH", QFile::encodeName(empty));
        QVERIFY(!showTextFile(folder.filePath(QStringLiteral("list.txt"))));
    }
#endif
};

QTEST_GUILESS_MAIN(TextViewerTest)
#include "tst_textviewer.moc"
