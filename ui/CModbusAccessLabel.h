#pragma once

#include <QLabel>

// Read-only line of the connection panel: what settings.conf lets reach the
// Modbus listeners, as it is in force since the start.
class CModbusAccessLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CModbusAccessLabel(QWidget* parent = nullptr);

    static QString describe();
};
