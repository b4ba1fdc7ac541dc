#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What the program was asked to do by its command line.
struct SCommandLine
{
    enum EAction { eRun, eHelp, eVersion, eUsageError, eCommand };

    EAction action = eRun;
    bool headless = false;
    QString workDir; // empty: the current directory
    QString platform; // Qt's -platform, when given
    QString error; // eUsageError: what was wrong
    QStringList command; // eCommand: "devices ..." or "templates ..." with their own arguments
};

// Reads the arguments after the program name. Qt's own options (-platform NAME, -style
// NAME, ...) are accepted and left for the application object to take.
SCommandLine parseCommandLine(const QStringList &_arguments);

QString commandLineUsage();

// "kelvara <version>"
QString versionLine();

// Whether a window can be shown: a display named in the environment or a Qt platform chosen.
bool displayAvailable(const SCommandLine &_commandLine, const QProcessEnvironment &_environment);

// Settles what ends the program before its application object exists (Qt aborts without a
// display): help, version, a usage error, no display, a working directory that cannot be
// entered. Prints what is to be said and returns the exit code; -1 when the program runs.
int settleCommandLine(const SCommandLine &_commandLine, const QProcessEnvironment &_environment);
