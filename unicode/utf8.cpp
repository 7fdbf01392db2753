#include "unicode/utf8.h"

#include <cstdint>
#include <cstring>

namespace unicode {

namespace utf8 {

namespace {

// Number of bytes of the sequence a lead byte starts, 0 for a byte that cannot start one.
inline int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;
    if (lead < 0xE0)
        return 2;
    if (lead < 0xF0)
        return 3;
    if (lead < 0xF5)
        return 4;
    return 0;
}

// The range the second byte must lie in after `lead`: narrower than 80..BF where the lead would
// otherwise allow over-long forms, surrogates or code points beyond U+10FFFF.
inline void secondByteRange(unsigned char lead, unsigned char& low, unsigned char& high)
{
    low = 0x80;
    high = 0xBF;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
}

// Calls `valid(begin, end)` for each run of valid UTF-8 and `invalid()` for each invalid
// sequence, in text order; either may return false to stop the walk.
template <typename Valid, typename Invalid>
void walk(std::string_view text, Valid valid, Invalid invalid)
{
    const char* data = text.data();
    const std::size_t size = text.size();
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t length = validPrefix(data + pos, size - pos);
        if (length > 0 && !valid(pos, pos + length))
            return;
        pos += length;
        if (pos == size)
            return;
        bool truncated;
        const std::size_t bad = invalidSequenceLength(data + pos, size - pos, &truncated);
        if (!invalid(pos, pos + bad))
            return;
        pos += bad;
    }
}

// In valid UTF-8 every byte but a continuation byte begins a character, and only four-byte
// sequences need two UTF-16 units.
inline std::size_t validCharacters(const unsigned char* p, std::size_t n)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i)
        count += (p[i] & 0xC0) != 0x80;
    return count;
}

inline std::size_t validUtf16Units(const unsigned char* p, std::size_t n)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i)
        count += std::size_t((p[i] & 0xC0) != 0x80) + std::size_t(p[i] >= 0xF0);
    return count;
}

} // namespace

std::size_t validPrefix(const char* data, std::size_t size)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        // Most text is ASCII: step over eight such bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull)
                break;
            i += 8;
        }
        if (i >= size)
            break;
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const int length = sequenceLength(lead);
        if (length == 0 || i + length > size)
            return i;
        unsigned char low, high;
        secondByteRange(lead, low, high);
        if (p[i + 1] < low || p[i + 1] > high)
            return i;
        for (int k = 2; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return i;
        }
        i += length;
    }
    return size;
}

std::size_t invalidSequenceLength(const char* data, std::size_t size, bool* truncated)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    *truncated = false;
    const int length = sequenceLength(p[0]);
    if (length <= 1)
        return 1;
    std::size_t valid = 1;
    unsigned char low, high;
    secondByteRange(p[0], low, high);
    while (valid < std::size_t(length) && valid < size) {
        const unsigned char c = p[valid];
        if (valid == 1 ? (c < low || c > high) : (c & 0xC0) != 0x80)
            return valid;
        ++valid;
    }
    if (valid == size && valid < std::size_t(length))
        *truncated = true;
    return valid;
}

void appendRepaired(std::string& out, const char* data, std::size_t size)
{
    walk(
        std::string_view(data, size),
        [&](std::size_t begin, std::size_t end) {
            out.append(data + begin, end - begin);
            return true;
        },
        [&](std::size_t, std::size_t) {
            out += ReplacementCharacter;
            return true;
        });
}

void appendCodePoint(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::size_t characterCount(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t count = 0;
    walk(
        text,
        [&](std::size_t begin, std::size_t end) {
            count += validCharacters(p + begin, end - begin);
            return true;
        },
        [&](std::size_t, std::size_t) {
            ++count;
            return true;
        });
    return count;
}

std::size_t utf16Length(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t units = 0;
    walk(
        text,
        [&](std::size_t begin, std::size_t end) {
            units += validUtf16Units(p + begin, end - begin);
            return true;
        },
        [&](std::size_t, std::size_t) {
            ++units;
            return true;
        });
    return units;
}

std::string_view leftUtf16Units(std::string_view text, std::size_t maxUnits)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t units = 0;
    std::size_t cut = text.size();
    walk(
        text,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if ((p[i] & 0xC0) == 0x80)
                    continue;
                const std::size_t width = p[i] >= 0xF0 ? 2 : 1;
                if (units + width > maxUnits) {
                    cut = i;
                    return false;
                }
                units += width;
            }
            return true;
        },
        [&](std::size_t begin, std::size_t) {
            if (units + 1 > maxUnits) {
                cut = begin;
                return false;
            }
            ++units;
            return true;
        });
    return text.substr(0, cut);
}

void appendUtf16(std::string_view text, std::vector<char16_t>& out)
{
    // One pass: every string of an .xls file goes through here.
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    out.reserve(out.size() + size);
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out.push_back(char16_t(lead));
            ++i;
            continue;
        }
        const int length = sequenceLength(lead);
        bool valid = length > 0 && i + std::size_t(length) <= size;
        if (valid) {
            unsigned char low, high;
            secondByteRange(lead, low, high);
            valid = p[i + 1] >= low && p[i + 1] <= high;
            for (int k = 2; valid && k < length; ++k)
                valid = (p[i + k] & 0xC0) == 0x80;
        }
        if (!valid) {
            bool truncated;
            i += invalidSequenceLength(text.data() + i, size - i, &truncated);
            out.push_back(char16_t(0xFFFD));
            continue;
        }
        char32_t cp = lead & (0x7F >> length);
        for (int k = 1; k < length; ++k)
            cp = (cp << 6) | (p[i + k] & 0x3F);
        i += std::size_t(length);
        if (cp < 0x10000) {
            out.push_back(char16_t(cp));
        } else {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        }
    }
}

} // namespace utf8

namespace utf16 {

QString left(const QString& text, int maxUnits)
{
    if (text.size() <= maxUnits)
        return text;
    if (maxUnits > 0 && text.at(maxUnits - 1).isHighSurrogate())
        --maxUnits;
    return text.left(maxUnits);
}

} // namespace utf16

} // namespace unicode
