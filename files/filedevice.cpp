#include "files/filedevice.h"

#include "files/filesystem.h"
#include "files/path.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace files {

int systemErrorOf(const QIODevice* device)
{
    const auto* source = dynamic_cast<const SystemErrorSource*>(device);
    return source != nullptr ? source->systemError() : 0;
}

Failure readFailure(const QIODevice* device, const QString& nativePath)
{
    const int error = systemErrorOf(device);
    return error != 0 ? systemFailure(error, nativePath) : Failure(Reason::ReadError, nativePath);
}

#ifdef Q_OS_UNIX

FileDevice::FileDevice(int fd, QObject* parent) : QIODevice(parent), m_fd(fd) {}

FileDevice::~FileDevice()
{
    close();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FileDevice::open(OpenMode mode)
{
    if (m_fd < 0)
        return false;
    if (mode & (WriteOnly | Append))
        ignoreFileSizeSignal();
    return QIODevice::open(mode);
}

void FileDevice::close()
{
    // The descriptor stays with the device until it goes: the owner of a temporary file may still
    // need it (to link the file into place) after the writer is done with the device.
    QIODevice::close();
}

qint64 FileDevice::size() const
{
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return 0;
    return qint64(st.st_size);
}

bool FileDevice::seek(qint64 pos)
{
    if (!isOpen() || pos < 0)
        return false;
    if (::lseek(m_fd, off_t(pos), SEEK_SET) < 0) {
        setSystemError(errno);
        return false;
    }
    return QIODevice::seek(pos);
}

qint64 FileDevice::readData(char* data, qint64 maxSize)
{
    for (;;) {
        const ssize_t n = ::read(m_fd, data, size_t(maxSize));
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            setSystemError(errno);
            return -1;
        }
    }
}

qint64 FileDevice::writeData(const char* data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an error (it should not happen) is a failed one.
            setSystemError(n < 0 ? errno : EIO);
            return -1;
        }
        done += n;
    }
    return done;
}

std::unique_ptr<FileDevice> openReadDevice(const QString& path, Failure* failure)
{
    UniqueFd fd;
    *failure = openForReading(path, &fd);
    if (failure->isFailure())
        return nullptr;
    auto device = std::make_unique<FileDevice>(fd.release());
    device->open(QIODevice::ReadOnly);
    return device;
}

std::unique_ptr<FileDevice> createFileDevice(const QString& path, Failure* failure)
{
    ignoreFileSizeSignal();
    Place place;
    if (const int error = placeOf(pathBytes(path), &place)) {
        *failure = systemFailure(error, QDir::toNativeSeparators(path));
        return nullptr;
    }
    const int fd = ::openat(place.folder, place.name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *failure = systemFailure(errno, QDir::toNativeSeparators(path));
        return nullptr;
    }
    auto device = std::make_unique<FileDevice>(fd);
    device->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    *failure = Failure();
    return device;
}

#else

FileDevice::FileDevice(std::unique_ptr<QIODevice> file, QObject* parent) : QIODevice(parent), m_file(std::move(file)) {}

FileDevice::~FileDevice()
{
    close();
}

bool FileDevice::open(OpenMode mode)
{
    return m_file && m_file->isOpen() && QIODevice::open(mode);
}

void FileDevice::close()
{
    QIODevice::close();
}

qint64 FileDevice::size() const
{
    return m_file ? m_file->size() : 0;
}

bool FileDevice::seek(qint64 pos)
{
    if (!m_file || !m_file->seek(pos))
        return false;
    return QIODevice::seek(pos);
}

qint64 FileDevice::readData(char* data, qint64 maxSize)
{
    const qint64 n = m_file->read(data, maxSize);
    if (n < 0)
        setErrorString(m_file->errorString());
    return n;
}

qint64 FileDevice::writeData(const char* data, qint64 size)
{
    const qint64 n = m_file->write(data, size);
    if (n != size) {
        setErrorString(m_file->errorString());
        return -1;
    }
    return n;
}

std::unique_ptr<FileDevice> openReadDevice(const QString& path, Failure* failure)
{
    auto file = std::make_unique<QFile>(path);
    if (!QFileInfo(path).isFile()) {
        *failure = Failure(QFileInfo(path).exists() ? Reason::NotARegularFile : Reason::Vanished,
                           QDir::toNativeSeparators(path));
        return nullptr;
    }
    if (!file->open(QIODevice::ReadOnly)) {
        *failure = Failure(Reason::ReadError, QDir::toNativeSeparators(path), file->errorString());
        return nullptr;
    }
    auto device = std::make_unique<FileDevice>(std::move(file));
    device->open(QIODevice::ReadOnly);
    return device;
}

std::unique_ptr<FileDevice> createFileDevice(const QString& path, Failure* failure)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        *failure = Failure(Reason::WriteError, QDir::toNativeSeparators(path), file->errorString());
        return nullptr;
    }
    auto device = std::make_unique<FileDevice>(std::move(file));
    device->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    *failure = Failure();
    return device;
}

#endif

void FileDevice::setSystemError(int error)
{
    m_error = error;
    setErrorString(systemFailure(error, QString()).text());
}

} // namespace files
