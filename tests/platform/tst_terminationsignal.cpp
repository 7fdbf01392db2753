#include "platform/terminationsignal.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

// A termination request ends the event loop normally (status 0), so the teardown after it runs.
class TerminationSignalTest : public QObject
{
    Q_OBJECT
private slots:
    void requestEndsEventLoop_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void requestEndsEventLoop()
    {
        QFETCH(int, signalNumber);
        QObject owner;
        QVERIFY(quitOnTerminationSignals(&owner));
        QTimer::singleShot(0, [signalNumber] { ::kill(::getpid(), signalNumber); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_GUILESS_MAIN(TerminationSignalTest)
#include "tst_terminationsignal.moc"
