#include "unicode/textdecoder.h"

#include <QIODevice>
#include <QTextCodec>

#include <algorithm>
#include <cstring>

namespace unicode {

namespace utf8 {

namespace {

constexpr char Replacement[] = "\xEF\xBF\xBD";

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
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t valid = validPrefix(data + pos, size - pos);
        out.append(data + pos, valid);
        pos += valid;
        if (pos == size)
            break;
        bool truncated;
        pos += invalidSequenceLength(data + pos, size - pos, &truncated);
        out += Replacement;
    }
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

} // namespace utf8

QTextCodec* codecForCodePage(int codePage)
{
    if (codePage == 2)
        return QTextCodec::codecForLocale();
    if (codePage <= 0)
        return nullptr;
    // Names Qt knows with and without ICU come first; "windows-N" is ICU's alias for Microsoft's
    // numbering and covers most of the rest.
    struct Names
    {
        int codePage;
        const char* names[3];
    };
    static const Names table[] = {
        {936, {"GB18030"}},
        {54936, {"GB18030"}},
        {932, {"windows-932", "Shift_JIS"}},
        {949, {"windows-949", "cp949", "EUC-KR"}},
        {950, {"windows-950", "Big5"}},
        {874, {"windows-874", "TIS-620"}},
        {20127, {"US-ASCII"}},
        {20932, {"EUC-JP"}},
        {51932, {"EUC-JP"}},
        {50220, {"ISO-2022-JP"}},
        {50221, {"ISO-2022-JP"}},
        {50222, {"ISO-2022-JP"}},
        {51949, {"EUC-KR"}},
        {20936, {"GB2312"}},
        {52936, {"HZ-GB-2312"}},
        {12000, {"UTF-32LE"}},
        {12001, {"UTF-32BE"}},
        {20866, {"KOI8-R"}},
        {21866, {"KOI8-U"}},
        {10000, {"macintosh"}},
    };
    for (const Names& entry : table) {
        if (entry.codePage != codePage)
            continue;
        for (const char* name : entry.names) {
            if (!name)
                break;
            if (QTextCodec* codec = QTextCodec::codecForName(name))
                return codec;
        }
    }
    if (codePage >= 28591 && codePage <= 28606) {
        if (QTextCodec* codec = QTextCodec::codecForName("ISO-8859-" + QByteArray::number(codePage - 28590)))
            return codec;
    }
    if (QTextCodec* codec = QTextCodec::codecForName("windows-" + QByteArray::number(codePage)))
        return codec;
    if (codePage >= 437 && codePage <= 869) {
        if (QTextCodec* codec = QTextCodec::codecForName("IBM" + QByteArray::number(codePage)))
            return codec;
    }
    return nullptr;
}

struct TextDecoder::CodecState
{
    QTextCodec::ConverterState state{QTextCodec::IgnoreHeader};
};

TextDecoder::TextDecoder(QIODevice* device, std::size_t chunkSize)
    : m_device(device), m_chunkSize(std::min<std::size_t>(std::max<std::size_t>(chunkSize, 1), 1 << 30))
{}

TextDecoder::~TextDecoder() = default;

bool TextDecoder::start(int codePage)
{
    m_started = true;
    const QByteArray head = m_device->peek(3);
    if (head.startsWith("\xEF\xBB\xBF")) {
        m_device->skip(3);
        m_mode = Mode::Utf8;
        return true;
    }
    if (head.startsWith("\xFF\xFE") || head.startsWith("\xFE\xFF")) {
        m_mode = head.startsWith("\xFF\xFE") ? Mode::Utf16LE : Mode::Utf16BE;
        m_device->skip(2);
        return true;
    }
    switch (codePage) {
    case 65001:
        m_mode = Mode::Utf8;
        return true;
    case 1200:
        m_mode = Mode::Utf16LE;
        return true;
    case 1201:
        m_mode = Mode::Utf16BE;
        return true;
    case 0: {
        const qint64 origin = m_device->pos();
        const bool utf8 = isValidUtf8Device();
        if (!m_error.isEmpty())
            return false;
        if (!m_device->seek(origin)) {
            m_error = QStringLiteral("Cannot read the file again from its beginning: %1").arg(m_device->errorString());
            return false;
        }
        if (utf8) {
            m_mode = Mode::Utf8;
            return true;
        }
        codePage = 936;
        break;
    }
    default:
        break;
    }
    QTextCodec* codec = codecForCodePage(codePage);
    if (!codec) {
        m_error = QStringLiteral("Unknown code page %1: no decoder for it").arg(codePage);
        return false;
    }
    switch (codec->mibEnum()) {
    case 106:
        m_mode = Mode::Utf8;
        return true;
    case 1014:
        m_mode = Mode::Utf16LE;
        return true;
    case 1013:
        m_mode = Mode::Utf16BE;
        return true;
    default:
        break;
    }
    m_mode = Mode::Codec;
    m_codec = codec;
    m_codecState = std::make_unique<CodecState>();
    return true;
}

QByteArray TextDecoder::encodingName() const
{
    switch (m_mode) {
    case Mode::Utf8:
        return "UTF-8";
    case Mode::Utf16LE:
        return "UTF-16LE";
    case Mode::Utf16BE:
        return "UTF-16BE";
    case Mode::Codec:
        return m_codec->name();
    }
    return {};
}

// How many bytes the next read asks for: one chunk, or less when a file of known size has less
// left, so that a small file never gets (and clears) a whole chunk's buffer. One byte more than
// what is left is asked for, so a file that grew while being read is still read to its end.
std::size_t TextDecoder::readSize() const
{
    if (!m_device->isSequential()) {
        const qint64 remaining = m_device->size() - m_device->pos();
        if (remaining >= 0 && std::uint64_t(remaining) < m_chunkSize)
            return std::size_t(remaining) + 1;
    }
    return m_chunkSize;
}

bool TextDecoder::isValidUtf8Device()
{
    std::string buffer;
    std::size_t carry = 0;
    for (;;) {
        const std::size_t want = readSize();
        buffer.resize(carry + want);
        const qint64 n = m_device->read(buffer.data() + carry, qint64(want));
        if (n < 0) {
            m_error = QStringLiteral("Cannot read the file: %1").arg(m_device->errorString());
            return false;
        }
        const std::size_t size = carry + std::size_t(n);
        const std::size_t valid = utf8::validPrefix(buffer.data(), size);
        if (n == 0)
            return valid == size;
        if (valid < size) {
            bool truncated;
            utf8::invalidSequenceLength(buffer.data() + valid, size - valid, &truncated);
            if (!truncated)
                return false;
        }
        carry = size - valid;
        std::memmove(buffer.data(), buffer.data() + valid, carry);
    }
}

// Drops the bytes handed out by the previous call, keeps the carried ones at the front and reads
// the next chunk after them.
bool TextDecoder::fill()
{
    // The buffer only grows: the carried bytes (at most three) plus one read.
    const std::size_t want = m_atEnd ? 0 : readSize();
    if (m_raw.size() < want + 4)
        m_raw.resize(want + 4);
    std::memmove(m_raw.data(), m_raw.data() + m_rawSize - m_carry, m_carry);
    m_rawSize = m_carry;
    m_carry = 0;
    if (m_atEnd)
        return true;
    const qint64 n = m_device->read(m_raw.data() + m_rawSize, qint64(want));
    if (n < 0) {
        m_error = QStringLiteral("Cannot read the file: %1").arg(m_device->errorString());
        return false;
    }
    m_rawSize += std::size_t(n);
    if (n == 0)
        m_atEnd = true;
    return true;
}

bool TextDecoder::nextChunk(std::string_view& chunk)
{
    if (!m_started && !start(65001))
        return false;
    if (!m_error.isEmpty())
        return false;
    switch (m_mode) {
    case Mode::Utf8:
        return decodeUtf8(chunk);
    case Mode::Utf16LE:
    case Mode::Utf16BE:
        return decodeUtf16(chunk);
    case Mode::Codec:
        return decodeCodec(chunk);
    }
    return false;
}

bool TextDecoder::decodeUtf8(std::string_view& chunk)
{
    for (;;) {
        if (!fill())
            return false;
        const char* data = m_raw.data();
        const std::size_t size = m_rawSize;
        if (size == 0 && m_atEnd)
            return false;
        std::size_t pos = 0;
        std::size_t flushed = 0;
        std::size_t end = size;
        bool repaired = false;
        while (pos < size) {
            pos += utf8::validPrefix(data + pos, size - pos);
            if (pos == size)
                break;
            bool truncated;
            const std::size_t length = utf8::invalidSequenceLength(data + pos, size - pos, &truncated);
            if (truncated && !m_atEnd) {
                end = pos;
                m_carry = size - pos;
                break;
            }
            if (!repaired) {
                m_text.clear();
                repaired = true;
            }
            m_text.append(data + flushed, pos - flushed);
            m_text += utf8::Replacement;
            pos += length;
            flushed = pos;
        }
        if (repaired) {
            m_text.append(data + flushed, end - flushed);
            chunk = m_text;
        } else {
            chunk = std::string_view(data, end);
        }
        if (!chunk.empty())
            return true;
    }
}

bool TextDecoder::decodeUtf16(std::string_view& chunk)
{
    const bool little = m_mode == Mode::Utf16LE;
    for (;;) {
        if (!fill())
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(m_raw.data());
        const std::size_t size = m_rawSize;
        m_text.clear();
        std::size_t i = 0;
        for (; i + 2 <= size; i += 2) {
            const char32_t unit = little ? char32_t(p[i] | (p[i + 1] << 8)) : char32_t((p[i] << 8) | p[i + 1]);
            if (m_highSurrogate) {
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    utf8::appendCodePoint(m_text, 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (unit - 0xDC00));
                    m_highSurrogate = 0;
                    continue;
                }
                m_text += utf8::Replacement;
                m_highSurrogate = 0;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF)
                m_highSurrogate = unit;
            else if (unit >= 0xDC00 && unit <= 0xDFFF)
                m_text += utf8::Replacement;
            else
                utf8::appendCodePoint(m_text, unit);
        }
        m_carry = size - i;
        if (m_atEnd) {
            // A surrogate without its partner or an odd last byte: the text ends in a broken
            // character, which is shown rather than dropped.
            if (m_highSurrogate || m_carry) {
                m_text += utf8::Replacement;
                m_highSurrogate = 0;
                m_carry = 0;
                m_rawSize = 0;
            }
            if (m_text.empty())
                return false;
        }
        if (!m_text.empty()) {
            chunk = m_text;
            return true;
        }
    }
}

bool TextDecoder::decodeCodec(std::string_view& chunk)
{
    for (;;) {
        if (m_atEnd)
            return false;
        if (!fill())
            return false;
        QString decoded;
        if (m_atEnd) {
            // The codec may hold the first bytes of a character the file never completes. A line
            // feed cannot continue a character in any of the multi-byte code pages, so feeding
            // one makes the codec give out what it holds (as a replacement character); the line
            // feed itself is dropped again.
            decoded = m_codec->toUnicode("\n", 1, &m_codecState->state);
            if (decoded.endsWith(QLatin1Char('\n')))
                decoded.chop(1);
        } else {
            decoded = m_codec->toUnicode(m_raw.data(), int(m_rawSize), &m_codecState->state);
        }
        if (decoded.isEmpty())
            continue;
        const QByteArray text = decoded.toUtf8();
        m_text.assign(text.constData(), std::size_t(text.size()));
        chunk = m_text;
        return true;
    }
}

} // namespace unicode
