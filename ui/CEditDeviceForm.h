#pragma once

#include <cstdint>

#include "ui/CAbstractDeviceForm.h"

// Changes the extra value, multiplier and units of a registered device's registers.
class CEditDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT
public:
    static CEditDeviceForm* getInstance();
    // Tests only: drop the dialog so the next getInstance builds a new one.
    static void resetInstance();

protected slots:
    void deviceSearchNameSlot(const QString& str) override;
    void refresh() override;
    void deviceListSelectSlot(const QItemSelection& item1, const QItemSelection& item2) override;
    void addDeviceSlot() override;

public slots:
    void setOriginal(const uint32_t& _deviceId, const QString& _devEui, const QString& _devName,
                     const QString& _appEui, const uint16_t& _port, const uint32_t& _startAddr);

private:
    explicit CEditDeviceForm(QWidget* parent = nullptr);
};
