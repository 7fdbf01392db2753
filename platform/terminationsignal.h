#pragma once
// Termination requests from outside -- SIGINT from a terminal's Ctrl+C, SIGTERM from a newly
// started copy, a logout or kill(1), SIGHUP when the terminal or the session goes away -- are
// decided by the program instead of ending it in the middle of a file. A request of a "gentle"
// kind, when it is the first, asks the run to stop after the file in progress; any later
// request, or a first one of another kind, asks it to stop now: the file in progress is given up
// and leaves nothing behind. Only a request after that ends the process at once (the signal's
// default action), for a program that no longer reacts.
//
// The handler does async-signal-safe work only: it advances an atomic stage, writes a prepared
// message to standard error and one byte to a pipe that wakes the event loop. The stage can also
// be read while no event loop runs, by a teardown that waits for a worker.
//
// On Windows nothing is installed: a terminated process there gets no chance to react.

#include <QByteArray>
#include <QList>
#include <QObject>

enum class TerminationStage { Running, StopAfterCurrentFile, StopNow };

class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers for SIGINT, SIGTERM and SIGHUP. The first arrival of a signal in
    // `gentleSignals` asks to stop after the current file; every other request asks to stop now.
    // One instance at a time; it starts at TerminationStage::Running.
    explicit TerminationSignals(const QList<int>& gentleSignals, QObject* parent = nullptr);
    // Puts back the handlers that were there before.
    ~TerminationSignals() override;

    bool isInstalled() const { return installed; }

    // What the handler writes to standard error, as it is, when the stage is reached (nothing
    // when empty). Set before the signals can arrive.
    void setMessage(TerminationStage stage, const QByteArray& text);

    // The stage the requests so far have reached; Running while no instance is installed.
    // Readable from any thread at any time.
    static TerminationStage stage();
    // The signal that brought the present stage; 0 while running.
    static int stageSignal();
    // Termination requests received so far.
    static int requestCount();

signals:
    // A request changed the stage; delivered through the event loop of this object's thread
    // (when several arrive before it runs, once, with the latest stage).
    void stageReached(TerminationStage stage, int signalNumber);

private:
    void readWakeUps();

    bool installed = false;
    bool ownsHandlers = false; // this instance installed them (only one can)
    TerminationStage reported = TerminationStage::Running;
};

// The exit status of a program that a signal stopped: 128 + the signal's number, as shells
// report it (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
int exitStatusForSignal(int signalNumber);

// Ignores SIGPIPE and SIGXFSZ, which would otherwise end the process silently: a write to a
// closed pipe then fails with EPIPE, and a write past the file size limit with EFBIG, both of
// which the program reports like any other failed write. Called first thing by both programs.
void ignoreWriteFailureSignals();

// The window program's policy: every termination request is gentle at first, and the first one
// ends the event loop the way closing the window does, so the teardown stops a run after its
// current file; a request during the teardown stops it now (the window polls stage() while it
// waits). The handlers live as a child of `owner` (normally the application object). Returns
// false when they could not be installed.
bool quitOnTerminationSignals(QObject* owner);
