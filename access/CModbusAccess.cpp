#include "access/CModbusAccess.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <QMutexLocker>
#include <QStringList>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"

namespace {
const QString LOG_IN_FORCE =
    QStringLiteral("INFO: [CModbusAccess::load] Modbus listeners bind to [%1] and serve clients from [%2]");
const QString LOG_BAD_BIND =
    QStringLiteral("ERROR: [CModbusAccess::load] Bind address [%1] of settings.conf is no IP address: the "
                   "Modbus listeners bind to the loopback address only");
const QString LOG_BAD_NETWORKS =
    QStringLiteral("ERROR: [CModbusAccess::load] Allowed clients of settings.conf: [%1] are no networks "
                   "and are left out");
const QString LOG_REFUSED =
    QStringLiteral("WARNING: [CModbusAccess::admit] Client [%1] refused on port [%2]: "
                   "not in the allowed networks (%3 refused since the last line)");

// Held only to copy or swap the state, and around the refusal log.
QMutex& accessMutex()
{
    static QMutex mutex;
    return mutex;
}

template <typename T> std::shared_ptr<const T>& current()
{
    static std::shared_ptr<const T> held = std::make_shared<const T>();
    return held;
}

CRefusedClientLog& refusals()
{
    static CRefusedClientLog log;
    return log;
}

QHostAddress peerOf(qintptr socketDescriptor)
{
    sockaddr_storage peer = {};
    socklen_t size = sizeof(peer);
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return QHostAddress();
    return CClientAllowList::plain(QHostAddress(reinterpret_cast<const sockaddr*>(&peer)));
}
} // namespace

void CModbusAccess::load()
{
    auto next = std::make_shared<SState>();
    const QString bind =
        CSettings::readValue(SETT::SETT_SECT_MODBUS + SETT::SETT_MODBUS_BIND_ADDRESS).toString().trimmed();
    if (!bind.isEmpty()) {
        next->bind = QHostAddress(bind);
        next->bindText = bind;
        if (next->bind.isNull()) {
            addLog(LOG_BAD_BIND.arg(bind));
            next->bind = QHostAddress::LocalHost;
            next->bindText = next->bind.toString();
        }
    }
    QStringList rejected;
    next->allowList = CClientAllowList::parse(
        CSettings::readValue(SETT::SETT_SECT_MODBUS + SETT::SETT_MODBUS_ALLOWED_CLIENTS).toString(),
        rejected);
    if (!rejected.isEmpty())
        addLog(LOG_BAD_NETWORKS.arg(rejected.join(QStringLiteral(", "))));
    if (!bind.isEmpty() || !next->allowList.allowsAll())
        addLog(LOG_IN_FORCE.arg(next->bindText.isEmpty() ? QStringLiteral("all") : next->bindText,
                                next->allowList.describe()));
    QMutexLocker locker(&accessMutex());
    current<SState>() = std::move(next);
}

void CModbusAccess::reset()
{
    QMutexLocker locker(&accessMutex());
    current<SState>() = std::make_shared<const SState>();
    refusals() = CRefusedClientLog();
}

std::shared_ptr<const CModbusAccess::SState> CModbusAccess::state()
{
    QMutexLocker locker(&accessMutex());
    return current<SState>();
}

QHostAddress CModbusAccess::bindAddress()
{
    return state()->bind;
}

QString CModbusAccess::describeBindAddress()
{
    const QString text = state()->bindText;
    return text.isEmpty() ? QStringLiteral("all") : text;
}

QString CModbusAccess::describeAllowList()
{
    return state()->allowList.describe();
}

bool CModbusAccess::admit(qintptr socketDescriptor, quint16 port)
{
    const std::shared_ptr<const SState> access = state();
    if (access->allowList.allowsAll())
        return true;
    const QHostAddress peer = peerOf(socketDescriptor);
    if (!peer.isNull() && access->allowList.allows(peer))
        return true;
    ::close(int(socketDescriptor));
    const QString source = peer.isNull() ? QStringLiteral("unknown") : peer.toString();
    int count = 0;
    {
        QMutexLocker locker(&accessMutex());
        count = refusals().refused(source, QDateTime::currentMSecsSinceEpoch());
    }
    if (count > 0)
        addLog(LOG_REFUSED.arg(source, QString::number(port), QString::number(count)));
    return false;
}
