#include "files/atomicfile.h"

#include "files/filedevice.h"
#include "files/filesystem.h"
#include "files/path.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>

#include <atomic>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace files {

namespace {

std::atomic<bool> unnamedFilesAllowed{true};

QString shown(const QByteArray& path)
{
    return QDir::toNativeSeparators(pathFromBytes(path));
}

} // namespace

void AtomicFile::setUnnamedFilesAllowed(bool allowed)
{
    unnamedFilesAllowed.store(allowed);
}

QString AtomicFile::temporaryNamePrefix()
{
    return QStringLiteral(".quillmorne-%1-").arg(QCoreApplication::applicationPid());
}

#ifdef Q_OS_UNIX

namespace {

// How many symbolic links in a row are followed before the path counts as a loop (as the
// system's own limit).
constexpr int kMaxLinks = 40;

QByteArray joinPath(const QByteArray& folder, const QByteArray& name)
{
    if (name.startsWith('/'))
        return name;
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// A hidden name no conversion picks up as a source or result, carrying this process's id so
// that a later save knows whether its writer is still running.
QByteArray temporaryName()
{
    const quint64 tag = QRandomGenerator::global()->generate64();
    return pathBytes(AtomicFile::temporaryNamePrefix()) + QByteArray::number(tag, 16) + ".tmp";
}

// The process id in a named temporary file's name, or 0 when the name is not one of ours.
qint64 writerOf(const QString& name)
{
    static const QString prefix = QStringLiteral(".quillmorne-");
    if (!name.startsWith(prefix) || !name.endsWith(QLatin1String(".tmp")))
        return 0;
    const int dash = name.indexOf(QLatin1Char('-'), prefix.size());
    if (dash < 0)
        return 0;
    bool ok = false;
    const qint64 pid = name.midRef(prefix.size(), dash - prefix.size()).toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

// Removes named temporary files that writers which are gone left in the folder (an interrupted
// save on a file system without unnamed files, or one killed between linking and renaming). Files
// of running writers stay. Each folder is looked at once per process: a run saves many workbooks
// into one folder, and listing it for each would cost as much as the folder is large.
void removeStaleTemporaries(const QByteArray& folderPath, int folder)
{
    static QMutex mutex;
    static QSet<QByteArray> cleaned;
    struct stat st;
    if (::fstat(folder, &st) != 0)
        return;
    const QByteArray identity =
        folderPath + '\0' + QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
    {
        QMutexLocker lock(&mutex);
        if (cleaned.contains(identity))
            return;
        cleaned.insert(identity);
    }
    QVector<FolderEntry> entries;
    if (listFolder(pathFromBytes(folderPath), &entries).isFailure())
        return;
    for (const FolderEntry& entry : qAsConst(entries)) {
        const qint64 pid = writerOf(entry.name);
        if (pid == 0 || pid == QCoreApplication::applicationPid() || entry.kind != Kind::RegularFile)
            continue;
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(folder, pathBytes(entry.name).constData(), 0);
    }
}

// Gives the unnamed file `fd` the name `name` in `folder`; 0 or the errno.
int linkUnnamed(int fd, int folder, const QByteArray& name)
{
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, procPath, folder, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    const int error = errno;
    if (error != ENOENT)
        return error;
    // No /proc: the file can still be linked by its descriptor where the process may do so.
    return ::linkat(fd, "", folder, name.constData(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

bool procLinksWork(int fd)
{
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return ::faccessat(AT_FDCWD, procPath, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

struct AtomicFile::Private
{
    QString path;
    QByteArray target;     // the file that receives the content (links at `path` followed)
    QByteArray folderPath; // its folder
    QByteArray name;       // its name in that folder
    UniqueFd folder;
    std::unique_ptr<FileDevice> device;
    QByteArray temporary; // the named temporary file while one exists
    bool unnamed = false;
    bool targetExists = false;
    struct stat existing
    {
    };

    Failure resolveTarget();
    Failure checkExisting();
    Failure createTemporary();
    Failure linkInPlace();
    void removeTemporary()
    {
        if (!temporary.isEmpty() && folder.isValid())
            ::unlinkat(folder.get(), temporary.constData(), 0);
        temporary.clear();
    }
};

Failure AtomicFile::Private::resolveTarget()
{
    QByteArray current = pathBytes(path);
    for (int links = 0;; ++links) {
        splitPath(current, &folderPath, &name);
        const Failure opened = openFolder(pathFromBytes(folderPath), &folder);
        if (opened.isFailure())
            return opened.reason == Reason::Vanished ? Failure(Reason::FolderMissing, opened.path) : opened;
        if (::fstatat(folder.get(), name.constData(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return systemFailure(errno, shown(current));
            targetExists = false;
            target = current;
            return {};
        }
        if (!S_ISLNK(existing.st_mode)) {
            targetExists = true;
            target = current;
            return {};
        }
        if (links >= kMaxLinks)
            return systemFailure(ELOOP, QDir::toNativeSeparators(path));
        QByteArray link(int(existing.st_size > 0 ? existing.st_size : 256) + 1, '\0');
        const ssize_t length = ::readlinkat(folder.get(), name.constData(), link.data(), size_t(link.size()));
        if (length < 0)
            return systemFailure(errno, shown(current));
        link.truncate(int(length));
        current = joinPath(folderPath, link);
    }
}

Failure AtomicFile::Private::checkExisting()
{
    if (!targetExists)
        return {};
    if (S_ISDIR(existing.st_mode))
        return Failure(Reason::IsAFolder, shown(target));
    if (!S_ISREG(existing.st_mode))
        return Failure(Reason::NotARegularFile, shown(target));
    // The user's own right to write it, as the system would judge an open for writing.
    if (::faccessat(folder.get(), name.constData(), W_OK, AT_EACCESS) != 0) {
        const Failure failure = systemFailure(errno, shown(target));
        return failure.reason == Reason::NoPermission ? Failure(Reason::WorkbookNotWritable, shown(target)) : failure;
    }
    return {};
}

Failure AtomicFile::Private::createTemporary()
{
    removeStaleTemporaries(folderPath, folder.get());
    if (unnamedFilesAllowed.load()) {
        const int fd = ::openat(folder.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0 && procLinksWork(fd)) {
            unnamed = true;
            device = std::make_unique<FileDevice>(fd);
            return {};
        }
        const int error = fd >= 0 ? 0 : errno;
        if (fd >= 0)
            ::close(fd);
        // EOPNOTSUPP (and EISDIR from kernels that do not know the flag): the file system cannot
        // make unnamed files; anything else is the folder's own failure.
        if (error != 0 && error != EOPNOTSUPP && error != EISDIR && error != EINVAL)
            return systemFailure(error, shown(folderPath));
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray candidate = temporaryName();
        const int fd = ::openat(folder.get(), candidate.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            temporary = candidate;
            device = std::make_unique<FileDevice>(fd);
            return {};
        }
        if (errno != EEXIST)
            return systemFailure(errno, shown(folderPath));
    }
    return systemFailure(EEXIST, shown(folderPath));
}

Failure AtomicFile::Private::linkInPlace()
{
    const int fd = device->handle();
    if (targetExists) {
        // The replaced file's owner and permission bits stay (the owner only where the user may
        // give the file away; the group where the user belongs to it).
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
            if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
                [[maybe_unused]] const int groupOnly = ::fchown(fd, uid_t(-1), existing.st_gid);
            }
        }
        if (::fchmod(fd, existing.st_mode & 07777) != 0)
            return systemFailure(errno, shown(target));
    }
    if (unnamed) {
        if (!targetExists) {
            const int error = linkUnnamed(fd, folder.get(), name);
            if (error == 0)
                return {};
            if (error != EEXIST)
                return writeFailure(error, shown(target));
        }
        // Replacing: a hidden name first, then one rename, so readers see the old file or the new.
        for (int attempt = 0; temporary.isEmpty(); ++attempt) {
            const QByteArray candidate = temporaryName();
            const int error = linkUnnamed(fd, folder.get(), candidate);
            if (error == 0)
                temporary = candidate;
            else if (error != EEXIST || attempt >= 16)
                return writeFailure(error, shown(target));
        }
    }
    if (::renameat(folder.get(), temporary.constData(), folder.get(), name.constData()) != 0) {
        const int error = errno;
        removeTemporary();
        return error == EISDIR ? Failure(Reason::IsAFolder, shown(target)) : writeFailure(error, shown(target));
    }
    temporary.clear();
    return {};
}

Failure AtomicFile::open()
{
    discard();
    ignoreFileSizeSignal();
    Failure failure = d->resolveTarget();
    if (!failure.isFailure())
        failure = d->checkExisting();
    if (!failure.isFailure())
        failure = d->createTemporary();
    if (failure.isFailure()) {
        discard();
        return failure;
    }
    d->device->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    return {};
}

QIODevice* AtomicFile::device() const
{
    return d->device.get();
}

Failure AtomicFile::commit()
{
    if (!d->device)
        return Failure(Reason::SaveFailed, QDir::toNativeSeparators(d->path));
    d->device->close();
    const Failure failure = d->linkInPlace();
    if (failure.isFailure()) {
        discard();
        return failure;
    }
    d->device.reset();
    d->folder.reset();
    return {};
}

void AtomicFile::discard()
{
    d->device.reset(); // an unnamed file goes with its last descriptor
    d->removeTemporary();
    d->folder.reset();
    d->unnamed = false;
}

QString AtomicFile::targetPath() const
{
    return d->target.isEmpty() ? d->path : pathFromBytes(d->target);
}

bool AtomicFile::isUnnamed() const
{
    return d->unnamed;
}

#else // Windows: QSaveFile writes beside the target and replaces it in one step.

struct AtomicFile::Private
{
    QString path;
    std::unique_ptr<QSaveFile> file;
};

Failure AtomicFile::open()
{
    discard();
    const QFileInfo info(d->path);
    if (info.isDir())
        return Failure(Reason::IsAFolder, QDir::toNativeSeparators(d->path));
    if (info.exists() && !info.isWritable())
        return Failure(Reason::WorkbookNotWritable, QDir::toNativeSeparators(d->path));
    d->file = std::make_unique<QSaveFile>(info.isSymLink() ? info.symLinkTarget() : d->path);
    if (!d->file->open(QIODevice::WriteOnly)) {
        const Failure failure(Reason::WriteError, QDir::toNativeSeparators(d->path), d->file->errorString());
        d->file.reset();
        return failure;
    }
    return {};
}

QIODevice* AtomicFile::device() const
{
    return d->file.get();
}

Failure AtomicFile::commit()
{
    if (!d->file)
        return Failure(Reason::SaveFailed, QDir::toNativeSeparators(d->path));
    const bool ok = d->file->commit();
    const QString error = d->file->errorString();
    d->file.reset();
    return ok ? Failure() : Failure(Reason::WriteError, QDir::toNativeSeparators(d->path), error);
}

void AtomicFile::discard()
{
    if (d->file)
        d->file->cancelWriting();
    d->file.reset();
}

QString AtomicFile::targetPath() const
{
    return d->path;
}

bool AtomicFile::isUnnamed() const
{
    return false;
}

#endif

// Both kinds of Private keep the path as given; what is not committed goes with the object.
AtomicFile::AtomicFile(const QString& path) : d(std::make_unique<Private>())
{
    d->path = path;
}

AtomicFile::~AtomicFile()
{
    discard();
}

} // namespace files
