#include "xls/biff8.h"

#include "unicode/utf8.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace engine::biff8 {

void putF64(std::uint8_t* p, double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(p, std::uint32_t(bits));
    putU32(p + 4, std::uint32_t(bits >> 32));
}

void ByteBuffer::reserve(std::size_t capacity)
{
    if (capacity <= m_capacity)
        return;
    std::size_t grown = std::max<std::size_t>(capacity, m_capacity + m_capacity / 2);
    grown = std::max<std::size_t>(grown, 256);
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[grown]);
    if (m_size)
        std::memcpy(bigger.get(), m_data.get(), m_size);
    m_data = std::move(bigger);
    m_capacity = grown;
}

double decodeRk(std::uint32_t rk)
{
    double value;
    if (rk & 2) {
        value = double(std::int32_t(rk) >> 2);
    } else {
        const std::uint64_t bits = std::uint64_t(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&value, &bits, sizeof value);
    }
    if (rk & 1)
        value /= 100;
    return value;
}

namespace {

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool asRkInteger(double value, std::uint32_t flags, std::uint32_t* rk)
{
    // RK integers are 30-bit signed.
    if (!(value >= -536870912.0 && value < 536870912.0) || value != std::floor(value))
        return false;
    *rk = (std::uint32_t(std::int32_t(value)) << 2) | 2u | flags;
    return true;
}

bool asRkFloat(double value, std::uint32_t flags, std::uint32_t* rk)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (bits & 0x3FFFFFFFFull)
        return false;
    *rk = std::uint32_t(bits >> 32) | flags;
    return true;
}

} // namespace

bool encodeRk(double value, std::uint32_t* rk)
{
    if (!std::isfinite(value))
        return false;
    std::uint32_t candidate;
    // Each form is accepted only if a reader gets back the very same double (sign of zero
    // included), so RK never changes a value.
    if (asRkInteger(value, 0, &candidate) && sameBits(decodeRk(candidate), value)) {
        *rk = candidate;
        return true;
    }
    if (asRkFloat(value, 0, &candidate) && sameBits(decodeRk(candidate), value)) {
        *rk = candidate;
        return true;
    }
    const double scaled = value * 100;
    if (std::isfinite(scaled)) {
        if (asRkInteger(std::nearbyint(scaled), 1, &candidate) && sameBits(decodeRk(candidate), value)) {
            *rk = candidate;
            return true;
        }
        if (asRkFloat(scaled, 1, &candidate) && sameBits(decodeRk(candidate), value)) {
            *rk = candidate;
            return true;
        }
    }
    return false;
}

namespace {

bool fitsEightBit(const char16_t* units, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (units[i] >= 0x100)
            return false;
    }
    return true;
}

void appendUnits(ByteBuffer& out, const char16_t* units, std::size_t count, bool eightBit)
{
    if (eightBit) {
        std::uint8_t* p = out.grow(count);
        for (std::size_t i = 0; i < count; ++i)
            p[i] = std::uint8_t(units[i]);
    } else {
        std::uint8_t* p = out.grow(2 * count);
        for (std::size_t i = 0; i < count; ++i)
            putU16(p + 2 * i, std::uint16_t(units[i]));
    }
}

bool isHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

} // namespace

std::size_t unicodeStringSize(const std::u16string_view& text, bool shortLength)
{
    const bool eightBit = fitsEightBit(text.data(), text.size());
    return (shortLength ? 2 : 3) + text.size() * (eightBit ? 1 : 2);
}

std::size_t appendUnicodeString(ByteBuffer& out, const std::u16string_view& text, bool shortLength)
{
    const bool eightBit = fitsEightBit(text.data(), text.size());
    if (shortLength)
        out.appendU8(std::uint8_t(text.size()));
    else
        out.appendU16(std::uint16_t(text.size()));
    out.appendU8(eightBit ? 0 : 1);
    appendUnits(out, text.data(), text.size(), eightBit);
    return unicodeStringSize(text, shortLength);
}

SharedStrings::SharedStrings() = default;
SharedStrings::~SharedStrings() = default;

std::string_view SharedStrings::store(std::string_view text)
{
    // Texts live in chunks so the index can key on views that never move. The chunks start small
    // and double up to 1 MiB, so a workbook of a few texts stays small.
    constexpr std::size_t kFirstChunk = 16 << 10;
    constexpr std::size_t kChunk = 1 << 20;
    if (text.empty())
        return std::string_view();
    if (text.size() > kChunk / 4) {
        m_chunks.emplace_back(new char[text.size()]);
        std::memcpy(m_chunks.back().get(), text.data(), text.size());
        std::string_view stored(m_chunks.back().get(), text.size());
        // Keep filling the current small-text chunk after this dedicated one.
        if (m_chunkSize) {
            std::swap(m_chunks.back(), m_chunks[m_chunks.size() - 2]);
        }
        return stored;
    }
    if (m_chunkSize - m_chunkUsed < text.size()) {
        std::size_t size = m_chunkSize ? std::min(2 * m_chunkSize, kChunk) : kFirstChunk;
        while (size < text.size())
            size *= 2;
        m_chunks.emplace_back(new char[size]);
        m_chunkSize = size;
        m_chunkUsed = 0;
    }
    char* p = m_chunks.back().get() + m_chunkUsed;
    std::memcpy(p, text.data(), text.size());
    m_chunkUsed += text.size();
    return std::string_view(p, text.size());
}

void SharedStrings::growIndex()
{
    std::vector<std::uint32_t> slots(std::max<std::size_t>(1024, 2 * m_slots.size()), 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t k = 0; k < m_strings.size(); ++k) {
        std::size_t i = m_hashes[k] & mask;
        while (slots[i])
            i = (i + 1) & mask;
        slots[i] = std::uint32_t(k + 1);
    }
    m_slots = std::move(slots);
}

std::uint32_t SharedStrings::intern(std::string_view text)
{
    ++m_references;
    // At most half the slots are used, so probe runs stay short.
    if (2 * (m_strings.size() + 1) > m_slots.size())
        growIndex();
    const std::size_t hash = std::hash<std::string_view>()(text);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hash & mask;
    while (const std::uint32_t slot = m_slots[i]) {
        if (m_hashes[slot - 1] == hash && m_strings[slot - 1] == text)
            return slot - 1;
        i = (i + 1) & mask;
    }
    const auto index = std::uint32_t(m_strings.size());
    m_strings.push_back(store(text));
    m_hashes.push_back(hash);
    m_slots[i] = index + 1;
    return index;
}

void SharedStrings::write(ByteBuffer& out, std::uint32_t streamOffset) const
{
    const std::size_t base = out.size();
    std::size_t recordStart = base;
    auto beginRecord = [&](std::uint16_t id) {
        recordStart = out.size();
        out.appendU16(id);
        out.appendU16(0);
    };
    auto endRecord = [&] { putU16(out.data() + recordStart + 2, std::uint16_t(out.size() - recordStart - 4)); };
    auto room = [&] { return kMaxRecordData - (out.size() - recordStart - 4); };

    const auto unique = std::uint32_t(m_strings.size());
    // EXTSST holds at most 128 buckets; each bucket points at its first string.
    const std::uint32_t perBucket = std::max<std::uint32_t>(8, (unique + 127) / 128);
    std::vector<std::pair<std::uint32_t, std::uint16_t>> buckets;
    buckets.reserve(128);

    beginRecord(kSst);
    out.appendU32(m_references);
    out.appendU32(unique);

    std::vector<char16_t> units;
    for (std::uint32_t i = 0; i < unique; ++i) {
        units.clear();
        unicode::utf8::appendUtf16(m_strings[i], units);
        const std::size_t count = units.size();
        // A string's header (length and option byte) never splits, and at least its first
        // character (a whole surrogate pair) goes with it; otherwise the string starts in a new
        // CONTINUE record.
        const std::size_t wholeSize = 3 + count * (fitsEightBit(units.data(), count) ? 1 : 2);
        if (wholeSize > room() && room() < 7) {
            endRecord();
            beginRecord(kContinue);
        }
        if (i % perBucket == 0)
            buckets.emplace_back(std::uint32_t(streamOffset + (out.size() - base)),
                                 std::uint16_t(out.size() - recordStart));
        out.appendU16(std::uint16_t(count));
        std::size_t done = 0;
        for (;;) {
            // The option byte: in the string header first, then at the start of each CONTINUE
            // record that carries more of its characters. Each piece chooses its own width.
            const std::size_t flagAt = out.size();
            out.appendU8(0);
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
            out.data()[flagAt] = eightBit ? 0 : 1;
            appendUnits(out, units.data() + done, take, eightBit);
            done += take;
            if (done == count)
                break;
            endRecord();
            beginRecord(kContinue);
        }
    }
    endRecord();

    std::uint8_t* p = out.record(kExtSst, std::uint16_t(2 + 8 * buckets.size()));
    putU16(p, std::uint16_t(perBucket));
    p += 2;
    for (const auto& bucket : buckets) {
        putU32(p, bucket.first);
        putU16(p + 4, bucket.second);
        putU16(p + 6, 0);
        p += 8;
    }
}

} // namespace engine::biff8
