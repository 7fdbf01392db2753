#include "cli/converttool.h"
#include "platform/binding.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return runConvertTool(arguments, platformSpreadsheetBinding());
}
