#pragma once

#include <cstdint>

#include "modbus/CModbusTcpFramer.h"

// Words of recent reads, kept until the next commit or device change: SCADA
// polls the same blocks over and over, and taking them from the register
// image costs more than the rest of an answer. Shared by the whole process
// and bounded in bytes.
class CModbusReadCache
{
public:
    static constexpr qint64 MAX_BYTES = 8 * 1024 * 1024;

    // The words from the cache, or from the reader (kept if it succeeds).
    static bool read(int port, int start, int count, CModbusTcpFramer::RegisterWords& words,
                     const CModbusTcpFramer::RegisterReader& reader);
    // Any thread: everything read so far is stale.
    static void invalidate();
};
