#include "settings/settingsfile.h"

#include <QFile>
#include <QSaveFile>

namespace {

const QByteArray ByteOrderMark("\xEF\xBB\xBF");

// Where a key's line was found: [lineStart, valueStart) is the key and "=", [valueStart, valueEnd)
// the value, and nextLine the first byte after the line's end.
struct KeyLine
{
    int lineStart = -1;
    int valueStart = -1;
    int valueEnd = -1;
    int nextLine = -1;
};

KeyLine findKeyLine(const QByteArray& text, const QByteArray& key)
{
    const QByteArray marker = key + '=';
    int lineStart = text.startsWith(ByteOrderMark) ? ByteOrderMark.size() : 0;
    while (lineStart <= text.size()) {
        int lineEnd = text.indexOf('\n', lineStart);
        const int nextLine = lineEnd < 0 ? text.size() : lineEnd + 1;
        if (lineEnd < 0)
            lineEnd = text.size();
        else if (lineEnd > lineStart && text.at(lineEnd - 1) == '\r')
            --lineEnd; // CR LF
        if (!key.isEmpty() && lineEnd - lineStart >= marker.size() && text.mid(lineStart, marker.size()) == marker)
            return {lineStart, lineStart + marker.size(), lineEnd, nextLine};
        if (nextLine >= text.size())
            break;
        lineStart = nextLine;
    }
    return {};
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool readSettingsFile(const QString& path, QByteArray* text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // One byte more than allowed tells a file that is too large from one that just fits.
    const QByteArray content = file.read(SettingsFileCapacity + 1);
    if (content.size() > SettingsFileCapacity || file.error() != QFileDevice::NoError)
        return false;
    *text = content;
    return true;
}

} // namespace

int LoadSettingsText(const QString& path, QByteArray* text)
{
    return readSettingsFile(path, text) ? 0 : -1;
}

QByteArray GetSettingValue(const QByteArray& text, const char* key)
{
    if (key == nullptr)
        return QByteArray();
    const KeyLine line = findKeyLine(text, QByteArray(key));
    if (line.lineStart < 0)
        return QByteArray();
    int begin = line.valueStart;
    int end = line.valueEnd;
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    if (end - begin > SettingsValueCapacity)
        return QByteArray();
    return text.mid(begin, end - begin);
}

int SetSettingValue(const QString& path, const char* key, const QByteArray& value)
{
    if (key == nullptr || *key == '\0')
        return -1;
    // A line break inside the value would end the line early and could smuggle in another key.
    if (value.size() > SettingsValueCapacity || value.contains('\r') || value.contains('\n'))
        return -1;
    QByteArray oldText;
    if (!readSettingsFile(path, &oldText))
        return -1;

    const QByteArray newLine = QByteArray(key) + '=' + value + "\r\n";
    const KeyLine line = findKeyLine(oldText, QByteArray(key));
    QByteArray newText;
    if (line.lineStart < 0) {
        newText = oldText;
        // A file without any line yet (empty, or only a byte-order mark) takes the line as its first.
        if (!oldText.isEmpty() && oldText != ByteOrderMark && !oldText.endsWith('\n'))
            newText += "\r\n";
        newText += newLine;
    } else {
        newText = oldText.left(line.lineStart) + newLine + oldText.mid(line.nextLine);
    }
    if (newText.size() - oldText.size() > SettingsWriteGrowth || newText.size() > SettingsFileCapacity)
        return -1;

    // The new text replaces the old one only once it is completely written; where the folder does
    // not allow a file to be created beside it, the file is written in place.
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    if (file.write(newText) != newText.size()) {
        file.cancelWriting();
        return -1;
    }
    return file.commit() ? 0 : -1;
}
