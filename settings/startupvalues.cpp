#include "settings/startupvalues.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextCodec>

namespace {

StartupValues& storedValues()
{
    static StartupValues values;
    return values;
}

// Joins a sibling file name to a folder text that already ends with its separator (or is empty).
// A result over the capacity is left empty rather than cut: a cut path would name another file.
QByteArray siblingPath(const QByteArray& directory, const char* fileName)
{
    const QByteArray path = directory + fileName;
    return path.size() <= PathCapacity ? path : QByteArray();
}

bool fileExists(const QByteArray& path)
{
    return !path.isEmpty() && QFileInfo(QFile::decodeName(path)).isFile();
}

} // namespace

QString StartupValues::settingsFileName() const
{
    return QFile::decodeName(settingsFilePath);
}

QByteArray cutToCapacity(const QByteArray& bytes, int capacity)
{
    if (bytes.size() <= capacity)
        return bytes;
    QTextCodec* codec = QTextCodec::codecForLocale();
    const QString whole = codec->toUnicode(bytes);
    // A cut lies between two characters when the part before it decodes to the start of the whole
    // text and encodes back to the same bytes. A character of any 8-bit encoding Qt knows takes at
    // most four bytes, so the cut moves back by at most three bytes.
    for (int length = capacity; length > 0 && length > capacity - 4; --length) {
        const QByteArray part = bytes.left(length);
        const QString decoded = codec->toUnicode(part);
        if (whole.startsWith(decoded) && codec->fromUnicode(decoded) == part)
            return part;
    }
    return bytes.left(capacity);
}

StartupValues deriveStartupValues(const QByteArrayList& arguments, const QString& executableFolder,
                                  const QString& userConfigFolder)
{
    StartupValues values;
    if (arguments.size() > 1)
        values.firstArgument = cutToCapacity(arguments.at(1), FirstArgumentCapacity);
    if (!arguments.isEmpty())
        values.programPath = cutToCapacity(arguments.at(0), PathCapacity);

    // The folder is derived from the program name itself (not from a cut copy of it), and only when
    // it fits: a folder cut short would be some other folder.
    const QByteArray fullProgramPath = arguments.isEmpty() ? QByteArray() : arguments.at(0);
    const char separator = char(QDir::separator().toLatin1());
    const int lastSeparator = fullProgramPath.lastIndexOf(separator);
    if (lastSeparator >= 0 && lastSeparator + 1 <= PathCapacity)
        values.programDirectory = fullProgramPath.left(lastSeparator + 1);

    values.updatePackagePath = siblingPath(values.programDirectory, UpdatePackageName);

    // Beside the executable: the folder the program name gives, or, when it gives none (the shell
    // found the program through PATH), the executable's real folder.
    QByteArray besideExecutable = siblingPath(values.programDirectory, SettingsFileName);
    if (values.programDirectory.isEmpty() && !executableFolder.isEmpty()) {
        QString folder = QDir::toNativeSeparators(executableFolder);
        if (!folder.endsWith(QDir::separator()))
            folder += QDir::separator();
        const QByteArray candidate = siblingPath(QFile::encodeName(folder), SettingsFileName);
        if (fileExists(candidate))
            besideExecutable = candidate;
    }

    if (fileExists(besideExecutable) || userConfigFolder.isEmpty()) {
        values.settingsFilePath = besideExecutable;
    } else {
        QString folder = QDir::toNativeSeparators(userConfigFolder);
        if (!folder.endsWith(QDir::separator()))
            folder += QDir::separator();
        values.settingsFilePath = siblingPath(QFile::encodeName(folder), SettingsFileName);
        values.settingsInUserConfigFolder = !values.settingsFilePath.isEmpty();
    }
    return values;
}

bool prepareSettingsFile(const StartupValues& values)
{
    if (!values.settingsInUserConfigFolder)
        return true;
    const QString path = values.settingsFileName();
    QFileInfo info(path);
    if (info.exists())
        return info.isFile();
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QFile file(path);
    // NewOnly: a file that appears meanwhile (another copy starting) is kept as it is.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return QFileInfo(path).isFile();
    return true;
}

QString defaultUserConfigFolder()
{
#ifdef Q_OS_WIN
    return QString();
#else
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base.isEmpty() ? QString() : base + QStringLiteral("/Quillmorne");
#endif
}

const StartupValues& startupValues()
{
    return storedValues();
}

void setStartupValues(const StartupValues& values)
{
    storedValues() = values;
}
