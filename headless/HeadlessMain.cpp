#include "headless/HeadlessMain.h"

#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QLoggingCategory>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/CTerminationWatcher.h"
#include "app/InstanceLock.h"
#include "app/StartFailures.h"
#include "app/global.h"
#include "core/CGatewayCore.h"
#include "headless/DeviceCommands.h"
#include "headless/StoredServer.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"

namespace {
const QString LOG_HEADLESS_START =
    QStringLiteral("INFO: [main] Headless gateway started in [%1] as process %2");
const QString LOG_NO_SERVER = QStringLiteral(
    "WARNING: [main] settings.conf names no network server: the headless gateway serves the stored values "
    "only");

int critical(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return 1;
}

int runHeadless(QCoreApplication& app)
{
    CTerminationWatcher terminationWatcher;
    addLog(LOG_HEADLESS_START.arg(QDir::currentPath(), QString::number(QCoreApplication::applicationPid())));
    CGatewayCore core;
    if (!core.start()) {
        const QString text = noStorageFailure();
        addLog(text); // the operator's history, as the window keeps it
        return critical(text);
    }
    CServerHandler* server = CServerHandler::getInstance();

    const SStoredServer stored = readStoredServer();
    if (stored.complete)
        server->connectSlot(stored.origin, stored.login, stored.password);
    else
        addLog(LOG_NO_SERVER);
    const int result = app.exec();
    core.stop();
    CServerHandler::resetInstance();
    QCoreApplication::processEvents();
    return result;
}
} // namespace

int runWithoutWindow(int& argc, char* argv[], const SStartOptions& options)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick"));
    const bool headless = options.mode == MODE_HEADLESS;
    QLockFile lock(QDir::current().absoluteFilePath(LOCK::LOCK_FILENAME));
    QString holder;
    // The map only reads, so it may be written beside a running gateway.
    const bool ownsDir = lockWorkDir(lock, holder) != LOCK_HELD;
    if (!ownsDir && options.mode != MODE_EXPORT_MAP) {
        if (headless)
            return critical(heldDirFailure(holder));
        std::fprintf(stderr, "tarnwick: %s Stop it before changing its devices.\n", qPrintable(holder));
        return 1;
    }
    if (!isWorkDirWritable())
        return critical(notWritableFailure());
    // A command's output is its answer; the gateway's debug trace would bury it.
    if (!headless)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    globalVarInit();
    CLogFile::getInstance(COMM::LOG_FILENAME, headless ? QStringLiteral("headless") : QString());
    CSettings::getInstance(SETT::SETT_FILENAME);
    int result = 0;
    switch (options.mode) {
    case MODE_HEADLESS:
        result = runHeadless(app);
        break;
    case MODE_LIST_DEVICES:
        result = listDevices();
        break;
    case MODE_ADD_DEVICE:
        result = addDevice(options.device);
        break;
    case MODE_REMOVE_DEVICE:
        result = removeDevice(options.device.devEui);
        break;
    case MODE_EXPORT_MAP:
        result = exportRegisterMap(options.mapFile);
        break;
    case MODE_WINDOW:
        break;
    }
    // A command leaves server.db standing alone, as a stopped gateway does;
    // beside a running gateway its files are that gateway's to fold.
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!headless && ownsDir && storage)
        storage->shutdown();
    QCoreApplication::processEvents(); // the last log lines
    return result;
}
