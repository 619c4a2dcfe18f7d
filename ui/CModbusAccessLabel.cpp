#include "ui/CModbusAccessLabel.h"

#include "access/CModbusAccess.h"

CModbusAccessLabel::CModbusAccessLabel(QWidget* parent) : QLabel(describe(), parent)
{
    setObjectName(QStringLiteral("modbusAccessLabel"));
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setToolTip(QStringLiteral("Set in settings.conf, section [modbus]: bind_address and allowed_clients"));
}

QString CModbusAccessLabel::describe()
{
    return QStringLiteral("Modbus listens on: %1\nModbus clients allowed: %2")
        .arg(CModbusAccess::describeBindAddress(), CModbusAccess::describeAllowList());
}
