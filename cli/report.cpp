#include "cli/report.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool isLoneSurrogate(const QString& text, int i)
{
    const QChar c = text.at(i);
    if (c.isHighSurrogate())
        return !(i + 1 < text.size() && text.at(i + 1).isLowSurrogate());
    if (c.isLowSurrogate())
        return !(i > 0 && text.at(i - 1).isHighSurrogate());
    return false;
}

QJsonValue jsonText(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(validUnicode(text));
}

// A path under `key`, and its exact bytes under `key`_bytes when it is not valid UTF-8.
void putPath(QJsonObject& object, const QString& key, const QString& path)
{
    object.insert(key, jsonText(path));
    if (hasEscapedBytes(path))
        object.insert(key + QStringLiteral("_bytes"), QString::fromLatin1(nameBytes(path).toBase64()));
}

QJsonValue reasonObject(const Failure& failure)
{
    if (!failure.isFailure())
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{{QStringLiteral("code"), QString::fromLatin1(reasonCode(failure.reason))},
                       {QStringLiteral("text"), validUnicode(failure.text())}};
}

const char* statusName(FileStatus status)
{
    switch (status) {
    case FileStatus::Converted:
        return "converted";
    case FileStatus::Failed:
        return "failed";
    case FileStatus::Skipped:
        return "skipped";
    }
    return "failed";
}

QJsonObject fileRecord(const FileResult& result)
{
    QJsonObject record;
    putPath(record, QStringLiteral("source"), result.source);
    putPath(record, QStringLiteral("workbook"), result.workbook);
    record.insert(QStringLiteral("status"), QString::fromLatin1(statusName(result.status)));
    record.insert(QStringLiteral("rows"),
                  result.facts.rows >= 0 ? QJsonValue(double(result.facts.rows)) : QJsonValue(QJsonValue::Null));
    record.insert(QStringLiteral("sheets"),
                  result.facts.sheets >= 0 ? QJsonValue(result.facts.sheets) : QJsonValue(QJsonValue::Null));
    record.insert(QStringLiteral("encoding"), jsonText(result.facts.encoding));
    QJsonArray warnings;
    for (const QString& warning : result.warnings)
        warnings.append(validUnicode(warning));
    record.insert(QStringLiteral("warnings"), warnings);
    record.insert(QStringLiteral("reason"), reasonObject(result.failure));
    // Milliseconds are all a script can use of a file's time; more digits would be noise.
    record.insert(QStringLiteral("seconds"), qRound64(result.seconds * 1000) / 1000.0);
    return record;
}

} // namespace

QString validUnicode(const QString& text)
{
    QString valid = text;
    for (int i = 0; i < valid.size(); ++i) {
        if (isLoneSurrogate(text, i))
            valid[i] = QChar(QChar::ReplacementCharacter);
    }
    return valid;
}

bool hasEscapedBytes(const QString& text)
{
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c >= 0xDC80 && c <= 0xDCFF && isLoneSurrogate(text, i))
            return true;
    }
    return false;
}

QByteArray nameBytes(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    int start = 0; // the start of the run of ordinary characters not yet added
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (!isLoneSurrogate(text, i))
            continue;
        bytes += text.mid(start, i - start).toUtf8();
        if (c >= 0xDC80 && c <= 0xDCFF)
            bytes += char(c & 0xFF);
        else
            bytes += QString(QChar(QChar::ReplacementCharacter)).toUtf8();
        start = i + 1;
    }
    bytes += text.mid(start).toUtf8();
    return bytes;
}

void RunReport::fileFinished(const FileResult& result)
{
    QMutexLocker lock(&mutex);
    records.append(result);
}

QByteArray RunReport::json(const RunSummary& summary) const
{
    QMutexLocker lock(&mutex);
    QJsonArray files;
    int counts[3] = {0, 0, 0};
    for (const FileResult& result : records) {
        files.append(fileRecord(result));
        ++counts[int(result.status)];
    }
    QJsonObject totals{{QStringLiteral("sources"), summary.sources},
                       {QStringLiteral("converted"), counts[int(FileStatus::Converted)]},
                       {QStringLiteral("failed"), counts[int(FileStatus::Failed)]},
                       {QStringLiteral("skipped"), counts[int(FileStatus::Skipped)]},
                       {QStringLiteral("not_reached"), summary.notReached},
                       {QStringLiteral("interrupted"), summary.interrupted},
                       {QStringLiteral("run_failure"), reasonObject(summary.runFailure)}};
    putPath(totals, QStringLiteral("failure_list"), summary.failureListPath);
    const QJsonObject root{
        {QStringLiteral("version"), 1}, {QStringLiteral("files"), files}, {QStringLiteral("summary"), totals}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

// Why a report file could not be opened or written, in the program's words.
QString cannotWrite(const QString& path, int error)
{
    Failure failure = error != 0 ? systemFailure(error, path) : Failure(Reason::WriteError, path);
    // A report is made, not looked for: a name that is not found means its folder is missing.
    if (failure.reason == Reason::Vanished)
        failure = Failure(Reason::FolderMissing, QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
    return QStringLiteral("无法写入报告: %1").arg(failure.text());
}

// A pipe, a terminal or the like (--report /dev/stdout, a shell's >(...)): written straight
// through, since no complete file can be renamed over it.
bool isStream(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isFile() && !info.isDir();
}

} // namespace

bool writeReport(const QString& path, const QByteArray& json, QString* error)
{
    // Standard output by another name (/dev/stdout, a file it is redirected or appended to) is
    // written through, as "-" is: putting a complete file in its place would throw away what
    // the shell had written there before.
    if (reportGoesToStandardOutput(path)) {
        errno = 0;
        const bool written = std::fwrite(json.constData(), 1, size_t(json.size()), stdout) == size_t(json.size()) &&
                             std::fflush(stdout) == 0;
        if (!written)
            *error = cannotWrite(path, errno);
        return written;
    }
    if (isStream(path)) {
        QFile stream(path);
        errno = 0;
        if (!stream.open(QIODevice::WriteOnly) || stream.write(json) != json.size() || !stream.flush()) {
            *error = cannotWrite(path, errno);
            return false;
        }
        return true;
    }
    // Unbuffered, so that a write the disk refuses fails here, with its errno: Qt 5.15 commits a
    // save file whose buffered bytes could not be flushed, which left an empty or cut report in
    // place of the old one.
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(json) != json.size()) {
        *error = cannotWrite(path, errno);
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = cannotWrite(path, errno);
        return false;
    }
    return true;
}

QString reportPathProblem(const QString& path)
{
    if (reportGoesToStandardOutput(path) || isStream(path))
        return {};
    if (QFileInfo(path).isDir())
        return QStringLiteral("无法写入报告: %1").arg(Failure(Reason::IsAFolder, path).text());
    // Opening the save file makes its temporary file beside the report, which needs exactly the
    // rights that writing the report will need; cancelling removes it again.
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly))
        return cannotWrite(path, errno);
    file.cancelWriting();
    return {};
}

bool reportGoesToStandardOutput(const QString& path)
{
    if (path == QLatin1String("-"))
        return true;
#ifdef Q_OS_UNIX
    struct stat report;
    struct stat output;
    if (::stat(QFile::encodeName(path).constData(), &report) != 0 || ::fstat(STDOUT_FILENO, &output) != 0)
        return false;
    // A device other than a terminal (/dev/null) takes what it is given: nothing to keep apart.
    if (S_ISCHR(output.st_mode) && !::isatty(STDOUT_FILENO))
        return false;
    return report.st_dev == output.st_dev && report.st_ino == output.st_ino;
#else
    return false;
#endif
}
