#pragma once
// A file's path as the system knows it. On Linux a name is a sequence of bytes that need not be
// valid UTF-8; Qt decodes names through the locale and cannot carry such bytes. A path here is a
// QString that holds every byte the UTF-8 decoding cannot take as a lone surrogate U+DC80..U+DCFF
// (the "surrogate escape" convention), so that any path turns into a string and back into the
// very same bytes. Valid UTF-8 never decodes to a surrogate, so the escapes are unambiguous.

#include <QByteArray>
#include <QString>

namespace files {

// The path for `bytes`: UTF-8, with each byte of an invalid sequence carried as U+DC00 + byte.
QString pathFromBytes(const QByteArray& bytes);

// The exact bytes of a path made by pathFromBytes (and UTF-8 of any other text). A surrogate that
// carries no byte (one outside U+DC80..U+DCFF without its partner) becomes U+FFFD.
QByteArray pathBytes(const QString& path);

// True when the path holds bytes that are not valid UTF-8.
bool hasEscapedBytes(const QString& path);

// The text for a message: every carried byte shown as "\xNN". Other text is left as it is, so a
// whole message may be passed.
QString displayText(const QString& text);

// The name as a valid string for places that must hold valid text (a sheet's name, a temporary
// copy's name): every carried byte becomes U+FFFD.
QString validText(const QString& text);

} // namespace files
