#include "unicode/textdecoder.h"

#include "unicode/codepages.h"
#include "unicode/utf8.h"

#include <QIODevice>
#include <QTextCodec>

#include <algorithm>
#include <cstring>

namespace unicode {

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
    const QByteArray head = m_device->peek(4);
    const ByteOrderMark mark = byteOrderMark(head.constData(), std::size_t(head.size()));
    if (mark.length > 0) {
        m_device->skip(mark.length);
        setMode(mark.encoding);
        return true;
    }
    if (codePage == 0)
        return recognise();
    return chooseByCodePage(codePage);
}

// Reads the whole device once to recognise its encoding, then goes back to where it began.
bool TextDecoder::recognise()
{
    const qint64 origin = m_device->pos();
    EncodingSniffer sniffer;
    std::string buffer;
    for (;;) {
        if (m_stop && m_stop->load(std::memory_order_relaxed)) {
            m_error = QStringLiteral("stopped while the encoding was recognised");
            m_stopped = true;
            return false;
        }
        const std::size_t want = readSize();
        buffer.resize(want);
        const qint64 n = m_device->read(buffer.data(), qint64(want));
        if (n < 0) {
            m_error = QStringLiteral("Cannot read the file: %1").arg(m_device->errorString());
            m_readFailed = true;
            return false;
        }
        if (n == 0)
            break;
        sniffer.feed(buffer.data(), std::size_t(n));
    }
    if (!m_device->seek(origin)) {
        m_error = QStringLiteral("Cannot read the file again from its beginning: %1").arg(m_device->errorString());
        m_readFailed = true;
        return false;
    }
    const Encoding encoding = sniffer.verdict();
    m_utf16WithoutMark = encoding == Encoding::Utf16LE || encoding == Encoding::Utf16BE;
    setMode(encoding);
    return true;
}

bool TextDecoder::chooseByCodePage(int codePage)
{
    switch (codePage) {
    case 65001:
        setMode(Encoding::Utf8);
        return true;
    case 1200:
        setMode(Encoding::Utf16LE);
        return true;
    case 1201:
        setMode(Encoding::Utf16BE);
        return true;
    case 12000:
        setMode(Encoding::Utf32LE);
        return true;
    case 12001:
        setMode(Encoding::Utf32BE);
        return true;
    default:
        break;
    }
    QTextCodec* codec = codecForCodePage(codePage);
    if (!codec) {
        m_error = QStringLiteral("Unknown code page %1: no decoder for it").arg(codePage);
        return false;
    }
    // The system's code page may be one the decoder reads itself.
    switch (codec->mibEnum()) {
    case 106:
        setMode(Encoding::Utf8);
        return true;
    case 1014:
        setMode(Encoding::Utf16LE);
        return true;
    case 1013:
        setMode(Encoding::Utf16BE);
        return true;
    case 1019:
        setMode(Encoding::Utf32LE);
        return true;
    case 1018:
        setMode(Encoding::Utf32BE);
        return true;
    default:
        break;
    }
    m_mode = Mode::Codec;
    m_codec = codec;
    m_codecState = std::make_unique<CodecState>();
    return true;
}

void TextDecoder::setMode(Encoding encoding)
{
    switch (encoding) {
    case Encoding::Utf8:
        m_mode = Mode::Utf8;
        break;
    case Encoding::Utf16LE:
        m_mode = Mode::Utf16LE;
        break;
    case Encoding::Utf16BE:
        m_mode = Mode::Utf16BE;
        break;
    case Encoding::Utf32LE:
        m_mode = Mode::Utf32LE;
        break;
    case Encoding::Utf32BE:
        m_mode = Mode::Utf32BE;
        break;
    case Encoding::Gb18030:
        // Built into Qt, so always there.
        m_mode = Mode::Codec;
        m_codec = codecForCodePage(936);
        m_codecState = std::make_unique<CodecState>();
        break;
    }
}

QString TextDecoder::encodingName() const
{
    switch (m_mode) {
    case Mode::Utf8:
        return QString::fromLatin1(unicode::encodingName(Encoding::Utf8));
    case Mode::Utf16LE:
        return QString::fromLatin1(unicode::encodingName(Encoding::Utf16LE));
    case Mode::Utf16BE:
        return QString::fromLatin1(unicode::encodingName(Encoding::Utf16BE));
    case Mode::Utf32LE:
        return QString::fromLatin1(unicode::encodingName(Encoding::Utf32LE));
    case Mode::Utf32BE:
        return QString::fromLatin1(unicode::encodingName(Encoding::Utf32BE));
    case Mode::Codec:
        return QString::fromLatin1(m_codec->name());
    }
    return {};
}

bool TextDecoder::takeRepair(std::uint64_t before, Repair* repair)
{
    if (m_repairs.empty() || m_repairs.front().offset >= before)
        return false;
    *repair = m_repairs.front();
    m_repairs.pop_front();
    return true;
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
        m_readFailed = true;
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
    bool more = false;
    switch (m_mode) {
    case Mode::Utf8:
        more = decodeUtf8(chunk);
        break;
    case Mode::Utf16LE:
    case Mode::Utf16BE:
    case Mode::Utf32LE:
    case Mode::Utf32BE:
        more = decodeWide(chunk);
        break;
    case Mode::Codec:
        more = decodeCodec(chunk);
        break;
    }
    if (more)
        m_textOffset += chunk.size();
    return more;
}

// Appends decoded text to the piece being made, leaving out (and noting) NUL characters.
void TextDecoder::appendText(const char* data, std::size_t size)
{
    if (!m_dropNul) {
        m_text.append(data, size);
        return;
    }
    const char* end = data + size;
    while (data < end) {
        const auto* nul = static_cast<const char*>(std::memchr(data, 0, std::size_t(end - data)));
        const char* stop = nul ? nul : end;
        m_text.append(data, std::size_t(stop - data));
        if (!nul)
            break;
        m_repairs.push_back({m_textOffset + m_text.size(), Repair::DroppedNul});
        data = nul + 1;
    }
}

void TextDecoder::appendCharacter(char32_t cp)
{
    if (cp == 0 && m_dropNul) {
        m_repairs.push_back({m_textOffset + m_text.size(), Repair::DroppedNul});
        return;
    }
    utf8::appendCodePoint(m_text, cp);
}

void TextDecoder::appendReplacement()
{
    m_repairs.push_back({m_textOffset + m_text.size(), Repair::Replaced});
    m_text += utf8::ReplacementCharacter;
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
        bool rebuilt = false;
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
            if (!rebuilt) {
                m_text.clear();
                rebuilt = true;
            }
            appendText(data + flushed, pos - flushed);
            appendReplacement();
            pos += length;
            flushed = pos;
        }
        if (rebuilt) {
            appendText(data + flushed, end - flushed);
            chunk = m_text;
        } else if (m_dropNul && end > 0 && std::memchr(data, 0, end)) {
            // NUL bytes are rare: the piece is copied only when it has one.
            m_text.clear();
            appendText(data, end);
            chunk = m_text;
        } else {
            chunk = std::string_view(data, end);
        }
        if (!chunk.empty())
            return true;
    }
}

// UTF-16 and UTF-32, in either byte order.
bool TextDecoder::decodeWide(std::string_view& chunk)
{
    const bool little = m_mode == Mode::Utf16LE || m_mode == Mode::Utf32LE;
    const std::size_t width = m_mode == Mode::Utf16LE || m_mode == Mode::Utf16BE ? 2 : 4;
    for (;;) {
        if (!fill())
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(m_raw.data());
        const std::size_t size = m_rawSize;
        m_text.clear();
        std::size_t i = 0;
        for (; i + width <= size; i += width) {
            char32_t unit = 0;
            for (std::size_t k = 0; k < width; ++k)
                unit |= char32_t(p[i + k]) << (8 * (little ? k : width - 1 - k));
            if (width == 4) {
                if (isScalarValue(unit))
                    appendCharacter(unit);
                else
                    appendReplacement();
                continue;
            }
            if (m_highSurrogate) {
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    appendCharacter(0x10000 + ((m_highSurrogate - 0xD800) << 10) + (unit - 0xDC00));
                    m_highSurrogate = 0;
                    continue;
                }
                appendReplacement();
                m_highSurrogate = 0;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF)
                m_highSurrogate = unit;
            else if (unit >= 0xDC00 && unit <= 0xDFFF)
                appendReplacement();
            else
                appendCharacter(unit);
        }
        m_carry = size - i;
        if (m_atEnd) {
            // A surrogate without its partner and bytes short of a whole unit: the text ends in
            // broken characters, which are shown rather than dropped.
            if (m_highSurrogate)
                appendReplacement();
            if (m_carry)
                appendReplacement();
            m_highSurrogate = 0;
            m_carry = 0;
            m_rawSize = 0;
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
        m_codecText = decoded.toUtf8();
        if (!decoded.contains(QChar(QChar::ReplacementCharacter)) && !(m_dropNul && decoded.contains(QChar(0)))) {
            // Nothing to note or leave out: the piece is handed out as the codec gave it.
            chunk = std::string_view(m_codecText.constData(), std::size_t(m_codecText.size()));
            return true;
        }
        m_text.clear();
        noteCodecRepairs(m_codecText.constData(), std::size_t(m_codecText.size()));
        if (!m_text.empty()) {
            chunk = m_text;
            return true;
        }
    }
}

// A codec says neither how many characters it replaced nor where (Qt's codecs count nothing),
// so every U+FFFD in what it gave is taken for one it made. Only a text that held U+FFFD
// already (possible in GB18030) is then warned about needlessly.
void TextDecoder::noteCodecRepairs(const char* data, std::size_t size)
{
    const char* end = data + size;
    const char* flushed = data;
    for (const char* p = data; p < end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte != 0xEF || std::size_t(end - p) < 3 || std::memcmp(p, utf8::ReplacementCharacter.data(), 3) != 0)
            continue;
        appendText(flushed, std::size_t(p - flushed));
        appendReplacement();
        p += 2;
        flushed = p + 1;
    }
    appendText(flushed, std::size_t(end - flushed));
}

void RepairTracker::piece(std::string_view chunk)
{
    const std::uint64_t end = m_offset + chunk.size();
    std::size_t pos = 0;
    Repair repair;
    while (m_decoder.takeRepair(end, &repair)) {
        const std::size_t at = repair.offset > m_offset ? std::max(pos, std::size_t(repair.offset - m_offset)) : pos;
        m_cursor.advance(chunk.substr(pos, at - pos));
        pos = at;
        m_report.note(repair.kind, m_cursor.line());
    }
    m_cursor.advance(chunk.substr(pos));
    m_offset = end;
}

void RepairTracker::finish()
{
    Repair repair;
    while (m_decoder.takeRepair(UINT64_MAX, &repair))
        m_report.note(repair.kind, m_cursor.line());
}

} // namespace unicode
