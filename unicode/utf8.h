#pragma once
// UTF-8 checking, repair, counting and conversion to UTF-16: the one place where the program
// takes UTF-8 apart. An invalid sequence is its longest part that could still begin a valid
// sequence (at least one byte); wherever one is met it stands for one U+FFFD, so that checking,
// repairing, counting and converting all agree on what a damaged text holds.

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace unicode {

// True for a code point that is a character: at most U+10FFFF and no surrogate.
constexpr bool isScalarValue(char32_t c)
{
    return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

namespace utf8 {

// U+FFFD, the character that stands for what could not be decoded.
constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";

// Length of the longest valid UTF-8 prefix of [data, data + size).
std::size_t validPrefix(const char* data, std::size_t size);

// At `data` (size > 0) a sequence that is not valid UTF-8 starts. Returns the length of its
// longest part that could still begin a valid sequence (at least 1): that many bytes become one
// U+FFFD. `truncated` is set when all `size` bytes are such a beginning, so more input could
// complete the character.
std::size_t invalidSequenceLength(const char* data, std::size_t size, bool* truncated);

// Appends `data` to `out` as valid UTF-8, each invalid sequence replaced by U+FFFD.
void appendRepaired(std::string& out, const char* data, std::size_t size);

// Appends the code point `cp` (<= 0x10FFFF, not a surrogate) as UTF-8.
void appendCodePoint(std::string& out, char32_t cp);

// Characters (code points) of a text; an invalid sequence counts as the one U+FFFD it becomes.
std::size_t characterCount(std::string_view text);

// UTF-16 code units of a text: one per character, two for those beyond the basic plane.
std::size_t utf16Length(std::string_view text);

// The longest prefix of a text within `maxUnits` UTF-16 units, ending at a character boundary
// (an invalid sequence is never cut either).
std::string_view leftUtf16Units(std::string_view text, std::size_t maxUnits);

// Appends a text to `out` as UTF-16 code units, each invalid sequence as U+FFFD.
void appendUtf16(std::string_view text, std::vector<char16_t>& out);

} // namespace utf8

namespace utf16 {

// The first `maxUnits` UTF-16 units of `text`, one fewer when the cut would split a surrogate
// pair.
QString left(const QString& text, int maxUnits);

} // namespace utf16

} // namespace unicode
