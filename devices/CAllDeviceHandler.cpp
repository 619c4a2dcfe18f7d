#include "devices/CAllDeviceHandler.h"

#include <QDebug>
#include <QDir>
#include <QMetaObject>
#include <QMutexLocker>

#include "app/CLogFile.h"
#include "devices/CPacketDecoder.h"
#include "devices/CTemplateLoader.h"
#include "modbus/CDeviceHandler.h"
#include "storage/CDataBaseHandler.h"

namespace {
CAllDeviceHandler* handler = nullptr;

// Uplinks carry upper-case EUIs; stored ones may be in either case.
QString deviceKey(const QString& devEui)
{
    return devEui.toUpper();
}
} // namespace

CAllDeviceHandler* CAllDeviceHandler::getInstance()
{
    if (!handler)
        handler = new CAllDeviceHandler();
    return handler;
}

void CAllDeviceHandler::resetInstance()
{
    delete handler;
    handler = nullptr;
}

CAllDeviceHandler::CAllDeviceHandler(QObject* parent) : QObject(parent)
{
    init();
}

CAllDeviceHandler::~CAllDeviceHandler()
{
    // Listeners are only freed in the running program by removeDevice; a
    // registry that goes away (tests) closes its ports with it.
    qDeleteAll(listeners);
}

void CAllDeviceHandler::init()
{
    CTemplateLoader::loadFolder(QDir::currentPath() + QStringLiteral("/") + COMM::DEVICE_FOLDER, templates);
}

REGS::SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString& appEui) const
{
    const auto it = templates.constFind(appEui);
    if (it == templates.constEnd())
        return REGS::SDeviceTemplateInfo();
    return REGS::SDeviceTemplateInfo{it->appEui, it->devType, it->color};
}

QList<REGS::SDeviceTemplateInfo> CAllDeviceHandler::getTemplateInfo() const
{
    QList<REGS::SDeviceTemplateInfo> result;
    for (const REGS::SDeviceTemplate& t : templates)
        result.append(REGS::SDeviceTemplateInfo{t.appEui, t.devType, t.color});
    return result;
}

REGS::SDeviceRegisterInfo CAllDeviceHandler::getRegisterInfo(const QString& appEui) const
{
    const REGS::SDeviceTemplate t = templates.value(appEui);
    REGS::SDeviceRegisterInfo result;
    result.appEui = t.appEui;
    for (const REGS::SServerData& datum : t.serverData)
        result.registers.append(REGS::SRegisterInfo{
            datum.dataName, 0, datum.regMapBias, datum.regBitSize, datum.dataType, 0.0, 1.0, {}});
    for (const REGS::SDevicePacket& packet : t.devicePackets)
        for (const REGS::SDevicePacketField& field : packet.packetFields)
            result.registers.append(REGS::SRegisterInfo{
                field.dataName, 1, field.regMapBias, field.regBitSize, field.dataType, 0.0, 1.0, {}});
    return result;
}

bool CAllDeviceHandler::hasTemplate(const QString& appEui) const
{
    return templates.contains(appEui.toUpper());
}

bool CAllDeviceHandler::hasListener(unsigned short port) const
{
    return listeners.contains(port);
}

bool CAllDeviceHandler::isRegistered(const QString& devEui)
{
    QMutexLocker locker(&mutex);
    return devices.contains(deviceKey(devEui));
}

QList<unsigned short> CAllDeviceHandler::listenerPorts() const
{
    return listeners.keys();
}

QStringList CAllDeviceHandler::listenerDevices(unsigned short port) const
{
    CDeviceHandler* listener = listeners.value(port);
    return listener ? listener->getDevEuiList() : QStringList();
}

void CAllDeviceHandler::addNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port)
{
    QMutexLocker locker(&mutex);
    CDeviceHandler* listener = listeners.value(port);
    if (listener) {
        addLog(QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port));
    } else {
        listener = new CDeviceHandler(port);
        listeners.insert(port, listener);
    }
    listener->appendDevice(deviceKey(desc.devEui));
    devices.insert(deviceKey(desc.devEui), desc);
    addLog(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
               .arg(desc.devEui)
               .arg(port));
}

void CAllDeviceHandler::removeDevice(const QString& devEui, const unsigned short& port)
{
    QMutexLocker locker(&mutex);
    CDeviceHandler* listener = listeners.value(port);
    if (listener) {
        listener->removeDevice(deviceKey(devEui));
        if (listener->getDevEuiList().isEmpty()) {
            listener->close();
            listener->deleteLater();
            listeners.remove(port);
        }
    } else {
        addLog(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(port));
    }
    devices.remove(deviceKey(devEui));
    qDebug().noquote() << QStringLiteral(
                              "[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
                              .arg(devEui)
                              .arg(port);
}

void CAllDeviceHandler::newPacketReceivedSlot(const API::SApiDeviceData& data)
{
    if (!isRegistered(data.devEui))
        return;
    processDataSlot(data);
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData data)
{
    const DB::SDeviceRegMapDescription registration = devices.value(deviceKey(data.devEui));
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    const CPacketDecoder::ParamLookup lookup = [storage](const QString& devEui, unsigned int regAddr) {
        return storage ? storage->getRegisterParam(devEui, regAddr) : DB::SDbRegParamInfo();
    };
    DB::SDbDeviceRegDataSet set;
    if (!CPacketDecoder::decode(data, registration, templates.value(registration.appEui.toUpper()), lookup,
                                set))
        return;
    const bool queued = QMetaObject::invokeMethod(storage, "saveRegisterData", Qt::QueuedConnection,
                                                  Q_ARG(DB::SDbDeviceRegDataSet, set));
    if (!queued)
        addLog(QStringLiteral("Invalid invokeMethod creation!"), CLogFile::LOG_TYPE_ERROR);
    emit newDataForDevice(data.devEui);
}
