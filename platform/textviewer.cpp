#include "platform/textviewer.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

bool showTextFile(const QString& path)
{
#ifdef Q_OS_WIN
    return QProcess::startDetached(QStringLiteral("notepad.exe"), {QDir::toNativeSeparators(path)});
#else
    return QProcess::startDetached(QStringLiteral("xdg-open"), {path});
#endif
}

#ifdef Q_OS_WIN

void showTextFileWatched(const QString& path, QObject* context, std::function<void(bool shown)> done)
{
    // Notepad is always there; whether it started is all there is to know.
    const bool shown = showTextFile(path);
    QMetaObject::invokeMethod(
        context, [done, shown] { done(shown); }, Qt::QueuedConnection);
}

#else

namespace {

// Waits for the launcher's verdict on a pipe. The middle process (see startWatchedLauncher) writes
// one byte, 0 for success, and ends; a pipe that closes without a byte means it was killed.
class LauncherWatch : public QObject
{
public:
    LauncherWatch(int readEnd, pid_t middle, QObject* context, std::function<void(bool)> done)
        : QObject(context), readEnd(readEnd), middle(middle), done(std::move(done)),
          notifier(readEnd, QSocketNotifier::Read, this)
    {
        connect(&notifier, &QSocketNotifier::activated, this, &LauncherWatch::verdictArrived);
    }

    ~LauncherWatch() override
    {
        ::close(readEnd);
        // The middle process ends right after writing; reap it if it has, so no zombie stays.
        if (middle > 0)
            ::waitpid(middle, nullptr, WNOHANG);
    }

private:
    void verdictArrived()
    {
        notifier.setEnabled(false);
        char verdict = 1;
        ssize_t got = 0;
        do {
            got = ::read(readEnd, &verdict, 1);
        } while (got < 0 && errno == EINTR);
        // The middle process has written its verdict or died; either way it ends at once.
        while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
        }
        middle = -1;
        const std::function<void(bool)> report = done;
        deleteLater();
        report(got == 1 && verdict == 0);
    }

    int readEnd;
    pid_t middle;
    std::function<void(bool)> done;
    QSocketNotifier notifier;
};

// Starts `program` with `path` through a middle process in a session of its own: the middle
// process starts the launcher, waits for it and writes its verdict into the pipe. So the launcher
// is no child of this program (nothing here kills it at the end), and a viewer that inherits
// the launcher's descriptors cannot keep the pipe open. Only async-signal-safe calls run between
// fork and exec. Returns the middle process's id, or -1.
pid_t startWatchedLauncher(const QByteArray& program, const QByteArray& path, int* readEnd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    char* const arguments[] = {const_cast<char*>(program.constData()), const_cast<char*>(path.constData()), nullptr};
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return -1;
    }
    if (middle == 0) {
        ::setsid();
        ::signal(SIGPIPE, SIG_IGN); // the program may be gone when the verdict is written
        const pid_t launcher = ::fork();
        if (launcher == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(program.constData(), arguments);
            ::_exit(127);
        }
        char verdict = 1;
        int status = 0;
        if (launcher > 0) {
            pid_t waited;
            do {
                waited = ::waitpid(launcher, &status, 0);
            } while (waited < 0 && errno == EINTR);
            if (waited == launcher && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                verdict = 0;
        }
        ssize_t written;
        do {
            written = ::write(ends[1], &verdict, 1);
        } while (written < 0 && errno == EINTR);
        ::_exit(0);
    }
    ::close(ends[1]);
    *readEnd = ends[0];
    return middle;
}

} // namespace

void showTextFileWatched(const QString& path, QObject* context, std::function<void(bool shown)> done)
{
    const QString launcher = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    int readEnd = -1;
    const pid_t middle =
        launcher.isEmpty() ? -1 : startWatchedLauncher(QFile::encodeName(launcher), QFile::encodeName(path), &readEnd);
    if (middle < 0) {
        QMetaObject::invokeMethod(
            context, [done] { done(false); }, Qt::QueuedConnection);
        return;
    }
    new LauncherWatch(readEnd, middle, context, std::move(done));
}

#endif
