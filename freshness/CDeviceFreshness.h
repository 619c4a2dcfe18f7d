#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include "app/global.h"
#include "freshness/CStatusBlock.h"
#include "storage/CDeviceOptionsStore.h"

// How fresh each served device is, and what that means for a Modbus read:
// status block words and exception 0x0B for a stale device that asks for it.
// Changed in the main thread; read in the Modbus thread from an immutable
// snapshot swapped under a lock held only for the swap, so a read waits for
// nothing.
class CDeviceFreshness : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // ms since 1970-01-01 UTC

    static constexpr uint8_t EXCEPTION_TARGET_FAILED = 0x0B;

    static CDeviceFreshness* getInstance();
    // Tests only: forget every device so the next getInstance starts anew.
    static void resetInstance();
    // Set before any read is served; the wall clock by default.
    void setClock(const Clock& clock);

    // The register span [first, end) of a device served on a port.
    void setDevice(const QString& devEui, int port, qint64 first, qint64 end);
    void removeDevice(const QString& devEui);
    void setOptions(const QString& devEui, const SDeviceOptions& options);
    SDeviceOptions options(const QString& devEui) const;
    // A stored uplink from before the gateway started, as storage last wrote it.
    void seedStored(const QString& devEui, qint64 storedMs);
    // Options and stored times from server.db; false (logged) when it cannot be read.
    bool loadStored();
    // An uplink on its way to storage; it counts once storage committed it.
    void noteUplink(const API::SApiDeviceData& data);

    // EUI of a device on the port other than exceptEui whose registers or
    // status block reach into [first, end); empty when none does.
    QString occupant(int port, qint64 first, qint64 end, const QString& exceptEui) const;

    // Modbus thread: 0x0B when the read touches the registers of a stale device
    // that answers so, else 0.
    uint8_t refusal(int port, int start, int count) const;
    // Modbus thread: writes the words of the port's status blocks the read covers.
    // words[i] is the word of address start + i (cut to 16 bits).
    void overlay(int port, int start, int count, QVector<uint16_t>& words) const;

    // Registers a device's template fills, relative to its start address.
    static void templateSpan(const REGS::SDeviceRegisterInfo& info, qint64& first, qint64& end);

public slots:
    void committedSlot(const QString& devEui);
    void linkStatusSlot(COMM::EServerStatus status);

private:
    struct SDevice
    {
        QString devEui;
        int port = 0;
        qint64 first = 0;
        qint64 end = 0;
        SDeviceOptions options;
        CStatusBlock::SState state;
    };
    using Snapshot = QHash<int, QVector<SDevice>>; // by port, served devices with a status block or gate

    explicit CDeviceFreshness(QObject* parent = nullptr);
    void publish();
    std::shared_ptr<const Snapshot> snapshot() const;
    qint64 now() const;

    // Main thread.
    QHash<QString, SDevice> devices;             // by COMM::euiKey, served or not
    QHash<QString, API::SApiDeviceData> pending; // noted uplinks not yet committed
    bool linkLoggedIn = false;

    Clock clock;
    mutable QMutex snapshotMutex;
    std::shared_ptr<const Snapshot> published = std::make_shared<Snapshot>();
};
