// Decoding: random bytes under each encoding choice of the conversion engine (whole text and
// streamed import file) and under each code page of the import's decoder, with random chunk
// sizes. Checks that the results are well-formed, never hold a NUL, report every replacement
// they make, and do not depend on how the bytes were cut into pieces.

#include "convert/sourcetext.h"
#include "fuzzsupport.h"
#include "unicode/textdecoder.h"
#include "unicode/utf8.h"

#include <QBuffer>
#include <QTextCodec>

#include <string>

namespace {

const int CodePages[] = {0,    65001, 1200, 1201, 12000, 12001, 936,   2,     1252,
                         1251, 932,   949,  950,  874,   437,   28591, 54936, 12345};
constexpr int CodePageCount = int(sizeof(CodePages) / sizeof(CodePages[0]));

// The whole text the decoder hands out, read `chunkSize` bytes at a time; false on an error.
bool decodeAll(const QByteArray& bytes, int codePage, std::size_t chunkSize, std::string* text, bool* started)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    unicode::TextDecoder decoder(&buffer, chunkSize);
    *started = decoder.start(codePage);
    if (!*started)
        return false;
    std::string_view chunk;
    while (decoder.nextChunk(chunk)) {
        FUZZ_CHECK(!chunk.empty());
        // Every piece is whole, valid UTF-8.
        FUZZ_CHECK(unicode::utf8::validPrefix(chunk.data(), chunk.size()) == chunk.size());
        text->append(chunk);
    }
    return decoder.errorString().isEmpty();
}

void checkConversionDecoding(const QByteArray& bytes, int choice)
{
    ConversionOptions options;
    options.sourceUcs2 = choice == 1;
    options.sourceUtf8Bom = choice == 2;
    const DecodedSource decoded = decodeSourceBytes(bytes, options);
    const QString& text = decoded.text;
    FUZZ_CHECK(!text.contains(QChar(0)));
    FUZZ_CHECK(decoded.report.droppedNul() >= 0 && decoded.report.droppedNul() <= bytes.size());
    // Every replacement the decoding reports stands in the text.
    FUZZ_CHECK(decoded.report.replaced() <= text.count(QChar(QChar::ReplacementCharacter)));
    if (choice == 0 && decoded.report.isEmpty() && !bytes.startsWith("\xFF\xFE") && !bytes.startsWith("\xFE\xFF") &&
        !bytes.startsWith(QByteArray("\0\0\xFE\xFF", 4)) &&
        unicode::utf8::validPrefix(bytes.constData(), std::size_t(bytes.size())) == std::size_t(bytes.size())) {
        QByteArray withoutBom = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
        FUZZ_CHECK(text == QString::fromUtf8(withoutBom));
    }

    // The streamed import file holds the same text, in the code page it names, with the same
    // warnings.
    const QString source = fuzzsupport::scratchPath("source.txt");
    const QString import = fuzzsupport::scratchPath("import.txt");
    FUZZ_CHECK(fuzzsupport::writeFile(source, bytes));
    const ImportFileResult result = prepareImportFile(source, import, options);
    FUZZ_CHECK(result.ok);
    FUZZ_CHECK(result.warnings == decoded.report.messages());
    QTextCodec* codec = result.codePage == 65001 ? QTextCodec::codecForMib(106) : QTextCodec::codecForLocale();
    FUZZ_CHECK(codec->toUnicode(fuzzsupport::readFile(import)) == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::Input input(data, size);
    const int selector = input.byte();
    const std::size_t chunkSize = 1 + input.byte() % 17;
    const QByteArray bytes = input.rest();

    checkConversionDecoding(bytes, selector % 3);

    const int codePage = CodePages[(selector / 3) % CodePageCount];
    std::string small, large;
    bool startedSmall = false, startedLarge = false;
    const bool okSmall = decodeAll(bytes, codePage, chunkSize, &small, &startedSmall);
    const bool okLarge = decodeAll(bytes, codePage, unicode::TextDecoder::DefaultChunkSize, &large, &startedLarge);
    FUZZ_CHECK(startedSmall == startedLarge);
    FUZZ_CHECK(okSmall == okLarge);
    if (okSmall)
        FUZZ_CHECK(small == large);
    // Valid UTF-8 read as UTF-8 comes out unchanged (without a leading byte-order mark and the
    // NUL characters).
    if (okSmall && codePage == 65001 && !bytes.startsWith("\xFF\xFE") && !bytes.startsWith("\xFE\xFF") &&
        !bytes.startsWith(QByteArray("\0\0\xFE\xFF", 4)) &&
        unicode::utf8::validPrefix(bytes.constData(), std::size_t(bytes.size())) == std::size_t(bytes.size())) {
        QByteArray expected = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
        expected.replace('\0', QByteArray());
        FUZZ_CHECK(small == expected.toStdString());
    }
    return 0;
}
