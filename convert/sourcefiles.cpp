#include "convert/sourcefiles.h"

#include "automation/automation.h"

#include <QDir>
#include <QSet>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

// Names in order regardless of letter case; names equal but for case ("a.TXT", "a.txt") in the
// order of their code points, so the list is the same on every file system.
bool lowerNameLess(const QFileInfo& a, const QFileInfo& b)
{
    const QString nameA = a.fileName();
    const QString nameB = b.fileName();
    const int folded = nameA.compare(nameB, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : nameA < nameB;
}

#ifdef Q_OS_UNIX
// Files whose names are not in the file-name encoding (bytes that are not valid UTF-8 under a
// UTF-8 locale): Qt decodes such a name lossily, so its own listing cannot see the file and would
// leave it out without a word. They are listed under the decoded name; opening that name fails,
// so the file is reported like any other source that cannot be opened instead of being lost.
QList<QFileInfo> undecodableFiles(const QString& folder)
{
    QList<QFileInfo> files;
    const QByteArray encodedFolder = QFile::encodeName(folder);
    DIR* dir = ::opendir(encodedFolder.constData());
    if (dir == nullptr)
        return files;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        const QString decoded = QFile::decodeName(name);
        if (QFile::encodeName(decoded) == name)
            continue;
        struct stat status;
        if (::fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(status.st_mode) ||
            S_ISLNK(status.st_mode))
            continue;
        files.append(QFileInfo(QDir(folder).filePath(decoded)));
    }
    ::closedir(dir);
    return files;
}
#endif

void listInto(const QString& folder, QList<QFileInfo>& out, QSet<QString>& entered)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty() || entered.contains(canonical))
        return;
    entered.insert(canonical);

    QDir dir(folder);
    // System entries (FIFOs, sockets, devices) are listed too: a ".txt" that is not a regular
    // file is then refused when it is opened, and reported, rather than skipped unseen.
    QList<QFileInfo> files =
        dir.entryInfoList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
    // With System, Qt lists a dangling link as well; links stay excluded.
    files.erase(std::remove_if(files.begin(), files.end(), [](const QFileInfo& f) { return f.isSymLink(); }),
                files.end());
#ifdef Q_OS_UNIX
    files.append(undecodableFiles(folder));
#endif
    std::stable_sort(files.begin(), files.end(), lowerNameLess);
    out.append(files);

    QList<QFileInfo> folders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    std::stable_sort(folders.begin(), folders.end(), lowerNameLess);
    for (const QFileInfo& sub : folders)
        listInto(sub.absoluteFilePath(), out, entered);
}

} // namespace

QList<QFileInfo> listSourceFiles(const QString& folder)
{
    QList<QFileInfo> out;
    QSet<QString> entered;
    listInto(QFileInfo(folder).absoluteFilePath(), out, entered);
    return out;
}

bool isSourceFile(const QFileInfo& entry)
{
    return QDir::toNativeSeparators(entry.filePath()).toLower().endsWith(QLatin1String(".txt"));
}

QString ensureFolder(const QString& path)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (clean.isEmpty() || QFileInfo::exists(clean))
        return clean;
    const int slash = clean.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        // A bare relative name: created below the current folder.
        QDir().mkdir(clean);
        return clean;
    }
    const QString parent = slash == 0 ? QStringLiteral("/") : clean.left(slash);
    const QString name = clean.mid(slash + 1);
    // The root (or a drive root) exists or cannot be made; stop there instead of recursing.
    const QString parentResult = (parent == clean || QDir(parent).isRoot()) ? parent : ensureFolder(parent);
    if (!name.isEmpty())
        QDir(parentResult).mkpath(name);
    return QDir(parentResult).filePath(name);
}

OutputLocation outputLocation(const QFileInfo& entry, const ConversionOptions& options)
{
    const QString entryFolder = entry.absolutePath();
    QString folder = entryFolder;
    if (!options.saveToSourceFolder) {
        const QDir sourceRoot(QFileInfo(QDir::fromNativeSeparators(options.sourceFolder)).absoluteFilePath());
        const QString relative = sourceRoot.relativeFilePath(entryFolder);
        const QString saveRoot = QFileInfo(QDir::fromNativeSeparators(options.saveFolder)).absoluteFilePath();
        folder = QDir::cleanPath(QDir(saveRoot).filePath(relative));
    }
    OutputLocation location;
    location.folder = QDir::toNativeSeparators(QDir::cleanPath(folder));
    location.fileFormat = options.xlsxOutput ? FileFormatXlsx : FileFormatXls;
    const QString name =
        entry.completeBaseName() + (options.xlsxOutput ? QStringLiteral(".xlsx") : QStringLiteral(".xls"));
    location.filePath = QDir::toNativeSeparators(QDir(QDir::cleanPath(folder)).filePath(name));
    return location;
}

QString failureListFileName()
{
    return QStringLiteral("无法转换的文件目录.txt");
}

QString failureListPathFor(const ConversionOptions& options)
{
    if (!options.failureListPath.isEmpty())
        return options.failureListPath;
    return QDir(QDir::fromNativeSeparators(options.sourceFolder)).filePath(failureListFileName());
}

void removeOldFailureList(const ConversionOptions& options)
{
    const QString path = failureListPathFor(options);
    if (QFileInfo::exists(path))
        QFile::remove(path);
}

QString summaryText(int convertedCount)
{
    return QStringLiteral("成功转换%1个txt文件,").arg(convertedCount);
}
