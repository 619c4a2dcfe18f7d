#pragma once

#include <QList>

#include "app/global.h"
#include "ui/CAbstractDeviceForm.h"

// Registers a device that the network server knows and that has a template.
class CAddNewDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT
public:
    static CAddNewDeviceForm* getInstance();
    // Tests only: drop the dialog so the next getInstance builds a new one.
    static void resetInstance();
    // EUI of the device the last accepted showing registered.
    const QString& addedDevEui() const { return addedEui; }

public slots:
    void getDevicesListRespSlot(const bool& status, const QList<API::SServerDeviceInfo>& _regInfoList);

protected slots:
    void deviceSearchNameSlot(const QString& str) override;
    void refresh() override;
    void deviceListSelectSlot(const QItemSelection& item1, const QItemSelection& item2) override;
    void addDeviceSlot() override;

private:
    explicit CAddNewDeviceForm(QWidget* parent = nullptr);

    void fillDeviceList(const QList<API::SServerDeviceInfo>& list);
    bool checkFields(int& port, int& startAddr);
    bool portIsUsable(int port) const;
    DB::SDeviceRegMapDescription currentDescription(int startAddr) const;
    bool overlapsStoredDevice(int port, qint64 first, qint64 end);

    QString addedEui;
};
