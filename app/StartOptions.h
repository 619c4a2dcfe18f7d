#pragma once

// The gateway's command line: --help, --version and --workdir DIR.

#include <QString>
#include <QStringList>

enum EStartAction
{
    START_RUN = 0,      // go on and start the gateway
    START_EXIT_OK = 1,  // help or version printed
    START_EXIT_FAIL = 2 // bad command line, text says why
};

struct SStartOptions
{
    EStartAction action = START_RUN;
    QString workDir; // empty: stay in the current directory
    QString text;    // what to print before exiting
};

// Needs a QCoreApplication for the program name in the help text.
SStartOptions readStartOptions(const QStringList& arguments);

// Creates the directory if needed and makes it the current one.
bool enterWorkDir(const QString& dir, QString& error);

// The gateway keeps its database, log and settings in the working directory.
bool isWorkDirWritable();
