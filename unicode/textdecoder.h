#pragma once
// unicode/: decoding and encoding of text: UTF-8 checks, repair and counting (utf8.h), code pages
// and their codecs (codepages.h), recognising a text's encoding (detection.h), the repairs a
// decoding made (decodingreport.h) and the streaming decoder that the text import and the worker
// read sources with (this header). It includes nothing else of ours.
//
// Decoding of a text file into the engine's internal text, UTF-8, piece by piece: the first step
// of the text import. The code page says how the bytes are read; a byte-order mark at the start
// overrides it and is dropped.

#include "unicode/decodingreport.h"
#include "unicode/detection.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
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
// invalid sequence, so the text that follows is never lost. NUL characters, which no cell can
// hold, are left out (unless setDropNul(false)), so the text after a stray NUL is kept. Each
// U+FFFD it makes and each NUL it leaves out is noted as a Repair, for the reader to report.
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

    void setDropNul(bool drop) { m_dropNul = drop; }
    // A flag set from another thread to stop now: recognition, which reads the whole text before
    // anything is decoded, then ends at the next piece with stopped(). Null: never.
    void setStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }
    bool stopped() const { return m_stopped; }

    // Chooses the decoding: a byte-order mark (UTF-8, UTF-32 LE/BE, UTF-16 LE/BE) decides, else
    // the code page (see ImportOptions::codePage). Code page 0 recognises the encoding (see
    // detection.h): it reads the whole device once and then starts again from its beginning, so
    // it needs a seekable device. False, with errorString(), on an unknown code page or a read
    // error.
    bool start(int codePage);
    bool nextChunk(std::string_view& chunk) override;
    QString errorString() const override { return m_error; }
    // True when the error was the device's (a read failed), not the code page's.
    bool readFailed() const { return m_readFailed; }

    // The encoding start() chose: "UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE" or a
    // codec's name ("GB18030", "windows-1252", ...).
    QString encodingName() const;
    // True when start() took the text for UTF-16 by its zero bytes, without a byte-order mark.
    bool utf16WithoutMark() const { return m_utf16WithoutMark; }

    // Takes the oldest repair not yet taken when its offset is below `before`; repairs are noted
    // in text order as the pieces are handed out.
    bool takeRepair(std::uint64_t before, Repair* repair);

private:
    enum class Mode { Utf8, Utf16LE, Utf16BE, Utf32LE, Utf32BE, Codec };

    bool recognise();
    bool chooseByCodePage(int codePage);
    void setMode(Encoding encoding);
    bool fill();
    std::size_t readSize() const;
    bool decodeUtf8(std::string_view& chunk);
    bool decodeWide(std::string_view& chunk);
    bool decodeCodec(std::string_view& chunk);
    void appendText(const char* data, std::size_t size);
    void appendCharacter(char32_t cp);
    void appendReplacement();
    void noteCodecRepairs(const char* data, std::size_t size);

    QIODevice* m_device;
    std::size_t m_chunkSize;
    bool m_dropNul = true;
    Mode m_mode = Mode::Utf8;
    QTextCodec* m_codec = nullptr;
    struct CodecState;
    std::unique_ptr<CodecState> m_codecState;
    std::string m_raw;                 // bytes read, after the bytes carried over from the previous read
    std::size_t m_rawSize = 0;         // bytes of m_raw in use
    std::string m_text;                // decoded text when it cannot be handed out from m_raw
    QByteArray m_codecText;            // a codec's text, handed out as it is when nothing is repaired
    std::size_t m_carry = 0;           // bytes at the end of m_raw that belong to the next piece
    std::uint32_t m_highSurrogate = 0; // UTF-16: a high surrogate waiting for its partner
    std::uint64_t m_textOffset = 0;    // text handed out before the piece being made
    std::deque<Repair> m_repairs;
    bool m_utf16WithoutMark = false;
    bool m_readFailed = false;
    const std::atomic<bool>* m_stop = nullptr;
    bool m_stopped = false;
    bool m_started = false;
    bool m_atEnd = false;
    QString m_error;
};

// Notes the repairs of a decoder in a report, with their lines, as a reader takes the decoder's
// pieces one after the other (a reader of the whole text; the import finds lines through its
// splitter instead).
class RepairTracker
{
public:
    RepairTracker(TextDecoder& decoder, DecodingReport& report) : m_decoder(decoder), m_report(report) {}
    // `chunk` is the piece the decoder has just handed out.
    void piece(std::string_view chunk);
    // After the last piece: notes what is left (a NUL after the last character).
    void finish();

private:
    TextDecoder& m_decoder;
    DecodingReport& m_report;
    LineCursor m_cursor;
    std::uint64_t m_offset = 0;
};

} // namespace unicode
