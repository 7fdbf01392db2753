#pragma once
// A ZIP archive written front to back, for the .xlsx container. Small parts are added whole;
// one large part at a time is streamed: its bytes are deflated on a worker thread while the
// caller produces the next ones, so generating and compressing overlap on two cores (a streamed
// part that stays within one chunk is deflated on the caller's thread, with no thread started).
// One deflate stream serves every part of an archive. The bytes
// are deterministic (fixed 1980-01-01 timestamps, entries in the order added), and ZIP64 records
// are written only when an entry or the archive passes 4 GiB.

#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sheets {

class ZipWriter
{
public:
    // `level` is the zlib deflate level (1 is fastest).
    explicit ZipWriter(int level = 1);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    bool open(const QString& path);
    // Adds a whole, deflated entry. No streamed entry may be open.
    bool addEntry(const std::string& name, std::string_view data);

    // Starts a streamed, deflated entry. The caller appends to buffer() and calls
    // flushIfFull() now and then; the buffer is handed to the compressor when it is full.
    bool beginEntry(const std::string& name);
    std::string& buffer() { return m_buffer; }
    bool flushIfFull() { return m_buffer.size() < kSmallEntry || growOrHandOver(); }
    bool endEntry();

    // Writes the central directory and closes the file.
    bool close();
    // Stops any streamed entry and closes the file without completing it.
    void abandon();

    QString errorString() const { return m_error; }

private:
    struct Entry
    {
        std::string name;
        std::uint32_t crc = 0;
        std::uint64_t compressedSize = 0;
        std::uint64_t size = 0;
        std::uint64_t offset = 0;
        bool reservedZip64 = false; // the local header carries room for a ZIP64 size field
    };
    class DeflateStream;
    class Compressor;

    // A streamed entry starts with a buffer this large; most sheets fit in it.
    static constexpr std::size_t kSmallEntry = std::size_t(1) << 16;

    bool growOrHandOver();
    bool handOver();
    bool writeLocalHeader(Entry& entry, bool reserveZip64);
    bool patchLocalHeader(const Entry& entry);
    bool writeRaw(const char* data, std::size_t size);
    bool fail(const QString& message);
    bool failIo();

    int m_level;
    std::size_t m_chunkSize = std::size_t(1) << 20;
    QFile m_file;
    std::uint64_t m_position = 0;
    std::vector<Entry> m_entries;
    std::string m_buffer;
    std::unique_ptr<DeflateStream> m_deflate; // declared before the compressor, which borrows it
    std::unique_ptr<Compressor> m_compressor;
    QString m_error;
};

} // namespace sheets
