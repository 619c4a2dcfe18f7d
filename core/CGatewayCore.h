#pragma once

#include <QObject>

class QThread;

// Everything the gateway does without a window: settings, log, the link to the
// network server, storage on a thread of its own, the registry with decoding,
// and the Modbus listeners on their own thread with the stored devices' ports
// open. A window or a headless front end is built on top of a started core.
class CGatewayCore : public QObject
{
    Q_OBJECT
public:
    explicit CGatewayCore(QObject* parent = nullptr);
    ~CGatewayCore() override;

    // The whole start-up; false (logged) when the database cannot be opened.
    // The core stops by itself when the application quits.
    bool start();
    // Stops accepting, finishes the queued saves, closes every connection and
    // joins the threads. Safe to call more than once.
    void stop();

    // Opens the port of every device in storage, warning about stored ports
    // out of range and register spans that overlap on one port.
    void openStoredDevices();

    QThread* modbusThread() const { return modbus; }

private:
    QThread* storageThread = nullptr;
    QThread* modbus = nullptr;
    bool running = false;
};
