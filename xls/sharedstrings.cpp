#include "xls/sharedstrings.h"

#include "unicode/utf8.h"
#include "xls/biff8.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace engine::biff8 {

namespace {

// What the temporary files keep in memory before they write: the records and the lookup runs up
// to a megabyte, the string positions (8 bytes a text) up to a quarter of that.
constexpr std::size_t kRecordsInMemory = std::size_t(1) << 20;
constexpr std::size_t kRunsInMemory = std::size_t(1) << 20;
constexpr std::size_t kPositionsInMemory = std::size_t(1) << 18;

// A run gets a sparse index entry every this many bytes, so a lookup reads about this much.
constexpr std::size_t kRunMarkSpacing = 1024;
// Bloom filter bits per text and probes: about one false "maybe" in three hundred.
constexpr std::size_t kBloomBitsPerText = 12;
constexpr int kBloomProbes = 8;
// Uses of a text are counted up to this.
constexpr std::uint32_t kMaxUses = 255;

// A text's bytes in the lookup runs: hash, index, length, then the UTF-8 bytes.
constexpr std::size_t kRunRecordHeader = 16;

std::uint64_t defaultHash(std::string_view text)
{
    return std::hash<std::string_view>()(text);
}

void putU64(std::uint8_t* p, std::uint64_t v)
{
    putU32(p, std::uint32_t(v));
    putU32(p + 4, std::uint32_t(v >> 32));
}

std::uint32_t getU32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t getU64(const std::uint8_t* p)
{
    return std::uint64_t(getU32(p)) | std::uint64_t(getU32(p + 4)) << 32;
}

inline void prefetch(const void* address)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    static_cast<void>(address);
#endif
}

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// Bloom filter positions: double hashing from the two halves of the text's hash.
template <typename Visit>
void bloomPositions(std::uint64_t hash, std::size_t bits, Visit&& visit)
{
    const std::uint64_t first = std::uint32_t(hash);
    const std::uint64_t step = (hash >> 32) | 1;
    for (int i = 0; i < kBloomProbes; ++i)
        visit(std::size_t((first + std::uint64_t(i) * step) % bits));
}

} // namespace

struct SharedStringTable::Private
{
    // A text held in memory for lookups.
    struct Entry
    {
        static constexpr std::size_t kInline = 16;
        std::uint64_t hash;
        std::uint32_t index;
        std::uint32_t length : 24; // at most 32,767 UTF-16 units, so below 128 KiB of UTF-8
        std::uint32_t uses : 8;    // up to kMaxUses, halved each time texts move to a run
        // Most texts that recur (names, places, codes) are short: kept in the entry itself, a
        // lookup finds them without a further miss of the cache; longer ones are in the chunks.
        union {
            const char* text;
            char inlined[kInline];
        };
        const char* data() const { return length <= kInline ? inlined : text; }
    };
    // Texts moved to disk: [start, end) of the runs file, sorted by hash.
    struct Run
    {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::vector<std::uint64_t> bloom;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> marks; // hash of a record, its offset
    };

    Private(std::size_t memoryBudget, Hash hashFunction)
        : budget(std::max<std::size_t>(memoryBudget, 32 << 10)), hash(hashFunction ? hashFunction : defaultHash)
    {}

    std::size_t budget;
    Hash hash;
    QString error;
    std::uint32_t unique = 0;
    std::uint32_t references = 0;

    // Lookup in memory: entries, open addressing over them (0 is a free slot, else index + 1)
    // and the texts, in chunks that never move.
    std::vector<Entry> entries;
    std::vector<std::uint32_t> slots;
    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t chunkUsed = 0;
    std::size_t chunkSize = 0;
    std::size_t textBytes = 0;

    SpillFile runFile{"string lookup", kRunsInMemory};
    std::vector<Run> runs;
    std::vector<std::uint8_t> runScratch;

    // The records: SST then CONTINUE records, the one being filled in `record`, the finished ones
    // in `records`; `positions` holds where each text starts, for EXTSST.
    SpillFile records{"string table", kRecordsInMemory};
    SpillFile positions{"string table", kPositionsInMemory};
    ByteBuffer record;
    bool closed = false;
    std::vector<char16_t> units;

    // The entries have room reserved for as many as the budget allows (reserved, not touched, so
    // only those in use take memory, and adding one never copies them all). The slots count half
    // again: growing them holds the old and the new table at once.
    std::size_t memoryUsed() const
    {
        return textBytes + entries.size() * sizeof(Entry) + slots.size() * sizeof(std::uint32_t) * 3 / 2;
    }

    bool fail(const QString& message)
    {
        if (error.isEmpty())
            error = message;
        return false;
    }

    const char* storeText(std::string_view text);
    void insert(std::string_view text, std::uint64_t textHash, std::uint32_t index, std::uint32_t uses);
    Entry* find(std::string_view text, std::uint64_t textHash);
    void growSlots(std::size_t size);
    bool moveToRun();
    bool findInRuns(std::string_view text, std::uint64_t textHash, std::uint32_t& index);
    bool writeRun(std::vector<Entry>::iterator first, std::vector<Entry>::iterator last);

    void beginRecord(std::uint16_t id);
    bool endRecord();
    std::size_t room() const { return kMaxRecordData - (record.size() - 4); }
    bool appendText(std::string_view text);
    bool close();
    std::uint32_t bucketSize() const { return std::max<std::uint32_t>(8, (unique + 127) / 128); }
    std::uint32_t bucketCount() const { return unique == 0 ? 0 : (unique - 1) / bucketSize() + 1; }
};

const char* SharedStringTable::Private::storeText(std::string_view text)
{
    // Chunks start small and double up to 1 MiB (an eighth of the budget at most), so a workbook
    // of a few texts stays small; a long text gets a chunk of its own. Memory counts whole chunks.
    const std::size_t chunkLimit = std::min<std::size_t>(1 << 20, budget / 8);
    const std::size_t firstChunk = std::min<std::size_t>(16 << 10, chunkLimit);
    if (text.size() > chunkLimit / 4) {
        chunks.emplace_back(new char[text.size()]);
        textBytes += text.size();
        std::memcpy(chunks.back().get(), text.data(), text.size());
        const char* stored = chunks.back().get();
        // Keep filling the current chunk of short texts after this one.
        if (chunkSize)
            std::swap(chunks.back(), chunks[chunks.size() - 2]);
        return stored;
    }
    if (chunkSize - chunkUsed < text.size()) {
        std::size_t size = chunkSize ? std::min(2 * chunkSize, chunkLimit) : firstChunk;
        while (size < text.size())
            size *= 2;
        chunks.emplace_back(new char[size]);
        textBytes += size;
        chunkSize = size;
        chunkUsed = 0;
    }
    char* p = chunks.back().get() + chunkUsed;
    std::memcpy(p, text.data(), text.size());
    chunkUsed += text.size();
    return p;
}

void SharedStringTable::Private::growSlots(std::size_t size)
{
    std::vector<std::uint32_t> grown(size, 0);
    const std::size_t mask = size - 1;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        std::size_t i = std::size_t(entries[k].hash) & mask;
        while (grown[i])
            i = (i + 1) & mask;
        grown[i] = std::uint32_t(k + 1);
    }
    slots = std::move(grown);
}

namespace {

// Texts are mostly short: compared with a few fixed-size loads instead of a call to memcmp.
bool sameText(const char* a, const char* b, std::size_t n)
{
    if (n >= 8 && n <= 16) {
        std::uint64_t a1, a2, b1, b2;
        std::memcpy(&a1, a, 8);
        std::memcpy(&b1, b, 8);
        std::memcpy(&a2, a + n - 8, 8);
        std::memcpy(&b2, b + n - 8, 8);
        return a1 == b1 && a2 == b2;
    }
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] != b[i])
                return false;
        }
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

} // namespace

SharedStringTable::Private::Entry* SharedStringTable::Private::find(std::string_view text, std::uint64_t textHash)
{
    if (slots.empty())
        return nullptr;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = std::size_t(textHash) & mask; slots[i]; i = (i + 1) & mask) {
        Entry& entry = entries[slots[i] - 1];
        if (entry.hash == textHash && entry.length == text.size() && sameText(entry.data(), text.data(), text.size()))
            return &entry;
    }
    return nullptr;
}

void SharedStringTable::Private::insert(std::string_view text, std::uint64_t textHash, std::uint32_t index,
                                        std::uint32_t uses)
{
    if (entries.capacity() == 0)
        entries.reserve(budget / sizeof(Entry) + 16);
    // At most half the slots are used, so probe runs stay short.
    if (2 * (entries.size() + 1) > slots.size())
        growSlots(std::max<std::size_t>(1024, 2 * slots.size()));
    Entry entry{};
    entry.hash = textHash;
    entry.index = index;
    entry.length = std::uint32_t(text.size());
    entry.uses = uses;
    if (text.size() <= Entry::kInline)
        std::memcpy(entry.inlined, text.data(), text.size());
    else
        entry.text = storeText(text);
    entries.push_back(entry);
    const std::size_t mask = slots.size() - 1;
    std::size_t i = std::size_t(textHash) & mask;
    while (slots[i])
        i = (i + 1) & mask;
    slots[i] = std::uint32_t(entries.size());
}

bool SharedStringTable::Private::moveToRun()
{
    // The texts used least go to a run: those used once since they last stayed, or, while what
    // stays would still fill more than half the budget, those used fewer than 4, 8, ... times.
    // Uses are halved for the texts that stay, so a text used often long ago makes room in time.
    std::size_t bytesByUses[kMaxUses + 1] = {};
    for (const Entry& entry : entries)
        bytesByUses[entry.uses] += entry.length + sizeof(Entry) + 4 * sizeof(std::uint32_t);
    std::uint32_t keepFrom = 2;
    for (;; keepFrom *= 2) {
        std::size_t staying = 0;
        for (std::uint32_t uses = keepFrom; uses <= kMaxUses; ++uses)
            staying += bytesByUses[uses];
        if (staying <= budget / 2 || keepFrom > kMaxUses)
            break;
    }
    const auto firstMoving = std::partition(entries.begin(), entries.end(),
                                            [keepFrom](const Entry& entry) { return entry.uses >= keepFrom; });
    if (firstMoving != entries.end() && !writeRun(firstMoving, entries.end()))
        return false;
    entries.erase(firstMoving, entries.end());

    // The texts that stay move to fresh chunks, so the old ones can go.
    std::vector<std::unique_ptr<char[]>> oldChunks;
    oldChunks.swap(chunks);
    chunkUsed = chunkSize = textBytes = 0;
    for (Entry& entry : entries) {
        if (entry.length > Entry::kInline)
            entry.text = storeText(std::string_view(entry.text, entry.length));
        entry.uses = entry.uses / 2;
    }
    std::vector<std::uint32_t>().swap(slots);
    std::size_t slotCount = 1024;
    while (slotCount < 2 * (entries.size() + 1))
        slotCount *= 2;
    growSlots(slotCount);
    return true;
}

bool SharedStringTable::Private::writeRun(std::vector<Entry>::iterator first, std::vector<Entry>::iterator last)
{
    std::sort(first, last, [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
    Run run;
    run.start = runFile.size();
    const auto count = std::size_t(last - first);
    run.bloom.assign((std::max<std::size_t>(64, kBloomBitsPerText * count) + 63) / 64, 0);
    const std::size_t bits = run.bloom.size() * 64;
    std::uint64_t lastMark = 0;
    std::uint8_t header[kRunRecordHeader];
    for (auto entry = first; entry != last; ++entry) {
        const std::uint64_t at = runFile.size();
        if (run.marks.empty() || at - lastMark >= kRunMarkSpacing) {
            run.marks.emplace_back(entry->hash, at);
            lastMark = at;
        }
        bloomPositions(entry->hash, bits,
                       [&run](std::size_t bit) { run.bloom[bit / 64] |= std::uint64_t(1) << (bit % 64); });
        putU64(header, entry->hash);
        putU32(header + 8, entry->index);
        putU32(header + 12, entry->length);
        if (!runFile.append(header, sizeof header) || !runFile.append(entry->data(), entry->length))
            return fail(runFile.errorString());
    }
    run.end = runFile.size();
    runs.push_back(std::move(run));
    return true;
}

bool SharedStringTable::Private::findInRuns(std::string_view text, std::uint64_t textHash, std::uint32_t& index)
{
    // Newer runs first: a text used again lately is there.
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        const std::size_t bits = run->bloom.size() * 64;
        bool maybe = true;
        bloomPositions(textHash, bits,
                       [&](std::size_t bit) { maybe = maybe && (run->bloom[bit / 64] >> (bit % 64) & 1); });
        if (!maybe)
            continue;
        // Records with this hash lie after the last mark of a smaller hash and before the first
        // mark of a larger one.
        const auto& marks = run->marks;
        const auto firstNotSmaller = std::lower_bound(marks.begin(), marks.end(), textHash,
                                                      [](const auto& mark, std::uint64_t h) { return mark.first < h; });
        const auto firstLarger = std::upper_bound(marks.begin(), marks.end(), textHash,
                                                  [](std::uint64_t h, const auto& mark) { return h < mark.first; });
        const std::uint64_t from = firstNotSmaller == marks.begin() ? run->start : std::prev(firstNotSmaller)->second;
        const std::uint64_t to = firstLarger == marks.end() ? run->end : firstLarger->second;
        runScratch.resize(std::size_t(to - from));
        if (!runFile.read(from, runScratch.data(), runScratch.size()))
            return fail(runFile.errorString());
        for (std::size_t at = 0; at + kRunRecordHeader <= runScratch.size();) {
            const std::uint8_t* p = runScratch.data() + at;
            const std::uint64_t recordHash = getU64(p);
            const std::uint32_t length = getU32(p + 12);
            if (recordHash > textHash)
                break;
            if (recordHash == textHash && length == text.size() &&
                std::memcmp(p + kRunRecordHeader, text.data(), length) == 0) {
                index = getU32(p + 8);
                return true;
            }
            at += kRunRecordHeader + length;
        }
    }
    return false;
}

void SharedStringTable::Private::beginRecord(std::uint16_t id)
{
    record.clear();
    record.appendU16(id);
    record.appendU16(0);
}

bool SharedStringTable::Private::endRecord()
{
    putU16(record.data() + 2, std::uint16_t(record.size() - 4));
    if (!records.append(record.data(), record.size()))
        return fail(records.errorString());
    return true;
}

// Appends a new text's string to the records: its header (length and option byte) never splits,
// and at least its first character (a whole surrogate pair) goes with it; otherwise the string
// starts in a new CONTINUE record.
bool SharedStringTable::Private::appendText(std::string_view text)
{
    units.clear();
    unicode::utf8::appendUtf16(text, units);
    const std::size_t count = units.size();
    const std::size_t wholeSize = 3 + count * (fitsEightBit(units.data(), count) ? 1 : 2);
    if (wholeSize > room() && room() < 7) {
        if (!endRecord())
            return false;
        beginRecord(kContinue);
    }
    std::uint8_t position[8];
    putU32(position, std::uint32_t(records.size() + record.size()));
    putU16(position + 4, std::uint16_t(record.size()));
    putU16(position + 6, 0);
    if (!positions.append(position, sizeof position))
        return fail(positions.errorString());

    record.appendU16(std::uint16_t(count));
    std::size_t done = 0;
    for (;;) {
        // The option byte: in the string header first, then at the start of each CONTINUE
        // record that carries more of its characters. Each piece chooses its own width.
        const std::size_t flagAt = record.size();
        record.appendU8(0);
        const std::size_t space = room();
        const std::size_t rest = count - done;
        const std::size_t window = std::min(space, rest);
        const bool eightBit = fitsEightBit(units.data() + done, window);
        std::size_t take;
        if (eightBit) {
            take = window;
        } else {
            take = std::min(space / 2, rest);
            // A surrogate pair stays in one piece: readers decode each piece on its own.
            if (take < rest && take > 0 && isHighSurrogate(units[done + take - 1]))
                --take;
        }
        record.data()[flagAt] = eightBit ? 0 : 1;
        appendUnits(record, units.data() + done, take, eightBit);
        done += take;
        if (done == count)
            return true;
        if (!endRecord())
            return false;
        beginRecord(kContinue);
    }
}

bool SharedStringTable::Private::close()
{
    if (closed)
        return true;
    closed = true;
    if (!endRecord())
        return false;
    // The counts at the start of the SST record are known only now.
    std::uint8_t counts[8];
    putU32(counts, references);
    putU32(counts + 4, unique);
    if (!records.overwrite(4, counts, sizeof counts))
        return fail(records.errorString());
    // The lookup is over; its memory and runs can go.
    std::vector<Entry>().swap(entries);
    std::vector<std::uint32_t>().swap(slots);
    std::vector<std::unique_ptr<char[]>>().swap(chunks);
    std::vector<Run>().swap(runs);
    return true;
}

SharedStringTable::SharedStringTable(std::size_t memoryBudget, Hash hash)
    : d(std::make_unique<Private>(memoryBudget, hash))
{
    d->beginRecord(kSst);
    d->record.appendU32(0); // references and unique texts, written at the end
    d->record.appendU32(0);
}

SharedStringTable::~SharedStringTable() = default;

bool SharedStringTable::intern(std::string_view text, std::uint32_t& index)
{
    return intern(text, d->hash(text), index);
}

bool SharedStringTable::intern(std::string_view text, std::uint64_t textHash, std::uint32_t& index)
{
    if (!d->error.isEmpty() || d->closed)
        return d->fail(QStringLiteral("the string table is closed"));
    ++d->references;
    if (Private::Entry* entry = d->find(text, textHash)) {
        if (entry->uses < kMaxUses)
            ++entry->uses;
        index = entry->index;
        return true;
    }
    // A text found in a run has been used before: it comes back as used twice, so it stays in
    // memory the next time texts move.
    std::uint32_t uses = 2;
    if (!d->findInRuns(text, textHash, index)) {
        if (!d->error.isEmpty())
            return false;
        index = d->unique++;
        uses = 1;
        if (!d->appendText(text))
            return false;
    }
    d->insert(text, textHash, index, uses);
    return d->memoryUsed() <= d->budget || d->moveToRun();
}

bool SharedStringTable::internAll(const std::string_view* texts, std::size_t count, std::uint32_t* indexes)
{
    // The lookups of a row's texts wait mostly for memory: their slots, then their entries, are
    // fetched for all of them first, so the waits overlap.
    constexpr std::size_t kBatch = 64;
    std::uint64_t hashes[kBatch];
    for (std::size_t start = 0; start < count; start += kBatch) {
        const std::size_t n = std::min(kBatch, count - start);
        const std::size_t mask = d->slots.empty() ? 0 : d->slots.size() - 1;
        for (std::size_t i = 0; i < n; ++i) {
            hashes[i] = d->hash(texts[start + i]);
            if (mask)
                prefetch(&d->slots[std::size_t(hashes[i]) & mask]);
        }
        for (std::size_t i = 0; mask && i < n; ++i) {
            if (const std::uint32_t slot = d->slots[std::size_t(hashes[i]) & mask])
                prefetch(&d->entries[slot - 1]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (!intern(texts[start + i], hashes[i], indexes[start + i]))
                return false;
        }
    }
    return true;
}

std::uint32_t SharedStringTable::uniqueCount() const
{
    return d->unique;
}

std::uint32_t SharedStringTable::referenceCount() const
{
    return d->references;
}

std::size_t SharedStringTable::runCount() const
{
    return d->runs.size();
}

std::size_t SharedStringTable::memoryInUse() const
{
    return d->memoryUsed();
}

std::uint64_t SharedStringTable::size() const
{
    const std::uint64_t sst = d->records.size() + (d->closed ? 0 : d->record.size());
    return sst + 4 + 2 + 8 * std::uint64_t(d->bucketCount());
}

bool SharedStringTable::write(std::uint32_t streamOffset,
                              const std::function<bool(const std::uint8_t*, std::size_t)>& sink)
{
    if (!d->error.isEmpty() || !d->close())
        return false;
    bool sinkFailed = false;
    const bool copied = d->records.copy(0, d->records.size(), [&](const std::uint8_t* data, std::size_t size) {
        sinkFailed = !sink(data, size);
        return !sinkFailed;
    });
    if (!copied)
        return sinkFailed ? false : d->fail(d->records.errorString());

    // EXTSST: at most 128 buckets, each pointing at its first string.
    const std::uint32_t perBucket = d->bucketSize();
    const std::uint32_t buckets = d->bucketCount();
    ByteBuffer extsst;
    std::uint8_t* p = extsst.record(kExtSst, std::uint16_t(2 + 8 * buckets));
    putU16(p, std::uint16_t(perBucket));
    p += 2;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        std::uint8_t position[8];
        if (!d->positions.read(8 * std::uint64_t(b) * perBucket, position, sizeof position))
            return d->fail(d->positions.errorString());
        putU32(p, streamOffset + getU32(position));
        std::memcpy(p + 4, position + 4, 2);
        putU16(p + 6, 0);
        p += 8;
    }
    return sink(extsst.data(), extsst.size());
}

QString SharedStringTable::errorString() const
{
    return d->error;
}

int SharedStringTable::systemError() const
{
    for (const SpillFile* file : {&d->runFile, &d->records, &d->positions}) {
        if (file->systemError() != 0)
            return file->systemError();
    }
    return 0;
}

} // namespace engine::biff8
