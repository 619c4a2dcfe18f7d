#include "ui/CModbusAccessLabel.h"

#include <QResizeEvent>

#include "access/CModbusAccess.h"

CModbusAccessLabel::CModbusAccessLabel(QWidget* parent)
    : QLabel(parent), bindLine(QStringLiteral("Modbus listens on: ") + CModbusAccess::describeBindAddress()),
      clientsLine(QStringLiteral("Modbus clients allowed: ") + CModbusAccess::describeAllowList())
{
    setObjectName(QStringLiteral("modbusAccessLabel"));
    setMinimumWidth(1);
    setToolTip(bindLine + QStringLiteral("\n") + clientsLine +
               QStringLiteral("\nSet in settings.conf, section [modbus]: bind_address and allowed_clients"));
    fit();
}

void CModbusAccessLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    fit();
}

void CModbusAccessLabel::fit()
{
    const int width = qMax(1, contentsRect().width());
    setText(fontMetrics().elidedText(bindLine, Qt::ElideRight, width) + QStringLiteral("\n") +
            fontMetrics().elidedText(clientsLine, Qt::ElideRight, width));
}
