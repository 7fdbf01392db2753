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

#include <cstring>
#include <memory>

namespace {

// Decodes all of `device` into `source`; false (with errorString) on a read error.
bool decodeDevice(QIODevice& device, const ConversionOptions& options, DecodedSource* source, QString* errorString)
{
    unicode::TextDecoder decoder(&device);
    if (!decoder.start(codePageForChoice(options))) {
        if (errorString)
            *errorString = decoder.errorString();
        return false;
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
    if (!decoder.errorString().isEmpty()) {
        if (errorString)
            *errorString = decoder.errorString();
        return false;
    }
    tracker.finish();
    return true;
}

bool writeAll(QFile& file, const char* data, qint64 size)
{
    return size == 0 || file.write(data, size) == size;
}

// The codec of the import file and the code page announced for it: the system's 8-bit code page
// where it has a number, else UTF-8.
QTextCodec* importCodec(int* codePage)
{
    const int local = unicode::localCodePage();
    *codePage = local == 0 ? 65001 : local;
    return local == 0 ? QTextCodec::codecForMib(106) : QTextCodec::codecForLocale();
}

enum class ImportWrite { Written, Unrepresentable, Failed };

// One attempt at the import file in `codePage`: ends early with Unrepresentable when the text has
// a character the code page cannot hold.
ImportWrite writeImportText(QFile& source, QFile& out, QTextCodec* codec, int codePage,
                            const ConversionOptions& options, ImportFileResult& result)
{
    unicode::TextDecoder decoder(&source);
    if (!decoder.start(codePageForChoice(options))) {
        result.errorString = decoder.errorString();
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
        if (encoder) {
            const QByteArray bytes = encoder->fromUnicode(QString::fromUtf8(chunk.data(), int(chunk.size())));
            if (encoder->hasFailure())
                return ImportWrite::Unrepresentable;
            written = writeAll(out, bytes.constData(), bytes.size());
        } else {
            written = writeAll(out, chunk.data(), qint64(chunk.size()));
        }
        if (!written) {
            result.errorString = out.errorString();
            return ImportWrite::Failed;
        }
    }
    if (!decoder.errorString().isEmpty()) {
        result.errorString = decoder.errorString();
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
    decodeDevice(buffer, options, &source, nullptr);
    return source;
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

bool readSourceText(const QString& nativePath, const ConversionOptions& options, DecodedSource* source,
                    QString* errorString, Failure* failure)
{
    QFile file;
    if (!openSourceFile(nativePath, file, errorString, failure))
        return false;
    return decodeDevice(file, options, source, errorString);
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
    QFile out(importFilePath);
    auto fail = [&](const QString& reason) {
        result.errorString = QStringLiteral("无法写入导入文件 %1: %2").arg(importFilePath, reason);
        out.close();
        QFile::remove(importFilePath);
        return result;
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(out.errorString());

    QTextCodec* codec = importCodec(&result.codePage);
    ImportWrite written = writeImportText(source, out, codec, result.codePage, options, result);
    if (written == ImportWrite::Unrepresentable) {
        // A character the 8-bit code page cannot hold: the whole file goes out in UTF-8 instead.
        result.codePage = 65001;
        if (!out.resize(0) || !out.seek(0) || !source.seek(0))
            return fail(out.errorString());
        written = writeImportText(source, out, codec, result.codePage, options, result);
    }
    if (written != ImportWrite::Written)
        return fail(result.errorString);
    if (!out.flush())
        return fail(out.errorString());
    out.setFileTime(files::modificationTime(nativePath), QFileDevice::FileModificationTime);
    out.close();
    result.ok = true;
    return result;
}
