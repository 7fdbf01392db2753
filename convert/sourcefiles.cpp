#include "convert/sourcefiles.h"

#include "convert/automation.h"

#include <QDir>
#include <QSet>

#include <algorithm>

namespace {

bool lowerNameLess(const QFileInfo& a, const QFileInfo& b)
{
    return a.fileName().toLower() < b.fileName().toLower();
}

void listInto(const QString& folder, QList<QFileInfo>& out, QSet<QString>& entered)
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty() || entered.contains(canonical))
        return;
    entered.insert(canonical);

    QDir dir(folder);
    QList<QFileInfo> files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
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
