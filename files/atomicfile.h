#pragma once
// A file that appears at its path complete or not at all. It is written as an unnamed file in the
// target's folder (O_TMPFILE) and linked into place when complete, so nothing of it is left
// behind however the process ends, even by SIGKILL; an existing file is replaced in one step
// (the new one is linked under a hidden temporary name, then renamed over it). Where the file
// system cannot make unnamed files, a hidden named temporary file is written and renamed instead;
// its name carries the writer's process id, so a later save into the folder removes those of
// writers that are gone.
//
// The file at the path is the one that receives the content: a symbolic link there stays a link
// and the file it leads to is replaced (written beside that file and renamed over it). An
// existing file keeps its permission bits (and owner, where the user may give it). An existing
// file the user may not write is left alone and the save fails, as does a folder or anything but
// a regular file at the path.

#include "automation/failure.h"

#include <QString>

#include <memory>

class QIODevice;

namespace files {

class AtomicFile
{
public:
    explicit AtomicFile(const QString& path);
    ~AtomicFile(); // discards what was not committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Checks the target and creates the temporary file; device() is then open for writing.
    Failure open();
    // The temporary file (readable, writable and seekable); null before open().
    QIODevice* device() const;
    // Puts the written file in place of the target. The device is closed first.
    Failure commit();
    // Gives the written file up and removes every trace of it.
    void discard();

    // Where the file goes: the path given, or the file a symbolic link there leads to.
    QString targetPath() const;
    // True when the temporary file has no name (the usual case on Linux).
    bool isUnnamed() const;

    // Makes every later AtomicFile of the process use a named temporary file, as on a file system
    // without unnamed files (for tests of that path).
    static void setUnnamedFilesAllowed(bool allowed);
    // The name a named temporary file of this process starts with in its folder.
    static QString temporaryNamePrefix();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace files
