#pragma once
// The process table as the instance policy sees it: running processes listed in the system's order
// (on Linux ascending process id), each known by the file name of its executable. A new start of
// the program terminates an already running copy through these functions.

#include <QByteArray>
#include <QList>
#include <QString>

// The file name of this program's executable on this platform: "Quillmorne.exe" on Windows,
// "Quillmorne" elsewhere. The instance policy looks for this fixed name; a copy whose executable
// carries another name is not recognised as a copy.
QByteArray programExecutableName();

// The full path of the running executable (on Linux from /proc/self/exe); empty when unknown.
QString currentExecutablePath();

// One entry of the process list.
struct ProcessEntry
{
    qint64 pid = 0;
    QByteArray name; // bare file name of the executable, in the locale's 8-bit encoding
};

// Reads the process list in the system's order. Returns false when the list cannot be read.
bool readProcessList(QList<ProcessEntry>* entries);

// The counting rule on a given list: the processes named `name` (byte for byte, case-sensitive),
// except that the first entry is never counted and a match there suppresses the count (0).
int countProcessesInList(const QList<ProcessEntry>& entries, const QByteArray& name);

// The process that the termination rule picks on a given list: the first entry after the first one
// that is named `name` and is not `ownPid`. Returns 0 when nothing is to be terminated; `found` is
// set to whether a matching process was found (a match in the first entry counts as found, but
// nothing is terminated then).
qint64 processToTerminate(const QList<ProcessEntry>& entries, const QByteArray& name, qint64 ownPid, bool* found);

// The number of running processes named `name` by the counting rule above; 0 for a null name or an
// unreadable process list.
int CountProcessesByName(const char* name);

// Terminates the first running process named `name` other than the calling process (on Linux it
// is asked to quit with SIGTERM, on Windows ended with exit code 0) and returns at once. Returns 1
// when a matching process was found, whether or not it could be terminated (one of another user
// stays alive), 0 when none was found, the process list cannot be read or the name is null.
int TerminateFirstProcessByName(const char* name);

// How long a starting copy waits for the copy it asked to quit: long enough for a copy to finish
// the workbook it is writing and remove its temporary files.
constexpr int InstanceQuitWaitMilliseconds = 5000;

// The instance policy of a starting copy named `name`: when another process of that name runs
// (the count includes the starting copy itself), the first other one is asked to quit, and the
// starting copy waits up to `waitMilliseconds` for it to be gone. One that is still there then is
// left running rather than killed in the middle of a file.
void applyInstancePolicy(const QByteArray& name, int waitMilliseconds = InstanceQuitWaitMilliseconds);
