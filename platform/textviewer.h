#pragma once
// Shows a text file to the user in the desktop's own viewer: Notepad on Windows, the desktop's
// default handler for text files (xdg-open) elsewhere. Started detached; the program does not wait.

#include <QString>

#include <functional>

class QObject;

// Returns false when the viewer could not be started.
bool showTextFile(const QString& path);

// Shows `path` like showTextFile() and tells later whether that worked. xdg-open starts even
// where no program for text files is set up, and then ends with a non-zero status; so on Linux
// the launcher's end is watched. `done(true)` is called when it ended with status 0, `done(false)`
// when it could not be started, ended with another status or was killed. The call comes from the
// event loop of the thread that called this function, and only while `context` lives. The
// launcher is not a child that the program's end would take with it: a viewer it opened stays
// open. Where the launcher may hand over to the viewer and wait for it, the call comes once the
// viewer is closed.
void showTextFileWatched(const QString& path, QObject* context, std::function<void(bool shown)> done);
