#include "convert/sourcefiles.h"

#include "automation/automation.h"
#include "files/filesystem.h"
#include "files/path.h"

#include <QDir>
#include <QPair>
#include <QSet>

#include <algorithm>

namespace {

// Names in order regardless of letter case; names equal but for case ("a.TXT", "a.txt") in the
// order of their code points, so the list is the same on every file system.
bool lowerNameLess(const files::FolderEntry& a, const files::FolderEntry& b)
{
    const int folded = a.name.compare(b.name, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a.name < b.name;
}

bool isHidden(const QString& name)
{
    return name.startsWith(QLatin1Char('.'));
}

using Identity = QPair<quint64, quint64>; // device and inode of a folder

// The folders' entries are read by their names' bytes (files/filesystem.h), so names that are not
// UTF-8 and folders deeper than the system's path limit are listed like any other.
void listInto(const QString& folder, QList<QFileInfo>& out, QSet<Identity>& entered, QList<Failure>* unlisted)
{
    QVector<files::FolderEntry> entries;
    if (const Failure failure = files::listFolder(folder, &entries); failure.isFailure()) {
        if (unlisted)
            unlisted->append(failure);
        return;
    }
    QVector<files::FolderEntry> fileEntries;
    QVector<files::FolderEntry> folderEntries;
    for (const files::FolderEntry& entry : qAsConst(entries)) {
        if (entry.kind == files::Kind::Folder ||
            (entry.kind == files::Kind::Link && entry.reachedKind == files::Kind::Folder)) {
            if (!isHidden(entry.name))
                folderEntries.append(entry);
        } else if (entry.kind != files::Kind::Link) {
            // FIFOs, devices and sockets are listed too: a ".txt" that is not a regular file is
            // refused when it is opened, and reported, rather than skipped unseen.
            fileEntries.append(entry);
        }
    }
    std::stable_sort(fileEntries.begin(), fileEntries.end(), lowerNameLess);
    std::stable_sort(folderEntries.begin(), folderEntries.end(), lowerNameLess);

    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    for (const files::FolderEntry& entry : qAsConst(fileEntries))
        out.append(QFileInfo(prefix + entry.name));
    for (const files::FolderEntry& entry : qAsConst(folderEntries)) {
        // A folder reached again (through a link) is not walked twice, so a link back to an
        // enclosing folder cannot make the walk endless.
        if (entry.inode != 0) {
            const Identity identity(entry.device, entry.inode);
            if (entered.contains(identity))
                continue;
            entered.insert(identity);
        }
        listInto(prefix + entry.name, out, entered, unlisted);
    }
}

} // namespace

QList<QFileInfo> listSourceFiles(const QString& folder, QList<Failure>* unlisted)
{
    QList<QFileInfo> out;
    QSet<Identity> entered;
    const QString root = QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(folder)).absoluteFilePath());
    files::Status status;
    if (!files::status(root, &status).isFailure() && status.kind == files::Kind::Folder)
        entered.insert(Identity(status.device, status.inode));
    listInto(root, out, entered, unlisted);
    return out;
}

bool isSourceFile(const QFileInfo& entry)
{
    return QDir::toNativeSeparators(entry.filePath()).toLower().endsWith(QLatin1String(".txt"));
}

QString ensureFolder(const QString& path, Failure* failure)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(path));
    // Made level by level from the top by the path's bytes: the file-system root ends the climb,
    // and any depth can be made.
    const Failure made = files::makeFolders(clean);
    if (failure)
        *failure = made;
    return clean;
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
    files::removeFile(failureListPathFor(options));
}

namespace {

// One folder of a job: given, existing, a folder, and usable by the user.
Failure checkJobFolder(const QString& folder, bool toList, Reason missing, const QString& role)
{
    if (folder.isEmpty())
        return Failure(Reason::FolderFieldEmpty, QString(), role);
    // Without the trailing separator a picked folder carries, so a file given as a folder is
    // named as such rather than as a path that leads through a file.
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    Failure failure = files::checkFolder(clean, toList);
    if (failure.reason == Reason::FolderMissing)
        return Failure(missing, QDir::toNativeSeparators(clean));
    if (failure.isFailure() && failure.detail.isEmpty())
        failure.detail = role;
    return failure;
}

} // namespace

Failure checkJobFolders(const ConversionOptions& options)
{
    const Failure source =
        checkJobFolder(options.sourceFolder, true, Reason::SourceFolderMissing, QStringLiteral("提取文件夹"));
    if (source.isFailure() || options.saveToSourceFolder)
        return source;
    // The save folder itself need not be writable: sub-folders below it that exist may be. A
    // workbook that cannot be written fails on its own, with its reason.
    return checkJobFolder(options.saveFolder, false, Reason::SaveFolderMissing, QStringLiteral("保存文件夹"));
}

QString folderCheckText(const Failure& failure)
{
    // A folder that does not exist keeps the program's own sentence, as it always read.
    if (failure.reason == Reason::SourceFolderMissing || failure.reason == Reason::SaveFolderMissing)
        return reasonText(failure.reason);
    return files::displayText(failure.text());
}

QString summaryText(int convertedCount)
{
    return QStringLiteral("成功转换%1个txt文件,").arg(convertedCount);
}
