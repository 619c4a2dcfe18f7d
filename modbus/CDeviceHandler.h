#pragma once

#include <QStringList>
#include <QTcpServer>

// One Modbus TCP listener: serves every device registered on its port.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT
public:
    explicit CDeviceHandler(const quint16& port);

    const QStringList& getDevEuiList() const { return devEuiList; }
    quint16 getPort() const { return port; }

public slots:
    void appendDevice(QString devEui);
    void removeDevice(QString devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    quint16 port;
    QStringList devEuiList;
};
