#include "platform/terminationsignal.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN

bool quitOnTerminationSignals(QObject* owner)
{
    Q_UNUSED(owner)
    return true;
}

#else

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may only do async-signal-safe work: it writes one byte, and the event loop reads it.
int signalSockets[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalSockets[0], &byte, 1);
    (void)written;
}

} // namespace

bool quitOnTerminationSignals(QObject* owner)
{
    if (signalSockets[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char byte = 0;
        const ssize_t read = ::read(signalSockets[1], &byte, 1);
        (void)read;
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // After the first request the default action is back, so a second one ends the process at once.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

#endif
