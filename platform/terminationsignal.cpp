#include "platform/terminationsignal.h"

#include <QCoreApplication>

int exitStatusForSignal(int signalNumber)
{
    return 128 + signalNumber;
}

#ifdef Q_OS_WIN

TerminationSignals::TerminationSignals(const QList<int>& gentleSignals, QObject* parent) : QObject(parent)
{
    Q_UNUSED(gentleSignals)
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::setMessage(TerminationStage stage, const QByteArray& text)
{
    Q_UNUSED(stage)
    Q_UNUSED(text)
}

TerminationStage TerminationSignals::stage()
{
    return TerminationStage::Running;
}

int TerminationSignals::stageSignal()
{
    return 0;
}

int TerminationSignals::requestCount()
{
    return 0;
}

void TerminationSignals::readWakeUps() {}

void ignoreWriteFailureSignals() {}

bool quitOnTerminationSignals(QObject* owner)
{
    Q_UNUSED(owner)
    return true;
}

#else

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int handledSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int handledCount = int(sizeof(handledSignals) / sizeof(handledSignals[0]));
constexpr int stageCount = 3;
constexpr int maxMessage = 1024;

// Everything the handler touches: lock-free atomics and buffers that are complete before their
// length is published.
struct HandlerState
{
    // The stage in the low byte, the signal that brought it above it, so both change together.
    std::atomic<int> stageAndSignal{0};
    std::atomic<int> requests{0};
    std::atomic<unsigned> gentleMask{0};
    std::atomic<int> wakeFd{-1};
    std::atomic<bool> installed{false};
    char messages[stageCount][maxMessage] = {};
    std::atomic<int> messageLengths[stageCount] = {};
};

HandlerState handler;
struct sigaction previousActions[handledCount];
int wakeReadFd = -1;

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

int pack(TerminationStage stage, int signalNumber)
{
    return int(stage) | (signalNumber << 8);
}

TerminationStage stageOf(int packed)
{
    return TerminationStage(packed & 0xFF);
}

void writeFully(int fd, const char* data, int length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, size_t(length));
        if (written < 0 && errno == EINTR)
            continue;
        // A closed or full standard error is no reason to block or to stop handling the request.
        if (written <= 0)
            return;
        data += written;
        length -= int(written);
    }
}

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    handler.requests.fetch_add(1);
    int current = handler.stageAndSignal.load();
    TerminationStage next;
    do {
        if (stageOf(current) == TerminationStage::StopNow) {
            // The run was already told to stop now and has not ended: the default action ends
            // the process at once. The signal is blocked until this handler returns.
            ::signal(signalNumber, SIG_DFL);
            ::raise(signalNumber);
            errno = savedErrno;
            return;
        }
        const bool gentle = stageOf(current) == TerminationStage::Running && signalNumber < 32 &&
                            (handler.gentleMask.load() & (1u << signalNumber)) != 0;
        next = gentle ? TerminationStage::StopAfterCurrentFile : TerminationStage::StopNow;
    } while (!handler.stageAndSignal.compare_exchange_weak(current, pack(next, signalNumber)));

    const int length = handler.messageLengths[int(next)].load();
    if (length > 0)
        writeFully(STDERR_FILENO, handler.messages[int(next)], length);
    const int fd = handler.wakeFd.load();
    if (fd >= 0) {
        const char byte = 1;
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written; // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

extern "C" void onWriteFailureSignal(int)
{
    // Nothing to do: the write that caused the signal fails with EPIPE or EFBIG, and its caller
    // reports that.
}

} // namespace

TerminationSignals::TerminationSignals(const QList<int>& gentleSignals, QObject* parent) : QObject(parent)
{
    if (handler.installed.load())
        return;
    // The pipe stays open for the life of the process: a handler still running on another
    // thread as the handlers are taken down never writes to a descriptor that was closed (and
    // perhaps reused).
    if (wakeReadFd < 0) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        for (int fd : fds) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        wakeReadFd = fds[0];
        handler.wakeFd.store(fds[1]);
    }
    char stale[64];
    while (::read(wakeReadFd, stale, sizeof stale) > 0) {
    }
    unsigned mask = 0;
    for (int signalNumber : gentleSignals) {
        if (signalNumber > 0 && signalNumber < 32)
            mask |= 1u << signalNumber;
    }
    handler.gentleMask.store(mask);
    handler.stageAndSignal.store(pack(TerminationStage::Running, 0));
    handler.requests.store(0);
    for (auto& length : handler.messageLengths)
        length.store(0);

    auto* notifier = new QSocketNotifier(wakeReadFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::readWakeUps);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    // One request is decided at a time.
    sigemptyset(&action.sa_mask);
    for (int signalNumber : handledSignals)
        sigaddset(&action.sa_mask, signalNumber);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int i = 0; i < handledCount; ++i) {
        ok = ::sigaction(handledSignals[i], nullptr, &previousActions[i]) == 0 && ok;
        // A signal the program was started with ignored stays ignored: "nohup" keeps a run going
        // after logout, and a shell's background job is not meant to see the terminal's Ctrl+C.
        if (previousActions[i].sa_handler == SIG_IGN)
            continue;
        ok = ::sigaction(handledSignals[i], &action, nullptr) == 0 && ok;
    }
    installed = ok;
    ownsHandlers = true;
    handler.installed.store(true);
}

TerminationSignals::~TerminationSignals()
{
    if (!ownsHandlers)
        return;
    for (int i = 0; i < handledCount; ++i)
        ::sigaction(handledSignals[i], &previousActions[i], nullptr);
    handler.installed.store(false);
}

void TerminationSignals::setMessage(TerminationStage stage, const QByteArray& text)
{
    const int index = int(stage);
    const int length = std::min(int(text.size()), maxMessage);
    handler.messageLengths[index].store(0);
    std::memcpy(handler.messages[index], text.constData(), size_t(length));
    handler.messageLengths[index].store(length);
}

TerminationStage TerminationSignals::stage()
{
    return handler.installed.load() ? stageOf(handler.stageAndSignal.load()) : TerminationStage::Running;
}

int TerminationSignals::stageSignal()
{
    return handler.installed.load() ? handler.stageAndSignal.load() >> 8 : 0;
}

int TerminationSignals::requestCount()
{
    return handler.installed.load() ? handler.requests.load() : 0;
}

void TerminationSignals::readWakeUps()
{
    char bytes[64];
    while (::read(wakeReadFd, bytes, sizeof bytes) > 0) {
    }
    const int packed = handler.stageAndSignal.load();
    if (stageOf(packed) == reported)
        return;
    reported = stageOf(packed);
    emit stageReached(reported, packed >> 8);
}

void ignoreWriteFailureSignals()
{
    // A handler that does nothing rather than SIG_IGN: the effect here is the same, but a program
    // started from here (the text viewer) gets the default actions back, while an ignored signal
    // would stay ignored in it.
    struct sigaction action = {};
    action.sa_handler = onWriteFailureSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
    ::sigaction(SIGXFSZ, &action, nullptr);
}

bool quitOnTerminationSignals(QObject* owner)
{
    auto* requests = new TerminationSignals({SIGINT, SIGTERM, SIGHUP}, owner);
    QObject::connect(requests, &TerminationSignals::stageReached, requests, [] { QCoreApplication::quit(); });
    return requests->isInstalled();
}

#endif
