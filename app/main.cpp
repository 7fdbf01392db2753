// app/: the window program's main (this file): it records the start-up values, applies the instance
// policy, prepares the settings file and shows the window with this platform's binding.

#include "platform/binding.h"
#include "platform/processtable.h"
#include "platform/terminationsignal.h"
#include "settings/startupvalues.h"
#include "ui/mainwindow.h"
#include "ui/qttranslations.h"

#include <QApplication>
#include <QFileInfo>

int main(int argc, char* argv[])
{
    // Before anything can write: a closed pipe or the file size limit must not end the program.
    ignoreWriteFailureSignals();

    // Everything before the application object runs without any user interface.
    QByteArrayList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const StartupValues values =
        deriveStartupValues(arguments, QFileInfo(currentExecutablePath()).absolutePath(), defaultUserConfigFolder());
    setStartupValues(values);

    // A new start replaces an already running copy.
    applyInstancePolicy(programExecutableName());

    // Without it the choices last for this run only, so a failure is not fatal.
    prepareSettingsFile(values);

    QApplication application(argc, argv);
    installQtTranslations();
    // A copy that replaces this one, or a logout, ends it like a close of the window, not in the
    // middle of a save; a second request while the window waits for the run gives up the file in
    // progress (see MainWindow::disposeOfJob).
    quitOnTerminationSignals(&application);
    int result = 0;
    {
        MainWindow window;
        window.setSpreadsheetBinding(platformSpreadsheetBinding());
        window.show();
        result = application.exec();
    }
    return result;
}
