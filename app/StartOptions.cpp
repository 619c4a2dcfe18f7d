#include "app/StartOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <unistd.h>

#include "app/global.h"

namespace {
const QStringList QT_OPTIONS_WITH_VALUE = {
    QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowtitle"),
    QStringLiteral("qwindowicon"),     QStringLiteral("display"),
    QStringLiteral("geometry"),        QStringLiteral("style"),
    QStringLiteral("stylesheet"),      QStringLiteral("session"),
    QStringLiteral("qmljsdebugger")};
const QStringList QT_FLAGS = {QStringLiteral("reverse"), QStringLiteral("nograb"), QStringLiteral("dograb"),
                              QStringLiteral("widgetcount")};

// Takes Qt's options out in any of "-o v", "--o v", "-o=v" and "--o=v", and
// gives them back as "-o v", which Qt reads everywhere.
QStringList takeQtOptions(const QStringList& arguments, QStringList& qtArguments)
{
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        QString name = arg.startsWith(QLatin1String("--")) ? arg.mid(2) : arg.mid(1);
        QString value;
        const int eq = name.indexOf(QLatin1Char('='));
        const bool joined = eq >= 0;
        if (joined) {
            value = name.mid(eq + 1);
            name.truncate(eq);
        }
        if (i == 0 || !arg.startsWith(QLatin1Char('-'))) {
            kept.append(arg);
        } else if (QT_OPTIONS_WITH_VALUE.contains(name) && (joined || i + 1 < arguments.size())) {
            qtArguments << QLatin1Char('-') + name << (joined ? value : arguments.at(++i));
        } else if (QT_FLAGS.contains(name) && !joined) {
            qtArguments << QLatin1Char('-') + name;
        } else {
            kept.append(arg);
        }
    }
    return kept;
}

bool readNumber(const QString& text, int max, int& number)
{
    bool ok = false;
    number = text.toInt(&ok);
    return ok && number >= 0 && number <= max;
}

// The device command's arguments; empty when they hold, else what is wrong.
QString readDeviceArguments(const QCommandLineParser& parser, EStartMode mode, SDeviceArguments& device)
{
    const bool adding = mode == MODE_ADD_DEVICE;
    for (const char* option : {"port", "start", "name"})
        if (!adding && parser.isSet(QLatin1String(option)))
            return QStringLiteral("--%1 belongs to --add-device.").arg(QLatin1String(option));
    if (mode != MODE_ADD_DEVICE && mode != MODE_REMOVE_DEVICE)
        return QString();
    device.devEui = parser.value(adding ? QStringLiteral("add-device") : QStringLiteral("remove-device"));
    if (!QRegularExpression(QStringLiteral("^[0-9A-Fa-f]{16}$")).match(device.devEui).hasMatch())
        return QStringLiteral("A device EUI is 16 hexadecimal digits, not [%1].").arg(device.devEui);
    if (!adding)
        return QString();
    if (!readNumber(parser.value(QStringLiteral("port")), 65535, device.port) || device.port == 0)
        return QStringLiteral("--add-device needs --port P, a TCP port from 1 to 65535.");
    if (!readNumber(parser.value(QStringLiteral("start")), 65535, device.startAddr))
        return QStringLiteral("--add-device needs --start S, the first register from 0 to 65535.");
    device.name = parser.value(QStringLiteral("name"));
    return QString();
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
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run the gateway without a window or display; SIGTERM or SIGINT ends it."));
    const QCommandLineOption listOption(QStringLiteral("list-devices"),
                                        QStringLiteral("List the registered devices and exit."));
    const QCommandLineOption addOption(
        QStringLiteral("add-device"),
        QStringLiteral("Register a device the network server of settings.conf knows, with --port and "
                       "--start (and --name), and exit."),
        QStringLiteral("eui"));
    const QCommandLineOption removeOption(QStringLiteral("remove-device"),
                                          QStringLiteral("Remove a registered device and exit."),
                                          QStringLiteral("eui"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Modbus TCP port of the device to add."),
                                        QStringLiteral("port"));
    const QCommandLineOption startOption(QStringLiteral("start"),
                                         QStringLiteral("First register of the device to add."),
                                         QStringLiteral("register"));
    const QCommandLineOption nameOption(QStringLiteral("name"),
                                        QStringLiteral("Name of the device to add; default: the server's."),
                                        QStringLiteral("name"));
    const QCommandLineOption exportOption(
        QStringLiteral("export-map"),
        QStringLiteral("Write the register map of every registered device as CSV to file and exit."),
        QStringLiteral("file"));
    parser.addOptions({helpOption, versionOption, workDirOption, headlessOption, listOption, addOption,
                       removeOption, portOption, startOption, nameOption, exportOption});

    SStartOptions options;
    const QList<QPair<const QCommandLineOption*, EStartMode>> modes = {{&headlessOption, MODE_HEADLESS},
                                                                       {&listOption, MODE_LIST_DEVICES},
                                                                       {&addOption, MODE_ADD_DEVICE},
                                                                       {&removeOption, MODE_REMOVE_DEVICE},
                                                                       {&exportOption, MODE_EXPORT_MAP}};
    const bool parsed = parser.parse(takeQtOptions(arguments, options.qtArguments));
    int modesSet = 0;
    for (const auto& mode : modes) {
        if (parsed && parser.isSet(*mode.first)) {
            options.mode = mode.second;
            ++modesSet;
        }
    }
    const QString deviceError =
        parsed ? readDeviceArguments(parser, options.mode, options.device) : QString();
    if (!parsed) {
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
    } else if (modesSet > 1) {
        options.action = START_EXIT_FAIL;
        options.text = QStringLiteral(
            "Give one of --headless, --list-devices, --add-device, --remove-device and --export-map.\nTry "
            "--help.");
    } else if (!deviceError.isEmpty()) {
        options.action = START_EXIT_FAIL;
        options.text = deviceError + QStringLiteral("\nTry --help.");
    } else {
        options.workDir = parser.value(workDirOption);
        if (options.mode == MODE_EXPORT_MAP)
            options.mapFile = QFileInfo(parser.value(exportOption)).absoluteFilePath();
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
