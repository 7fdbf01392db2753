#include "xls/spillfile.h"

#include <QDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

namespace engine::biff8 {

namespace {

// Reads go straight to the file: the lookup reads a kilobyte here and there, which a read buffer
// would turn into sixteen.
class UnbufferedTemporaryFile : public QTemporaryFile
{
public:
    using QTemporaryFile::QTemporaryFile;
    bool openUnbuffered() { return open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
};

// The system error of the file call that just failed. The file is unbuffered, so on POSIX systems
// errno is still that call's; elsewhere it says nothing reliable.
int systemErrorNow()
{
#ifdef Q_OS_UNIX
    return errno;
#else
    return 0;
#endif
}

} // namespace

SpillFile::SpillFile(const char* content, std::size_t threshold)
    : m_content(content), m_threshold(std::max<std::size_t>(threshold, 1))
{}

SpillFile::~SpillFile() = default;

void SpillFile::setThreshold(std::size_t bytes)
{
    m_threshold = std::max<std::size_t>(bytes, 1);
}

bool SpillFile::append(const void* data, std::size_t size)
{
    if (size == 0)
        return true;
    const std::size_t needed = m_memory.size() + size;
    if (needed > m_memory.capacity()) {
        // Grow by doubling up to the threshold, not past it: the memory held stays within the
        // threshold and the largest single append.
        const std::size_t doubled = std::max<std::size_t>(2 * m_memory.capacity(), 4096);
        m_memory.reserve(std::max(needed, std::min(doubled, m_threshold)));
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_memory.insert(m_memory.end(), bytes, bytes + size);
    return m_memory.size() < m_threshold || spill();
}

bool SpillFile::spill()
{
    if (!m_file) {
        auto file =
            std::make_unique<UnbufferedTemporaryFile>(QDir::tempPath() + QStringLiteral("/quillmorne-xls-XXXXXX"));
        errno = 0;
        if (!file->openUnbuffered()) {
            m_systemError = systemErrorNow();
            m_error = QStringLiteral("cannot create the temporary %1 file: %2")
                          .arg(QString::fromLatin1(m_content), file->errorString());
            return false;
        }
        m_file = std::move(file);
    }
    errno = 0;
    if (!m_file->seek(qint64(m_fileBytes)))
        return ioFailed(QStringLiteral("write"));
    const auto written = m_file->write(reinterpret_cast<const char*>(m_memory.data()), qint64(m_memory.size()));
    if (written != qint64(m_memory.size()) || !m_file->flush())
        return ioFailed(QStringLiteral("write"));
    m_fileBytes += m_memory.size();
    m_memory.clear();
    return true;
}

bool SpillFile::read(std::uint64_t offset, void* data, std::size_t size)
{
    auto* out = static_cast<std::uint8_t*>(data);
    if (offset < m_fileBytes) {
        const auto fromFile = std::size_t(std::min<std::uint64_t>(size, m_fileBytes - offset));
        errno = 0;
        if (!m_file->seek(qint64(offset)) ||
            m_file->read(reinterpret_cast<char*>(out), qint64(fromFile)) != qint64(fromFile))
            return ioFailed(QStringLiteral("read"));
        out += fromFile;
        offset += fromFile;
        size -= fromFile;
    }
    if (size > 0)
        std::memcpy(out, m_memory.data() + (offset - m_fileBytes), size);
    return true;
}

bool SpillFile::overwrite(std::uint64_t offset, const void* data, std::size_t size)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (offset < m_fileBytes) {
        const auto toFile = std::size_t(std::min<std::uint64_t>(size, m_fileBytes - offset));
        errno = 0;
        if (!m_file->seek(qint64(offset)) ||
            m_file->write(reinterpret_cast<const char*>(in), qint64(toFile)) != qint64(toFile) || !m_file->flush())
            return ioFailed(QStringLiteral("write"));
        in += toFile;
        offset += toFile;
        size -= toFile;
    }
    if (size > 0)
        std::memcpy(m_memory.data() + (offset - m_fileBytes), in, size);
    return true;
}

bool SpillFile::ioFailed(const QString& what)
{
    m_systemError = systemErrorNow();
    m_error = QStringLiteral("cannot %1 the temporary %2 file: %3")
                  .arg(what, QString::fromLatin1(m_content), m_file->errorString());
    return false;
}

} // namespace engine::biff8
