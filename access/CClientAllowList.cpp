#include "access/CClientAllowList.h"

#include <QRegularExpression>

CClientAllowList CClientAllowList::parse(const QString& text, QStringList& rejected)
{
    CClientAllowList list;
    rejected.clear();
    const QStringList entries =
        text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    list.restricted = !entries.isEmpty();
    for (const QString& entry : entries) {
        QPair<QHostAddress, int> network;
        if (entry.contains(QLatin1Char('/'))) {
            network = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress single(entry);
            network = {single, single.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128};
        }
        if (network.first.isNull() || network.first.protocol() == QAbstractSocket::AnyIPProtocol)
            rejected << entry;
        else
            list.networks.append({plain(network.first), network.second});
    }
    return list;
}

bool CClientAllowList::allows(const QHostAddress& peer) const
{
    if (!restricted)
        return true;
    const QHostAddress address = plain(peer);
    for (const QPair<QHostAddress, int>& network : networks)
        if (address.isInSubnet(network))
            return true;
    return false;
}

QString CClientAllowList::describe() const
{
    if (!restricted)
        return QStringLiteral("all");
    if (networks.isEmpty())
        return QStringLiteral("none");
    QStringList texts;
    for (const QPair<QHostAddress, int>& network : networks)
        texts << QStringLiteral("%1/%2").arg(network.first.toString(), QString::number(network.second));
    return texts.join(QStringLiteral(", "));
}

QHostAddress CClientAllowList::plain(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}
