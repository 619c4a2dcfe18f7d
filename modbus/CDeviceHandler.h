#pragma once

#include <QList>
#include <QStringList>
#include <QTcpServer>

#include "app/global.h"

class CConnectionHandler;
class QSocketNotifier;

// One Modbus TCP listener: serves every device registered on its port, with
// at most a set number of connections at once.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT
public:
    // Qt listens with a backlog of 50: too few for many clients starting at once.
    static constexpr int LISTEN_BACKLOG = 128;
    // Accepting rests this long when the process has no descriptor left.
    static constexpr int ACCEPT_PAUSE_MS = 250;
    // A full port closes its least recently active connection for a new one
    // only if that one has been quiet at least this long; else it refuses.
    static constexpr qint64 EVICT_IDLE_MS = 2000;

    explicit CDeviceHandler(const quint16& port, int connectionLimit = SETT::MODBUS_MAX_CONNECTIONS_DEFAULT);

    const QStringList& getDevEuiList() const { return devEuiList; }
    quint16 getPort() const { return port; }
    int connectionCount() const { return connections.size(); }
    void closeConnections();

public slots:
    void appendDevice(QString devEui);
    void removeDevice(QString devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void acceptPendingSlot();

private:
    bool makeRoom();
    void connectionGone(CConnectionHandler* connection);

    quint16 port;
    QStringList devEuiList;
    int connectionLimit;
    QList<CConnectionHandler*> connections;
    QSocketNotifier* acceptNotifier = nullptr;
    bool full = false;    // an episode of a full port is going on (logged once)
    bool starved = false; // clients wait that no descriptor is left for (logged once)
};
