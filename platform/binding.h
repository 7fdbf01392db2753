#pragma once
// platform/: small adapters to the operating system (the process table, termination signals, the
// screen's size, the text viewer), the COM binding of the automation interface
// (comspreadsheetapplication.h over automationobject.h), and the choice of binding for this
// platform (this header).
//
// The spreadsheet application this platform offers: the installed application driven over COM on
// Windows, the program's own embedded engine everywhere else. Both entry points (the window and
// the command-line tool) take their binding from here and hand it to the conversion worker.

#include "automation/automation.h"

SpreadsheetApplicationFactory platformSpreadsheetBinding();
