#pragma once

#include <functional>

#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

#include "app/global.h"

class CDeviceHandler;
class QThread;

// The registry of what the gateway serves: device templates, registered
// devices and one Modbus TCP listener per port in use. Lives in the main
// thread; the listeners and their connections live in the Modbus thread, so
// that a busy main thread never holds up a client.
class CAllDeviceHandler : public QObject
{
    Q_OBJECT
public:
    static CAllDeviceHandler* getInstance();
    // Tests only: drop the registry so the next getInstance loads anew.
    static void resetInstance();

    REGS::SDeviceTemplateInfo getTemplateInfo(const QString& appEui) const;
    QList<REGS::SDeviceTemplateInfo> getTemplateInfo() const;
    // Listeners are made, changed and closed in this thread from now on, by
    // calls that wait for it; none (the default) means the caller's own thread.
    // Changing it closes every listener and connection first.
    void setModbusThread(QThread* thread);
    REGS::SDeviceRegisterInfo getRegisterInfo(const QString& appEui) const;

    // Lookups for the device dialogs; EUIs compare without regard to case.
    bool hasTemplate(const QString& appEui) const;
    bool hasListener(unsigned short port) const;
    bool isRegistered(const QString& devEui);
    QList<unsigned short> listenerPorts() const;
    QStringList listenerDevices(unsigned short port) const;

signals:
    // Once the device's packet is committed and readable (the core wires it to storage).
    void newDataForDevice(const QString& devEui);

public slots:
    void init();
    void processDataSlot(API::SApiDeviceData data);
    void addNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    void removeDevice(const QString& devEui, const unsigned short& port);
    void newPacketReceivedSlot(const API::SApiDeviceData& data);

private:
    explicit CAllDeviceHandler(QObject* parent = nullptr);
    ~CAllDeviceHandler() override;

    void inModbusThread(const std::function<void()>& work);
    void closeListeners();

    QMap<QString, REGS::SDeviceTemplate> templates;
    // Owned here, used only in the Modbus thread.
    QMap<unsigned short, CDeviceHandler*> listeners;
    QObject* modbusContext = nullptr; // lives in the Modbus thread
    // Keyed by COMM::euiKey of the device EUI; the record keeps the EUI as it is stored.
    QMap<QString, DB::SDeviceRegMapDescription> devices;
    QMutex mutex;
};
