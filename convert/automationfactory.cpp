#include "convert/automation.h"

#ifdef Q_OS_WIN
#include "platform/comspreadsheetapplication.h"
#else
#include "sheets/embeddedapplication.h"
#endif

SpreadsheetApplication* createSpreadsheetApplication(QObject* parent)
{
#ifdef Q_OS_WIN
    return createComSpreadsheetApplication(parent);
#else
    // No spreadsheet application can be automated here: the program's own engine stands in.
    return new sheets::EmbeddedApplication(parent);
#endif
}
