#include "access/CRefusedClientLog.h"

int CRefusedClientLog::refused(const QString& source, qint64 nowMs)
{
    auto found = sources.find(source);
    if (found != sources.end() && nowMs - found->loggedMs < INTERVAL_MS) {
        ++found->unlogged;
        return 0;
    }
    if (found == sources.end()) {
        if (sources.size() >= MAX_SOURCES)
            forgetOld(nowMs);
        found = sources.insert(source, SSource());
    }
    const int count = found->unlogged + 1;
    found->loggedMs = nowMs;
    found->unlogged = 0;
    return count;
}

// Sources quiet for a minute have nothing left to sum up; if every one is
// recent, the count of one of them is lost rather than memory.
void CRefusedClientLog::forgetOld(qint64 nowMs)
{
    for (auto it = sources.begin(); it != sources.end();)
        it = nowMs - it->loggedMs >= INTERVAL_MS && it->unlogged == 0 ? sources.erase(it) : std::next(it);
    if (sources.size() >= MAX_SOURCES)
        sources.erase(sources.begin());
}
