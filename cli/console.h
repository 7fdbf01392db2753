#pragma once
// What quillmorne-convert shows on the terminal while a run goes on: one line per file, or a
// progress bar when standard error is a terminal; failures and warnings, coloured only on a
// terminal whose user has not asked for no colour (NO_COLOR).

#include "convert/mergeobject.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <cstdio>

// The columns a text takes on a terminal: East Asian wide and fullwidth characters take two,
// combining marks and format characters none, everything else one.
int displayWidth(const QString& text);

// The text on one line: control characters (a newline in a file name, ...) are shown escaped as
// \n, \r, \t, \xHH or, for C1 controls, \uHHHH; a byte of a name that was not valid UTF-8
// (carried as U+DC80..U+DCFF) is shown as \xHH. So no name can break a line or the progress bar.
QString oneLine(const QString& text);

// The progress bar's line for `done` of `total` files while `current` is in hand, at most
// `width` - 1 columns wide so that the terminal never wraps it; a name too long for the room
// left keeps its end (the file name) behind "...".
QString progressLine(int done, int total, const QString& current, int width);

// Whether output to a stream that is (or is not) a terminal gets colour: only on a terminal,
// and not when NO_COLOR is set to anything non-empty or TERM is "dumb".
bool colourWanted(bool terminal);

bool isTerminal(FILE* stream);

// Writes `bytes` to standard output or standard error and flushes. A stream that failed once (its
// reader went away) is not written to again.
void writeBytes(FILE* stream, const QByteArray& bytes);
// `text` in the console's encoding: the locale's (unicode::systemCodec(), GBK in a GBK locale)
// where it can hold the program's Chinese texts, else UTF-8.
QByteArray consoleBytes(const QString& text);
// Writes `text` and a newline in the console's encoding, as writeBytes() does.
void printLine(FILE* stream, const QString& text);

// Prints the run's progress on standard error: a progress bar on a terminal, one line per file
// otherwise, nothing but failures and warnings when quiet.
class ConsoleObserver : public MergeObserver
{
public:
    ConsoleObserver(bool quiet, bool terminal, bool colour);

    void sourceFilesListed(int count) override;
    void fileStarted(const QString& nativePath) override;
    void fileFinished(const FileResult& result) override;
    // Takes the bar off the terminal before the tool's last lines.
    void finish();
    // Whether a progress bar may stand on standard error's last line.
    bool drawsBar() const { return bar; }

private:
    void clearBar();
    void drawBar(const QString& current);
    QString label(const char* text, const char* colour) const;

    QMutex mutex;
    const bool quiet;
    const bool bar;
    const bool colour;
    bool barShown = false;
    int total = 0;
    int done = 0;
};
