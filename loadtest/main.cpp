// tarnwick-loadtest: the gateway executable under uplink and Modbus load,
// with the figures printed and a non-zero exit when a check fails.

#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include "loadtest/CLoadRun.h"

namespace {
// The gateway code that registers the devices traces to the debug output;
// the run prints its own lines only.
void dropDebugOutput(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtDebugMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

bool readCount(const QCommandLineParser& parser, const QString& name, int low, int high, int& value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int read = parser.value(name).toInt(&ok);
    if (!ok || read < low || read > high) {
        std::fprintf(stderr, "--%s takes a number from %d to %d\n", qPrintable(name), low, high);
        return false;
    }
    value = read;
    return true;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebugOutput);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the Tarnwick gateway under load: a stand-in network server pushes uplinks of "
                       "every device while Modbus clients poll them, then checks that nothing was lost."));
    parser.addHelpOption();
    const SLoadOptions defaults;
    parser.addOptions({
        {QStringLiteral("seconds"), QStringLiteral("Load duration (default %1).").arg(defaults.seconds),
         QStringLiteral("N")},
        {QStringLiteral("clients"), QStringLiteral("Modbus clients (default %1).").arg(defaults.clients),
         QStringLiteral("N")},
        {QStringLiteral("devices"), QStringLiteral("Registered devices (default %1).").arg(defaults.devices),
         QStringLiteral("N")},
        {QStringLiteral("ports"), QStringLiteral("Modbus TCP ports (default %1).").arg(defaults.ports),
         QStringLiteral("N")},
        {QStringLiteral("period-ms"),
         QStringLiteral("Uplink period of each device (default %1).").arg(defaults.periodMs),
         QStringLiteral("MS")},
        {QStringLiteral("gateway"),
         QStringLiteral("Gateway executable (default the one built with this tool)."),
         QStringLiteral("PATH")},
        {QStringLiteral("template"), QStringLiteral("Load template file."), QStringLiteral("FILE")},
        {QStringLiteral("workdir"),
         QStringLiteral("Empty or new working directory, kept afterwards (default a temporary one)."),
         QStringLiteral("DIR")},
    });
    parser.process(app);

    SLoadOptions options;
    if (!readCount(parser, QStringLiteral("seconds"), 1, 24 * 3600, options.seconds) ||
        !readCount(parser, QStringLiteral("clients"), 1, 256, options.clients) ||
        !readCount(parser, QStringLiteral("devices"), 1, 1000, options.devices) ||
        !readCount(parser, QStringLiteral("ports"), 1, 100, options.ports) ||
        !readCount(parser, QStringLiteral("period-ms"), 10, 3600 * 1000, options.periodMs))
        return 2;
    options.ports = qMin(options.ports, options.devices);
    options.gatewayBin = parser.isSet(QStringLiteral("gateway")) ? parser.value(QStringLiteral("gateway"))
                                                                 : QStringLiteral(TW_LOAD_GATEWAY_BIN);
    options.templateFile = parser.isSet(QStringLiteral("template")) ? parser.value(QStringLiteral("template"))
                                                                    : QStringLiteral(TW_LOAD_TEMPLATE);
    options.workDir = parser.value(QStringLiteral("workdir"));
    options.gatewayBin = QFileInfo(options.gatewayBin).absoluteFilePath();
    options.templateFile = QFileInfo(options.templateFile).absoluteFilePath();

    CLoadRun run(options);
    return run.exec();
}
