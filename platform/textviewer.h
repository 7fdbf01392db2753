#pragma once
// Shows a text file to the user in the desktop's own viewer: Notepad on Windows, the desktop's
// default handler for text files (xdg-open) elsewhere. Started detached; the program does not wait.

#include <QString>

// Returns false when the viewer could not be started.
bool showTextFile(const QString& path);
