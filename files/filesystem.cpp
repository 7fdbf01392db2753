#include "files/filesystem.h"

#include "files/path.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <mutex>

#ifdef Q_OS_UNIX
#include <climits>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace files {

namespace {

QString shown(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

void ignoreFileSizeSignal()
{
#ifdef SIGXFSZ
    static std::once_flag done;
    std::call_once(done, [] {
        struct sigaction current;
        if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGXFSZ, SIG_IGN);
    });
#endif
}

#ifdef Q_OS_UNIX

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

namespace {

Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Kind::RegularFile;
    if (S_ISDIR(mode))
        return Kind::Folder;
    if (S_ISLNK(mode))
        return Kind::Link;
    return Kind::Other;
}

Kind kindOfEntry(unsigned char type)
{
    switch (type) {
    case DT_REG:
        return Kind::RegularFile;
    case DT_DIR:
        return Kind::Folder;
    case DT_LNK:
        return Kind::Link;
    default:
        return Kind::Other;
    }
}

Status statusOf(const struct stat& st)
{
    Status status;
    status.kind = kindOf(st.st_mode);
    status.permissions = quint32(st.st_mode & 07777);
    status.size = qint64(st.st_size);
    status.modified =
        QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, Qt::UTC);
    status.device = quint64(st.st_dev);
    status.inode = quint64(st.st_ino);
    status.owner = quint32(st.st_uid);
    status.group = quint32(st.st_gid);
    return status;
}

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

} // namespace

void splitPath(const QByteArray& path, QByteArray* folder, QByteArray* name)
{
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf('/');
    if (slash < 0) {
        *folder = ".";
        *name = trimmed;
        return;
    }
    *folder = slash == 0 ? QByteArray("/") : trimmed.left(slash);
    *name = trimmed.mid(slash + 1);
    if (name->isEmpty())
        *name = ".";
}

int placeOf(const QByteArray& path, Place* place)
{
    place->owned.reset();
    place->folder = AT_FDCWD;
    if (path.size() < PATH_MAX) {
        place->name = path;
        return 0;
    }
    // Too long for one call: the folders are opened a stretch (shorter than the limit) at a time,
    // each relative to the one before, the way the system itself resolves a path.
    QByteArray folder;
    QByteArray name;
    splitPath(path, &folder, &name);
    UniqueFd current(::open(folder.startsWith('/') ? "/" : ".", kFolderFlags));
    if (!current.isValid())
        return errno;
    QByteArray stretch;
    auto enter = [&]() {
        const int fd = ::openat(current.get(), stretch.constData(), kFolderFlags);
        if (fd < 0)
            return errno;
        current.reset(fd);
        stretch.clear();
        return 0;
    };
    for (const QByteArray& part : folder.split('/')) {
        if (part.isEmpty())
            continue;
        if (!stretch.isEmpty() && stretch.size() + 1 + part.size() >= PATH_MAX) {
            if (const int error = enter())
                return error;
        }
        if (!stretch.isEmpty())
            stretch += '/';
        stretch += part;
    }
    if (!stretch.isEmpty()) {
        if (const int error = enter())
            return error;
    }
    place->folder = current.get();
    place->owned = std::move(current);
    place->name = name;
    return 0;
}

Failure status(const QString& path, Status* status, bool followLinks)
{
    *status = Status();
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return error == ENOENT ? Failure() : systemFailure(error, shown(path));
    struct stat st;
    if (::fstatat(place.folder, place.name.constData(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Failure() : systemFailure(errno, shown(path));
    *status = statusOf(st);
    return {};
}

QDateTime modificationTime(const QString& path)
{
    Status st;
    if (status(path, &st).isFailure() || st.kind == Kind::Missing)
        return {};
    return st.modified;
}

Failure openForReading(const QString& path, UniqueFd* fd)
{
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return systemFailure(error, shown(path));
    // What is not a regular file is refused before it is opened: opening a device can have
    // effects of its own.
    struct stat st;
    if (::fstatat(place.folder, place.name.constData(), &st, 0) != 0)
        return systemFailure(errno, shown(path));
    if (S_ISDIR(st.st_mode))
        return Failure(Reason::IsAFolder, shown(path));
    if (!S_ISREG(st.st_mode))
        return Failure(Reason::NotARegularFile, shown(path));
    // O_NONBLOCK: should a FIFO take the file's place meanwhile, the open still does not wait.
    UniqueFd opened(::openat(place.folder, place.name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened.isValid())
        return systemFailure(errno, shown(path));
    if (::fstat(opened.get(), &st) != 0)
        return systemFailure(errno, shown(path));
    if (!S_ISREG(st.st_mode))
        return Failure(S_ISDIR(st.st_mode) ? Reason::IsAFolder : Reason::NotARegularFile, shown(path));
    const int flags = ::fcntl(opened.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(opened.get(), F_SETFL, flags & ~O_NONBLOCK);
    *fd = std::move(opened);
    return {};
}

Failure openFolder(const QString& path, UniqueFd* fd)
{
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return systemFailure(error, shown(path));
    const int opened = ::openat(place.folder, place.name.constData(), kFolderFlags);
    if (opened < 0)
        return errno == ENOTDIR ? Failure(Reason::NotAFolder, shown(path)) : systemFailure(errno, shown(path));
    fd->reset(opened);
    return {};
}

Failure makeFolders(const QString& path)
{
    const QByteArray bytes = pathBytes(path);
    if (bytes.isEmpty())
        return {};
    struct stat st;
    if (bytes.size() < PATH_MAX && ::stat(bytes.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return {};
    // Level by level from the top, each relative to the one before, so any depth can be made.
    const bool absolute = bytes.startsWith('/');
    UniqueFd current(::open(absolute ? "/" : ".", kFolderFlags));
    if (!current.isValid())
        return systemFailure(errno, shown(path));
    QByteArray reached = absolute ? QByteArray("/") : QByteArray();
    for (const QByteArray& part : bytes.split('/')) {
        if (part.isEmpty())
            continue;
        if (!reached.isEmpty() && !reached.endsWith('/'))
            reached += '/';
        reached += part;
        int fd = ::openat(current.get(), part.constData(), kFolderFlags);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(current.get(), part.constData(), 0777) != 0 && errno != EEXIST)
                return systemFailure(errno, shown(pathFromBytes(reached)));
            fd = ::openat(current.get(), part.constData(), kFolderFlags);
        }
        if (fd < 0) {
            const int error = errno;
            const QString at = shown(pathFromBytes(reached));
            return error == ENOTDIR ? Failure(Reason::NotAFolder, at) : systemFailure(error, at);
        }
        current.reset(fd);
    }
    return {};
}

Failure listFolder(const QString& path, QVector<FolderEntry>* entries)
{
    entries->clear();
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return systemFailure(error, shown(path));
    const int fd = ::openat(place.folder, place.name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOTDIR ? Failure(Reason::NotAFolder, shown(path)) : systemFailure(errno, shown(path));
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return systemFailure(error, shown(path));
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        FolderEntry item{pathFromBytes(QByteArray(name)), kindOfEntry(entry->d_type), Kind::Missing, 0, 0};
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            item.kind = kindOf(st.st_mode);
            item.device = quint64(st.st_dev);
            item.inode = quint64(st.st_ino);
        }
        // An entry that cannot be looked at (a folder the user may list but not search) keeps the
        // kind the folder gave, so it is still listed and reported when it is opened.
        item.reachedKind = item.kind;
        if (item.kind == Kind::Link) {
            item.reachedKind = Kind::Missing;
            if (::fstatat(fd, name, &st, 0) == 0) {
                item.reachedKind = kindOf(st.st_mode);
                item.device = quint64(st.st_dev);
                item.inode = quint64(st.st_ino);
            }
        }
        entries->append(item);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    return error != 0 ? systemFailure(error, shown(path)) : Failure();
}

Failure checkFolder(const QString& path, bool toList)
{
    Status st;
    if (const Failure failure = status(path, &st); failure.isFailure())
        return failure;
    if (st.kind == Kind::Missing)
        return Failure(Reason::FolderMissing, shown(path));
    if (st.kind != Kind::Folder)
        return Failure(Reason::NotAFolder, shown(path));
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return systemFailure(error, shown(path));
    // The effective rights (AT_EACCESS), as the later opens will have them.
    if (::faccessat(place.folder, place.name.constData(), toList ? R_OK | X_OK : X_OK, AT_EACCESS) != 0)
        return systemFailure(errno, shown(path));
    return {};
}

Failure removeFile(const QString& path)
{
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return error == ENOENT ? Failure() : systemFailure(error, shown(path));
    if (::unlinkat(place.folder, place.name.constData(), 0) != 0 && errno != ENOENT)
        return systemFailure(errno, shown(path));
    return {};
}

Failure writeFile(const QString& path, const QByteArray& bytes)
{
    ignoreFileSizeSignal();
    Place place;
    if (const int error = placeOf(pathBytes(path), &place))
        return systemFailure(error, shown(path));
    UniqueFd fd(::openat(place.folder, place.name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.isValid())
        return systemFailure(errno, shown(path));
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.get(), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return writeFailure(written < 0 ? errno : EIO, shown(path));
        data += written;
        left -= written;
    }
    if (::close(fd.release()) != 0)
        return writeFailure(errno, shown(path));
    return {};
}

#else // Windows: Qt's file API takes every name there; long paths need the \\?\ form Qt applies.

namespace {

Kind kindOf(const QFileInfo& info)
{
    if (info.isSymLink())
        return Kind::Link;
    if (!info.exists())
        return Kind::Missing;
    if (info.isDir())
        return Kind::Folder;
    return info.isFile() ? Kind::RegularFile : Kind::Other;
}

} // namespace

Failure status(const QString& path, Status* status, bool followLinks)
{
    *status = Status();
    QFileInfo info(path);
    status->kind = !followLinks && info.isSymLink() ? Kind::Link : kindOf(QFileInfo(info.canonicalFilePath()));
    if (!info.exists() && status->kind != Kind::Link)
        status->kind = Kind::Missing;
    status->size = info.size();
    status->modified = info.lastModified().toUTC();
    status->permissions = quint32(info.permissions());
    return {};
}

QDateTime modificationTime(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.lastModified().toUTC() : QDateTime();
}

Failure makeFolders(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir())
        return Failure(Reason::NotAFolder, shown(path));
    return QDir().mkpath(path) ? Failure() : Failure(Reason::WriteError, shown(path));
}

Failure listFolder(const QString& path, QVector<FolderEntry>* entries)
{
    entries->clear();
    QDir dir(path);
    if (!dir.exists())
        return Failure(Reason::FolderMissing, shown(path));
    const QFileInfoList all =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& info : all) {
        const QFileInfo reached(info.canonicalFilePath());
        // Windows has no inode numbers in Qt's API; the canonical path's hash stands in for one.
        entries->append(
            FolderEntry{info.fileName(), kindOf(info),
                        info.isSymLink() ? (reached.exists() ? kindOf(reached) : Kind::Missing) : kindOf(info), 0,
                        quint64(qHash(info.canonicalFilePath().toLower()))});
    }
    return {};
}

Failure checkFolder(const QString& path, bool toList)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure(Reason::FolderMissing, shown(path));
    if (!info.isDir())
        return Failure(Reason::NotAFolder, shown(path));
    if (toList && !info.isReadable())
        return Failure(Reason::NoPermission, shown(path));
    return {};
}

Failure removeFile(const QString& path)
{
    if (!QFileInfo::exists(path) || QFile::remove(path))
        return {};
    return Failure(Reason::WriteError, shown(path));
}

Failure writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() || !file.flush())
        return Failure(Reason::WriteError, shown(path), file.errorString());
    return {};
}

#endif

} // namespace files
