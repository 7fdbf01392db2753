#include "platform/processtable.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

Q_DECLARE_METATYPE(ProcessEntry)

// The instance policy, on given process lists and on real processes. The real processes are copies
// of a small program under a name unique to this test run, so the test never touches another
// program (or a real copy of Quillmorne that someone is using).
class ProcessTableTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QByteArray name; // the "Quillmorne" of this run
    QList<QProcess*> processes;

    // Starts a copy of `program` under the file name `fileName` and returns it once it runs.
    QProcess* startCopy(const QString& program, const QByteArray& fileName, const QStringList& arguments)
    {
        // One sub-folder per program, so copies of different programs can carry the same name.
        const QString subFolder = folder.filePath(QFileInfo(program).fileName());
        const QString path = subFolder + QLatin1Char('/') + QString::fromLatin1(fileName);
        if (!QDir().mkpath(subFolder) || (!QFile::exists(path) && !QFile::copy(program, path)))
            return nullptr;
        auto* process = new QProcess(this);
        processes.append(process);
        process->start(path, arguments);
        return process->waitForStarted(5000) ? process : nullptr;
    }

    QProcess* startSleeper(const QByteArray& fileName)
    {
        return startCopy(QStringLiteral("/bin/sleep"), fileName, {QStringLiteral("60")});
    }

    static bool stillRuns(QProcess* process)
    {
        return !process->waitForFinished(300) && process->state() == QProcess::Running;
    }

    static bool wasTerminated(QProcess* process)
    {
        return process->waitForFinished(5000) && process->exitStatus() == QProcess::CrashExit;
    }

private slots:
    void initTestCase() { name = "Qmtest" + QByteArray::number(qint64(::getpid())); }

    void cleanup()
    {
        for (QProcess* process : processes) {
            process->kill();
            process->waitForFinished(5000);
        }
        qDeleteAll(processes);
        processes.clear();
    }

    void platformName()
    {
#ifdef Q_OS_WIN
        QCOMPARE(programExecutableName(), QByteArray("Quillmorne.exe"));
#else
        QCOMPARE(programExecutableName(), QByteArray("Quillmorne"));
#endif
    }

    void rulesOnList_data()
    {
        QTest::addColumn<QList<ProcessEntry>>("entries");
        QTest::addColumn<qint64>("ownPid");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("found");
        QTest::addColumn<qint64>("terminated");

        const QByteArray q = "Quillmorne";
        QTest::newRow("one running copy and the starting one")
            << QList<ProcessEntry>{{1, "init"}, {50, q}, {90, q}} << qint64(90) << 2 << true << qint64(50);
        QTest::newRow("starting copy listed first terminates the other one")
            << QList<ProcessEntry>{{1, "init"}, {40, q}, {90, q}} << qint64(40) << 2 << true << qint64(90);
        QTest::newRow("three copies terminate only the first other")
            << QList<ProcessEntry>{{1, "init"}, {30, q}, {60, q}, {90, q}} << qint64(90) << 3 << true << qint64(30);
        QTest::newRow("alone") << QList<ProcessEntry>{{1, "init"}, {90, q}} << qint64(90) << 1 << false << qint64(0);
        QTest::newRow("other letter case is another program")
            << QList<ProcessEntry>{{1, "init"}, {50, "QUILLMORNE"}, {90, q}} << qint64(90) << 1 << false << qint64(0);
        QTest::newRow("longer name is another program")
            << QList<ProcessEntry>{{1, "init"}, {50, "Quillmorne2"}, {90, q}} << qint64(90) << 1 << false << qint64(0);
        QTest::newRow("match in first entry suppresses everything")
            << QList<ProcessEntry>{{1, q}, {50, q}, {90, q}} << qint64(90) << 0 << true << qint64(0);
        QTest::newRow("empty list") << QList<ProcessEntry>{} << qint64(90) << 0 << false << qint64(0);
    }

    void rulesOnList()
    {
        QFETCH(QList<ProcessEntry>, entries);
        QFETCH(qint64, ownPid);
        QFETCH(int, count);
        QFETCH(bool, found);
        QFETCH(qint64, terminated);
        QCOMPARE(countProcessesInList(entries, "Quillmorne"), count);
        bool wasFound = false;
        QCOMPARE(processToTerminate(entries, "Quillmorne", ownPid, &wasFound), terminated);
        QCOMPARE(wasFound, found);
    }

    void nullName()
    {
        QCOMPARE(CountProcessesByName(nullptr), 0);
        QCOMPARE(TerminateFirstProcessByName(nullptr), 0);
    }

    void listIsOrderedAndNamesExecutables()
    {
        QList<ProcessEntry> entries;
        QVERIFY(readProcessList(&entries));
        for (int i = 1; i < entries.size(); ++i)
            QVERIFY(entries.at(i - 1).pid < entries.at(i).pid);
        const auto self = std::find_if(entries.cbegin(), entries.cend(),
                                       [](const ProcessEntry& entry) { return entry.pid == ::getpid(); });
        QVERIFY(self != entries.cend());
        QCOMPARE(self->name, QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLocal8Bit());
    }

    void realCopies()
    {
        QProcess* first = startSleeper(name);
        QProcess* second = startSleeper(name);
        QProcess* capitals = startSleeper(name.toUpper());
        QProcess* longer = startSleeper(name + "2");
        QVERIFY(first && second && capitals && longer);
        if (second->processId() < first->processId())
            std::swap(first, second);

        QCOMPARE(CountProcessesByName(name.constData()), 2);
        QCOMPARE(CountProcessesByName(name.toUpper().constData()), 1);

        QCOMPARE(TerminateFirstProcessByName(name.constData()), 1);
        QVERIFY(wasTerminated(first));
        QVERIFY(stillRuns(second));
        QCOMPARE(CountProcessesByName(name.constData()), 1);

        QCOMPARE(TerminateFirstProcessByName(name.constData()), 1);
        QVERIFY(wasTerminated(second));
        QCOMPARE(TerminateFirstProcessByName(name.constData()), 0);
        QCOMPARE(CountProcessesByName(name.constData()), 0);

        // Names differing in letter case or length were never touched.
        QVERIFY(stillRuns(capitals));
        QVERIFY(stillRuns(longer));
    }

    // A starting copy, wherever it is listed, asks the other copy to quit and keeps running itself.
    // It waits for a copy that takes a while to quit (one finishing a file), and a copy that is
    // still there after the wait is left alone, never killed.
    void startingCopyNeverTerminatesItself_data()
    {
        QTest::addColumn<bool>("startingCopyListedFirst");
        QTest::addColumn<QString>("runningCopy"); // "sleep": ends on SIGTERM; "--linger" / "--ignore": helpers
        QTest::addColumn<int>("waitMilliseconds");
        QTest::newRow("starting copy listed after the running one") << false << "sleep" << 5000;
        QTest::newRow("starting copy listed before the running one") << true << "sleep" << 5000;
        QTest::newRow("running copy needs a second to quit: waited for") << false << "--linger" << 30000;
        QTest::newRow("running copy listed after, needs a second: waited for") << true << "--linger" << 30000;
        QTest::newRow("running copy ignores the request: left running") << false << "--ignore" << 300;
    }

    void startingCopyNeverTerminatesItself()
    {
        QFETCH(bool, startingCopyListedFirst);
        QFETCH(QString, runningCopy);
        QFETCH(int, waitMilliseconds);
        const QString self = QCoreApplication::applicationFilePath();
        const auto startRunning = [&]() -> QProcess* {
            if (runningCopy == QLatin1String("sleep"))
                return startSleeper(name);
            QProcess* process = startCopy(self, name, {runningCopy});
            // The helper says when its handling of SIGTERM is in place.
            return process && process->waitForReadyRead(5000) ? process : nullptr;
        };
        QProcess* running = nullptr;
        QProcess* starting = nullptr;
        // The starting copy is this test program under the program's name; it applies the policy
        // when it reads a line, so its place in the list is chosen by starting it first or second.
        const QStringList policy{QStringLiteral("--apply-instance-policy"), QString::number(waitMilliseconds)};
        if (startingCopyListedFirst) {
            starting = startCopy(self, name, policy);
            running = startRunning();
        } else {
            running = startRunning();
            starting = startCopy(self, name, policy);
        }
        QVERIFY(running && starting);
        if ((starting->processId() < running->processId()) != startingCopyListedFirst)
            QSKIP("process ids wrapped around");

        starting->write("go\n");
        QVERIFY(starting->waitForBytesWritten(5000));
        QVERIFY(starting->waitForFinished(40000));
        QCOMPARE(starting->exitStatus(), QProcess::NormalExit);
        QCOMPARE(starting->exitCode(), 0);
        if (runningCopy == QLatin1String("--ignore")) {
            QVERIFY(stillRuns(running));
            return;
        }
        // The running copy was gone by the time the starting copy went on.
        QCOMPARE(CountProcessesByName(name.constData()), 0);
        QVERIFY(running->waitForFinished(5000));
        QCOMPARE(running->exitStatus(),
                 runningCopy == QLatin1String("sleep") ? QProcess::CrashExit : QProcess::NormalExit);
    }
};

namespace {

volatile std::sig_atomic_t quitRequested = 0;

void requestQuit(int)
{
    quitRequested = 1;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc >= 2 ? std::string(argv[1]) : std::string();
    // Helper mode: act as a starting copy that applies the instance policy to its own name.
    if (argc == 3 && mode == "--apply-instance-policy") {
        std::string line;
        std::getline(std::cin, line);
        const char* slash = std::strrchr(argv[0], '/');
        applyInstancePolicy(QByteArray(slash ? slash + 1 : argv[0]), std::atoi(argv[2]));
        return 0;
    }
    // Helper modes: a running copy that quits a second after SIGTERM (as one finishing a file
    // does), or one that ignores it.
    if (argc == 2 && (mode == "--linger" || mode == "--ignore")) {
        std::signal(SIGTERM, mode == "--linger" ? requestQuit : SIG_IGN);
        std::cout << "ready" << std::endl;
        for (int i = 0; i < 6000 && !quitRequested; ++i)
            ::usleep(10000);
        ::sleep(1);
        return 0;
    }
    QCoreApplication application(argc, argv);
    ProcessTableTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processtable.moc"
