#include "xlsx/zipwriter.h"

#include "files/filedevice.h"
#include "xlsx/deflater.h"

#include <QDir>
#include <QIODevice>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace engine {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
// Office's own "growth hint" padding field: readers skip it, so it holds the room a ZIP64 size
// field would need until the size of a streamed entry is known.
constexpr std::uint16_t kPaddingExtraId = 0xa220;
constexpr std::uint16_t kPaddingSignature = 0xa028;
constexpr std::uint16_t kReservedExtraSize = 20;
constexpr std::uint16_t kMethodDeflate = 8;
// 1980-01-01 00:00:00, the earliest MS-DOS time: the bytes must not depend on the clock.
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = (1 << 5) | 1;
constexpr std::uint64_t k32BitLimit = 0xffffffffu;

void put16(std::string& out, std::uint16_t value)
{
    out += char(value & 0xff);
    out += char(value >> 8);
}

void put32(std::string& out, std::uint32_t value)
{
    put16(out, std::uint16_t(value & 0xffff));
    put16(out, std::uint16_t(value >> 16));
}

void put64(std::string& out, std::uint64_t value)
{
    put32(out, std::uint32_t(value & 0xffffffffu));
    put32(out, std::uint32_t(value >> 32));
}

bool needsZip64(std::uint64_t size, std::uint64_t compressedSize)
{
    return size >= k32BitLimit || compressedSize >= k32BitLimit;
}

// The threads that compress run at a lower priority than the one that produces: on a machine with
// fewer free cores than threads, the producer, whose work decides when the entry is done, is not
// kept waiting while a chunk is compressed that nothing waits for yet.
void yieldToProducer()
{
#ifdef Q_OS_LINUX
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), getpriority(PRIO_PROCESS, 0) + 4);
#endif
}

} // namespace

// Deflates one streamed entry on worker threads and writes the result to the file, the way
// pigz does: every chunk is compressed on its own and ends byte-aligned with a sync flush (the
// last one with the final block), so the compressed chunks, written in order, make one deflate
// stream. The producer hands over full buffers and gets empty ones back.
class ZipWriter::Compressor
{
public:
    // `first` is the writer's own compressor. An entry that fits in one chunk is compressed with it
    // on the caller's thread; the workers, the second with a compressor of its own, start with the
    // second chunk. Most sheets are small, and a run over many small sources then never starts a
    // thread.
    Compressor(QIODevice& device, int level, Deflater& first) : m_device(device), m_level(level)
    {
        m_deflaters[0] = &first;
    }
    ~Compressor() { stop(); }

    // Queues `buffer` and leaves an empty one in its place; false once writing has failed.
    bool push(std::string& buffer, bool last = false)
    {
        if (!startWorkers())
            return false;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_jobs.size() < kMaxInFlight || m_failed; });
        if (m_failed)
            return false;
        Job job;
        // Each chunk may refer back into the end of the one before, as one stream would (pigz does
        // the same).
        job.dictionary.swap(m_tail);
        const std::size_t tail = std::min(buffer.size(), Deflater::kDictionarySize);
        m_tail.assign(buffer, buffer.size() - tail, tail);
        job.input = std::move(buffer);
        job.last = last;
        if (!m_spare.empty()) {
            job.output = std::move(m_spare.back());
            m_spare.pop_back();
        }
        buffer.clear();
        if (!m_spareInput.empty()) {
            buffer = std::move(m_spareInput.back());
            m_spareInput.pop_back();
        }
        buffer.clear();
        m_jobs.push_back(std::move(job));
        m_changed.notify_all();
        return true;
    }

    // Queues the final buffer and waits until the whole stream is written. An entry that never
    // needed the workers is compressed here and appended to `pending` instead of written.
    bool finish(std::string& buffer, std::string& pending, std::uint32_t& crc, std::uint64_t& size,
                std::uint64_t& compressedSize, QString& error)
    {
        if (!m_workersStarted && !m_failed)
            return finishHere(buffer, pending, crc, size, compressedSize, error);
        bool ok = push(buffer, true);
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_finished || m_failed; });
            ok = ok && !m_failed;
        }
        stop();
        crc = m_crc;
        size = m_in;
        compressedSize = m_written;
        if (!ok)
            error = m_error;
        return ok;
    }

    // The whole entry is in `buffer`: compresses it on this thread and appends it to `pending`.
    bool finishHere(std::string& buffer, std::string& pending, std::uint32_t& crc, std::uint64_t& size,
                    std::uint64_t& compressedSize, QString& error)
    {
        Job job;
        job.input = std::move(buffer);
        job.last = true;
        const bool ok = compress(*m_deflaters[0], job);
        if (ok)
            pending.append(job.output.data(), job.outputSize);
        else
            error = QStringLiteral("the compressor failed");
        crc = job.crc;
        size = job.input.size();
        compressedSize = job.outputSize;
        buffer = std::move(job.input);
        buffer.clear();
        stop();
        return ok;
    }

    bool startWorkers()
    {
        if (m_workersStarted)
            return true;
        if (!m_second)
            m_second = std::make_unique<Deflater>(m_level);
        m_deflaters[1] = m_second.get();
        for (int i = 0; i < kWorkers; ++i)
            m_threads[std::size_t(i)] = std::thread([this, i] { run(*m_deflaters[std::size_t(i)]); });
        m_workersStarted = true;
        return true;
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_changed.notify_all();
        }
        for (std::thread& thread : m_threads) {
            if (thread.joinable())
                thread.join();
        }
    }

private:
    static constexpr int kWorkers = 2;
    // Chunks queued or in work; bounds the memory the pipeline holds.
    static constexpr std::size_t kMaxInFlight = 4;

    enum class State { Waiting, Working, Done };
    struct Job
    {
        std::string input;
        std::string dictionary; // the end of the chunk before
        std::string output;     // compressed bytes: the first outputSize (the buffer keeps its size)
        std::size_t outputSize = 0;
        std::uint32_t crc = 0;
        bool last = false;
        bool ok = true;
        State state = State::Waiting;
    };

    void run(Deflater& deflater)
    {
        yieldToProducer();
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] {
                    if (m_stopping)
                        return true;
                    for (Job& candidate : m_jobs) {
                        if (candidate.state == State::Waiting) {
                            job = &candidate;
                            return true;
                        }
                    }
                    return false;
                });
                if (m_stopping)
                    return;
                job->state = State::Working;
            }
            // A deque keeps its elements in place while others are added or the front removed,
            // and only the writer below removes a job, once it is done.
            job->ok = compress(deflater, *job);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                job->state = State::Done;
            }
            writeReady();
        }
    }

    static bool compress(Deflater& deflater, Job& job)
    {
        job.crc = crc32Update(0, job.input);
        return deflater.compressReusing(job.input, job.output, job.outputSize, job.last, job.dictionary);
    }

    // Writes every finished chunk at the front of the queue, in order.
    void writeReady()
    {
        std::lock_guard<std::mutex> writing(m_writeMutex);
        for (;;) {
            Job* job = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_jobs.empty() || m_jobs.front().state != State::Done)
                    return;
                job = &m_jobs.front();
            }
            // After a failure nothing more is written; the chunks are only drained.
            bool ok = job->ok && m_error.isEmpty();
            if (!job->ok && m_error.isEmpty())
                m_error = QStringLiteral("the compressor failed");
            if (ok && job->outputSize != 0) {
                ok = m_device.write(job->output.data(), qint64(job->outputSize)) == qint64(job->outputSize);
                if (!ok)
                    m_error = m_device.errorString();
            }
            m_crc = crc32Combine(m_crc, job->crc, job->input.size());
            m_in += job->input.size();
            m_written += job->outputSize;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!ok)
                m_failed = true;
            if (job->last)
                m_finished = true;
            job->input.clear();
            m_spareInput.push_back(std::move(job->input));
            m_spare.push_back(std::move(job->output));
            m_jobs.pop_front();
            m_changed.notify_all();
        }
    }

    QIODevice& m_device;
    int m_level;
    std::unique_ptr<Deflater> m_second;
    std::string m_tail; // the end of the last chunk queued, the next one's dictionary
    std::array<Deflater*, kWorkers> m_deflaters{};
    std::array<std::thread, kWorkers> m_threads;
    bool m_workersStarted = false;

    std::mutex m_writeMutex; // held while chunks are written; guards the totals below
    std::uint32_t m_crc = 0;
    std::uint64_t m_in = 0;
    std::uint64_t m_written = 0;
    QString m_error;

    std::mutex m_mutex; // guards the queue and the flags
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    std::vector<std::string> m_spare;
    std::vector<std::string> m_spareInput;
    bool m_finished = false;
    bool m_failed = false;
    bool m_stopping = false;
};

ZipWriter::ZipWriter(int level) : m_level(level), m_deflater(std::make_unique<Deflater>(level)) {}

ZipWriter::~ZipWriter()
{
    abandon();
}

bool ZipWriter::open(QIODevice* device)
{
    abandon();
    if (device == nullptr || !device->isWritable() || device->isSequential())
        return fail(QStringLiteral("the archive needs a writable, seekable device"));
    m_device = device;
    m_name.clear();
    m_position = 0;
    m_pending.clear();
    m_entries.clear();
    m_error.clear();
    return true;
}

bool ZipWriter::open(const QString& path)
{
    Failure failure;
    std::unique_ptr<QIODevice> file = files::createFileDevice(path, &failure);
    if (!file)
        return fail(QStringLiteral("cannot create %1: %2").arg(QDir::toNativeSeparators(path), failure.text()));
    if (!open(file.get()))
        return false;
    m_ownDevice = std::move(file);
    m_name = QDir::toNativeSeparators(path);
    return true;
}

bool ZipWriter::addEntry(const std::string& name, std::string_view data)
{
    if (m_compressor)
        return fail(QStringLiteral("a streamed entry is still open"));
    std::string deflated;
    if (!m_deflater->compress(data, deflated, true))
        return fail(QStringLiteral("the compressor failed"));
    return addDeflated(name, crc32Update(0, data), data.size(), deflated);
}

ZipWriter::PackedData ZipWriter::pack(std::string_view data, int level)
{
    // The same settings as an archive's own stream, so the bytes are the same.
    Deflater deflater(level);
    PackedData packed;
    packed.ok = deflater.compress(data, packed.deflated, true);
    packed.crc = crc32Update(0, data);
    packed.size = data.size();
    return packed;
}

bool ZipWriter::addPacked(const std::string& name, const PackedData& packed)
{
    if (m_compressor)
        return fail(QStringLiteral("a streamed entry is still open"));
    if (!packed.ok)
        return fail(QStringLiteral("the compressor failed"));
    return addDeflated(name, packed.crc, packed.size, packed.deflated);
}

bool ZipWriter::addDeflated(const std::string& name, std::uint32_t crc, std::uint64_t size, std::string_view deflated)
{
    Entry entry;
    entry.name = name;
    entry.crc = crc;
    entry.size = size;
    entry.compressedSize = deflated.size();
    if (!writeLocalHeader(entry, false) || !writeRaw(deflated.data(), deflated.size()))
        return false;
    m_entries.push_back(std::move(entry));
    return true;
}

bool ZipWriter::beginEntry(const std::string& name)
{
    if (m_compressor)
        return fail(QStringLiteral("a streamed entry is still open"));
    Entry entry;
    entry.name = name;
    if (!writeLocalHeader(entry, true))
        return false;
    m_entries.push_back(std::move(entry));
    m_compressor = std::make_unique<Compressor>(*m_device, m_level, *m_deflater);
    m_buffer.clear();
    m_buffer.reserve(kSmallEntry + (std::size_t(1) << 12));
    return true;
}

bool ZipWriter::growOrHandOver()
{
    if (m_buffer.size() >= kChunkSize)
        return handOver();
    // A sheet past the small size gets room for a whole chunk and the row that fills it at once,
    // so the buffer does not grow by copying again and again.
    m_buffer.reserve(kChunkSize + (std::size_t(1) << 18));
    return true;
}

bool ZipWriter::handOver()
{
    if (!m_compressor)
        return fail(QStringLiteral("no streamed entry is open"));
    // From here on the compressor's threads write to the file, after everything gathered so far.
    if (!writePending()) {
        m_compressor->stop();
        m_compressor.reset();
        return false;
    }
    if (m_compressor->push(m_buffer))
        return true;
    // The compressor reports what went wrong when the entry ends.
    return endEntry();
}

bool ZipWriter::endEntry()
{
    if (!m_compressor)
        return fail(QStringLiteral("no streamed entry is open"));
    Entry& entry = m_entries.back();
    QString error;
    const bool ok = m_compressor->finish(m_buffer, m_pending, entry.crc, entry.size, entry.compressedSize, error);
    m_compressor.reset();
    m_buffer.clear();
    if (!ok)
        return fail(writeError(error));
    m_position += entry.compressedSize;
    if (!patchLocalHeader(entry))
        return false;
    return m_pending.size() < kPendingLimit || writePending();
}

bool ZipWriter::writeLocalHeader(Entry& entry, bool reserveZip64)
{
    entry.offset = m_position;
    entry.reservedZip64 = reserveZip64;
    std::string header;
    header.reserve(30 + entry.name.size() + kReservedExtraSize);
    put32(header, kLocalHeaderSignature);
    put16(header, 20); // version needed: deflate
    put16(header, 0);  // flags: sizes in this header (patched in for streamed entries)
    put16(header, kMethodDeflate);
    put16(header, kDosTime);
    put16(header, kDosDate);
    put32(header, entry.crc);
    put32(header, std::uint32_t(entry.compressedSize));
    put32(header, std::uint32_t(entry.size));
    put16(header, std::uint16_t(entry.name.size()));
    put16(header, reserveZip64 ? kReservedExtraSize : 0);
    header += entry.name;
    if (reserveZip64) {
        put16(header, kPaddingExtraId);
        put16(header, kReservedExtraSize - 4);
        put16(header, kPaddingSignature);
        header.append(kReservedExtraSize - 6, '\0');
    }
    return writeRaw(header.data(), header.size());
}

bool ZipWriter::patchLocalHeader(const Entry& entry)
{
    const bool zip64 = needsZip64(entry.size, entry.compressedSize);
    std::string fields;
    put32(fields, entry.crc);
    put32(fields, zip64 ? 0xffffffffu : std::uint32_t(entry.compressedSize));
    put32(fields, zip64 ? 0xffffffffu : std::uint32_t(entry.size));
    std::string version;
    std::string extra;
    if (zip64) {
        put16(version, 45);
        put16(extra, kZip64ExtraId);
        put16(extra, 16);
        put64(extra, entry.size);
        put64(extra, entry.compressedSize);
    }
    const std::uint64_t extraOffset = entry.offset + 30 + entry.name.size();

    // A header still gathered in memory is patched there (the header is gathered whole).
    const std::uint64_t pendingStart = m_position - m_pending.size();
    if (entry.offset >= pendingStart) {
        const std::size_t at = std::size_t(entry.offset - pendingStart);
        m_pending.replace(at + 14, fields.size(), fields);
        if (zip64) {
            m_pending.replace(at + 4, version.size(), version);
            m_pending.replace(std::size_t(extraOffset - pendingStart), extra.size(), extra);
        }
        return true;
    }
    // Otherwise the file is patched in place, once it holds everything up to the archive's end.
    if (!writePending())
        return false;
    const qint64 end = qint64(m_position);
    bool ok = m_device->seek(qint64(entry.offset + 14)) && m_device->write(fields.data(), 12) == 12;
    if (ok && zip64) {
        ok = m_device->seek(qint64(entry.offset + 4)) && m_device->write(version.data(), 2) == 2 &&
             m_device->seek(qint64(extraOffset)) &&
             m_device->write(extra.data(), qint64(extra.size())) == qint64(extra.size());
    }
    if (!ok || !m_device->seek(end))
        return failIo();
    return true;
}

bool ZipWriter::close()
{
    if (m_compressor)
        return fail(QStringLiteral("a streamed entry is still open"));
    if (m_device == nullptr)
        return fail(QStringLiteral("the archive is not open"));
    const std::uint64_t directoryOffset = m_position;
    std::string directory;
    for (const Entry& entry : m_entries)
        appendCentralHeader(directory, entry);
    appendDirectoryEnd(directory, m_entries.size(), directoryOffset, directory.size());
    if (!writeRaw(directory.data(), directory.size()) || !writePending())
        return false;
    m_device = nullptr;
    if (m_ownDevice) {
        m_ownDevice->close();
        m_ownDevice.reset();
    }
    return true;
}

// The entry's record in the central directory. Sizes and the offset that do not fit 32 bits move
// to a ZIP64 extra field.
void ZipWriter::appendCentralHeader(std::string& directory, const Entry& entry)
{
    std::string extra;
    const bool bigSize = entry.size >= k32BitLimit;
    const bool bigCompressed = entry.compressedSize >= k32BitLimit;
    const bool bigOffset = entry.offset >= k32BitLimit;
    // A ZIP64 entry keeps both sizes in the extra field, as its local header does.
    const bool zip64Sizes = bigSize || bigCompressed;
    if (zip64Sizes) {
        put64(extra, entry.size);
        put64(extra, entry.compressedSize);
    }
    if (bigOffset)
        put64(extra, entry.offset);
    const bool zip64 = !extra.empty();
    put32(directory, kCentralHeaderSignature);
    put16(directory, zip64 ? 45 : 20); // made by: MS-DOS attributes
    put16(directory, zip64 ? 45 : 20);
    put16(directory, 0);
    put16(directory, kMethodDeflate);
    put16(directory, kDosTime);
    put16(directory, kDosDate);
    put32(directory, entry.crc);
    put32(directory, zip64Sizes ? 0xffffffffu : std::uint32_t(entry.compressedSize));
    put32(directory, zip64Sizes ? 0xffffffffu : std::uint32_t(entry.size));
    put16(directory, std::uint16_t(entry.name.size()));
    put16(directory, std::uint16_t(zip64 ? extra.size() + 4 : 0));
    put16(directory, 0); // comment
    put16(directory, 0); // disk
    put16(directory, 0); // internal attributes
    put32(directory, 0); // external attributes
    put32(directory, bigOffset ? 0xffffffffu : std::uint32_t(entry.offset));
    directory += entry.name;
    if (zip64) {
        put16(directory, kZip64ExtraId);
        put16(directory, std::uint16_t(extra.size()));
        directory += extra;
    }
}

// The end of central directory record, preceded by the ZIP64 end record and its locator when the
// entry count, the directory's size or its offset is too large for the classic record.
void ZipWriter::appendDirectoryEnd(std::string& directory, std::uint64_t count, std::uint64_t directoryOffset,
                                   std::uint64_t directorySize)
{
    const bool zip64End = count >= 0xffff || directoryOffset >= k32BitLimit || directorySize >= k32BitLimit;
    if (zip64End) {
        const std::uint64_t recordOffset = directoryOffset + directorySize;
        put32(directory, kZip64EndSignature);
        put64(directory, 44);
        put16(directory, 45);
        put16(directory, 45);
        put32(directory, 0);
        put32(directory, 0);
        put64(directory, count);
        put64(directory, count);
        put64(directory, directorySize);
        put64(directory, directoryOffset);
        put32(directory, kZip64LocatorSignature);
        put32(directory, 0);
        put64(directory, recordOffset);
        put32(directory, 1);
    }
    put32(directory, kEndSignature);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, zip64End ? 0xffff : std::uint16_t(count));
    put16(directory, zip64End ? 0xffff : std::uint16_t(count));
    put32(directory, zip64End ? 0xffffffffu : std::uint32_t(directorySize));
    put32(directory, zip64End ? 0xffffffffu : std::uint32_t(directoryOffset));
    put16(directory, 0);
}

void ZipWriter::abandon()
{
    if (m_compressor) {
        m_compressor->stop();
        m_compressor.reset();
    }
    m_pending.clear();
    m_device = nullptr;
    m_ownDevice.reset();
}

bool ZipWriter::writeRaw(const char* data, std::size_t size)
{
    m_pending.append(data, size);
    m_position += size;
    return m_pending.size() < kPendingLimit || writePending();
}

bool ZipWriter::writePending()
{
    if (m_pending.empty())
        return true;
    if (m_device->write(m_pending.data(), qint64(m_pending.size())) != qint64(m_pending.size()))
        return failIo();
    m_pending.clear();
    return true;
}

bool ZipWriter::fail(const QString& message)
{
    m_error = message;
    return false;
}

bool ZipWriter::failIo()
{
    return fail(writeError(m_device != nullptr ? m_device->errorString() : QString()));
}

QString ZipWriter::writeError(const QString& reason) const
{
    return m_name.isEmpty() ? QStringLiteral("cannot write the archive: %1").arg(reason)
                            : QStringLiteral("cannot write %1: %2").arg(m_name, reason);
}

} // namespace engine
