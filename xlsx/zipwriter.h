#pragma once
// A ZIP archive written front to back, for the .xlsx container. Small parts are added whole;
// one large part at a time is streamed: its bytes are deflated on a worker thread while the
// caller produces the next ones, so generating and compressing overlap on two cores (a streamed
// part that stays within one chunk is deflated on the caller's thread, with no thread started).
// One compressor (deflater.h: ISA-L or zlib) serves every part of an archive. The bytes are
// deterministic (fixed 1980-01-01 timestamps, entries in the order added, chunks cut at fixed
// sizes), and ZIP64 records are written only when an entry or the archive passes 4 GiB.
//
// Bytes produced on the caller's thread (headers, whole entries, small streamed entries, the
// directory) are gathered in memory and written in large pieces, so a small workbook costs one
// write call instead of one or two per entry.

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QIODevice;

namespace engine {

class Deflater;

class ZipWriter
{
public:
    // `level` is the deflate level (see Deflater; by default the compressor's own).
    static constexpr int kDefaultLevel = -1;
    explicit ZipWriter(int level = kDefaultLevel);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Starts the archive on `device` (open for writing, seekable: local headers are patched once
    // an entry's size is known). The device is the caller's and stays open.
    bool open(QIODevice* device);
    // The same on a file created (or emptied) at `path`, which close() closes.
    bool open(const QString& path);
    // Adds a whole, deflated entry. No streamed entry may be open.
    bool addEntry(const std::string& name, std::string_view data);

    // An entry's data deflated ahead of time. Parts that are the same in every archive are packed
    // once and added to each archive without compressing them again; the bytes are the same as
    // addEntry() of a writer with the same level writes for that data.
    struct PackedData
    {
        std::string deflated;
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        bool ok = false; // false when the compressor failed
    };
    static PackedData pack(std::string_view data, int level = kDefaultLevel);
    bool addPacked(const std::string& name, const PackedData& packed);

    // Starts a streamed, deflated entry. The caller appends to buffer() and calls
    // flushIfFull() now and then; the buffer is handed to the compressor when it is full.
    bool beginEntry(const std::string& name);
    std::string& buffer() { return m_buffer; }
    bool flushIfFull() { return m_buffer.size() < kSmallEntry || growOrHandOver(); }
    bool endEntry();

    // Writes the central directory; a file of open(path) is closed.
    bool close();
    // Stops any streamed entry and lets the device go without completing the archive.
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
    class Compressor;

    // A streamed entry starts with a buffer this large; most sheets fit in it.
    static constexpr std::size_t kSmallEntry = std::size_t(1) << 16;
    // A streamed entry past this size is handed to the compressor threads in pieces this large.
    static constexpr std::size_t kChunkSize = std::size_t(1) << 20;
    // Gathered bytes are written once there are this many.
    static constexpr std::size_t kPendingLimit = std::size_t(1) << 20;

    bool addDeflated(const std::string& name, std::uint32_t crc, std::uint64_t size, std::string_view deflated);
    bool growOrHandOver();
    bool handOver();
    bool writeLocalHeader(Entry& entry, bool reserveZip64);
    bool patchLocalHeader(const Entry& entry);
    static void appendCentralHeader(std::string& directory, const Entry& entry);
    static void appendDirectoryEnd(std::string& directory, std::uint64_t count, std::uint64_t directoryOffset,
                                   std::uint64_t directorySize);
    bool writeRaw(const char* data, std::size_t size);
    bool writePending();
    bool fail(const QString& message);
    bool failIo();
    QString writeError(const QString& reason) const;

    int m_level;
    QIODevice* m_device = nullptr;
    std::unique_ptr<QIODevice> m_ownDevice; // the file of open(path)
    QString m_name;                         // its path, for messages
    std::uint64_t m_position = 0;           // of the archive's end, counting the bytes still pending
    std::string m_pending;                  // the archive's last bytes, not yet written to the file
    std::vector<Entry> m_entries;
    std::string m_buffer;
    std::unique_ptr<Deflater> m_deflater; // declared before the compressor, which borrows it
    std::unique_ptr<Compressor> m_compressor;
    QString m_error;
};

} // namespace engine
