#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

#include "app/global.h"

class CDeviceHandler;

// The registry of what the gateway serves: device templates, registered
// devices and one Modbus TCP listener per port in use. Lives in the main thread.
class CAllDeviceHandler : public QObject
{
    Q_OBJECT
public:
    static CAllDeviceHandler* getInstance();
    // Tests only: drop the registry so the next getInstance loads anew.
    static void resetInstance();

    REGS::SDeviceTemplateInfo getTemplateInfo(const QString& appEui) const;
    QList<REGS::SDeviceTemplateInfo> getTemplateInfo() const;
    REGS::SDeviceRegisterInfo getRegisterInfo(const QString& appEui) const;

    // Lookups for the device dialogs; EUIs compare without regard to case.
    bool hasTemplate(const QString& appEui) const;
    bool hasListener(unsigned short port) const;
    bool isRegistered(const QString& devEui);
    QList<unsigned short> listenerPorts() const;
    QStringList listenerDevices(unsigned short port) const;

signals:
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

    QMap<QString, REGS::SDeviceTemplate> templates;
    QMap<unsigned short, CDeviceHandler*> listeners;
    // Keyed by the upper-case device EUI, as uplinks carry it; the record keeps
    // the EUI as it is stored.
    QMap<QString, DB::SDeviceRegMapDescription> devices;
    QMutex mutex;
};
