#pragma once

#include <memory>

#include <QHostAddress>
#include <QMutex>
#include <QString>

#include "access/CClientAllowList.h"
#include "access/CRefusedClientLog.h"

// Who may reach the Modbus listeners: the address they bind to and the client
// networks they serve, as settings.conf names them at start. Read by the
// listeners in the Modbus thread.
class CModbusAccess
{
public:
    // Reads settings.conf and logs what is in force; a value that cannot be
    // read is logged and replaced by the loopback address or by no client, so
    // a typing error never opens the gateway wider than asked.
    static void load();
    // Tests only: back to the defaults, listening everywhere for everyone.
    static void reset();

    static QHostAddress bindAddress();
    static QString describeBindAddress();
    static QString describeAllowList();

    // For a freshly accepted socket: true when its peer may be served; else
    // the socket is closed at once and the refusal logged (once a minute per
    // source, with the count).
    static bool admit(qintptr socketDescriptor, quint16 port);

private:
    struct SState
    {
        QHostAddress bind = QHostAddress::Any;
        QString bindText;
        CClientAllowList allowList;
    };
    static std::shared_ptr<const SState> state();
};
