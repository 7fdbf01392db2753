#include "convert/sourcetext.h"

#include "files/filesystem.h"
#include "unicode/codepages.h"
#include "unicode/textdecoder.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <cerrno>
#include <memory>

namespace {

// Decodes all of `device` (the source at `nativePath`) into `source`; the failure says why a read
// failed.
Failure decodeDevice(QIODevice& device, const QString& nativePath, const ConversionOptions& options,
                     DecodedSource* source)
{
    unicode::TextDecoder decoder(&device);
    if (!decoder.start(codePageForChoice(options))) {
        return decoder.readFailed() ? files::readFailure(&device, nativePath)
                                    : Failure(Reason::UnsupportedImport, nativePath, decoder.errorString());
    }
    source->text.clear();
    source->report = unicode::DecodingReport();
    source->report.setEncoding(decoder.encodingName());
    source->report.setUtf16WithoutMark(decoder.utf16WithoutMark());
    unicode::RepairTracker tracker(decoder, source->report);
    std::string_view chunk;
    while (decoder.nextChunk(chunk)) {
        tracker.piece(chunk);
        // Every piece holds whole characters, so it converts on its own.
        source->text += QString::fromUtf8(chunk.data(), int(chunk.size()));
    }
    if (!decoder.errorString().isEmpty())
        return files::readFailure(&device, nativePath);
    tracker.finish();
    return {};
}

bool writeAll(QFile& file, const char* data, qint64 size)
{
    return size == 0 || file.write(data, size) == size;
}

// Why the import file at `path` could not be opened or written: the system's cause where it says
// one (the file is unbuffered, so errno belongs to its last call), else the file's own words.
Failure importFileFailure(const QFile& file, const QString& path)
{
#ifdef Q_OS_UNIX
    if (errno != 0)
        return writeFailure(errno, QDir::toNativeSeparators(path));
#endif
    return Failure(Reason::TemporaryFileFailed, QDir::toNativeSeparators(path), file.errorString());
}

// The codec of the import file and the code page announced for it: the system's 8-bit code page
// where it has a number, else UTF-8.
QTextCodec* importCodec(int* codePage)
{
    const int local = unicode::localCodePage();
    *codePage = local == 0 ? 65001 : local;
    return local == 0 ? QTextCodec::codecForMib(106) : unicode::systemCodec();
}

enum class ImportWrite { Written, Unrepresentable, Failed };

// One attempt at the import file in `codePage`: ends early with Unrepresentable when the text has
// a character the code page cannot hold.
ImportWrite writeImportText(QIODevice& source, const QString& nativePath, QFile& out, QTextCodec* codec, int codePage,
                            const ConversionOptions& options, ImportFileResult& result)
{
    unicode::TextDecoder decoder(&source);
    if (!decoder.start(codePageForChoice(options))) {
        result.sourceUnreadable = decoder.readFailed();
        result.failure = decoder.readFailed() ? files::readFailure(&source, nativePath)
                                              : Failure(Reason::UnsupportedImport, nativePath, decoder.errorString());
        return ImportWrite::Failed;
    }
    unicode::DecodingReport report;
    report.setEncoding(decoder.encodingName());
    report.setUtf16WithoutMark(decoder.utf16WithoutMark());
    unicode::RepairTracker tracker(decoder, report);
    // UTF-8 out: the decoder's pieces are written as they are.
    std::unique_ptr<QTextEncoder> encoder(codePage == 65001 ? nullptr : codec->makeEncoder(QTextCodec::IgnoreHeader));
    std::string_view chunk;
    while (decoder.nextChunk(chunk)) {
        tracker.piece(chunk);
        bool written;
        errno = 0;
        if (encoder) {
            const QByteArray bytes = encoder->fromUnicode(QString::fromUtf8(chunk.data(), int(chunk.size())));
            if (encoder->hasFailure())
                return ImportWrite::Unrepresentable;
            written = writeAll(out, bytes.constData(), bytes.size());
        } else {
            written = writeAll(out, chunk.data(), qint64(chunk.size()));
        }
        if (!written) {
            result.failure = importFileFailure(out, out.fileName());
            return ImportWrite::Failed;
        }
    }
    if (!decoder.errorString().isEmpty()) {
        result.sourceUnreadable = true;
        result.failure = files::readFailure(&source, nativePath);
        return ImportWrite::Failed;
    }
    tracker.finish();
    result.warnings = report.messages();
    return ImportWrite::Written;
}

} // namespace

int codePageForChoice(const ConversionOptions& options)
{
    if (options.sourceUtf8Bom)
        return 2;
    if (options.sourceUcs2)
        return 1200;
    return 0;
}

DecodedSource decodeSourceBytes(const QByteArray& bytes, const ConversionOptions& options)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    DecodedSource source;
    decodeDevice(buffer, QString(), options, &source);
    return source;
}

Failure readSourceText(const QString& nativePath, const ConversionOptions& options, DecodedSource* source)
{
    Failure failure;
    const std::unique_ptr<files::FileDevice> file = files::openReadDevice(nativePath, &failure);
    if (!file)
        return failure;
    return decodeDevice(*file, QDir::toNativeSeparators(nativePath), options, source);
}

ImportFileResult prepareImportFile(const QString& nativePath, const QString& importFilePath,
                                   const ConversionOptions& options)
{
    ImportFileResult result;
    const std::unique_ptr<files::FileDevice> source = files::openReadDevice(nativePath, &result.failure);
    if (!source) {
        result.sourceUnreadable = true;
        return result;
    }
    QFile out(importFilePath);
    auto fail = [&](const Failure& failure) {
        if (failure.isFailure())
            result.failure = failure;
        out.close();
        QFile::remove(importFilePath);
        return result;
    };
    errno = 0;
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(importFileFailure(out, importFilePath));

    const QString path = QDir::toNativeSeparators(nativePath);
    QTextCodec* codec = importCodec(&result.codePage);
    ImportWrite written = writeImportText(*source, path, out, codec, result.codePage, options, result);
    if (written == ImportWrite::Unrepresentable) {
        // A character the 8-bit code page cannot hold: the whole file goes out in UTF-8 instead.
        result.codePage = 65001;
        errno = 0;
        if (!out.resize(0) || !out.seek(0))
            return fail(importFileFailure(out, importFilePath));
        if (!source->seek(0)) {
            result.sourceUnreadable = true;
            return fail(files::readFailure(source.get(), path));
        }
        written = writeImportText(*source, path, out, codec, result.codePage, options, result);
    }
    if (written != ImportWrite::Written)
        return fail(Failure());
    out.setFileTime(files::modificationTime(nativePath), QFileDevice::FileModificationTime);
    out.close();
    result.ok = true;
    return result;
}
