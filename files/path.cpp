#include "files/path.h"

namespace files {

namespace {

constexpr char16_t kFirstEscape = 0xDC80;
constexpr char16_t kLastEscape = 0xDCFF;

bool isEscape(QChar c)
{
    return c.unicode() >= kFirstEscape && c.unicode() <= kLastEscape;
}

// The length of the well-formed UTF-8 sequence at `s` (at most `n` bytes there), or 0 when the
// byte there does not begin one. Overlong forms, surrogates and values past U+10FFFF are not
// well-formed, as in the Unicode standard's table of well-formed byte sequences.
int sequenceLength(const unsigned char* s, qsizetype n)
{
    const unsigned char b = s[0];
    if (b < 0x80)
        return 1;
    auto continuation = [&](qsizetype i, unsigned char low = 0x80, unsigned char high = 0xBF) {
        return i < n && s[i] >= low && s[i] <= high;
    };
    if (b >= 0xC2 && b <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned char low = b == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = b == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned char low = b == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = b == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

} // namespace

QString pathFromBytes(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    QString path;
    path.reserve(int(n));
    qsizetype i = 0;
    while (i < n) {
        // Runs of valid text are decoded by Qt; only the bytes in between are carried one by one.
        qsizetype end = i;
        int length = 0;
        while (end < n && (length = sequenceLength(s + end, n - end)) > 0)
            end += length;
        if (end > i)
            path += QString::fromUtf8(bytes.constData() + i, int(end - i));
        if (end < n) {
            path += QChar(char16_t(0xDC00 + s[end]));
            ++end;
        }
        i = end;
    }
    return path;
}

QByteArray pathBytes(const QString& path)
{
    if (!hasEscapedBytes(path))
        return path.toUtf8();
    QByteArray bytes;
    bytes.reserve(path.size() * 3);
    int start = 0;
    for (int i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isEscape(path.at(i)))
            continue;
        bytes += path.midRef(start, i - start).toUtf8();
        if (i < path.size())
            bytes += char(path.at(i).unicode() - 0xDC00);
        start = i + 1;
    }
    return bytes;
}

bool hasEscapedBytes(const QString& path)
{
    for (QChar c : path) {
        if (isEscape(c))
            return true;
    }
    return false;
}

QString displayText(const QString& text)
{
    if (!hasEscapedBytes(text))
        return text;
    QString shown;
    shown.reserve(text.size() + 8);
    for (QChar c : text) {
        if (isEscape(c))
            shown += QStringLiteral("\\x") + QString::number(c.unicode() - 0xDC00, 16).toUpper();
        else
            shown += c;
    }
    return shown;
}

QString validText(const QString& text)
{
    QString valid = text;
    for (QChar& c : valid) {
        if (isEscape(c))
            c = QChar(QChar::ReplacementCharacter);
    }
    return valid;
}

} // namespace files
