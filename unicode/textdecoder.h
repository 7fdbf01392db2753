#pragma once
// Decoding of a text file into the engine's internal text, UTF-8, piece by piece: the first step
// of the text import. The code page says how the bytes are read; a byte-order mark at the start
// overrides it and is dropped.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class QIODevice;
class QTextCodec;

namespace unicode {

// A source of UTF-8 text read piece by piece. Every piece holds whole UTF-8 sequences only, so a
// reader never sees a character cut in two.
class TextSource
{
public:
    virtual ~TextSource() = default;
    // The next piece of text (never empty), valid until the next call; false at the end or on an
    // error (then errorString() is not empty).
    virtual bool nextChunk(std::string_view& chunk) = 0;
    virtual QString errorString() const { return {}; }
};

// Reads a device in chunks and hands out its text as UTF-8. Valid UTF-8 input is handed out
// straight from the read buffer; anything that is not a valid character becomes U+FFFD, one per
// invalid sequence, so the text that follows is never lost.
class TextDecoder : public TextSource
{
public:
    static constexpr std::size_t DefaultChunkSize = std::size_t(1) << 20;

    // `device` must be open for reading and outlive the decoder. `chunkSize` is the number of
    // bytes read at a time.
    explicit TextDecoder(QIODevice* device, std::size_t chunkSize = DefaultChunkSize);
    ~TextDecoder() override;
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    // Chooses the decoding: a byte-order mark (UTF-8 EF BB BF, UTF-16 FF FE or FE FF) decides,
    // else the code page (see ImportOptions::codePage). Code page 0 reads the whole device once
    // to see whether it is valid UTF-8 (else GB18030) and then starts again from its beginning,
    // so it needs a seekable device. False, with errorString(), on an unknown code page or a read
    // error.
    bool start(int codePage);
    bool nextChunk(std::string_view& chunk) override;
    QString errorString() const override { return m_error; }

    // The encoding start() chose: "UTF-8", "UTF-16LE", "UTF-16BE" or a codec name.
    QByteArray encodingName() const;

private:
    enum class Mode { Utf8, Utf16LE, Utf16BE, Codec };

    bool fill();
    std::size_t readSize() const;
    bool decodeUtf8(std::string_view& chunk);
    bool decodeUtf16(std::string_view& chunk);
    bool decodeCodec(std::string_view& chunk);
    bool isValidUtf8Device();

    QIODevice* m_device;
    std::size_t m_chunkSize;
    Mode m_mode = Mode::Utf8;
    QTextCodec* m_codec = nullptr;
    struct CodecState;
    std::unique_ptr<CodecState> m_codecState;
    std::string m_raw;                 // bytes read, after the bytes carried over from the previous read
    std::size_t m_rawSize = 0;         // bytes of m_raw in use
    std::string m_text;                // decoded text when it cannot be handed out from m_raw
    std::size_t m_carry = 0;           // bytes at the end of m_raw that belong to the next piece
    std::uint32_t m_highSurrogate = 0; // UTF-16: a high surrogate waiting for its partner
    bool m_started = false;
    bool m_atEnd = false;
    QString m_error;
};

// The codec for a code page other than those the decoder reads itself (65001, 1200, 1201, 0):
// 936 -> GB18030, 2 -> the system's 8-bit code page, other Windows code pages by their number.
// Null when there is none.
QTextCodec* codecForCodePage(int codePage);

// UTF-8 checking and repair, the building blocks of the decoder.
namespace utf8 {

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

} // namespace utf8

} // namespace unicode
