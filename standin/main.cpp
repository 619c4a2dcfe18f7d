#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include "standin/CStandinServer.h"
#include "standin/StandinConfig.h"

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-standin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TW_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in network server for the Tarnwick gateway"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("Configuration file (JSON)."),
                                          QStringLiteral("file"), QStringLiteral("standin.json"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on; 0 lets the system choose."),
                                        QStringLiteral("port"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Address to listen on."),
                                        QStringLiteral("address"));
    parser.addOptions({configOption, portOption, hostOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    SStandinConfig config;
    QString error;
    if (!loadStandinConfig(parser.value(configOption), config, error)) {
        err << "tarnwick-standin: " << error << Qt::endl;
        return 1;
    }
    if (parser.isSet(portOption)) {
        bool ok = false;
        const uint port = parser.value(portOption).toUInt(&ok);
        if (!ok || port > 65535) {
            err << "tarnwick-standin: invalid port " << parser.value(portOption) << Qt::endl;
            return 1;
        }
        config.port = static_cast<int>(port);
    }
    if (parser.isSet(hostOption))
        config.host = parser.value(hostOption);

    CStandinServer server(config);
    if (!server.start()) {
        err << "tarnwick-standin: cannot listen on " << config.host << ':' << config.port << ": "
            << server.errorString() << Qt::endl;
        return 1;
    }
    // Tests and scripts read the port from this line.
    out << "LISTENING " << server.serverPort() << Qt::endl;
    return app.exec();
}
