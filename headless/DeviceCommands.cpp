#include "headless/DeviceCommands.h"

#include <cstdio>

#include <QEventLoop>
#include <QSqlQuery>
#include <QTimer>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "headless/StoredServer.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CRegisterMapExport.h"

namespace {
// Log-in and device list together; the link's own back-off keeps trying meanwhile.
const int SERVER_WAIT_MS = 20000;
const QString LOG_ADDED = QStringLiteral(
    "INFO: [DeviceCommands::addDevice] Device [%1] added from the command line: template [%2], "
    "port [%3], first register [%4]");
const QString LOG_REMOVED =
    QStringLiteral("INFO: [DeviceCommands::removeDevice] Device [%1] removed from the command line");

int fail(const QString& text)
{
    std::fprintf(stderr, "tarnwick: %s\n", qPrintable(text));
    return 1;
}

// The stored device of an EUI: its row id, or 0 when there is none.
unsigned int storedDevice(CDataBaseHandler* storage, const QString& devEui)
{
    QSqlQuery query = storage->getDevices(QString());
    while (query.next())
        if (COMM::euiKey(query.value(DB::DEV_COL_DEVEUI).toString()) == COMM::euiKey(devEui))
            return query.value(DB::DEV_COL_DEVICE).toUInt();
    return 0;
}

// Logs in to the server of settings.conf and asks for its device list.
bool fetchServerDevice(const QString& devEui, API::SServerDeviceInfo& found, QString& error)
{
    const SStoredServer stored = readStoredServer();
    if (!stored.complete) {
        error = QStringLiteral("settings.conf names no network server (address, port, login and password): "
                               "connect once with the window, or write them under [server].");
        return false;
    }
    CServerHandler* link = CServerHandler::getInstance();
    QEventLoop loop;
    QList<API::SServerDeviceInfo> devices;
    bool answered = false;
    error = QStringLiteral("no device list from %1 within %2 s")
                .arg(stored.origin, QString::number(SERVER_WAIT_MS / 1000));
    QObject::connect(link, &CServerHandler::changeServerStatus, &loop, [&](COMM::EServerStatus status) {
        if (status == COMM::SUCCESS && !link->getDevicesListReq({QStringLiteral("*")}))
            loop.quit();
    });
    QObject::connect(link, &CServerHandler::lastErrorChanged, &loop, [&](const QString& reason) {
        if (!reason.isEmpty())
            error = QStringLiteral("%1: %2").arg(stored.origin, reason);
    });
    QObject::connect(link, &CServerHandler::getDevicesListResp, &loop,
                     [&](bool status, const QList<API::SServerDeviceInfo>& list) {
                         answered = status;
                         devices = list;
                         loop.quit();
                     });
    QTimer::singleShot(SERVER_WAIT_MS, &loop, &QEventLoop::quit);
    link->connectSlot(stored.origin, stored.login, stored.password);
    loop.exec();
    CServerHandler::resetInstance();
    if (!answered)
        return false;
    for (const API::SServerDeviceInfo& info : devices) {
        if (COMM::euiKey(info.devEui) == COMM::euiKey(devEui)) {
            found = info;
            return true;
        }
    }
    error = QStringLiteral("%1 lists no device [%2] with an application EUI").arg(stored.origin, devEui);
    return false;
}
} // namespace

int listDevices()
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return fail(QStringLiteral("%1 cannot be opened; see history.log.").arg(DB::DB_FILENAME));
    std::printf("%-18s %-18s %5s %5s  %s\n", "DEV EUI", "APP EUI", "PORT", "START", "NAME");
    QSqlQuery query = storage->getDevices(QString());
    while (query.next())
        std::printf("%-18s %-18s %5d %5d  %s\n", qPrintable(query.value(DB::DEV_COL_DEVEUI).toString()),
                    qPrintable(query.value(DB::DEV_COL_APPEUI).toString()),
                    query.value(DB::DEV_COL_PORT).toInt(), query.value(DB::DEV_COL_STARTADDR).toInt(),
                    qPrintable(query.value(DB::DEV_COL_NAME).toString()));
    return 0;
}

int addDevice(const SDeviceArguments& device)
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return fail(QStringLiteral("%1 cannot be opened; see history.log.").arg(DB::DB_FILENAME));
    if (storedDevice(storage, device.devEui))
        return fail(QStringLiteral("Device [%1] is registered already.").arg(device.devEui));
    API::SServerDeviceInfo info;
    QString error;
    if (!fetchServerDevice(device.devEui, info, error))
        return fail(error);
    const REGS::SDeviceRegisterInfo registers =
        CAllDeviceHandler::getInstance()->getRegisterInfo(info.appEui);
    if (registers.registers.isEmpty())
        return fail(QStringLiteral("No template in %1 has the application EUI [%2] of device [%3].")
                        .arg(COMM::DEVICE_FOLDER, info.appEui, device.devEui));
    const DB::SDeviceRegMapDescription desc{info.devEui, info.appEui,
                                            device.name.isEmpty() ? info.devName : device.name,
                                            device.startAddr, registers.registers};
    if (!storage->registerNewDevice(desc, quint16(device.port)))
        return fail(QStringLiteral("Device [%1] is not added; see history.log.").arg(device.devEui));
    addLog(LOG_ADDED.arg(desc.devEui, info.appEui, QString::number(device.port),
                         QString::number(device.startAddr)));
    std::printf("Device %s (%s) added on port %d from register %d.\n", qPrintable(desc.devEui),
                qPrintable(desc.name), device.port, device.startAddr);
    return 0;
}

int removeDevice(const QString& devEui)
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return fail(QStringLiteral("%1 cannot be opened; see history.log.").arg(DB::DB_FILENAME));
    const unsigned int id = storedDevice(storage, devEui);
    if (!id)
        return fail(QStringLiteral("Device [%1] is not registered.").arg(devEui));
    if (!storage->deleteDevice(id))
        return fail(QStringLiteral("Device [%1] is not removed; see history.log.").arg(devEui));
    addLog(LOG_REMOVED.arg(devEui));
    std::printf("Device %s removed.\n", qPrintable(devEui));
    return 0;
}

int exportRegisterMap(const QString& path)
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return fail(QStringLiteral("Data base [%1] cannot be opened; see history.log.").arg(DB::DB_FILENAME));
    int registers = 0;
    QString error;
    if (!CRegisterMapExport::write(path, CRegisterMapExport::csv(storage, &registers), error))
        return fail(QStringLiteral("Register map not written to [%1]: %2").arg(path, error));
    std::printf("Register map with %d registers written to %s\n", registers, qPrintable(path));
    return 0;
}
