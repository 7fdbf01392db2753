#pragma once
// Code pages, the numbers by which the import and the 8-bit world name encodings, and the codecs
// that stand for them.

class QTextCodec;

namespace unicode {

// The codec for a code page other than those the decoder reads itself (65001, 1200, 1201, 12000,
// 12001, 0): 936 -> GB18030, 2 -> the system's 8-bit code page, other Windows code pages by their
// number. Null when there is none.
QTextCodec* codecForCodePage(int codePage);

// The code page number of a codec: 65001 for UTF-8, 936 for GBK and its relatives, the Windows
// number of other 8-bit codecs; 0 when the codec has no such number.
int codePageOfCodec(const QTextCodec* codec);

// The code page of the system's 8-bit codec (systemCodec()), as announced to an import; 0 when it
// has no number.
int localCodePage();

// The codec for a locale's codeset as the C library names it (nl_langinfo(CODESET): "GBK",
// "BIG5", "ISO-8859-5", ...), when it is one Qt has and neither UTF-8 nor ASCII (the "C"
// locale's, which could not show the program's own texts); null otherwise.
QTextCodec* codecForCodeset(const char* codeset);

// The system's 8-bit code page as a codec: the locale's codeset where it names an encoding of its
// own (codecForCodeset), else Qt's codec for the locale. Qt built with ICU takes UTF-8 whatever
// the locale says; file names and arguments stay with Qt's codec, which the file layer's paths
// match. Needs the process's locale set from the environment before its first call (the
// application object does it).
QTextCodec* systemCodec();

} // namespace unicode
