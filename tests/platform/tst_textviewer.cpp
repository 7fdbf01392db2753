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
