#pragma once

#include <QString>

// The network server of settings.conf, as the window restores its fields.
struct SStoredServer
{
    QString origin; // scheme://address:port
    QString login;
    QString password;
    bool complete = false; // address, port, login and password all given
};

// Needs CSettings to be open.
SStoredServer readStoredServer();
