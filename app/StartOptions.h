#pragma once

// The gateway's command line: the window or the headless gateway in a working
// directory, the device commands, --help and --version, and Qt's own options.

#include <QString>
#include <QStringList>

enum EStartAction
{
    START_RUN = 0,      // go on and start the gateway
    START_EXIT_OK = 1,  // help or version printed
    START_EXIT_FAIL = 2 // bad command line, text says why
};

enum EStartMode
{
    MODE_WINDOW = 0,
    MODE_HEADLESS = 1,
    MODE_LIST_DEVICES = 2,
    MODE_ADD_DEVICE = 3,
    MODE_REMOVE_DEVICE = 4,
    MODE_EXPORT_MAP = 5,
};

struct SDeviceArguments
{
    QString devEui;
    int port = 0;
    int startAddr = 0;
    QString name;
};

struct SStartOptions
{
    EStartAction action = START_RUN;
    EStartMode mode = MODE_WINDOW;
    QString workDir; // empty: stay in the current directory
    QString text;    // what to print before exiting
    SDeviceArguments device;
    QString mapFile; // absolute, as named from the directory the command was given in
    // Qt's own options as "-name" and value, the one form every part of Qt reads.
    QStringList qtArguments;
};

// Needs a QCoreApplication for the program name in the help text.
SStartOptions readStartOptions(const QStringList& arguments);

// Creates the directory if needed and makes it the current one.
bool enterWorkDir(const QString& dir, QString& error);

// The gateway keeps its database, log and settings in the working directory.
bool isWorkDirWritable();
