#include "platform/processtable.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <tlhelp32.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

QByteArray programExecutableName()
{
#ifdef Q_OS_WIN
    return QByteArrayLiteral("Quillmorne.exe");
#else
    return QByteArrayLiteral("Quillmorne");
#endif
}

int countProcessesInList(const QList<ProcessEntry>& entries, const QByteArray& name)
{
    if (entries.isEmpty() || entries.first().name == name)
        return 0;
    return int(std::count_if(entries.cbegin() + 1, entries.cend(),
                             [&name](const ProcessEntry& entry) { return entry.name == name; }));
}

qint64 processToTerminate(const QList<ProcessEntry>& entries, const QByteArray& name, qint64 ownPid, bool* found)
{
    *found = false;
    if (entries.isEmpty())
        return 0;
    if (entries.first().name == name) {
        *found = true;
        return 0;
    }
    for (int i = 1; i < entries.size(); ++i) {
        if (entries.at(i).name == name && entries.at(i).pid != ownPid) {
            *found = true;
            return entries.at(i).pid;
        }
    }
    return 0;
}

#ifdef Q_OS_WIN

QString currentExecutablePath()
{
    wchar_t buffer[32768];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, DWORD(sizeof(buffer) / sizeof(buffer[0])));
    if (length == 0 || length >= sizeof(buffer) / sizeof(buffer[0]))
        return QString();
    return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
}

bool readProcessList(QList<ProcessEntry>* entries)
{
    entries->clear();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ProcessEntry process;
        process.pid = qint64(entry.th32ProcessID);
        process.name = QString::fromWCharArray(entry.szExeFile).toLocal8Bit();
        entries->append(process);
    }
    CloseHandle(snapshot);
    return true;
}

namespace {

qint64 ownProcessId()
{
    return qint64(GetCurrentProcessId());
}

// Terminates the process with exit code 0 and waits up to `waitMilliseconds` for it to be gone.
void terminateProcess(qint64 pid, int waitMilliseconds)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, DWORD(pid));
    if (process == nullptr)
        return;
    if (TerminateProcess(process, 0) && waitMilliseconds > 0)
        WaitForSingleObject(process, DWORD(waitMilliseconds));
    CloseHandle(process);
}

} // namespace

#else

namespace {

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096);
}

// The fields of /proc/<pid>/stat after the command name (which may hold blanks and parentheses):
// the first is the state (the file's third field).
QList<QByteArray> fieldsAfterName(const QByteArray& stat)
{
    const int close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return {};
    return stat.mid(close + 2).split(' ');
}

// True for a process that has ended but is not yet reaped: it no longer runs.
bool isZombie(const QByteArray& stat)
{
    const QList<QByteArray> fields = fieldsAfterName(stat);
    if (fields.isEmpty() || fields.first().isEmpty())
        return false;
    const char state = fields.first().at(0);
    return state == 'Z' || state == 'X';
}

// When the process started (the file's 22nd field), in clock ticks after boot. Together with the
// id it names one process: the system may give an ended process's id to a new one.
QByteArray startTime(const QByteArray& stat)
{
    const QList<QByteArray> fields = fieldsAfterName(stat);
    return fields.size() > 19 ? fields.at(19) : QByteArray();
}

// The executable's file name of process `pid`. The link /proc/<pid>/exe names the executable; when
// it cannot be read (a process of another user, a kernel thread) the kernel's command name stands
// in, completed from the command line when the kernel cut it to 15 bytes.
QByteArray processName(const QByteArray& pid)
{
    const QByteArray base = "/proc/" + pid;
    QByteArray target(4096, '\0');
    const ssize_t length = ::readlink((base + "/exe").constData(), target.data(), size_t(target.size()));
    if (length > 0 && length < target.size()) {
        target.truncate(int(length));
        // An executable replaced or removed since it started is shown with this suffix.
        static const QByteArray deleted = " (deleted)";
        if (target.endsWith(deleted))
            target.chop(deleted.size());
        return target.mid(target.lastIndexOf('/') + 1);
    }
    QByteArray command = readSmallFile(QString::fromLatin1(base + "/comm"));
    if (command.endsWith('\n'))
        command.chop(1);
    if (command.size() == 15) {
        const QByteArray commandLine = readSmallFile(QString::fromLatin1(base + "/cmdline"));
        QByteArray first = commandLine.left(commandLine.indexOf('\0'));
        first = first.mid(first.lastIndexOf('/') + 1);
        if (first.startsWith(command))
            return first;
    }
    return command;
}

qint64 ownProcessId()
{
    return qint64(::getpid());
}

QByteArray statOf(qint64 pid)
{
    return readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
}

// Asks the process to quit (SIGTERM: a running copy of the program then ends as when its window is
// closed, leaving no temporary files) and waits up to `waitMilliseconds` for it to be gone. It is
// never killed outright: a copy that takes longer is finishing a file and is left to do so.
void terminateProcess(qint64 pid, int waitMilliseconds)
{
    const QByteArray started = startTime(statOf(pid));
    if (::kill(pid_t(pid), SIGTERM) != 0)
        return; // gone already, or a process of another user
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QByteArray stat = statOf(pid);
        if (stat.isEmpty() || isZombie(stat) || startTime(stat) != started)
            return;
        if (timer.elapsed() >= waitMilliseconds)
            return;
        QThread::msleep(20);
    }
}

} // namespace

QString currentExecutablePath()
{
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!target.isEmpty())
        return target;
    return QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
}

bool readProcessList(QList<ProcessEntry>* entries)
{
    entries->clear();
    const QDir proc(QStringLiteral("/proc"));
    if (!proc.exists())
        return false;
    QList<qint64> pids;
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (isNumber && pid > 0)
            pids.append(pid);
    }
    if (pids.isEmpty())
        return false;
    std::sort(pids.begin(), pids.end());
    for (qint64 pid : pids) {
        const QByteArray pidText = QByteArray::number(pid);
        const QByteArray stat = readSmallFile(QString::fromLatin1("/proc/" + pidText + "/stat"));
        if (stat.isEmpty() || isZombie(stat))
            continue; // ended meanwhile, or no longer running
        entries->append({pid, processName(pidText)});
    }
    return true;
}

#endif

int CountProcessesByName(const char* name)
{
    if (name == nullptr)
        return 0;
    QList<ProcessEntry> entries;
    if (!readProcessList(&entries))
        return 0;
    return countProcessesInList(entries, QByteArray(name));
}

namespace {

int terminateFirst(const char* name, int waitMilliseconds)
{
    if (name == nullptr)
        return 0;
    QList<ProcessEntry> entries;
    if (!readProcessList(&entries))
        return 0;
    bool found = false;
    const qint64 pid = processToTerminate(entries, QByteArray(name), ownProcessId(), &found);
    if (pid != 0)
        terminateProcess(pid, waitMilliseconds);
    return found ? 1 : 0;
}

} // namespace

int TerminateFirstProcessByName(const char* name)
{
    return terminateFirst(name, 0);
}

void applyInstancePolicy(const QByteArray& name, int waitMilliseconds)
{
    if (CountProcessesByName(name.constData()) > 1)
        terminateFirst(name.constData(), waitMilliseconds);
}
