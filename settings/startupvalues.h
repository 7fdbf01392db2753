#pragma once
// The values recorded at program start: the command line, the program's folder and the paths of
// the files that live beside the executable. They are byte strings in the locale's 8-bit encoding
// (as the command line delivers them), written once during start-up and read for the life of the
// process.

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

// Capacities of the stored values in bytes. A longer first argument or program path is cut to the
// capacity at the last whole character, so it never ends in half of a multi-byte character (see
// cutToCapacity). A folder or sibling path that does not fit is left empty instead: cut short, it
// would name some other folder or file.
constexpr int FirstArgumentCapacity = 31;
constexpr int PathCapacity = 1023;

// The file names that are joined to the program's folder.
constexpr char SettingsFileName[] = "Quillmorne.vqd";
constexpr char UpdatePackageName[] = "Quillmorne.zip";

struct StartupValues
{
    QByteArray firstArgument;     // first argument after the program name; empty when there is none
    QByteArray programPath;       // the program name as the command line gives it
    QByteArray programDirectory;  // programPath up to and including its last native separator
    QByteArray settingsFilePath;  // where the settings file is read and written
    QByteArray updatePackagePath; // programDirectory + "Quillmorne.zip"
    // True when the settings file is the per-user fallback rather than the file beside the
    // executable; prepareSettingsFile() creates that one when it is missing.
    bool settingsInUserConfigFolder = false;

    // The settings file's path for file operations.
    QString settingsFileName() const;
};

// Derives every start-up value from the command line. `arguments` is argv (program name first).
// `executableFolder` is the folder of the running executable, used to find a settings file beside
// it when the program name holds no folder (a copy started through PATH); empty when unknown.
// `userConfigFolder` is the per-user fallback folder for the settings file; empty where there is
// none (Windows). The only side effect is looking at the file system to see whether a settings file
// lies beside the executable.
//
// The settings file is the one beside the executable when a file of that name is there; otherwise
// the one in `userConfigFolder` when that is given; otherwise the path beside the executable, which
// then does not exist (every lookup is empty and no write creates it).
StartupValues deriveStartupValues(const QByteArrayList& arguments, const QString& executableFolder,
                                  const QString& userConfigFolder);

// Creates the per-user settings file (and its folder) empty when the values point at it and it is
// missing. Returns false when it could not be created; the program then runs with its defaults.
bool prepareSettingsFile(const StartupValues& values);

// Cuts `bytes` to at most `capacity` bytes without splitting a character of the locale's 8-bit
// encoding.
QByteArray cutToCapacity(const QByteArray& bytes, int capacity);

// The per-user configuration folder that holds the fallback settings file: the XDG configuration
// folder followed by "Quillmorne" on Linux and other Unix systems, empty on Windows.
QString defaultUserConfigFolder();

// The process-wide values. setStartupValues() is called once by main (and by tests that point the
// settings file somewhere else).
const StartupValues& startupValues();
void setStartupValues(const StartupValues& values);
