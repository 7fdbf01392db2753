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
    // Where the machine-readable report goes: a file, "-" for standard output, empty for none.
    QString reportPath;
    // How many files are converted at once; 0 means one per processor core.
    int jobs = 0;
    QString errorMessage; // for Action::Error: one plain sentence
};

// The most files --jobs may ask to convert at once.
constexpr int maxJobs = 64;

// Parses the arguments (without the program name). Never touches the file system.
CommandLine parseCommandLine(const QStringList& arguments);

// The tool's own help text (Chinese); the parser's generated help is never shown.
QString commandLineHelp();

// Every option the parser knows, each name as typed ("-o", "--save-to", ...), in the order of
// the help text. The manual, the help text and the shell completion must cover each of them.
QStringList commandLineOptionNames();

// Checks the folders the way the window does before a job (checkJobFolders): no failure when
// they are usable, else why not; folderCheckText() gives the message to show.
Failure checkFolders(const ConversionOptions& options);
