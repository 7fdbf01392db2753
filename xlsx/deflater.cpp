#include "xlsx/deflater.h"

#include <array>

namespace engine {

namespace {

// CRC-32 arithmetic in GF(2): polynomials modulo the reflected ZIP polynomial, as zlib's
// crc32_combine does it. A CRC is a polynomial of degree below 32 with x^0 in the top bit.
constexpr std::uint32_t kPolynomial = 0xedb88320u;

constexpr std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t product = 0;
    for (std::uint32_t m = std::uint32_t(1) << 31; m != 0; m >>= 1) {
        if (a & m) {
            product ^= b;
            if ((a & (m - 1)) == 0)
                break;
        }
        b = b & 1 ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(2^k) modulo P for k = 0..31; shifting a CRC by n bytes multiplies it by x^(8n).
constexpr std::array<std::uint32_t, 32> powersOfX()
{
    std::array<std::uint32_t, 32> table{};
    std::uint32_t p = std::uint32_t(1) << 30; // x^1
    for (std::uint32_t& entry : table) {
        entry = p;
        p = multiplyModP(p, p);
    }
    return table;
}
constexpr std::array<std::uint32_t, 32> kPowersOfX = powersOfX();

} // namespace

bool Deflater::compress(std::string_view input, std::string& out, bool last, std::string_view dictionary)
{
    const std::size_t start = out.size();
    std::size_t end = start;
    const bool ok = compressAt(input, out, start, end, last, dictionary);
    out.resize(ok ? end : start);
    return ok;
}

bool Deflater::compressReusing(std::string_view input, std::string& out, std::size_t& size, bool last,
                               std::string_view dictionary)
{
    return compressAt(input, out, 0, size, last, dictionary);
}

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength)
{
    // x^(8 * secondLength) modulo P, from the binary digits of the length (k starts at 3: 8 = 2^3).
    std::uint32_t shift = std::uint32_t(1) << 31; // x^0
    unsigned k = 3;
    for (std::uint64_t n = secondLength; n != 0; n >>= 1, ++k) {
        if (n & 1)
            shift = multiplyModP(kPowersOfX[k & 31], shift);
    }
    return multiplyModP(shift, first) ^ second;
}

} // namespace engine
