#include "core/CGatewayCore.h"

#include <sys/resource.h>

#include <algorithm>

#include <QCoreApplication>
#include <QMap>
#include <QMetaObject>
#include <QSqlQuery>
#include <QThread>
#include <QVector>

#include "access/CModbusAccess.h"
#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "freshness/CDeviceFreshness.h"
#include "modbus/CModbusEventDispatcher.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"

namespace {
const QString LOG_PORT_OUT_OF_RANGE =
    QStringLiteral("WARNING: [CGatewayCore::openStoredDevices] Device [%1] has the stored port [%2], "
                   "outside 1-65535: it is not served");
const QString LOG_OVERLAP =
    QStringLiteral("WARNING: [CGatewayCore::openStoredDevices] Devices [%1] and [%2] overlap on port [%3] "
                   "at registers %4-%5: both are served, and a read there mixes their words");

struct SStoredDevice
{
    DB::SDeviceRegMapDescription desc;
    qint64 port = 0;
    qint64 first = 0; // register span of its template, absolute, end exclusive
    qint64 end = 0;
};

// Many clients on many ports: the usual soft limit of 1,024 descriptors is
// far below what the hard limit allows.
void raiseOpenFileLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QThread* startThread(QObject* worker, const QString& name, QAbstractEventDispatcher* dispatcher = nullptr)
{
    auto* thread = new QThread();
    thread->setObjectName(name);
    if (dispatcher)
        thread->setEventDispatcher(dispatcher);
    if (worker)
        worker->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    return thread;
}

void stopThread(QThread*& thread)
{
    if (!thread)
        return;
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
}

QVector<SStoredDevice> readStoredDevices(CDataBaseHandler* storage, CAllDeviceHandler* registry)
{
    QVector<SStoredDevice> stored;
    QSqlQuery query = storage->getDevices(QString());
    while (query.next()) {
        SStoredDevice dev;
        dev.desc.devEui = query.value(DB::DEV_COL_DEVEUI).toString();
        dev.desc.appEui = query.value(DB::DEV_COL_APPEUI).toString();
        dev.desc.name = query.value(DB::DEV_COL_NAME).toString();
        dev.desc.startAddr = query.value(DB::DEV_COL_STARTADDR).toInt();
        dev.port = query.value(DB::DEV_COL_PORT).toLongLong();
        CDeviceFreshness::templateSpan(registry->getRegisterInfo(dev.desc.appEui), dev.first, dev.end);
        dev.first += dev.desc.startAddr;
        dev.end += dev.desc.startAddr;
        stored.append(dev);
    }
    return stored;
}

// One line per device whose span reaches into one before it on the same port.
void warnAboutOverlaps(QVector<SStoredDevice> devices)
{
    std::sort(devices.begin(), devices.end(), [](const SStoredDevice& a, const SStoredDevice& b) {
        return a.port != b.port ? a.port < b.port : a.first < b.first;
    });
    const SStoredDevice* reach = nullptr; // the device reaching furthest on the current port
    for (const SStoredDevice& dev : devices) {
        if (dev.first == dev.end)
            continue; // no template: nothing known about its span
        if (reach && reach->port == dev.port && dev.first < reach->end)
            addLog(LOG_OVERLAP.arg(reach->desc.devEui, dev.desc.devEui, QString::number(dev.port),
                                   QString::number(dev.first),
                                   QString::number(qMin(dev.end, reach->end) - 1)));
        if (!reach || reach->port != dev.port || dev.end > reach->end)
            reach = &dev;
    }
}
} // namespace

CGatewayCore::CGatewayCore(QObject* parent) : QObject(parent) {}

CGatewayCore::~CGatewayCore()
{
    stop();
}

bool CGatewayCore::start()
{
    raiseOpenFileLimit();
    globalVarInit();
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    CSettings::getInstance(SETT::SETT_FILENAME);

    CServerHandler* server = CServerHandler::getInstance();
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return false;
    storageThread = startThread(storage, QStringLiteral("storage"));

    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    connect(server, &CServerHandler::newPacketReceived, registry, &CAllDeviceHandler::newPacketReceivedSlot,
            Qt::QueuedConnection);
    // Every log-in fetches what the served devices sent while the link was down.
    server->setCatchUpSource([registry] {
        QStringList devices;
        for (unsigned short port : registry->listenerPorts())
            devices += registry->listenerDevices(port);
        return devices;
    });
    // The window re-reads a device's registers only once they are committed.
    connect(storage, &CDataBaseHandler::registerDataCommitted, registry, &CAllDeviceHandler::newDataForDevice,
            Qt::QueuedConnection);
    // Who may connect, and how fresh each device is, hold before the first listener opens.
    CModbusAccess::load();
    CDeviceFreshness* freshness = CDeviceFreshness::getInstance();
    freshness->loadStored();
    connect(storage, &CDataBaseHandler::registerDataCommitted, freshness, &CDeviceFreshness::committedSlot);
    connect(server, &CServerHandler::changeServerStatus, freshness, &CDeviceFreshness::linkStatusSlot);
    modbus = startThread(nullptr, QStringLiteral("modbus"), new CModbusEventDispatcher);
    registry->setModbusThread(modbus);
    running = true;
    openStoredDevices();
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &CGatewayCore::stop);
    return true;
}

void CGatewayCore::openStoredDevices()
{
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    const QVector<SStoredDevice> stored = readStoredDevices(CDataBaseHandler::getInstance(), registry);
    QVector<SStoredDevice> served;
    for (const SStoredDevice& dev : stored) {
        if (dev.port < 1 || dev.port > 65535) {
            addLog(LOG_PORT_OUT_OF_RANGE.arg(dev.desc.devEui, QString::number(dev.port)));
            continue;
        }
        registry->addNewDevice(dev.desc, static_cast<unsigned short>(dev.port));
        served.append(dev);
    }
    warnAboutOverlaps(served);
}

void CGatewayCore::stop()
{
    if (!running)
        return;
    running = false;
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    disconnect(CServerHandler::getInstance(), &CServerHandler::newPacketReceived, registry,
               &CAllDeviceHandler::newPacketReceivedSlot);
    // No client is served from here on, so no read races the final saves.
    registry->setModbusThread(nullptr);
    stopThread(modbus);
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (storage && storageThread)
        QMetaObject::invokeMethod(storage, &CDataBaseHandler::shutdown, Qt::BlockingQueuedConnection);
    stopThread(storageThread);
}
