#pragma once
// files/: the file system by a path's exact bytes: paths as the system knows them (path.h),
// listing, opening and the other calls (this header), devices that keep the system's error of a
// failed write (filedevice.h) and files that appear at their path complete or not at all
// (atomicfile.h). Failures are automation/'s Failure values.
//
// File-system calls by a path's exact bytes (files/path.h). On POSIX systems every call goes
// through the system's own functions on those bytes, and a path longer than the system's limit
// (PATH_MAX, 4,096 bytes on Linux) is walked with folder descriptors: its folders are opened a
// stretch at a time and the call is made relative to the last one (openat, mkdirat, fstatat, ...).
// Every failure is a Failure with the reason the system gave and the path it concerns. On Windows
// the same functions stand on Qt's file API, which takes any name there.

#include "automation/failure.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace files {

enum class Kind { Missing, RegularFile, Folder, Link, Other };

struct Status
{
    Kind kind = Kind::Missing;
    quint32 permissions = 0; // the mode's permission bits (07777)
    qint64 size = 0;
    QDateTime modified; // UTC
    quint64 device = 0;
    quint64 inode = 0;
    quint32 owner = 0;
    quint32 group = 0;
};

// The status of `path`. With followLinks false a symbolic link is reported as a link. A path that
// does not exist gives Kind::Missing and no failure; other causes (no permission on a folder on the
// way, a part of the path that is no folder) give their failure.
Failure status(const QString& path, Status* status, bool followLinks = true);

// The modification time of `path` (UTC); invalid when it cannot be read.
QDateTime modificationTime(const QString& path);

// Creates the folder `path` and every missing level above it. A level that exists and is no
// folder fails with NotAFolder and that level's path.
Failure makeFolders(const QString& path);

struct FolderEntry
{
    QString name;     // exact bytes, see files/path.h
    Kind kind;        // of the entry itself (a link is Kind::Link)
    Kind reachedKind; // of what the entry leads to: a link's target (Missing when dangling)
    quint64 device;   // of what the entry leads to
    quint64 inode;
};

// The entries of the folder, "." and ".." left out, in the order the system gives them.
Failure listFolder(const QString& path, QVector<FolderEntry>* entries);

// Whether the folder may be used: it exists, is a folder (a link to one counts) and the user may
// enter it, and list it too when `toList` is set.
Failure checkFolder(const QString& path, bool toList);

// Removes the file (not a folder); a file that does not exist is no failure.
Failure removeFile(const QString& path);

// Writes `bytes` as the whole content of the file at `path`, created when missing.
Failure writeFile(const QString& path, const QByteArray& bytes);

// Writes past the file-size limit (RLIMIT_FSIZE) are to fail with EFBIG, reported as "文件过大",
// instead of ending the process by SIGXFSZ. Called by everything here that writes; only a default
// disposition is changed, so a program that handles the signal itself keeps its handler.
void ignoreFileSizeSignal();

#ifdef Q_OS_UNIX

// An owned file descriptor, closed when it goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// A path taken apart for the *at calls: a folder descriptor (AT_FDCWD for a path short enough to
// be used whole) and the name to use relative to it.
struct Place
{
    UniqueFd owned;
    int folder = AT_FDCWD;
    QByteArray name;
};

// Where `path` is, for the *at calls. Only a path past the system's limit opens folders; 0, or
// the errno of the folder that could not be opened.
int placeOf(const QByteArray& path, Place* place);

// Opens the source text at `path` for reading: read-only, without following the open into a
// FIFO's or device's wait, and only when it is a regular file (NotARegularFile otherwise).
Failure openForReading(const QString& path, UniqueFd* fd);

// Opens a folder (following links) as a descriptor for the *at calls.
Failure openFolder(const QString& path, UniqueFd* fd);

// `path` split into its folder and its last name, by bytes; the folder of "name" is ".".
void splitPath(const QByteArray& path, QByteArray* folder, QByteArray* name);

#endif

} // namespace files
