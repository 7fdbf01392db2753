#include "platform/binding.h"

#ifdef Q_OS_WIN
#include "platform/comspreadsheetapplication.h"
#else
#include "embedded/embeddedapplication.h"
#endif

SpreadsheetApplicationFactory platformSpreadsheetBinding()
{
#ifdef Q_OS_WIN
    return createComSpreadsheetApplication;
#else
    // No spreadsheet application can be automated here: the program's own engine stands in.
    return [](QObject* parent) -> SpreadsheetApplication* { return new engine::EmbeddedApplication(parent); };
#endif
}
