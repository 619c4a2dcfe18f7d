#include "app/StartOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <unistd.h>

#include "app/global.h"

namespace {
// Qt's own options stay usable; QApplication takes them from argv later.
QStringList withoutQtOptions(const QStringList& arguments)
{
    static const QStringList withValue = {
        QStringLiteral("-platform"),        QStringLiteral("-platformpluginpath"),
        QStringLiteral("-platformtheme"),   QStringLiteral("-plugin"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowtitle"),
        QStringLiteral("-qwindowicon"),     QStringLiteral("-display"),
        QStringLiteral("-geometry"),        QStringLiteral("-style"),
        QStringLiteral("-stylesheet"),      QStringLiteral("-session")};
    static const QStringList flags = {QStringLiteral("-reverse"), QStringLiteral("-nograb"),
                                      QStringLiteral("-dograb"), QStringLiteral("-widgetcount")};
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (withValue.contains(arg))
            ++i;
        else if (!flags.contains(arg) && !arg.startsWith(QLatin1String("-style=")))
            kept.append(arg);
    }
    return kept;
}
} // namespace

SStartOptions readStartOptions(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("LoRaWAN to Modbus TCP gateway. Keeps settings.conf, history.log, server.db and "
                       "the template folder deviceFolder in its working directory."));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and exit."));
    const QCommandLineOption versionOption(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("Show the version and exit."));
    const QCommandLineOption workDirOption(
        QStringLiteral("workdir"),
        QStringLiteral("Working directory for the gateway's files; created if missing. "
                       "Default: the current directory."),
        QStringLiteral("dir"));
    parser.addOptions({helpOption, versionOption, workDirOption});

    SStartOptions options;
    if (!parser.parse(withoutQtOptions(arguments))) {
        options.action = START_EXIT_FAIL;
        options.text = parser.errorText() + QStringLiteral("\nTry --help.");
    } else if (!parser.positionalArguments().isEmpty()) {
        options.action = START_EXIT_FAIL;
        options.text = QStringLiteral("Unexpected argument: %1\nTry --help.")
                           .arg(parser.positionalArguments().constFirst());
    } else if (parser.isSet(helpOption)) {
        options.action = START_EXIT_OK;
        options.text = parser.helpText();
    } else if (parser.isSet(versionOption)) {
        options.action = START_EXIT_OK;
        options.text = QStringLiteral("tarnwick %1").arg(COMM::TITLE_VERSION);
    } else if (parser.isSet(workDirOption) && parser.value(workDirOption).isEmpty()) {
        options.action = START_EXIT_FAIL;
        options.text = QStringLiteral("--workdir needs a directory.");
    } else {
        options.workDir = parser.value(workDirOption);
    }
    return options;
}

bool enterWorkDir(const QString& dir, QString& error)
{
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("Working directory [%1] cannot be created.").arg(dir);
        return false;
    }
    if (!QDir::setCurrent(dir)) {
        error = QStringLiteral("Working directory [%1] cannot be entered.").arg(dir);
        return false;
    }
    return true;
}

bool isWorkDirWritable()
{
    // access() also answers for read-only mounts and leaves root's rights to the kernel.
    return ::access(QFile::encodeName(QDir::currentPath()).constData(), W_OK | X_OK) == 0;
}
