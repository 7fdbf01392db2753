#include "support/workbookreadback.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

// quillmorne-convert against faults of the file system and odd sources: a full disk, folders and
// workbooks that cannot be written, a read-only file system, FIFOs, unreadable sources, names that
// are not UTF-8, paths past the system's limit, link loops, odd or damaged contents, output nobody
// reads, and termination signals in the middle of a large file. Whatever happens, every source
// ends up converted (a complete workbook with all its rows), in the failure list with its exact
// bytes and its reason on standard error, or not reached because a signal stopped the run; no
// partial or temporary file is left in the output or in the temporary folder, and no source
// changes. What a conversion could not keep as written is said on standard error, with the
// source's path, and on the workbook's warning sheet. Paths are handled as bytes here, with the
// system's calls, so that names which are not UTF-8 and paths longer than 4,096 bytes can be set
// up and checked. The run's report tells the same story.
class FaultsTest : public QObject
{
    Q_OBJECT

    enum class Outcome { Converted, Failed, NotReached };
    enum class Run { Plain, DiskFull, Unprivileged, ReadOnlySaveFolder, OutputClosed };

    struct Source
    {
        QByteArray path; // relative, raw bytes (names need not be valid UTF-8)
        QByteArray content;
        Outcome outcome;
        int rows = 0;
        bool fifo = false;
        mode_t mode = 0644;
        int generatedRows = 0;     // a generated text of that many rows instead of `content`
        QStringList warnings = {}; // parts of the warnings the workbook and standard error carry
    };

    // A file already in the save folder before the run: it must come out of it unchanged.
    struct Preset
    {
        QByteArray path; // relative to the save folder
        QByteArray content;
        mode_t mode;
    };

    struct Case
    {
        QList<Source> sources;
        QList<QByteArray> links;     // "name -> target" pairs, relative to the source folder
        QByteArray lockedSaveFolder; // made below the save folder, not writable for the run
        Run run = Run::Plain;
        bool xls = false;
        int status = 0;
        QList<Preset> presets{};
        QString reason{};         // the reason's text standard error must show for the failed sources
        QStringList options = {}; // further options of the run
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
                {"big.txt", {}, big, bigRows, false, 0644, bigRows},
                {"z.txt", "z\t2\n", Outcome::NotReached}},
               {},
               {},
               Run::Plain,
               false,
               status};
        // One file at a time, so that the last source is the one the stop leaves out.
        c.options = QStringList{"-j", "1"};
        c.signalsSent = std::move(signalsSent);
        c.said = std::move(said);
        return c;
    }

    // Sixty lines of Chinese UTF-8, the 30th with a byte that is no UTF-8.
    static QByteArray damagedUtf8()
    {
        QByteArray text;
        for (int i = 1; i <= 60; ++i)
            text += (i == 30 ? QByteArray("\xFF") : QByteArray()) + QByteArray::number(i) +
                    QStringLiteral("\t张三\t北京市朝阳区\r\n").toUtf8();
        return text;
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
                    1,
                    {},
                    QStringLiteral("文件过大")});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"locked/b.txt", "b\n", Outcome::Failed},
                     {"open/c.txt", "c\nd\n", Outcome::Converted, 2}},
                    {},
                    "locked",
                    Run::Unprivileged,
                    false,
                    1,
                    {},
                    QStringLiteral("没有权限")});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"m.txt", {}, Outcome::Failed, 0, true},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    1});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"b\xff\xfe.txt", "b\n", Outcome::Converted, 1},
                     {"sub\xe4/c\xed\xa0\x80.txt", "c\nd\n", Outcome::Converted, 2},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    0});
        all.append({{{"empty.txt", "", Outcome::Converted, 0},
                     {"one.txt", "x", Outcome::Converted, 1},
                     {"nul.txt",
                      QByteArray("a\0b\t1\n\0\nc", 10),
                      Outcome::Converted,
                      3,
                      false,
                      0644,
                      0,
                      {"第 1、2、3 行：3 个空字符 (NUL) 无法存入单元格，已略去"}},
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
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"secret.txt", "s\n", Outcome::Failed, 0, false, 0},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Unprivileged,
                    false,
                    1,
                    {},
                    QStringLiteral("没有权限")});
        all.append({{{deepPath() + "deep.txt", "x\ty\n1\t2\n", Outcome::Converted, 2},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    true,
                    0});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1},
                     {"kept.txt", "new\n", Outcome::Failed},
                     {"z.txt", "z\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Unprivileged,
                    false,
                    1,
                    {{"kept.xlsx", "an existing workbook", 0444}},
                    QStringLiteral("已有的工作簿不允许写入")});
        all.append({{{"a.txt", "a\n", Outcome::Failed}, {"z.txt", "z\n", Outcome::Failed}},
                    {},
                    {},
                    Run::ReadOnlySaveFolder,
                    false,
                    1,
                    {},
                    QStringLiteral("所在的文件系统只读")});
        all.append({{{"a.txt", "a\n", Outcome::Converted, 1}, {"sub/b.txt", "b\n", Outcome::Failed}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    1,
                    {{"sub", "a file where the sub-folder goes", 0644}},
                    QStringLiteral("不是文件夹")});
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
        const QString replaced = QStringLiteral("个字符无法按 %1 解码，已替换为 U+FFFD");
        all.append({{{"utf8.txt",
                      damagedUtf8(),
                      Outcome::Converted,
                      60,
                      false,
                      0644,
                      0,
                      {"第 30 行：1 " + replaced.arg("UTF-8")}},
                     {"gbk.txt", QByteArray("\xD5\xC5\xC8\xFD\t30\r\n\xC0\xEE\xCB\xC4\t41\r\n"), Outcome::Converted, 2},
                     {"utf16.txt",
                      QByteArray("a\0\t\0001\0\r\0\n\0b\0\t\0002\0", 16),
                      Outcome::Converted,
                      2,
                      false,
                      0644,
                      0,
                      {"按其零字节的位置当作 UTF-16LE 读取"}},
                     {"utf32.txt", QByteArray("\xFF\xFE\0\0x\0\0\0\t\0\0\0y\0\0\0", 16), Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    false,
                    0});
        all.append({{{"utf8.txt",
                      damagedUtf8(),
                      Outcome::Converted,
                      60,
                      false,
                      0644,
                      0,
                      {"第 30 行：1 " + replaced.arg("UTF-8")}}},
                    {},
                    {},
                    Run::Plain,
                    true,
                    0,
                    {},
                    {},
                    {"--text-columns", "1", "--cell-by-cell"}});
        all.append({{{"odd.txt",
                      QByteArray("a\0\t\0b\0\n\0c", 9),
                      Outcome::Converted,
                      2,
                      false,
                      0644,
                      0,
                      {"第 2 行：1 " + replaced.arg("UTF-16LE")}},
                     {"marked.txt", "\xEF\xBB\xBFx\ty\n", Outcome::Converted, 1}},
                    {},
                    {},
                    Run::Plain,
                    true,
                    0,
                    {},
                    {},
                    {"--encoding", "utf16"}});
        // Two at once: both large sources are in progress when Ctrl+C comes, so both are
        // finished, and the small ones queued behind them are never begun.
        Case twoJobs{{{"big.txt", {}, Outcome::Converted, 150000, false, 0644, 150000},
                      {"big2.txt", {}, Outcome::Converted, 150000, false, 0644, 150000},
                      {"c1.txt", "c\t1\n", Outcome::NotReached},
                      {"c2.txt", "c\t2\n", Outcome::NotReached},
                      {"c3.txt", "c\t3\n", Outcome::NotReached},
                      {"c4.txt", "c\t4\n", Outcome::NotReached}},
                     {},
                     {},
                     Run::Plain,
                     false,
                     130};
        twoJobs.options = QStringList{"-j", "2"};
        twoJobs.signalsSent = {SIGINT};
        twoJobs.said = QStringList{afterFile, QStringLiteral("已中断: 当前文件完成后停止, 其余 4 个文件未转换")};
        all.append(twoJobs);
        return all;
    }

    // Folders 22 levels deep whose names make the path longer than the system's 4,096 bytes.
    static QByteArray deepPath()
    {
        QByteArray path;
        for (int level = 0; level < 22; ++level)
            path += QByteArray(190, char('a' + level)) + '/';
        return path;
    }

    // The folder at `path` (absolute, of any length), opened a level at a time; made when asked.
    static int openFolder(const QByteArray& path, bool make)
    {
        int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        for (const QByteArray& part : path.split('/')) {
            if (part.isEmpty() || fd < 0)
                continue;
            if (make)
                ::mkdirat(fd, part.constData(), 0755);
            const int next = ::openat(fd, part.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        return fd;
    }

    static QByteArray folderOf(const QByteArray& path) { return path.left(path.lastIndexOf('/')); }
    static QByteArray nameOf(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

    static bool writeRaw(const QByteArray& path, const QByteArray& bytes, mode_t mode = 0644)
    {
        const int folder = openFolder(folderOf(path), true);
        const int fd = ::openat(folder, nameOf(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ::close(folder);
        if (fd < 0)
            return false;
        const bool ok = bytes.isEmpty() || ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
        return ::fchmod(fd, mode) == 0 && ::close(fd) == 0 && ok;
    }

    static QByteArray readRaw(const QByteArray& path)
    {
        QByteArray bytes;
        const int folder = openFolder(folderOf(path), false);
        const int fd = ::openat(folder, nameOf(path).constData(), O_RDONLY | O_NONBLOCK);
        ::close(folder);
        if (fd < 0)
            return "<missing>";
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, int(n));
        ::close(fd);
        return bytes;
    }

    // Reads a workbook back from any path: a short link to it is handed to the reader.
    static ReadWorkbook readBack(const QByteArray& path, bool summary = false)
    {
        QTemporaryDir shortcut;
        const QByteArray link =
            QFile::encodeName(shortcut.filePath(QStringLiteral("book"))) + path.mid(path.lastIndexOf('.'));
        const int folder = openFolder(folderOf(path), false);
        const bool linked = ::linkat(folder, nameOf(path).constData(), AT_FDCWD, link.constData(), 0) == 0;
        ::close(folder);
        if (!linked) {
            ReadWorkbook missing;
            missing.error = QStringLiteral("no workbook");
            return missing;
        }
        return readWorkbookBack(QFile::decodeName(link), summary);
    }

    // Every entry below `folder` that is no folder, as paths relative to it, by their bytes;
    // `remove` empties the folder on the way (QTemporaryDir cannot remove what it cannot name).
    static void walk(int folder, const QByteArray& prefix, QList<QByteArray>& found, bool remove)
    {
        DIR* dir = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir == nullptr)
            return;
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            struct stat st;
            if (::fstatat(::dirfd(dir), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                ::fchmodat(::dirfd(dir), name.constData(), 0755, 0);
                const int sub = ::openat(::dirfd(dir), name.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
                walk(sub, prefix + name + '/', found, remove);
                ::close(sub);
                if (remove)
                    ::unlinkat(::dirfd(dir), name.constData(), AT_REMOVEDIR);
            } else {
                found.append(prefix + name);
                if (remove)
                    ::unlinkat(::dirfd(dir), name.constData(), 0);
            }
        }
        ::closedir(dir);
    }

    static QList<QByteArray> filesBelow(const QByteArray& root, bool remove = false)
    {
        QList<QByteArray> found;
        const int folder = openFolder(root, false);
        walk(folder, QByteArray(), found, remove);
        ::close(folder);
        std::sort(found.begin(), found.end());
        return found;
    }

    static void openUp(const QByteArray& path) { ::chmod(path.constData(), 0777); }

    // Empties the folders when the row ends, passed or failed, before QTemporaryDir (which cannot
    // reach names that are not UTF-8 or paths past the limit) removes them.
    struct Emptied
    {
        QList<QByteArray> folders;
        ~Emptied()
        {
            for (const QByteArray& folder : folders)
                filesBelow(folder, true);
        }
    };

    // The run, as the row asks: under a file-size limit, as the user "nobody", or with the save
    // folder on a read-only file system (a read-only bind mount in a mount namespace of its own).
    static void startTool(QProcess& process, const Case& c, const QStringList& arguments, const QString& saveFolder)
    {
        const QString tool = QStringLiteral(QUILLMORNE_BINARY_DIR "/quillmorne-convert");
        switch (c.run) {
        case Run::DiskFull:
            // Started with SIGXFSZ at its default action, which would end the process: the tool
            // ignores it, so writes past the limit fail with EFBIG, as they would on a full disk.
            process.start("bash",
                          QStringList{"-c", "trap - XFSZ; ulimit -f 300; exec \"$0\" \"$@\"", tool} + arguments);
            break;
        case Run::Unprivileged:
            if (::geteuid() == 0) {
                process.start("setpriv",
                              QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", tool} + arguments);
                break;
            }
            process.start(tool, arguments);
            break;
        case Run::ReadOnlySaveFolder:
            process.start("unshare", QStringList{"--mount", "--propagation", "private", "bash", "-c",
                                                 "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\" && "
                                                 "exec \"$1\" \"${@:2}\"",
                                                 saveFolder, tool} +
                                         arguments);
            break;
        case Run::OutputClosed:
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
            break;
        case Run::Plain:
            process.start(tool, arguments);
            break;
        }
    }

    // The record of the source at `path` (raw bytes): matched by its exact bytes where the report
    // gives them (a name that is not valid UTF-8), else by the path itself.
    // Whether the process `pid` has a file named `name` open (Linux: its descriptors in /proc).
    static bool holdsOpen(qint64 pid, const QByteArray& name)
    {
        const QByteArray folder = "/proc/" + QByteArray::number(pid) + "/fd";
        DIR* dir = ::opendir(folder.constData());
        if (dir == nullptr)
            return false;
        bool found = false;
        while (const dirent* entry = ::readdir(dir)) {
            char target[4096];
            const ssize_t length = ::readlinkat(::dirfd(dir), entry->d_name, target, sizeof target - 1);
            if (length > 0 && QByteArray(target, int(length)).endsWith("/" + name))
                found = true;
        }
        ::closedir(dir);
        return found;
    }

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
        QTest::newRow("names that are not valid UTF-8 are converted under their bytes") << 3;
        QTest::newRow("0-byte, 1-byte, NUL-laden, CR-only, newline in name") << 4;
        QTest::newRow("link loops and a link to a file") << 5;
        QTest::newRow("names equal but for case: the first keeps its workbook") << 6;
        QTest::newRow("unreadable source is listed, the run goes on") << 7;
        QTest::newRow("path longer than 4,096 bytes is converted") << 8;
        QTest::newRow("existing workbook the user may not write is left alone") << 9;
        QTest::newRow("read-only file system") << 10;
        QTest::newRow("a file where a save sub-folder goes") << 11;
        QTest::newRow("standard output and error are pipes nobody reads") << 12;
        QTest::newRow("Ctrl+C: the large file in progress is finished, the rest not reached") << 13;
        QTest::newRow("Ctrl+C twice: the large file in progress is given up") << 14;
        QTest::newRow("SIGTERM: the large file in progress is given up") << 15;
        QTest::newRow("SIGHUP: the large file in progress is given up") << 16;
        QTest::newRow("damaged, unmarked and UTF-32 texts read, repairs warned by line") << 17;
        QTest::newRow("cell by cell: repairs warned by line") << 18;
        QTest::newRow("UTF-16 chosen: an odd last byte warned, a UTF-8 mark honoured") << 19;
        QTest::newRow("Ctrl+C, two jobs: the files in progress are finished, none begun after") << 20;
    }

    void everySourceAccountedFor()
    {
        QFETCH(int, index);
        const Case c = cases().at(index);
        if (c.run == Run::Unprivileged && ::geteuid() == 0 && QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs setpriv to drop root's rights");
        if (c.run == Run::ReadOnlySaveFolder &&
            QProcess::execute("unshare", {"--mount", "mount", "--bind", "/", "/mnt"}) != 0)
            QSKIP("needs a mount namespace for a read-only bind mount (unshare --mount as root)");

        QTemporaryDir sourceDir, saveDir;
        const QByteArray source = QFile::encodeName(sourceDir.path()) + '/';
        const QByteArray save = QFile::encodeName(saveDir.path()) + '/';
        openUp(source);
        openUp(save);
        const Emptied emptied{{source, save}};
        for (const Source& s : c.sources) {
            const int slash = s.path.lastIndexOf('/');
            if (slash > 0) {
                ::close(openFolder(source + s.path.left(slash), true));
                openUp(source + s.path.left(slash));
            }
            if (s.fifo)
                QCOMPARE(::mkfifo((source + s.path).constData(), 0644), 0);
            else
                QVERIFY(writeRaw(source + s.path, contentOf(s), s.mode));
        }
        for (const QByteArray& link : c.links) {
            const QList<QByteArray> parts = link.split(' ');
            QCOMPARE(::symlink(parts.at(2).constData(), (source + parts.at(0)).constData()), 0);
        }
        if (!c.lockedSaveFolder.isEmpty()) {
            ::close(openFolder(save + c.lockedSaveFolder, true));
            ::chmod((save + c.lockedSaveFolder).constData(), 0555);
        }
        for (const Preset& preset : c.presets)
            QVERIFY(writeRaw(save + preset.path, preset.content, preset.mode));

        QTemporaryDir reportDir;
        openUp(QFile::encodeName(reportDir.path()));
        const QString reportPath = reportDir.filePath("report.json");
        QStringList arguments{"-q", "-o", saveDir.path(), "--report", reportPath, sourceDir.path()};
        if (c.xls)
            arguments.prepend("--xls");
        arguments = c.options + arguments;
        QProcess process;
        // A temporary folder of the run's own, so anything the run leaves there shows.
        QTemporaryDir temporaryDir;
        openUp(QFile::encodeName(temporaryDir.path()));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), temporaryDir.path());
        process.setProcessEnvironment(environment);
        startTool(process, c, arguments, saveDir.path());
        QString err;
        if (!c.signalsSent.isEmpty()) {
            // The signals come once the tool holds every large source open: they are then in
            // progress.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    for (const Source& s : c.sources) {
                        if (s.generatedRows > 0 && !holdsOpen(process.processId(), s.path))
                            return false;
                    }
                    return true;
                },
                120000));
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
        QCOMPARE(filesBelow(QFile::encodeName(temporaryDir.path())), QList<QByteArray>());

        // The failure list holds each failed source's exact bytes, one per CR LF line.
        const QList<QByteArray> listed = readRaw(source + "无法转换的文件目录.txt").split('\n');
        const QByteArray extension = c.xls ? ".xls" : ".xlsx";
        const QJsonObject report = QJsonDocument::fromJson(readBytes(reportPath)).object();
        QVERIFY2(schemaProblems(reportPath).isEmpty(), qPrintable(schemaProblems(reportPath)));
        const QJsonArray records = report.value("files").toArray();
        QList<QByteArray> expectedOutput;
        for (const Preset& preset : c.presets) {
            expectedOutput.append(preset.path);
            QCOMPARE(readRaw(save + preset.path), preset.content);
        }
        int converted = 0;
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
            const QByteArray workbook = s.path.left(s.path.lastIndexOf('.')) + extension;
            const QString name = QString::fromUtf8(s.path.right(40));
            QVERIFY2(readRaw(source + s.path) == (s.fifo ? QByteArray() : contentOf(s)), qPrintable(name)); // unchanged
            switch (s.outcome) {
            case Outcome::Converted: {
                ++converted;
                expectedOutput.append(workbook);
                // Large workbooks are read for their size only.
                const bool large = s.rows > 10000;
                const ReadWorkbook book = readBack(save + workbook, large);
                QVERIFY2(book.ok, qPrintable(name + ": " + book.error));
                int rows = large ? book.sheets.first().maxRow : 0;
                for (const ReadCell& cell : book.sheets.first().cells)
                    rows = qMax(rows, cell.row);
                QCOMPARE(rows, s.rows);
                QCOMPARE(book.sheets.size(), s.warnings.isEmpty() ? 1 : 2);
                for (const QString& warning : s.warnings) {
                    const QString line = QStringLiteral("警告: %1: ").arg(QFile::decodeName(source + s.path));
                    QVERIFY2(err.contains(QRegularExpression(QRegularExpression::escape(line) + "[^\n]*" +
                                                             QRegularExpression::escape(warning))),
                             qPrintable(name + ": " + err));
                    QVERIFY2(std::any_of(book.sheets.last().cells.cbegin(), book.sheets.last().cells.cend(),
                                         [&](const ReadCell& cell) { return cell.value.toString().contains(warning); }),
                             qPrintable(name + ": no warning sheet row with " + warning));
                }
                break;
            }
            case Outcome::Failed:
                QVERIFY2(listed.contains(source + s.path + '\r'), qPrintable(name + " is not in the failure list"));
                break;
            case Outcome::NotReached:
                QCOMPARE(readRaw(save + workbook), QByteArray("<missing>"));
                break;
            }
        }
        if (!c.reason.isEmpty())
            QVERIFY2(err.contains(c.reason), qPrintable(err));
        if (!c.signalsSent.isEmpty()) // the summary of what was done is still written
            QVERIFY2(out.startsWith(QStringLiteral("成功转换%1个txt文件,").arg(converted)), qPrintable(out));
        QCOMPARE(records.size(), reached);
        QCOMPARE(report.value("summary").toObject().value("not_reached").toInt(), c.sources.size() - reached);

        // Nothing else in the output: no temporary or partial workbook, no stray file.
        std::sort(expectedOutput.begin(), expectedOutput.end());
        QCOMPARE(filesBelow(save), expectedOutput);
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
