#pragma once
// quillmorne-convert: runs the conversion worker on its own thread for a parsed command line and
// reports on the terminal. Returns the exit status: 0 all converted, 1 some files failed (or the
// run was interrupted), 2 bad arguments or a missing folder.

#include <QStringList>

int runConvertTool(const QStringList& arguments);
