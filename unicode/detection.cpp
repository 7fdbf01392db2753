#include "unicode/detection.h"

#include "unicode/utf8.h"

#include <algorithm>
#include <cstring>

namespace unicode {

const char* encodingName(Encoding encoding)
{
    switch (encoding) {
    case Encoding::Utf8:
        return "UTF-8";
    case Encoding::Utf16LE:
        return "UTF-16LE";
    case Encoding::Utf16BE:
        return "UTF-16BE";
    case Encoding::Utf32LE:
        return "UTF-32LE";
    case Encoding::Utf32BE:
        return "UTF-32BE";
    case Encoding::Gb18030:
        return "GB18030";
    }
    return "";
}

ByteOrderMark byteOrderMark(const char* data, std::size_t size)
{
    auto startsWith = [&](const char* mark, std::size_t length) {
        return size >= length && std::memcmp(data, mark, length) == 0;
    };
    if (startsWith("\xEF\xBB\xBF", 3))
        return {Encoding::Utf8, 3};
    if (startsWith("\xFF\xFE\0\0", 4))
        return {Encoding::Utf32LE, 4};
    if (startsWith("\0\0\xFE\xFF", 4))
        return {Encoding::Utf32BE, 4};
    if (startsWith("\xFF\xFE", 2))
        return {Encoding::Utf16LE, 2};
    if (startsWith("\xFE\xFF", 2))
        return {Encoding::Utf16BE, 2};
    return {};
}

void EncodingSniffer::feed(const char* data, std::size_t size)
{
    countZeros(data, size);
    countHighBytes(data, size);
    m_size += size;
    std::size_t start = 0;
    if (!m_pending.empty()) {
        // Complete the cut sequence with the first bytes of this piece (it needs at most three).
        std::string joined = m_pending;
        joined.append(data, std::min<std::size_t>(size, 4 - m_pending.size()));
        const std::size_t used = scanUtf8(joined.data(), joined.size(), false);
        if (used == 0) {
            m_pending = joined; // still cut: this piece was too short to complete it
            return;
        }
        start = used - m_pending.size();
        m_pending.clear();
    }
    const std::size_t used = scanUtf8(data + start, size - start, false);
    m_pending.assign(data + start + used, size - start - used);
}

Encoding EncodingSniffer::verdict()
{
    if (!m_pending.empty()) {
        scanUtf8(m_pending.data(), m_pending.size(), true);
        m_pending.clear();
    }
    if (looksLikeUtf16(true))
        return Encoding::Utf16LE;
    if (looksLikeUtf16(false))
        return Encoding::Utf16BE;
    if (acceptableUtf8())
        return Encoding::Utf8;
    return Encoding::Gb18030;
}

// Counts the valid multi-byte and the invalid sequences of [data, data + size) and returns how
// many bytes it took; short of the end only when a sequence is cut there and more may follow.
std::size_t EncodingSniffer::scanUtf8(const char* data, std::size_t size, bool atEnd)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t valid = utf8::validPrefix(data + pos, size - pos);
        // In valid UTF-8 each byte from C0 on begins a multi-byte sequence.
        for (std::size_t i = pos; i < pos + valid; ++i)
            m_validMultiByte += p[i] >= 0xC0;
        pos += valid;
        if (pos == size)
            break;
        bool truncated;
        const std::size_t length = utf8::invalidSequenceLength(data + pos, size - pos, &truncated);
        if (truncated && !atEnd)
            break;
        ++m_invalid;
        pos += length;
    }
    return pos;
}

void EncodingSniffer::countZeros(const char* data, std::size_t size)
{
    if (size == 0)
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (m_zeroAwaitsPartner) {
        countZero(false, bytes[0]);
        m_zeroAwaitsPartner = false;
    }
    const char* end = data + size;
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, 0, std::size_t(end - p)))); ++p) {
        const auto i = std::size_t(p - data);
        const bool odd = (m_size + i) % 2 != 0;
        if (odd)
            countZero(true, i > 0 ? bytes[i - 1] : m_lastByte);
        else if (i + 1 < size)
            countZero(false, bytes[i + 1]);
        else
            m_zeroAwaitsPartner = true;
    }
    m_lastByte = bytes[size - 1];
}

// A zero byte at an odd or an even position, beside `partner`, the other byte of its unit. A unit
// of two zeros counts once, at its even position.
void EncodingSniffer::countZero(bool odd, unsigned char partner)
{
    if (partner != 0)
        ++(odd ? m_zerosOdd : m_zerosEven);
    else if (!odd)
        ++m_zeroUnits;
}

void EncodingSniffer::countHighBytes(const char* data, std::size_t size)
{
    if (m_size >= Utf16SampleBytes)
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const std::size_t n = std::size_t(std::min<std::uint64_t>(size, Utf16SampleBytes - m_size));
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t parity = (m_size + i) % 2;
        m_chinese[parity] += bytes[i] >= 0x4E && bytes[i] <= 0x9F;
        m_foreign[parity] += bytes[i] >= 0xA0 && bytes[i] != 0xFF;
    }
}

bool EncodingSniffer::acceptableUtf8() const
{
    return m_invalid == 0 || (m_validMultiByte > 0 && m_invalid * InvalidPerValid <= m_validMultiByte);
}

bool EncodingSniffer::looksChinese(bool odd) const
{
    const std::uint64_t sampledUnits = std::min(m_size, Utf16SampleBytes) / 2;
    return m_chinese[odd] * Utf16ChineseShare >= sampledUnits && m_foreign[odd] * InvalidPerValid <= sampledUnits;
}

// UTF-16 in the byte order whose high bytes stand at odd positions (LE) or at even ones (BE).
bool EncodingSniffer::looksLikeUtf16(bool odd) const
{
    const std::uint64_t zeros = odd ? m_zerosOdd : m_zerosEven;
    const std::uint64_t otherZeros = odd ? m_zerosEven : m_zerosOdd;
    const std::uint64_t units = m_size / 2;
    if (zeros < 2 || m_zeroUnits * InvalidPerValid > zeros)
        return false;
    if (zeros * Utf16ZeroShare >= units)
        return otherZeros * InvalidPerValid <= zeros || looksChinese(odd);
    return zeros * Utf16SparseShare >= units && !acceptableUtf8() && looksChinese(odd);
}

} // namespace unicode
