#pragma once

#include <QHostAddress>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// The client networks a Modbus listener serves, written as CIDR networks or
// single addresses, IPv4 and IPv6, separated by commas or spaces. An empty
// list serves everyone.
class CClientAllowList
{
public:
    // Entries that are no network are left out and returned in `rejected`; a
    // list with entries but none valid serves nobody rather than everyone.
    static CClientAllowList parse(const QString& text, QStringList& rejected);

    bool allowsAll() const { return !restricted; }
    bool allows(const QHostAddress& peer) const;
    // The list in force, as the operator reads it.
    QString describe() const;
    // A dual-stack listener sees an IPv4 peer as ::ffff:a.b.c.d.
    static QHostAddress plain(const QHostAddress& address);

private:
    bool restricted = false;
    QVector<QPair<QHostAddress, int>> networks;
};
