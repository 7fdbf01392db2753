#include "convert/sourcetext.h"

#include "files/filesystem.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <cstring>
#include <memory>

namespace {

constexpr qint64 ChunkSize = qint64(1) << 20;

// The next chunk of a source, no larger than what is left of it: a small source then never
// allocates a whole chunk. One byte more than what is left is asked for, so a file that grew while
// being read is still read to its end.
QByteArray readChunk(QFile& file)
{
    const qint64 remaining = file.size() - file.pos();
    return file.read(remaining >= 0 && remaining < ChunkSize ? remaining + 1 : ChunkSize);
}

QTextCodec* utf8Codec()
{
    static QTextCodec* codec = QTextCodec::codecForMib(106);
    return codec;
}

QTextCodec* gb18030Codec()
{
    static QTextCodec* codec = QTextCodec::codecForName("GB18030");
    return codec;
}

int codePageForMib(int mib)
{
    switch (mib) {
    case 106:
        return 65001; // UTF-8
    case 113:         // GBK
    case 114:         // GB18030
    case 2025:        // GB2312
        return 936;
    case 17:
        return 932; // Shift_JIS
    case 2026:
        return 950; // Big5
    case 38:
        return 949; // EUC-KR
    case 4:
        return 28591; // ISO-8859-1
    case 2084:
        return 20866; // KOI8-R
    case 2086:
        return 866; // IBM866
    default:
        break;
    }
    if (mib >= 2250 && mib <= 2258)
        return 1250 + (mib - 2250); // windows-1250 ... windows-1258
    return 0;
}

bool hasUtf16Bom(const QByteArray& head)
{
    return head.size() >= 2 &&
           ((uchar(head[0]) == 0xFF && uchar(head[1]) == 0xFE) || (uchar(head[0]) == 0xFE && uchar(head[1]) == 0xFF));
}

bool needsUtf8Check(const ConversionOptions& options, const QByteArray& head)
{
    return !options.sourceUtf8Bom && !options.sourceUcs2 && !hasUtf16Bom(head);
}

// Scans UTF-8 and returns how many bytes form complete, valid sequences. Stops at the first
// invalid byte (setting `bad`) or before an incomplete sequence at the end of the data.
qint64 scanUtf8(const uchar* s, qint64 n, bool& bad)
{
    qint64 i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            quint64 word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const uchar c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        if (c >= 0xC2 && c <= 0xDF)
            length = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            length = 3;
        else if (c >= 0xF0 && c <= 0xF4)
            length = 4;
        else {
            bad = true;
            return i;
        }
        const qint64 available = qMin<qint64>(length, n - i);
        for (qint64 k = 1; k < available; ++k) {
            const uchar next = s[i + k];
            bool ok = (next & 0xC0) == 0x80;
            if (k == 1) {
                if (c == 0xE0)
                    ok = ok && next >= 0xA0;
                else if (c == 0xED)
                    ok = ok && next <= 0x9F;
                else if (c == 0xF0)
                    ok = ok && next >= 0x90;
                else if (c == 0xF4)
                    ok = ok && next <= 0x8F;
            }
            if (!ok) {
                bad = true;
                return i;
            }
        }
        if (available < length)
            return i; // incomplete at the end: the caller decides
        i += length;
    }
    return i;
}

// Decodes a stream of chunks by one SourceDecoding, dropping NUL characters.
class ChunkDecoder
{
public:
    explicit ChunkDecoder(SourceDecoding decoding) : decoding(decoding)
    {
        QTextCodec* codec = nullptr;
        switch (decoding) {
        case SourceDecoding::Utf8:
            codec = utf8Codec();
            break;
        case SourceDecoding::Gb18030:
            codec = gb18030Codec();
            break;
        case SourceDecoding::Local:
            codec = QTextCodec::codecForLocale();
            break;
        case SourceDecoding::Utf16LE:
        case SourceDecoding::Utf16BE:
            break;
        }
        if (codec)
            decoder.reset(codec->makeDecoder());
    }

    void decode(const char* data, qint64 size, QString& out)
    {
        const int start = out.size();
        if (decoder) {
            out += decoder->toUnicode(data, int(size));
        } else {
            decodeUtf16(reinterpret_cast<const uchar*>(data), size, out);
        }
        dropNul(out, start);
    }

    // Ends the text: an incomplete sequence at the very end becomes one replacement character.
    void finish(QString& out)
    {
        if (pendingHigh != 0)
            out += QChar(QChar::ReplacementCharacter);
        if ((decoder && decoder->needsMoreData()) || pendingByte >= 0)
            out += QChar(QChar::ReplacementCharacter);
        pendingByte = -1;
        pendingHigh = 0;
    }

    qint64 droppedNul = 0;

private:
    void decodeUtf16(const uchar* data, qint64 size, QString& out)
    {
        qint64 i = 0;
        out.reserve(out.size() + int(size / 2) + 1);
        if (pendingByte >= 0 && size > 0) {
            appendUnit(uchar(pendingByte), data[0], out);
            pendingByte = -1;
            i = 1;
        }
        for (; i + 1 < size; i += 2)
            appendUnit(data[i], data[i + 1], out);
        if (i < size)
            pendingByte = data[i];
    }

    void appendUnit(uchar first, uchar second, QString& out)
    {
        const ushort unit =
            decoding == SourceDecoding::Utf16LE ? ushort(first | (second << 8)) : ushort((first << 8) | second);
        if (atStart) {
            atStart = false;
            if (unit == 0xFEFF)
                return; // the byte-order mark, in the order being read
        }
        // A surrogate without its partner is no character: it becomes U+FFFD, as any invalid
        // sequence does, so no encoder later stops at it. A pair may straddle two pieces.
        if (pendingHigh != 0) {
            if (QChar::isLowSurrogate(unit)) {
                out += QChar(pendingHigh);
                out += QChar(unit);
                pendingHigh = 0;
                return;
            }
            out += QChar(QChar::ReplacementCharacter);
            pendingHigh = 0;
        }
        if (QChar::isHighSurrogate(unit))
            pendingHigh = unit;
        else if (QChar::isLowSurrogate(unit))
            out += QChar(QChar::ReplacementCharacter);
        else
            out += QChar(unit);
    }

    void dropNul(QString& out, int from)
    {
        const int before = out.size();
        int write = from;
        QChar* d = out.data();
        for (int read = from; read < before; ++read) {
            if (d[read].unicode() != 0)
                d[write++] = d[read];
        }
        if (write != before) {
            droppedNul += before - write;
            out.truncate(write);
        }
    }

    SourceDecoding decoding;
    std::unique_ptr<QTextDecoder> decoder;
    int pendingByte = -1;
    ushort pendingHigh = 0; // a high surrogate waiting for its low partner
    bool atStart = true;
};

SourceDecoding utf16ByBom(const QByteArray& head)
{
    if (head.size() >= 2 && uchar(head[0]) == 0xFE && uchar(head[1]) == 0xFF)
        return SourceDecoding::Utf16BE;
    return SourceDecoding::Utf16LE;
}

QTextCodec* importCodec(int* codePage)
{
    const int local = localCodePage();
    if (local == 0) {
        *codePage = 65001;
        return utf8Codec();
    }
    *codePage = local;
    return QTextCodec::codecForLocale();
}

bool writeAll(QFile& file, const QByteArray& bytes)
{
    return bytes.isEmpty() || file.write(bytes) == bytes.size();
}

} // namespace

bool isValidUtf8(const char* data, qint64 size)
{
    bool bad = false;
    return scanUtf8(reinterpret_cast<const uchar*>(data), size, bad) == size && !bad;
}

SourceDecoding chooseSourceDecoding(const ConversionOptions& options, const QByteArray& head, bool validUtf8)
{
    if (options.sourceUtf8Bom)
        return SourceDecoding::Local;
    if (options.sourceUcs2 || hasUtf16Bom(head))
        return utf16ByBom(head);
    return validUtf8 ? SourceDecoding::Utf8 : SourceDecoding::Gb18030;
}

QString decodeSourceBytes(const QByteArray& bytes, const ConversionOptions& options, qint64* droppedNul)
{
    const QByteArray head = bytes.left(3);
    const bool valid = needsUtf8Check(options, head) ? isValidUtf8(bytes.constData(), bytes.size()) : false;
    ChunkDecoder decoder(chooseSourceDecoding(options, head, valid));
    QString text;
    decoder.decode(bytes.constData(), bytes.size(), text);
    decoder.finish(text);
    if (droppedNul)
        *droppedNul = decoder.droppedNul;
    return text;
}

bool openSourceFile(const QString& path, QFile& file, QString* errorString, Failure* failure)
{
#ifdef Q_OS_UNIX
    files::UniqueFd fd;
    const Failure opened = files::openForReading(path, &fd);
    if (opened.isFailure()) {
        if (errorString)
            *errorString = opened.text();
        if (failure)
            *failure = opened;
        return false;
    }
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (errorString)
            *errorString = file.errorString();
        if (failure)
            *failure = Failure(Reason::ReadError, QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    fd.release();
    return true;
#else
    file.setFileName(path);
    if (!QFileInfo(path).isFile()) {
        if (errorString)
            *errorString = QStringLiteral("不是普通文件");
        if (failure)
            *failure = Failure(Reason::NotARegularFile, QDir::toNativeSeparators(path));
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (errorString)
            *errorString = file.errorString();
        if (failure)
            *failure = Failure(Reason::ReadError, QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
#endif
}

bool readSourceText(const QString& nativePath, const ConversionOptions& options, QString* text, QString* errorString,
                    qint64* droppedNul, Failure* failure)
{
    QFile file;
    if (!openSourceFile(nativePath, file, errorString, failure))
        return false;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    *text = decodeSourceBytes(bytes, options, droppedNul);
    return true;
}

int localCodePage()
{
    return codePageForMib(QTextCodec::codecForLocale()->mibEnum());
}

ImportFileResult writeImportFile(const QString& importFilePath, const QString& text, const QDateTime& modified)
{
    ImportFileResult result;
    QTextCodec* codec = importCodec(&result.codePage);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    QByteArray bytes = codec->fromUnicode(text.constData(), text.size(), &state);
    if (state.invalidChars > 0) {
        bytes = text.toUtf8();
        result.codePage = 65001;
    }
    QFile file(importFilePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !writeAll(file, bytes) || !file.flush() ||
        (modified.isValid() && !file.setFileTime(modified, QFileDevice::FileModificationTime))) {
        result.errorString = QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, file.errorString());
        file.close();
        QFile::remove(importFilePath);
        return result;
    }
    result.ok = true;
    return result;
}

ImportFileResult prepareImportFile(const QString& nativePath, const QString& importFilePath,
                                   const ConversionOptions& options)
{
    ImportFileResult result;
    QFile source;
    if (!openSourceFile(nativePath, source, &result.errorString, &result.sourceFailure)) {
        result.sourceUnreadable = true;
        return result;
    }
    const QByteArray head = source.peek(3);
    bool valid = false;
    if (needsUtf8Check(options, head)) {
        // First pass: is the whole file valid UTF-8? Sequences may straddle chunks.
        QByteArray carry;
        bool bad = false;
        valid = true;
        while (valid) {
            QByteArray chunk = readChunk(source);
            if (source.error() != QFileDevice::NoError) {
                result.sourceUnreadable = true;
                result.errorString = source.errorString();
                return result;
            }
            if (chunk.isEmpty()) {
                valid = carry.isEmpty();
                break;
            }
            if (!carry.isEmpty())
                chunk.prepend(carry);
            const qint64 done = scanUtf8(reinterpret_cast<const uchar*>(chunk.constData()), chunk.size(), bad);
            if (bad)
                valid = false;
            carry = chunk.mid(int(done));
        }
        source.seek(0);
    }
    const SourceDecoding decoding = chooseSourceDecoding(options, head, valid);

    QFile out(importFilePath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        result.errorString = QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, out.errorString());
        return result;
    }
    auto fail = [&](const QString& message) {
        result.errorString = message;
        out.close();
        QFile::remove(importFilePath);
        return result;
    };

    int codePage = 0;
    QTextCodec* codec = importCodec(&codePage);
    for (int attempt = 0; attempt < 2; ++attempt) {
        result.codePage = codePage;
        result.droppedNul = 0;
        bool unrepresentable = false;
        if (decoding == SourceDecoding::Utf8 && codePage == 65001) {
            // The text is valid UTF-8 and goes out as UTF-8: copy it, without the byte-order mark
            // and the NUL bytes.
            bool first = true;
            for (;;) {
                QByteArray chunk = readChunk(source);
                if (source.error() != QFileDevice::NoError)
                    return fail(source.errorString());
                if (chunk.isEmpty())
                    break;
                if (first && chunk.startsWith("\xEF\xBB\xBF"))
                    chunk.remove(0, 3);
                first = false;
                // NUL bytes are rare: look for one before paying for a rewrite of the chunk.
                if (std::memchr(chunk.constData(), 0, size_t(chunk.size())) != nullptr) {
                    const int before = chunk.size();
                    chunk.replace('\0', QByteArray());
                    result.droppedNul += before - chunk.size();
                }
                if (!writeAll(out, chunk))
                    return fail(QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, out.errorString()));
            }
        } else {
            ChunkDecoder decoder(decoding);
            std::unique_ptr<QTextEncoder> encoder(codec->makeEncoder(QTextCodec::IgnoreHeader));
            QString text;
            bool end = false;
            while (!end && !unrepresentable) {
                const QByteArray chunk = readChunk(source);
                if (source.error() != QFileDevice::NoError)
                    return fail(source.errorString());
                text.clear();
                if (chunk.isEmpty()) {
                    decoder.finish(text);
                    end = true;
                } else {
                    decoder.decode(chunk.constData(), chunk.size(), text);
                }
                const QByteArray bytes = encoder->fromUnicode(text);
                // UTF-8 holds every character; stopping there would cut the text short.
                if (encoder->hasFailure() && codePage != 65001) {
                    unrepresentable = true;
                    break;
                }
                if (!writeAll(out, bytes))
                    return fail(QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, out.errorString()));
            }
            result.droppedNul = decoder.droppedNul;
        }
        if (!unrepresentable)
            break;
        // A character the 8-bit code page cannot hold: write the whole file in UTF-8 instead.
        codec = utf8Codec();
        codePage = 65001;
        out.resize(0);
        out.seek(0);
        source.seek(0);
    }
    // The import file carries the source's time, so the workbook's document time (taken from
    // the imported file) is the same on every run.
    if (!out.flush())
        return fail(QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, out.errorString()));
    out.setFileTime(files::modificationTime(nativePath), QFileDevice::FileModificationTime);
    out.close();
    result.ok = true;
    return result;
}
