#pragma once
// Helpers shared by the fuzz targets: a private scratch folder per process (in memory when
// /dev/shm exists, so the targets do not wear a disk) and a small reader of fuzz input bytes.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

inline const QString& scratchFolder()
{
    static QTemporaryDir dir(QDir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
                                 .filePath(QStringLiteral("quillmorne-fuzz-XXXXXX")));
    static const QString path = dir.path();
    return path;
}

inline QString scratchPath(const char* name)
{
    return scratchFolder() + QLatin1Char('/') + QLatin1String(name);
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Takes leading bytes of the input as parameters; what is left is the payload.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t byte()
    {
        if (m_size == 0)
            return 0;
        --m_size;
        return *m_data++;
    }
    QByteArray rest() const { return QByteArray(reinterpret_cast<const char*>(m_data), int(m_size)); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

// A broken invariant: print what broke and abort, so libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            ::fuzzsupport::fail(#condition);                                                                           \
    } while (false)

} // namespace fuzzsupport
