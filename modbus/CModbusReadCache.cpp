#include "modbus/CModbusReadCache.h"

#include <atomic>

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace {
// A hash node, the vector's header and the allocator's overhead; then the words.
constexpr qint64 BYTES_PER_ENTRY = 96;
constexpr qint64 BYTES_PER_WORD = 2;

struct SEntry
{
    quint64 generation = 0;
    CModbusTcpFramer::RegisterWords words;
};

std::atomic<quint64> generation{1};
QMutex mutex;
QHash<quint64, SEntry> entries;
qint64 bytes = 0;

quint64 key(int port, int start, int count)
{
    return quint64(quint16(port)) << 48 | quint64(quint32(start)) << 16 | quint64(quint16(count));
}
} // namespace

bool CModbusReadCache::read(int port, int start, int count, CModbusTcpFramer::RegisterWords& words,
                            const CModbusTcpFramer::RegisterReader& reader)
{
    // Taken before the read: a commit during it leaves the entry stale, never wrong.
    const quint64 now = generation.load();
    const quint64 id = key(port, start, count);
    {
        QMutexLocker locker(&mutex);
        const auto found = entries.constFind(id);
        if (found != entries.constEnd() && found->generation == now) {
            words = found->words;
            return true;
        }
    }
    if (!reader(port, start, count, words))
        return false;
    QMutexLocker locker(&mutex);
    const qint64 size = BYTES_PER_ENTRY + BYTES_PER_WORD * count;
    if (!entries.contains(id)) {
        if (bytes + size > MAX_BYTES) {
            entries.clear();
            bytes = 0;
        }
        bytes += size;
    }
    entries.insert(id, SEntry{now, words});
    return true;
}

void CModbusReadCache::invalidate()
{
    ++generation;
}
