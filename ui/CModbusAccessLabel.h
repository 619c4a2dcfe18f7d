#pragma once

#include "widgets/CElidedLabel.h"

// Read-only lines of the connection panel: what settings.conf lets reach the
// Modbus listeners, as it is in force since the start. A list too long for
// the panel is cut with an ellipsis; the tooltip holds it whole.
class CModbusAccessLabel : public CElidedLabel
{
    Q_OBJECT
public:
    explicit CModbusAccessLabel(QWidget* parent = nullptr);
};
