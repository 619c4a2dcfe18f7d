#include "modbus/CDeviceHandler.h"

#include <QDebug>

#include "app/CLogFile.h"
#include "modbus/CConnectionHandler.h"

CDeviceHandler::CDeviceHandler(const quint16& _port) : QTcpServer(nullptr), port(_port)
{
    // A port we cannot listen on would otherwise be silently dead for every SCADA.
    if (!listen(QHostAddress::Any, port))
        addLog(QStringLiteral("WARNING: [CDeviceHandler::CDeviceHandler] Port [%1] is not listened: %2")
                   .arg(port)
                   .arg(errorString()));
}

void CDeviceHandler::appendDevice(QString devEui)
{
    if (devEuiList.contains(devEui)) {
        qDebug().noquote()
            << QStringLiteral("[CDeviceHandler::appendDevice] Device [%1] already exist!").arg(devEui);
        return;
    }
    devEuiList.append(devEui);
}

void CDeviceHandler::removeDevice(QString devEui)
{
    devEuiList.removeAll(devEui);
}

void CDeviceHandler::incomingConnection(qintptr socketDescriptor)
{
    if (socketDescriptor < 1)
        return;
    // The connection owns itself and is deleted when its peer goes away.
    auto* connection = new CConnectionHandler(port);
    connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
}
