#include "cli/console.h"

#include "unicode/codepages.h"

#include <QMutexLocker>
#include <QTextCodec>
#include <QVector>

#include <atomic>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// East Asian wide (W) and fullwidth (F) ranges: CJK ideographs, kana, Hangul syllables,
// fullwidth forms and the emoji that terminals draw two columns wide.
struct Range
{
    uint first;
    uint last;
};
constexpr Range wideRanges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

int codePointWidth(uint c)
{
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return 0;
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format ||
        (c >= 0x1160 && c <= 0x11FF))
        return 0;
    for (const Range& range : wideRanges) {
        if (c < range.first)
            break;
        if (c <= range.last)
            return 2;
    }
    return 1;
}

// The code points of a text, a lone surrogate kept as itself.
QVector<uint> codePoints(const QString& text)
{
    QVector<uint> points;
    points.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            points.append(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            points.append(c.unicode());
        }
    }
    return points;
}

QString fromCodePoints(const QVector<uint>& points, int from)
{
    QString text;
    for (int i = from; i < points.size(); ++i)
        text.append(QString::fromUcs4(&points.at(i), 1));
    return text;
}

int terminalWidth()
{
#ifdef Q_OS_UNIX
    struct winsize size;
    // A terminal of any width is taken at its word (progressLine fits the line into it); 0 means
    // the terminal does not know its size.
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

QString hex(uint value, int digits)
{
    return QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// A stream whose reader went away (a closed pipe: EPIPE; a terminal that hung up: EIO) or that
// cannot take more is not written to again. What the run does does not depend on its being read.
std::atomic<bool> stdoutBroken{false};
std::atomic<bool> stderrBroken{false};

constexpr char red[] = "\033[1;31m";
constexpr char yellow[] = "\033[33m";

} // namespace

int displayWidth(const QString& text)
{
    int width = 0;
    for (uint c : codePoints(text))
        width += codePointWidth(c);
    return width;
}

QString oneLine(const QString& text)
{
    QString line;
    line.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        const bool pairedSurrogate =
            (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ||
            (QChar::isLowSurrogate(c) && i > 0 && text.at(i - 1).isHighSurrogate());
        if (c == '\n')
            line += QLatin1String("\\n");
        else if (c == '\r')
            line += QLatin1String("\\r");
        else if (c == '\t')
            line += QLatin1String("\\t");
        else if (c < 0x20 || c == 0x7F || (c >= 0xDC80 && c <= 0xDCFF && !pairedSurrogate))
            line += QLatin1String("\\x") + hex(c & 0xFF, 2);
        else if (c >= 0x80 && c < 0xA0)
            line += QLatin1String("\\u") + hex(c, 4);
        else if (QChar::isSurrogate(c) && !pairedSurrogate)
            line += QChar(QChar::ReplacementCharacter);
        else
            line += QChar(c);
    }
    return line;
}

QString progressLine(int done, int total, const QString& current, int width)
{
    const int room = qMax(0, width - 1); // the last column is left free: writing there wraps
    const QString counts = QStringLiteral(" %1/%2 ").arg(done).arg(total);
    // The bar gives way first on a narrow terminal, down to nothing.
    const int barWidth = qBound(0, room - counts.size() - 2 - 16, 24);
    const int filled = total > 0 ? int(qint64(barWidth) * qMin(done, total) / total) : barWidth;
    QString line = barWidth > 0 ? QStringLiteral("[%1%2]").arg(QString(filled, QLatin1Char('#')),
                                                               QString(barWidth - filled, QLatin1Char(' ')))
                                : QString();
    line += counts;
    if (line.size() > room)
        return line.left(room);

    const QString name = oneLine(current);
    const int nameRoom = room - line.size();
    if (displayWidth(name) <= nameRoom)
        return line + name;
    const QString ellipsis = QStringLiteral("...");
    if (nameRoom < ellipsis.size())
        return line;
    const QVector<uint> points = codePoints(name);
    int used = ellipsis.size();
    int from = points.size();
    while (from > 0 && used + codePointWidth(points.at(from - 1)) <= nameRoom) {
        --from;
        used += codePointWidth(points.at(from));
    }
    return line + ellipsis + fromCodePoints(points, from);
}

bool colourWanted(bool terminal)
{
    if (!terminal)
        return false;
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour && *noColour)
        return false;
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

bool isTerminal(FILE* stream)
{
#ifdef Q_OS_UNIX
    return ::isatty(::fileno(stream)) == 1;
#else
    Q_UNUSED(stream)
    return false;
#endif
}

void writeBytes(FILE* stream, const QByteArray& bytes)
{
    std::atomic<bool>& broken = stream == stdout ? stdoutBroken : stderrBroken;
    if (broken.load())
        return;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size()) ||
        std::fflush(stream) != 0) {
        broken.store(true);
        std::clearerr(stream);
    }
}

QByteArray consoleBytes(const QString& text)
{
    // A locale whose encoding cannot hold the program's own texts (ISO-8859-1, Big5) would turn
    // them into question marks: UTF-8 then, which is what such a terminal most likely shows.
    static QTextCodec* const codec = [] {
        QTextCodec* local = unicode::systemCodec();
        return local->canEncode(QStringLiteral("成功转换失败警告无法打开")) ? local : QTextCodec::codecForMib(106);
    }();
    return codec->fromUnicode(text);
}

void printLine(FILE* stream, const QString& text)
{
    writeBytes(stream, consoleBytes(text) + '\n');
}

ConsoleObserver::ConsoleObserver(bool quiet, bool terminal, bool colour)
    : quiet(quiet), bar(terminal && !quiet), colour(colour)
{}

void ConsoleObserver::sourceFilesListed(int count)
{
    QMutexLocker lock(&mutex);
    total = count;
}

void ConsoleObserver::fileStarted(const QString& nativePath)
{
    QMutexLocker lock(&mutex);
    drawBar(nativePath);
}

void ConsoleObserver::fileFinished(const FileResult& result)
{
    QMutexLocker lock(&mutex);
    ++done;
    clearBar();
    if (result.status == FileStatus::Failed)
        printLine(stderr, label("失败", red) +
                              oneLine(QStringLiteral(": %1: %2").arg(result.source, failureTextBesideSource(result))));
    else if (!quiet && !bar)
        printLine(stderr,
                  oneLine(QStringLiteral("[%1/%2] %3 -> %4").arg(done).arg(total).arg(result.source, result.workbook)));
    for (const QString& warning : result.warnings)
        printLine(stderr, label("警告", yellow) + oneLine(QStringLiteral(": %1: %2").arg(result.source, warning)));
}

void ConsoleObserver::finish()
{
    QMutexLocker lock(&mutex);
    clearBar();
}

void ConsoleObserver::clearBar()
{
    if (bar && barShown) {
        writeBytes(stderr, "\r\033[K");
        barShown = false;
    }
}

void ConsoleObserver::drawBar(const QString& current)
{
    if (!bar)
        return;
    writeBytes(stderr, "\r\033[K" + consoleBytes(progressLine(done, total, current, terminalWidth())));
    barShown = true;
}

QString ConsoleObserver::label(const char* text, const char* colourCode) const
{
    const QString plain = QString::fromUtf8(text);
    if (!colour)
        return plain;
    return QString::fromLatin1(colourCode) + plain + QStringLiteral("\033[0m");
}
