#include "xls/biff8.h"

#include "unicode/utf8.h"

#include <algorithm>
#include <cmath>

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

} // namespace engine::biff8
