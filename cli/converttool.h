#pragma once
// quillmorne-convert: runs the conversion worker on its own thread for a parsed command line and
// reports on the terminal. Returns the exit status: 0 all converted, 1 some files failed (or the
// run was interrupted), 2 bad arguments or a missing folder.

#include "automation/automation.h"

#include <QStringList>

// `binding` is the spreadsheet application the conversion talks to.
int runConvertTool(const QStringList& arguments, const SpreadsheetApplicationFactory& binding);
