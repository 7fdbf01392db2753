#include "platform/terminationsignal.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Termination requests are decided by the program, in stages, and never end it in the middle of a
// file; writes that would raise SIGPIPE or SIGXFSZ fail with an error instead.
class TerminationSignalTest : public QObject
{
    Q_OBJECT

    static QList<int> signalsOf(const QString& names)
    {
        const QMap<QString, int> numbers{{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
        QList<int> list;
        for (const QString& name : names.split(' ', Qt::SkipEmptyParts))
            list << numbers.value(name);
        return list;
    }

    static QByteArray readAll(int fd)
    {
        QByteArray bytes;
        char buffer[256];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, int(n));
        return bytes;
    }

private slots:
    void initTestCase()
    {
        // A test started with these ignored (a background job) would see no request at all.
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signalNumber, SIG_DFL);
    }

    // The window's policy: a request ends the event loop normally (status 0), so the teardown
    // after it runs.
    void requestEndsEventLoop_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void requestEndsEventLoop()
    {
        QFETCH(int, signalNumber);
        QObject owner;
        QVERIFY(quitOnTerminationSignals(&owner));
        QTimer::singleShot(0, [signalNumber] { ::kill(::getpid(), signalNumber); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(TerminationSignals::stage(), TerminationStage::StopAfterCurrentFile);
    }

    // Requests in turn, under the window's policy (every kind gentle at first) or the command
    // line's (only Ctrl+C): the stage reached, the message the handler wrote for each stage, and
    // whether the last request ended the process by the signal's default action.
    void stagesFollowRequests_data()
    {
        QTest::addColumn<QString>("gentle");
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("stageSignal");
        QTest::addColumn<QByteArray>("messages");
        QTest::addColumn<int>("endingSignal"); // 0: the process lives on

        const int after = int(TerminationStage::StopAfterCurrentFile);
        const int now = int(TerminationStage::StopNow);
        QTest::newRow("command line: Ctrl+C stops after the file")
            << "INT"
            << "INT" << after << SIGINT << QByteArray("after\n") << 0;
        QTest::newRow("command line: Ctrl+C twice stops now")
            << "INT"
            << "INT INT" << now << SIGINT << QByteArray("after\nnow\n") << 0;
        QTest::newRow("command line: SIGTERM stops now") << "INT"
                                                         << "TERM" << now << SIGTERM << QByteArray("now\n") << 0;
        QTest::newRow("command line: SIGHUP stops now") << "INT"
                                                        << "HUP" << now << SIGHUP << QByteArray("now\n") << 0;
        QTest::newRow("command line: SIGHUP after Ctrl+C")
            << "INT"
            << "INT HUP" << now << SIGHUP << QByteArray("after\nnow\n") << 0;
        QTest::newRow("window: SIGTERM, then SIGTERM again")
            << "INT TERM HUP"
            << "TERM TERM" << now << SIGTERM << QByteArray("after\nnow\n") << 0;
        QTest::newRow("command line: a third Ctrl+C ends the process")
            << "INT"
            << "INT INT INT" << now << SIGINT << QByteArray("after\nnow\n") << SIGINT;
        QTest::newRow("window: SIGHUP after stop-now ends the process")
            << "INT TERM HUP"
            << "HUP TERM HUP" << now << SIGTERM << QByteArray("after\nnow\n") << SIGHUP;
    }

    void stagesFollowRequests()
    {
        QFETCH(QString, gentle);
        QFETCH(QString, sequence);
        QFETCH(int, stage);
        QFETCH(int, stageSignal);
        QFETCH(QByteArray, messages);
        QFETCH(int, endingSignal);

        TerminationSignals requests(signalsOf(gentle));
        QVERIFY(requests.isInstalled());
        requests.setMessage(TerminationStage::StopAfterCurrentFile, "after\n");
        requests.setMessage(TerminationStage::StopNow, "now\n");
        QList<QPair<int, int>> reached;
        connect(
            &requests, &TerminationSignals::stageReached, this,
            [&reached](TerminationStage stage, int signalNumber) { reached << qMakePair(int(stage), signalNumber); });

        int written[2];
        QCOMPARE(::pipe(written), 0);
        if (endingSignal != 0) {
            // Only a child can show that the process ends; the handler is safe to run in one.
            const pid_t child = ::fork();
            if (child == 0) {
                ::dup2(written[1], STDERR_FILENO);
                for (int signalNumber : signalsOf(sequence))
                    ::raise(signalNumber);
                ::_exit(0);
            }
            ::close(written[1]);
            const QByteArray said = readAll(written[0]);
            ::close(written[0]);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY2(WIFSIGNALED(status), "the process went on after a request that followed stop-now");
            QCOMPARE(WTERMSIG(status), endingSignal);
            QCOMPARE(said, messages);
            return;
        }

        const int savedStderr = ::dup(STDERR_FILENO);
        ::dup2(written[1], STDERR_FILENO);
        for (int signalNumber : signalsOf(sequence))
            ::raise(signalNumber); // handled before raise() returns
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
        ::close(written[1]);
        QCOMPARE(readAll(written[0]), messages);
        ::close(written[0]);

        QCOMPARE(int(TerminationSignals::stage()), stage);
        QCOMPARE(TerminationSignals::stageSignal(), stageSignal);
        QCOMPARE(TerminationSignals::requestCount(), signalsOf(sequence).size());
        QTRY_VERIFY(!reached.isEmpty() && reached.last() == qMakePair(stage, stageSignal));
    }

    // With SIGPIPE and SIGXFSZ ignored, the write fails with the error the program reports instead
    // of the signal ending the process (which would end this test).
    void writeFailuresAreReported_data()
    {
        QTest::addColumn<bool>("closedPipe");
        QTest::addColumn<int>("error");
        QTest::newRow("pipe whose reader is gone: EPIPE") << true << EPIPE;
        QTest::newRow("past the file size limit: EFBIG") << false << EFBIG;
    }

    void writeFailuresAreReported()
    {
        QFETCH(bool, closedPipe);
        QFETCH(int, error);
        ignoreWriteFailureSignals();
        const QByteArray block(8192, 'x');
        ssize_t result = 0;
        int savedErrno = 0;
        if (closedPipe) {
            int fds[2];
            QCOMPARE(::pipe(fds), 0);
            ::close(fds[0]);
            result = ::write(fds[1], block.constData(), size_t(block.size()));
            savedErrno = errno;
            ::close(fds[1]);
        } else {
            QTemporaryDir folder;
            const int fd = ::open(QFile::encodeName(folder.filePath("big")).constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0);
            struct rlimit before;
            QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
            struct rlimit limited = before;
            limited.rlim_cur = 4096;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
            const ssize_t first = ::write(fd, block.constData(), size_t(block.size())); // up to the limit
            result = ::write(fd, block.constData(), size_t(block.size()));
            savedErrno = errno;
            ::setrlimit(RLIMIT_FSIZE, &before);
            ::close(fd);
            QCOMPARE(first, ssize_t(4096));
        }
        QCOMPARE(result, ssize_t(-1));
        QCOMPARE(savedErrno, error);
    }
};

QTEST_GUILESS_MAIN(TerminationSignalTest)
#include "tst_terminationsignal.moc"
