#include "headless/StoredServer.h"

#include "app/CSettings.h"
#include "app/global.h"

SStoredServer readStoredServer()
{
    auto value = [](const QString& key) {
        return CSettings::readValue(SETT::SETT_SECT_SERVER + key, QVariant()).toString();
    };
    const QString scheme = value(SETT::SETT_SERVER_SCHEME);
    const QString address = value(SETT::SETT_SERVER_IP);
    const QString port = value(SETT::SETT_SERVER_PORT);
    SStoredServer server;
    server.origin = COMM::serverOrigin(scheme.isEmpty() ? QStringLiteral("ws") : scheme, address, port);
    server.login = value(SETT::SETT_SERVER_LOGIN);
    server.password = value(SETT::SETT_SERVER_PASSWORD);
    server.complete =
        !address.isEmpty() && !port.isEmpty() && !server.login.isEmpty() && !server.password.isEmpty();
    return server;
}
