#pragma once

#include <QList>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "loadtest/LoadPlan.h"

typedef struct _modbus modbus_t;

// What the run and its pollers share: the highest fcnt sent per device and
// the signal to stop.
struct SLoadShared
{
    explicit SLoadShared(int devices) : sentUpTo(new std::atomic<int64_t>[devices])
    {
        for (int i = 0; i < devices; ++i)
            sentUpTo[i] = -1;
    }

    std::unique_ptr<std::atomic<int64_t>[]> sentUpTo;
    std::atomic<bool> stop{false};
};

struct SPollerStats
{
    uint64_t answered = 0;
    uint64_t function3 = 0;
    uint64_t function4 = 0;
    uint64_t notStoredYet = 0;
    uint64_t wrong = 0;
    uint64_t errors = 0;     // failed requests: time-out, reset, bad frame
    uint64_t reconnects = 0; // connections that had to be opened again
    std::vector<uint32_t> latencyUs;
    QStringList faults; // the first few, for the report
};

// One Modbus client: a connection per port, kept open for the whole run,
// reading every device in turn as fast as the gateway answers, holding and
// input registers alternately, and judging every answer.
class CModbusPoller
{
public:
    CModbusPoller(int id, const QList<SLoadDevice>& devices, const QList<quint16>& ports,
                  const SLoadShared& shared);
    ~CModbusPoller();
    CModbusPoller(const CModbusPoller&) = delete;
    CModbusPoller& operator=(const CModbusPoller&) = delete;

    // Opens the connections; false (with a fault) when one is refused.
    bool connectAll();
    // The thread body: polls until shared.stop is set.
    void run();
    const SPollerStats& stats() const { return result; }

private:
    void pollOnce(const SLoadDevice& device, bool inputRegisters);
    void fault(const QString& text);
    bool reconnect(int portIndex);

    int id;
    QList<SLoadDevice> devices;
    QList<quint16> ports;
    const SLoadShared& shared;
    std::vector<modbus_t*> contexts;
    std::vector<int64_t> lastSeen;
    SPollerStats result;
};
