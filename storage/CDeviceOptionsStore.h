#pragma once

#include <QHash>
#include <QString>

// What the operator chose about a device beyond its registers.
struct SDeviceOptions
{
    static constexpr int NO_STATUS_BLOCK = -1;

    int statusAddress = NO_STATUS_BLOCK; // first register of the status block
    int staleMinutes = 0;                // 0: the device is never stale
    bool staleException = false;         // a stale device's registers answer exception 0x0B

    bool operator==(const SDeviceOptions& other) const
    {
        return statusAddress == other.statusAddress && staleMinutes == other.staleMinutes &&
               staleException == other.staleException;
    }
};

// Device options in a table of server.db of their own, which older gateways
// never select. The table is made by the first save, so a file nobody set
// options in stays as it was. Main thread; each call opens its own connection
// and waits at most a short while for the storage thread's transaction.
class CDeviceOptionsStore
{
public:
    static constexpr int BUSY_TIMEOUT_MS = 2000;

    // Options by COMM::euiKey, and the time (ms since 1970) each device's
    // registers were last stored; false with the reason when the file cannot be read.
    static bool load(QHash<QString, SDeviceOptions>& options, QHash<QString, qint64>& lastStored,
                     QString& error);
    static bool save(const QString& devEui, const SDeviceOptions& options, QString& error);
};
