#pragma once
// The command line of quillmorne-convert, turned into the same ConversionOptions the window
// fills.

#include "automation/failure.h"
#include "convert/conversionoptions.h"

#include <QString>
#include <QStringList>

struct CommandLine
{
    enum class Action { Convert, ShowHelp, ShowVersion, Error };
    Action action = Action::Convert;
    ConversionOptions options;
    bool automatic = false; // the automatic-recognition mode
    bool quiet = false;
    QString errorMessage; // for Action::Error: one plain sentence
};

// Parses the arguments (without the program name). Never touches the file system.
CommandLine parseCommandLine(const QStringList& arguments);

QString commandLineHelp();

// Checks the folders the way the window does before a job (checkJobFolders): no failure when
// they are usable, else why not; folderCheckText() gives the message to show.
Failure checkFolders(const ConversionOptions& options);
