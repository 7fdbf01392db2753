#pragma once
// Bytes appended in order and read back later, held in memory up to a threshold and in a
// temporary file beyond it: the .xls writer keeps its sheet records, the shared string table and
// its lookup runs this way, so its memory does not grow with the workbook. A store that never
// passes its threshold never creates a file.

#include <QString>

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class QTemporaryFile;

namespace engine::biff8 {

class SpillFile
{
public:
    // `content` names what the file holds in messages ("sheet" for "the temporary sheet file").
    SpillFile(const char* content, std::size_t threshold);
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    void setThreshold(std::size_t bytes);
    std::uint64_t size() const { return m_fileBytes + m_memory.size(); }
    // What went wrong with the temporary file, after a false return.
    const QString& errorString() const { return m_error; }
    // The system error (errno) of that failure; 0 when there was none or it is not known.
    int systemError() const { return m_systemError; }

    bool append(const void* data, std::size_t size);
    // Reads [offset, offset + size), which must lie within size().
    bool read(std::uint64_t offset, void* data, std::size_t size);
    // Overwrites [offset, offset + size), which must lie within size().
    bool overwrite(std::uint64_t offset, const void* data, std::size_t size);

    // Hands [start, start + length) to `sink` (a callable taking a byte pointer and a size and
    // returning false to stop) in pieces of at most 1 MiB.
    template <typename Sink>
    bool copy(std::uint64_t start, std::uint64_t length, Sink&& sink)
    {
        std::vector<std::uint8_t> piece;
        while (length > 0 && start < m_fileBytes) {
            const std::size_t want = std::size_t(std::min<std::uint64_t>({kCopyPiece, length, m_fileBytes - start}));
            piece.resize(want);
            if (!read(start, piece.data(), want) || !sink(piece.data(), want))
                return false;
            start += want;
            length -= want;
        }
        if (length > 0)
            return sink(m_memory.data() + (start - m_fileBytes), std::size_t(length));
        return true;
    }

private:
    static constexpr std::size_t kCopyPiece = std::size_t(1) << 20;
    bool spill();
    bool ioFailed(const QString& what);

    const char* m_content;
    std::size_t m_threshold;
    std::vector<std::uint8_t> m_memory; // the bytes after the file's
    std::unique_ptr<QTemporaryFile> m_file;
    std::uint64_t m_fileBytes = 0;
    QString m_error;
    int m_systemError = 0;
};

} // namespace engine::biff8
