#pragma once
// A QIODevice over an open file that remembers the system's error of a failed read or write, so
// that a writer's failure reaches the user as its cause ("磁盘已满", "文件过大", ...) rather than
// as the system's English words.

#include "automation/failure.h"

#include <QIODevice>

#include <memory>

namespace files {

// A device that can tell which system error (errno) made its last read or write fail; 0 when
// none did. Devices of tests that fail on purpose say so the same way.
class SystemErrorSource
{
public:
    virtual ~SystemErrorSource() = default;
    virtual int systemError() const = 0;
};

// The system error of the device's last failed read or write when it tells one (see
// SystemErrorSource); 0 otherwise.
int systemErrorOf(const QIODevice* device);

// Why reading `device` failed, as a failure on `nativePath`: the system's cause when the device
// tells one (an input/output error is a read error), else a read error without further words.
// The device's own error text is never used: it is the system's English.
Failure readFailure(const QIODevice* device, const QString& nativePath);

class FileDevice final : public QIODevice, public SystemErrorSource
{
    Q_OBJECT
public:
#ifdef Q_OS_UNIX
    // Takes over the open file descriptor `fd` (closed with the device).
    explicit FileDevice(int fd, QObject* parent = nullptr);
#else
    // Takes over the open file.
    explicit FileDevice(std::unique_ptr<QIODevice> file, QObject* parent = nullptr);
#endif
    ~FileDevice() override;

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override
    {
        return false;
    }
    qint64 size() const override;
    bool seek(qint64 pos) override;
    int systemError() const override
    {
        return m_error;
    }
#ifdef Q_OS_UNIX
    int handle() const
    {
        return m_fd;
    }
#endif

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    void setSystemError(int error);

#ifdef Q_OS_UNIX
    int m_fd = -1;
#else
    std::unique_ptr<QIODevice> m_file;
#endif
    int m_error = 0;
};

// The source text at `path`, opened for reading through openForReading (filesystem.h): regular
// files only, never waiting on a FIFO. Null, with `failure` set, when it cannot be opened.
std::unique_ptr<FileDevice> openReadDevice(const QString& path, Failure* failure);

// A file at `path` created (or emptied) for writing and reading, as a device; for tools and tests
// that write straight to a file. Null, with `failure` set, when it cannot be made.
std::unique_ptr<FileDevice> createFileDevice(const QString& path, Failure* failure);

} // namespace files
