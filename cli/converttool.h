#pragma once
// cli/: quillmorne-convert: its command line (commandline.h), what the terminal shows during a run
// (console.h), the JSON report (report.h) and the run itself (this header); main.cpp holds only
// main.
//
// quillmorne-convert: runs the conversion worker on its own thread for a parsed command line and
// reports on the terminal. Returns the exit status: 0 all converted, 1 some files failed, 2 bad
// arguments or a missing folder, 128 + the signal's number when a termination signal stopped the
// run before every source was done (Ctrl+C: after the current file; a second Ctrl+C, SIGTERM or
// SIGHUP: at once, the file in progress given up).

#include "automation/automation.h"

#include <QStringList>

// `binding` is the spreadsheet application the conversion talks to.
int runConvertTool(const QStringList& arguments, const SpreadsheetApplicationFactory& binding);
