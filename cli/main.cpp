#include "cli/converttool.h"
#include "platform/binding.h"
#include "platform/terminationsignal.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // Before anything can write: a closed pipe or the file size limit must not end the tool.
    ignoreWriteFailureSignals();
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return runConvertTool(arguments, platformSpreadsheetBinding());
}
