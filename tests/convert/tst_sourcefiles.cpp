#include "convert/sourcefiles.h"
#include "files/path.h"
#include "support/workbookreadback.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Folders 22 levels deep whose names make a path longer than the system's 4,096 bytes.
QByteArray deepFolders()
{
    QByteArray path;
    for (int level = 0; level < 22; ++level)
        path += QByteArray(190, char('a' + level)) + '/';
    return path;
}

// Makes `relative` below `root`, however long, a level at a time by its bytes: a folder when it
// ends with '/', else a file holding "x".
void makeRaw(const QByteArray& root, const QByteArray& relative)
{
    int folder = ::open(root.constData(), O_PATH | O_DIRECTORY);
    const QList<QByteArray> parts = relative.split('/');
    for (int i = 0; i < parts.size() - 1; ++i) {
        ::mkdirat(folder, parts[i].constData(), 0755);
        const int next = ::openat(folder, parts[i].constData(), O_PATH | O_DIRECTORY);
        ::close(folder);
        folder = next;
    }
    if (!parts.last().isEmpty()) {
        const int fd = ::openat(folder, parts.last().constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "x", 1) == 1);
        ::close(fd);
    }
    ::close(folder);
}

// True when `relative` below `root` is a folder, looked up a level at a time by its bytes.
bool isFolderRaw(const QByteArray& root, const QByteArray& relative)
{
    int folder = ::open(root.constData(), O_PATH | O_DIRECTORY);
    for (const QByteArray& part : relative.split('/')) {
        if (part.isEmpty() || folder < 0)
            continue;
        const int next = ::openat(folder, part.constData(), O_PATH | O_DIRECTORY);
        ::close(folder);
        folder = next;
    }
    ::close(folder);
    return folder >= 0;
}

// Removes what QTemporaryDir cannot reach: trees past the path limit, names that are not UTF-8.
void removeRaw(int folder)
{
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY);
    DIR* dir = ::fdopendir(listing);
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (::unlinkat(folder, name.constData(), 0) != 0) {
            const int sub = ::openat(folder, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
            if (sub >= 0) {
                removeRaw(sub);
                ::close(sub);
            }
            ::unlinkat(folder, name.constData(), AT_REMOVEDIR);
        }
    }
    if (dir)
        ::closedir(dir);
}

// Empties the folder when it goes, passed or failed, before QTemporaryDir removes it.
class Emptied
{
public:
    explicit Emptied(const QByteArray& folder) : m_folder(::open(folder.constData(), O_PATH | O_DIRECTORY)) {}
    ~Emptied()
    {
        removeRaw(m_folder);
        ::close(m_folder);
    }

private:
    int m_folder;
};

// Run as root, file access in this thread is checked as for the user "nobody" while this lives.
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

} // namespace

// Listing, choice of sources, the output location rule and the folder checks, on real folders.
class SourceFilesTest : public QObject
{
    Q_OBJECT

    QStringList relativeListing(const QTemporaryDir& root, QList<Failure>* unlisted = nullptr)
    {
        QStringList names;
        for (const QFileInfo& entry : listSourceFiles(root.path(), unlisted))
            names << QDir(root.path()).relativeFilePath(entry.absoluteFilePath());
        return names;
    }

private slots:
    // Each row makes entries (by their bytes) and expects the listing, relative to the root.
    // Entries: "path" a file, "path/" a folder, "name -> target" a symbolic link, "fifo:path".
    void listing_data()
    {
        QTest::addColumn<QList<QByteArray>>("entries");
        QTest::addColumn<QStringList>("expected");
        // '_' (0x5F) sorts before lower-case letters but after upper case: names are compared
        // lower-cased, code by code.
        QTest::newRow("files, then folders, by lower-case name")
            << QList<QByteArray>{"b.txt", "A.txt", "a/z.txt", "a/Y.txt", "B2/c.txt", "_x.txt"}
            << QStringList{"_x.txt", "A.txt", "b.txt", "a/Y.txt", "a/z.txt", "B2/c.txt"};
        QTest::newRow("hidden files listed, hidden folders not")
            << QList<QByteArray>{".hidden.txt", ".secret/inner.txt", "open/inner.txt"}
            << QStringList{".hidden.txt", "open/inner.txt"};
        // "alias" sorts first, so the folder is entered through it; "real" is then the same
        // folder and is not walked twice.
        QTest::newRow("links to files skipped, link loops end")
            << QList<QByteArray>{"real/a.txt", "real/link.txt -> a.txt", "real/loop -> ..", "alias -> real"}
            << QStringList{"alias/a.txt"};
        QTest::newRow("a folder reached by two links is walked once")
            << QList<QByteArray>{"x/f.txt", "l1 -> x", "l2 -> x", ".l0 -> x"} << QStringList{"l1/f.txt"};
        QTest::newRow("dangling link and link to a FIFO left out, FIFO listed")
            << QList<QByteArray>{"gone.txt -> nowhere", "fifo:p.txt", "q.txt -> p.txt"} << QStringList{"p.txt"};
        QTest::newRow("names that are not UTF-8, listed under their bytes")
            << QList<QByteArray>{"b\xff.txt", "a\xe4\xb8.txt", "c\xed\xa0\x80/d.txt", "B.txt"}
            << QStringList{files::pathFromBytes("a\xe4\xb8.txt"), "B.txt", files::pathFromBytes("b\xff.txt"),
                           files::pathFromBytes("c\xed\xa0\x80/d.txt")};
        QTest::newRow("path longer than 4,096 bytes")
            << QList<QByteArray>{deepFolders() + "deep.txt", "top.txt"}
            << QStringList{"top.txt", QString::fromUtf8(deepFolders() + "deep.txt")};
    }
    void listing()
    {
        QFETCH(QList<QByteArray>, entries);
        QFETCH(QStringList, expected);
        QTemporaryDir root;
        const QByteArray base = QFile::encodeName(root.path()) + '/';
        const Emptied emptied(base);
        for (const QByteArray& entry : entries) {
            if (entry.contains(" -> ")) {
                const QList<QByteArray> parts = entry.split(' ');
                QCOMPARE(::symlink(parts.at(2).constData(), (base + parts.at(0)).constData()), 0);
            } else if (entry.startsWith("fifo:")) {
                QCOMPARE(::mkfifo((base + entry.mid(5)).constData(), 0644), 0);
            } else {
                makeRaw(base, entry);
            }
        }
        QList<Failure> unlisted;
        QCOMPARE(relativeListing(root, &unlisted), expected);
        QCOMPARE(unlisted.size(), 0);
    }

    // A sub-folder that cannot be read is reported, not skipped in silence; the rest is listed.
    void unreadableFolderIsReported()
    {
        QTemporaryDir root;
        ::chmod(QFile::encodeName(root.path()).constData(), 0755);
        QVERIFY(writeBytes(root.filePath("a.txt"), "x"));
        QVERIFY(writeBytes(root.filePath("closed/b.txt"), "x"));
        QVERIFY(writeBytes(root.filePath("open/c.txt"), "x"));
        ::chmod(QFile::encodeName(root.filePath("closed")).constData(), 0);
        QList<Failure> unlisted;
        QStringList listing;
        {
            AsNobody nobody;
            listing = relativeListing(root, &unlisted);
        }
        ::chmod(QFile::encodeName(root.filePath("closed")).constData(), 0755);
        QCOMPARE(listing, QStringList({"a.txt", "open/c.txt"}));
        QCOMPARE(unlisted.size(), 1);
        QCOMPARE(unlisted.first().reason, Reason::NoPermission);
        QCOMPARE(unlisted.first().path, root.filePath("closed"));
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

    // The folder exists afterwards, every missing level made, at any depth; what stands in the
    // way is named.
    void ensureFolder_data()
    {
        QTest::addColumn<QByteArray>("relative");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("reason");
        QTest::addColumn<QByteArray>("blockedAt");
        QTest::newRow("every missing level")
            << QByteArray("x/y/z") << QByteArray() << int(Reason::None) << QByteArray();
        QTest::newRow("present folder left alone")
            << QByteArray("x") << QByteArray("x/f.txt") << int(Reason::None) << QByteArray();
        QTest::newRow("deeper than 4,096 bytes")
            << deepFolders() + "end" << QByteArray() << int(Reason::None) << QByteArray();
        QTest::newRow("a file where a folder should be")
            << QByteArray("x/f.txt/y") << QByteArray("x/f.txt") << int(Reason::NotAFolder) << QByteArray("x/f.txt");
        QTest::newRow("name that is not UTF-8")
            << QByteArray("n\xff/m") << QByteArray() << int(Reason::None) << QByteArray();
    }
    void ensureFolder()
    {
        QFETCH(QByteArray, relative);
        QFETCH(QByteArray, file);
        QFETCH(int, reason);
        QFETCH(QByteArray, blockedAt);
        QTemporaryDir root;
        const QByteArray base = QFile::encodeName(root.path()) + '/';
        const Emptied emptied(base);
        if (!file.isEmpty())
            makeRaw(base, file);
        const QString path = files::pathFromBytes(base + relative);
        Failure failure;
        QCOMPARE(::ensureFolder(path, &failure), path);
        QCOMPARE(int(failure.reason), reason);
        if (reason == int(Reason::None))
            QVERIFY(isFolderRaw(base, relative));
        else
            QCOMPARE(failure.path, files::pathFromBytes(base + blockedAt));
        QCOMPARE(::ensureFolder(QStringLiteral("/")), QStringLiteral("/"));
    }

    // The folders of a job are checked before it starts; each cause has its own text, a folder
    // that does not exist keeps the program's own sentence.
    void folderCheck_data()
    {
        QTest::addColumn<QString>("sourceFolder");
        QTest::addColumn<QString>("saveFolder");
        QTest::addColumn<bool>("besideSources");
        QTest::addColumn<bool>("asNobody");
        QTest::addColumn<int>("reason");
        QTest::addColumn<QString>("text");
        QTest::newRow("usable folders") << "in"
                                        << "out" << false << false << int(Reason::None) << "";
        QTest::newRow("source folder missing")
            << "none"
            << "out" << false << false << int(Reason::SourceFolderMissing) << "提取文件夹不存在!";
        QTest::newRow("save folder missing")
            << "in"
            << "none" << false << false << int(Reason::SaveFolderMissing) << "保存文件夹不存在!";
        QTest::newRow("save folder ignored beside the sources") << "in"
                                                                << "none" << true << false << int(Reason::None) << "";
        QTest::newRow("source field empty")
            << ""
            << "out" << false << false << int(Reason::FolderFieldEmpty) << "没有填写文件夹 (提取文件夹)";
        QTest::newRow("save field empty")
            << "in"
            << "" << false << false << int(Reason::FolderFieldEmpty) << "没有填写文件夹 (保存文件夹)";
        QTest::newRow("a file given as the source folder")
            << "file.txt"
            << "out" << false << false << int(Reason::NotAFolder) << "不是文件夹: {root}/file.txt (提取文件夹)";
        QTest::newRow("a file given as the save folder")
            << "in"
            << "file.txt" << false << false << int(Reason::NotAFolder) << "不是文件夹: {root}/file.txt (保存文件夹)";
        QTest::newRow("a path through a file")
            << "file.txt/in"
            << "out" << false << false << int(Reason::PathBlocked)
            << "路径中的某一级不是文件夹, 或链接形成循环: {root}/file.txt/in (提取文件夹)";
        QTest::newRow("source folder the user may not list")
            << "closed"
            << "out" << false << true << int(Reason::NoPermission) << "没有权限: {root}/closed (提取文件夹)";
        QTest::newRow("save folder the user may not enter")
            << "in"
            << "closed" << false << true << int(Reason::NoPermission) << "没有权限: {root}/closed (保存文件夹)";
    }
    void folderCheck()
    {
        QFETCH(QString, sourceFolder);
        QFETCH(QString, saveFolder);
        QFETCH(bool, besideSources);
        QFETCH(bool, asNobody);
        QFETCH(int, reason);
        QFETCH(QString, text);
        QTemporaryDir root;
        ::chmod(QFile::encodeName(root.path()).constData(), 0755);
        for (const char* folder : {"in", "out", "closed"})
            QVERIFY(QDir(root.path()).mkdir(QString::fromLatin1(folder)));
        ::chmod(QFile::encodeName(root.filePath("closed")).constData(), 0);
        QVERIFY(writeBytes(root.filePath("file.txt"), "x"));
        ConversionOptions options;
        options.sourceFolder = sourceFolder.isEmpty() ? QString() : root.filePath(sourceFolder) + QLatin1Char('/');
        options.saveFolder = saveFolder.isEmpty() ? QString() : root.filePath(saveFolder) + QLatin1Char('/');
        options.saveToSourceFolder = besideSources;
        Failure failure;
        if (asNobody) {
            AsNobody nobody;
            failure = checkJobFolders(options);
        } else {
            failure = checkJobFolders(options);
        }
        QCOMPARE(int(failure.reason), reason);
        QCOMPARE(folderCheckText(failure), QString(text).replace(QStringLiteral("{root}"), root.path()));
    }

    void summaryTextIsExact() { QCOMPARE(summaryText(12), QStringLiteral("成功转换12个txt文件,")); }
};

QTEST_GUILESS_MAIN(SourceFilesTest)
#include "tst_sourcefiles.moc"
