#pragma once
// Recognition of a text's encoding when nobody says what it is. In this order:
// 1. a byte-order mark decides: UTF-8, UTF-32 LE/BE (FF FE 00 00, 00 00 FE FF; checked before the
//    UTF-16 marks, which the first begins with), UTF-16 LE/BE;
// 2. UTF-16 without a mark, LE or BE, when zero bytes stand in every other position (see
//    Utf16ZeroShare): the high bytes of the tabs, line ends, digits and Latin letters of a UTF-16
//    text. This comes before the UTF-8 check because a NUL is valid UTF-8, so such a text would
//    pass as UTF-8 with a NUL after every letter;
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

// A text without a mark is UTF-16 when, among its two-byte units (from even positions), those
// whose high byte alone is zero (U+0001 to U+00FF: tabs, line ends, digits, Latin letters; odd
// positions for LE, even for BE) are at least two, the units that are wholly zero (NUL
// characters; half the units of UTF-32) are at most one per InvalidPerValid of them, and either
// - they fill at least one in Utf16ZeroShare of the units, and the units whose low byte alone is
//   zero are at most one per InvalidPerValid of them or the text looks Chinese (below); or
// - they fill at least one in Utf16SparseShare of the units, the text is no acceptable UTF-8
//   (which NUL-separated UTF-8 names would be), and it looks Chinese: Chinese prose has few Latin
//   characters, and its line ends may be outnumbered by characters such as U+4E00 "一" and U+3000
//   (the indent), whose low byte is zero.
// A text looks Chinese in a byte order when, within its first Utf16SampleBytes, at least one unit
// in Utf16ChineseShare has a high byte from 4E to 9F (the Chinese characters) and at most one in
// InvalidPerValid one from A0 to FE, which Chinese characters, punctuation and full-width forms
// never have: the other byte order, or GBK or UTF-8 bytes read in pairs, have many such.
// A text in an 8-bit encoding or in UTF-8 has no zero bytes, or a few stray ones in either
// position, never such a pattern.
constexpr std::uint64_t Utf16ZeroShare = 4;
constexpr std::uint64_t Utf16SparseShare = 64;
constexpr std::uint64_t Utf16ChineseShare = 8;
constexpr std::uint64_t Utf16SampleBytes = 1 << 20;

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
    void countZero(bool odd, unsigned char partner);
    void countHighBytes(const char* data, std::size_t size);
    bool acceptableUtf8() const;
    bool looksChinese(bool odd) const;
    bool looksLikeUtf16(bool odd) const;

    std::string m_pending; // the beginning of a sequence cut by the end of the last piece
    std::uint64_t m_size = 0;
    std::uint64_t m_validMultiByte = 0;
    std::uint64_t m_invalid = 0;
    // Two-byte units (from an even position) by their zero bytes: the first byte alone, the second
    // alone, both.
    std::uint64_t m_zerosEven = 0;
    std::uint64_t m_zerosOdd = 0;
    std::uint64_t m_zeroUnits = 0;
    unsigned char m_lastByte = 0;     // the last byte of the last piece
    bool m_zeroAwaitsPartner = false; // the last piece ended with a zero at an even position
    // Within the first Utf16SampleBytes, by the parity of the position (the high bytes of LE at
    // odd ones, of BE at even ones): bytes from 4E to 9F, the high bytes of Chinese characters,
    // and bytes from A0 to FE, which Chinese UTF-16 hardly has there.
    std::uint64_t m_chinese[2] = {0, 0};
    std::uint64_t m_foreign[2] = {0, 0};
};

} // namespace unicode
