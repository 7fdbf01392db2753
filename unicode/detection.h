#pragma once
// Recognition of a text's encoding when nobody says what it is. In this order:
// 1. a byte-order mark decides: UTF-8, UTF-32 LE/BE (FF FE 00 00, 00 00 FE FF; checked before the
//    UTF-16 marks, which the first begins with), UTF-16 LE/BE;
// 2. UTF-16 without a mark, LE or BE, when zero bytes fill every other position (see
//    Utf16ZeroShare): a mostly Latin UTF-16 text. This comes before the UTF-8 check because a
//    NUL is valid UTF-8, so such a text would pass as UTF-8 with a NUL after every letter;
// 3. UTF-8 when the bytes are valid UTF-8, or overwhelmingly valid (see InvalidPerValid) with a
//    few damaged sequences, each of which is then read as U+FFFD;
// 4. otherwise GBK, read as its superset GB18030, the 8-bit encoding of the texts this program
//    is made for.

#include <cstddef>
#include <cstdint>
#include <string>

namespace unicode {

enum class Encoding { Utf8, Utf16LE, Utf16BE, Utf32LE, Utf32BE, Gb18030 };

// The encoding's usual name: "UTF-8", "UTF-16LE", ..., "GB18030".
const char* encodingName(Encoding encoding);

struct ByteOrderMark
{
    Encoding encoding = Encoding::Utf8;
    int length = 0; // 0: there is no mark
};

// The byte-order mark at the start of [data, data + size), if any. Four bytes are enough to
// tell every mark.
ByteOrderMark byteOrderMark(const char* data, std::size_t size);

// A text is UTF-8 despite damaged sequences when it has at least one valid multi-byte sequence
// and at most one damaged sequence per InvalidPerValid valid multi-byte ones. A text in GBK
// looks like valid UTF-8 in about one character of seven, so it stays far below that share; a
// UTF-8 text with a stray byte stays far above it.
constexpr std::uint64_t InvalidPerValid = 20;

// A text without a mark is UTF-16 when zero bytes fill at least one in Utf16ZeroShare of the
// positions of one parity (odd for LE, where the high bytes of Latin letters lie; even for BE),
// at least two of them, and the other parity holds at most one zero byte per InvalidPerValid of
// those (a character such as U+4E00 has a zero low byte). A text in an 8-bit encoding or UTF-8
// has no zero bytes, or a stray one, never such a pattern.
constexpr std::uint64_t Utf16ZeroShare = 4;

// Gathers what recognition needs from the bytes of a text without a byte-order mark, fed piece
// by piece in order (a sequence may be cut between pieces).
class EncodingSniffer
{
public:
    void feed(const char* data, std::size_t size);
    // After the last piece.
    Encoding verdict();

    std::uint64_t validMultiByteSequences() const { return m_validMultiByte; }
    std::uint64_t invalidSequences() const { return m_invalid; }

private:
    std::size_t scanUtf8(const char* data, std::size_t size, bool atEnd);
    void countZeros(const char* data, std::size_t size);
    bool looksLikeUtf16(std::uint64_t zeros, std::uint64_t otherZeros) const;

    std::string m_pending; // the beginning of a sequence cut by the end of the last piece
    std::uint64_t m_size = 0;
    std::uint64_t m_validMultiByte = 0;
    std::uint64_t m_invalid = 0;
    std::uint64_t m_zerosEven = 0;
    std::uint64_t m_zerosOdd = 0;
};

} // namespace unicode
