#include "unicode/codepages.h"

#include <QByteArray>
#include <QTextCodec>

#ifdef Q_OS_UNIX
#include <langinfo.h>
#endif

namespace unicode {

namespace {

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

} // namespace

QTextCodec* codecForCodePage(int codePage)
{
    if (codePage == 2)
        return systemCodec();
    if (codePage <= 0)
        return nullptr;
    // Names Qt knows with and without ICU come first; "windows-N" is ICU's alias for Microsoft's
    // numbering and covers most of the rest.
    struct Names
    {
        int codePage;
        const char* names[3];
    };
    static const Names table[] = {
        {936, {"GB18030"}},
        {54936, {"GB18030"}},
        {932, {"windows-932", "Shift_JIS"}},
        {949, {"windows-949", "cp949", "EUC-KR"}},
        {950, {"windows-950", "Big5"}},
        {874, {"windows-874", "TIS-620"}},
        {20127, {"US-ASCII"}},
        {20932, {"EUC-JP"}},
        {51932, {"EUC-JP"}},
        {50220, {"ISO-2022-JP"}},
        {50221, {"ISO-2022-JP"}},
        {50222, {"ISO-2022-JP"}},
        {51949, {"EUC-KR"}},
        {20936, {"GB2312"}},
        {52936, {"HZ-GB-2312"}},
        {12000, {"UTF-32LE"}},
        {12001, {"UTF-32BE"}},
        {20866, {"KOI8-R"}},
        {21866, {"KOI8-U"}},
        {10000, {"macintosh"}},
    };
    for (const Names& entry : table) {
        if (entry.codePage != codePage)
            continue;
        for (const char* name : entry.names) {
            if (!name)
                break;
            if (QTextCodec* codec = QTextCodec::codecForName(name))
                return codec;
        }
    }
    if (codePage >= 28591 && codePage <= 28606) {
        if (QTextCodec* codec = QTextCodec::codecForName("ISO-8859-" + QByteArray::number(codePage - 28590)))
            return codec;
    }
    if (QTextCodec* codec = QTextCodec::codecForName("windows-" + QByteArray::number(codePage)))
        return codec;
    if (codePage >= 437 && codePage <= 869) {
        if (QTextCodec* codec = QTextCodec::codecForName("IBM" + QByteArray::number(codePage)))
            return codec;
    }
    return nullptr;
}

int codePageOfCodec(const QTextCodec* codec)
{
    return codec ? codePageForMib(codec->mibEnum()) : 0;
}

int localCodePage()
{
    return codePageOfCodec(systemCodec());
}

QTextCodec* codecForCodeset(const char* codeset)
{
    if (codeset == nullptr || *codeset == '\0')
        return nullptr;
    QTextCodec* codec = QTextCodec::codecForName(codeset);
    // ASCII (the "C" locale's ANSI_X3.4-1968) is a subset of what Qt takes then, UTF-8.
    if (codec == nullptr || codec->mibEnum() == 3 || codec->mibEnum() == 106)
        return nullptr;
    return codec;
}

QTextCodec* systemCodec()
{
#ifdef Q_OS_UNIX
    // The locale is set once at the start, so its codeset is looked up once.
    static QTextCodec* const localeCodec = codecForCodeset(nl_langinfo(CODESET));
    if (localeCodec)
        return localeCodec;
#endif
    return QTextCodec::codecForLocale();
}

} // namespace unicode
