#include "devices/CAllDeviceHandler.h"

#include <QDebug>
#include <QDir>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

#include "app/CLogFile.h"
#include "devices/CPacketDecoder.h"
#include "devices/CTemplateLoader.h"
#include "freshness/CDeviceFreshness.h"
#include "modbus/CDeviceHandler.h"
#include "app/CSettings.h"
#include "storage/CDataBaseHandler.h"

namespace {
CAllDeviceHandler* handler = nullptr;

int connectionLimit()
{
    const int limit = CSettings::readValue(SETT::SETT_SECT_MODBUS + SETT::SETT_MODBUS_MAX_CONNECTIONS,
                                           SETT::MODBUS_MAX_CONNECTIONS_DEFAULT)
                          .toInt();
    return limit > 0 ? limit : SETT::MODBUS_MAX_CONNECTIONS_DEFAULT;
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
    setModbusThread(nullptr);
    closeListeners();
}

void CAllDeviceHandler::setModbusThread(QThread* thread)
{
    if (modbusContext && modbusContext->thread() == thread)
        return;
    closeListeners();
    if (modbusContext)
        inModbusThread([this] { delete modbusContext; });
    modbusContext = nullptr;
    if (thread) {
        modbusContext = new QObject();
        modbusContext->moveToThread(thread);
    }
}

// The caller (the main thread) waits; the Modbus thread never waits for it.
void CAllDeviceHandler::inModbusThread(const std::function<void()>& work)
{
    if (!modbusContext || modbusContext->thread() == QThread::currentThread())
        work();
    else
        QMetaObject::invokeMethod(modbusContext, work, Qt::BlockingQueuedConnection);
}

void CAllDeviceHandler::closeListeners()
{
    if (listeners.isEmpty())
        return;
    inModbusThread([this] {
        for (CDeviceHandler* listener : qAsConst(listeners)) {
            listener->closeConnections();
            delete listener;
        }
    });
    listeners.clear();
}

void CAllDeviceHandler::init()
{
    CTemplateLoader::loadFolder(QDir::currentPath() + QStringLiteral("/") + COMM::DEVICE_FOLDER, templates);
}

REGS::SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString& appEui) const
{
    const auto it = templates.constFind(COMM::euiKey(appEui));
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
    const REGS::SDeviceTemplate t = templates.value(COMM::euiKey(appEui));
    REGS::SDeviceRegisterInfo result;
    result.appEui = t.appEui;
    for (const REGS::SServerData& datum : t.serverData)
        result.registers.append(REGS::SRegisterInfo{
            datum.dataName, 0, datum.regMapBias, datum.regBitSize, datum.dataType, 0.0, 1.0, {}, {}});
    for (const REGS::SDevicePacket& packet : t.devicePackets)
        for (const REGS::SDevicePacketField& field : packet.packetFields)
            result.registers.append(REGS::SRegisterInfo{field.dataName,
                                                        1,
                                                        field.regMapBias,
                                                        field.regBitSize,
                                                        field.dataType,
                                                        0.0,
                                                        1.0,
                                                        {},
                                                        field.format});
    return result;
}

bool CAllDeviceHandler::hasTemplate(const QString& appEui) const
{
    return templates.contains(COMM::euiKey(appEui));
}

bool CAllDeviceHandler::hasListener(unsigned short port) const
{
    return listeners.contains(port);
}

bool CAllDeviceHandler::isRegistered(const QString& devEui)
{
    QMutexLocker locker(&mutex);
    return devices.contains(COMM::euiKey(devEui));
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
    const QString key = COMM::euiKey(desc.devEui);
    CDeviceHandler* listener = listeners.value(port);
    if (listener) {
        addLog(QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port));
        inModbusThread([listener, key] { listener->appendDevice(key); });
    } else {
        const int limit = connectionLimit();
        inModbusThread([&listener, port, limit, key] {
            listener = new CDeviceHandler(port, limit);
            listener->appendDevice(key);
        });
        listeners.insert(port, listener);
    }
    devices.insert(key, desc);
    qint64 first = 0;
    qint64 end = 0;
    CDeviceFreshness::templateSpan(getRegisterInfo(desc.appEui), first, end);
    CDeviceFreshness::getInstance()->setDevice(desc.devEui, port, first + desc.startAddr,
                                               end + desc.startAddr);
    addLog(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
               .arg(desc.devEui, QString::number(port)));
}

void CAllDeviceHandler::removeDevice(const QString& devEui, const unsigned short& port)
{
    QMutexLocker locker(&mutex);
    const QString key = COMM::euiKey(devEui);
    CDeviceHandler* listener = listeners.value(port);
    if (listener) {
        bool closed = false;
        inModbusThread([listener, key, &closed] {
            listener->removeDevice(key);
            closed = listener->getDevEuiList().isEmpty();
            // Closed before the caller goes on: the port is free for the next registration.
            if (closed)
                delete listener;
        });
        if (closed)
            listeners.remove(port);
    } else {
        addLog(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(port));
    }
    devices.remove(key);
    CDeviceFreshness::getInstance()->removeDevice(key);
    qDebug().noquote() << QStringLiteral(
                              "[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
                              .arg(devEui, QString::number(port));
}

void CAllDeviceHandler::newPacketReceivedSlot(const API::SApiDeviceData& data)
{
    if (!isRegistered(data.devEui))
        return;
    processDataSlot(data);
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData data)
{
    const DB::SDeviceRegMapDescription registration = devices.value(COMM::euiKey(data.devEui));
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    const CPacketDecoder::ParamLookup lookup = [storage](const QString& devEui, unsigned int regAddr) {
        return storage ? storage->getRegisterParam(devEui, regAddr) : DB::SDbRegParamInfo();
    };
    DB::SDbDeviceRegDataSet set;
    if (!CPacketDecoder::decode(data, registration, templates.value(COMM::euiKey(registration.appEui)),
                                lookup, set))
        return;
    CDeviceFreshness::getInstance()->noteUplink(data);
    const bool queued = QMetaObject::invokeMethod(storage, "saveRegisterData", Qt::QueuedConnection,
                                                  Q_ARG(DB::SDbDeviceRegDataSet, set));
    if (!queued)
        addLog(QStringLiteral("Invalid invokeMethod creation!"), CLogFile::LOG_TYPE_ERROR);
}
