#include "modbus/CDeviceHandler.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include "access/CModbusAccess.h"
#include "app/CLogFile.h"
#include "modbus/CConnectionHandler.h"

namespace {
const QString LOG_FULL = QStringLiteral(
    "WARNING: [CDeviceHandler::incomingConnection] Port [%1] holds its limit of %2 connections: "
    "connections quiet for %3 ms or more make way for new ones, other new ones are refused");
const QString LOG_ACCEPT_FAILED =
    QStringLiteral("WARNING: [CDeviceHandler::acceptPendingSlot] Port [%1] cannot accept connections: %2. "
                   "Accepting pauses %3 ms at a time until it can");
} // namespace

CDeviceHandler::CDeviceHandler(const quint16& _port, int _connectionLimit)
    : QTcpServer(nullptr), port(_port), connectionLimit(qMax(1, _connectionLimit))
{
    // A port we cannot listen on would otherwise be silently dead for every SCADA.
    if (!listen(CModbusAccess::bindAddress(), port)) {
        addLog(QStringLiteral("WARNING: [CDeviceHandler::CDeviceHandler] Port [%1] is not listened: %2")
                   .arg(QString::number(port), errorString()));
        return;
    }
    // Listening again on a listening socket only sets its backlog.
    ::listen(int(socketDescriptor()), LISTEN_BACKLOG);
    // Qt retries a failed accept at once and for ever when no descriptor is
    // left; accepting here, the listener rests instead.
    pauseAccepting();
    acceptNotifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &CDeviceHandler::acceptPendingSlot);
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

void CDeviceHandler::closeConnections()
{
    const QList<CConnectionHandler*> open = connections;
    connections.clear();
    for (CConnectionHandler* connection : open) {
        connection->abort();
        delete connection;
    }
}

void CDeviceHandler::incomingConnection(qintptr socketDescriptor)
{
    if (socketDescriptor < 1)
        return;
    if (!CModbusAccess::admit(socketDescriptor, port))
        return;
    if (!makeRoom()) {
        ::close(int(socketDescriptor));
        return;
    }
    // The connection owns itself and is deleted when its peer goes away.
    auto* connection = new CConnectionHandler(port);
    connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    connections.append(connection);
    connect(connection, &QObject::destroyed, this, [this, connection] { connectionGone(connection); });
}

// False when the port is full and every connection on it is busy.
bool CDeviceHandler::makeRoom()
{
    if (connections.size() < connectionLimit)
        return true;
    if (!full)
        addLog(LOG_FULL.arg(QString::number(port), QString::number(connectionLimit),
                            QString::number(EVICT_IDLE_MS)));
    full = true;
    CConnectionHandler* quietest = connections.first();
    for (CConnectionHandler* connection : qAsConst(connections))
        if (connection->idleMs() > quietest->idleMs())
            quietest = connection;
    if (quietest->idleMs() < EVICT_IDLE_MS)
        return false;
    // Out of the list first: its going does not end the episode.
    connections.removeOne(quietest);
    quietest->abort();
    quietest->deleteLater();
    return true;
}

void CDeviceHandler::connectionGone(CConnectionHandler* connection)
{
    // Only a peer leaving by itself ends an episode of a full port.
    if (connections.removeOne(connection) && connections.size() < connectionLimit)
        full = false;
}

void CDeviceHandler::acceptPendingSlot()
{
    for (;;) {
        const int fd = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            incomingConnection(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (!starved)
                addLog(LOG_ACCEPT_FAILED.arg(QString::number(port),
                                             QString::fromLocal8Bit(std::strerror(errno)),
                                             QString::number(ACCEPT_PAUSE_MS)));
            starved = true;
            acceptNotifier->setEnabled(false);
            QTimer::singleShot(ACCEPT_PAUSE_MS, acceptNotifier, [this] { acceptNotifier->setEnabled(true); });
        } else {
            starved = false; // every waiting client is taken: the episode is over
        }
        return;
    }
}
