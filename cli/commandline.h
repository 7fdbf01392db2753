#pragma once
// The command line of quillmorne-convert, turned into the same ConversionOptions the window
// fills.

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

// Checks the folders the way the window does before a job. Empty when they are usable, else the
// message to show ("提取文件夹不存在!" or "保存文件夹不存在!").
QString checkFolders(const ConversionOptions& options);
