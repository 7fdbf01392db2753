#include "convert/sourcefiles.h"
#include "support/workbookreadback.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Listing, choice of sources and the output location rule, on real folders.
class SourceFilesTest : public QObject
{
    Q_OBJECT

    QStringList relativeListing(const QTemporaryDir& root)
    {
        QStringList names;
        for (const QFileInfo& entry : listSourceFiles(root.path()))
            names << QDir(root.path()).relativeFilePath(entry.absoluteFilePath());
        return names;
    }

private slots:
    void listingOrderIsFilesThenFoldersByLowerCaseName()
    {
        QTemporaryDir root;
        for (const char* name : {"b.txt", "A.txt", "a/z.txt", "a/Y.txt", "B2/c.txt", "_x.txt"})
            QVERIFY(writeBytes(root.filePath(QString::fromUtf8(name)), "x"));
        // '_' (0x5F) sorts before lower-case letters but after upper case: names are compared
        // lower-cased, code by code.
        QCOMPARE(relativeListing(root), QStringList({"_x.txt", "A.txt", "b.txt", "a/Y.txt", "a/z.txt", "B2/c.txt"}));
    }

    void hiddenFilesAreListedButHiddenFoldersAreNot()
    {
        QTemporaryDir root;
        QVERIFY(writeBytes(root.filePath(".hidden.txt"), "x"));
        QVERIFY(writeBytes(root.filePath(".secret/inner.txt"), "x"));
        QVERIFY(writeBytes(root.filePath("open/inner.txt"), "x"));
        QCOMPARE(relativeListing(root), QStringList({".hidden.txt", "open/inner.txt"}));
    }

    void linksToFilesAreSkippedAndLinkLoopsEnd()
    {
        QTemporaryDir root;
        QVERIFY(writeBytes(root.filePath("real/a.txt"), "x"));
        QVERIFY(QFile::link(root.filePath("real/a.txt"), root.filePath("real/link.txt")));
        // A link back to the enclosing folder, and a link to a sibling folder.
        QVERIFY(QFile::link(root.path(), root.filePath("real/loop")));
        QVERIFY(QFile::link(root.filePath("real"), root.filePath("alias")));
        // "alias" sorts first, so the folder is entered through it; "real" is then the same folder
        // and is not walked twice.
        QCOMPARE(relativeListing(root), QStringList({"alias/a.txt"}));
    }

    void sourceFileChoice_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isSource");
        QTest::newRow("lower case") << "a.txt" << true;
        QTest::newRow("upper case extension") << "DATA.TXT" << true;
        QTest::newRow("several dots") << "a.b.txt" << true;
        QTest::newRow("backup of a text") << "notes.txt.bak" << false;
        QTest::newRow("no dot") << "txt" << false;
        QTest::newRow("dot only") << ".txt" << true;
    }
    void sourceFileChoice()
    {
        QFETCH(QString, name);
        QFETCH(bool, isSource);
        QCOMPARE(isSourceFile(QFileInfo(QStringLiteral("/data/") + name)), isSource);
    }

    void outputLocation_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("save");
        QTest::addColumn<bool>("besideSource");
        QTest::addColumn<bool>("xlsx");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("format");
        QTest::newRow("mirrored below the save folder") << "/in/"
                                                        << "/out/" << false << true << "/in/x/y/f.txt"
                                                        << "/out/x/y/f.xlsx" << 51;
        QTest::newRow("xls") << "/in/"
                             << "/out/" << false << false << "/in/x/y/f.txt"
                             << "/out/x/y/f.xls" << 56;
        QTest::newRow("beside the source") << "/in/"
                                           << "/out/" << true << true << "/in/x/y/f.txt"
                                           << "/in/x/y/f.xlsx" << 51;
        QTest::newRow("source without trailing separator") << "/in"
                                                           << "/out/" << false << true << "/in/x/f.txt"
                                                           << "/out/x/f.xlsx" << 51;
        QTest::newRow("save without trailing separator") << "/in/"
                                                         << "/out" << false << true << "/in/x/f.txt"
                                                         << "/out/x/f.xlsx" << 51;
        QTest::newRow("doubled separator from a picked folder") << "/in//"
                                                                << "/out//" << false << true << "/in/f.txt"
                                                                << "/out/f.xlsx" << 51;
        QTest::newRow("root as the source folder") << "/"
                                                   << "/out" << false << true << "/x/f.txt"
                                                   << "/out/x/f.xlsx" << 51;
        // Text replacement would have turned /in/in/f into /out/out/f.
        QTest::newRow("source name repeated below itself") << "/in"
                                                           << "/out" << false << true << "/in/in/f.txt"
                                                           << "/out/in/f.xlsx" << 51;
        QTest::newRow("multi-dot name keeps its inner dots") << "/in"
                                                             << "/out" << false << true << "/in/a.b.txt"
                                                             << "/out/a.b.xlsx" << 51;
        QTest::newRow("upper-case extension") << "/in"
                                              << "/out" << false << true << "/in/DATA.TXT"
                                              << "/out/DATA.xlsx" << 51;
    }
    void outputLocation()
    {
        QFETCH(QString, source);
        QFETCH(QString, save);
        QFETCH(bool, besideSource);
        QFETCH(bool, xlsx);
        QFETCH(QString, file);
        QFETCH(QString, expected);
        QFETCH(int, format);
        ConversionOptions options;
        options.sourceFolder = source;
        options.saveFolder = save;
        options.saveToSourceFolder = besideSource;
        options.xlsxOutput = xlsx;
        const OutputLocation location = ::outputLocation(QFileInfo(file), options);
        QCOMPARE(location.filePath, expected);
        QCOMPARE(location.folder, QFileInfo(expected).path());
        QCOMPARE(location.fileFormat, format);
    }

    void ensureFolderCreatesEveryMissingLevel()
    {
        QTemporaryDir root;
        const QString deep = root.filePath("x/y/z");
        QCOMPARE(ensureFolder(deep), deep);
        QVERIFY(QFileInfo(deep).isDir());
        // Present folders are left alone; the root itself ends the climb.
        QCOMPARE(ensureFolder(deep), deep);
        QCOMPARE(ensureFolder(QStringLiteral("/")), QStringLiteral("/"));
    }

    void summaryTextIsExact() { QCOMPARE(summaryText(12), QStringLiteral("成功转换12个txt文件,")); }
};

QTEST_GUILESS_MAIN(SourceFilesTest)
#include "tst_sourcefiles.moc"
