#include "ui/CModbusAccessLabel.h"

#include "access/CModbusAccess.h"

namespace {
const QString BIND_LINE = QStringLiteral("Modbus listens on: %1");
const QString CLIENTS_LINE = QStringLiteral("Modbus clients allowed: %1");
const QString WHERE_SET =
    QStringLiteral("Set in settings.conf, section [modbus]: bind_address and allowed_clients");
} // namespace

CModbusAccessLabel::CModbusAccessLabel(QWidget* parent)
    : CElidedLabel(QStringLiteral("%1\n%2").arg(BIND_LINE.arg(CModbusAccess::describeBindAddress()),
                                                CLIENTS_LINE.arg(CModbusAccess::describeAllowList())),
                   parent)
{
    setObjectName(QStringLiteral("modbusAccessLabel"));
    setToolTip(QStringLiteral("%1\n%2").arg(text(), WHERE_SET));
}
