#include "convert/automation.h"

// Placeholder until the embedded engine lands.
SpreadsheetApplication* createSpreadsheetApplication(QObject*)
{
    return nullptr;
}
