#include "freshness/CStatusBlock.h"

#include <cmath>
#include <limits>

quint32 CStatusBlock::secondsSince(const SState& state, qint64 nowMs)
{
    if (!state.stored)
        return NEVER;
    // A clock set back must not make an old uplink look like one from the future.
    const qint64 seconds = qMax<qint64>(0, nowMs - state.lastStoredMs) / 1000;
    return quint32(qMin<qint64>(seconds, NEVER - 1));
}

bool CStatusBlock::isStale(const SState& state, qint64 nowMs)
{
    if (state.staleMinutes <= 0)
        return false;
    return !state.stored || secondsSince(state, nowMs) >= quint32(state.staleMinutes) * 60u;
}

std::array<quint16, CStatusBlock::WORDS> CStatusBlock::words(const SState& state, qint64 nowMs)
{
    const quint32 seconds = secondsSince(state, nowMs);
    quint16 flags = 0;
    if (isStale(state, nowMs))
        flags |= FLAG_STALE;
    if (state.linkLoggedIn)
        flags |= FLAG_LINK_LOGGED_IN;
    if (!state.sinceStart)
        flags |= FLAG_NO_UPLINK_SINCE_START;
    return {quint16(seconds >> 16),
            quint16(seconds & 0xFFFF),
            quint16(state.fcnt >> 16),
            quint16(state.fcnt & 0xFFFF),
            quint16(state.rssi),
            quint16(state.snrTenths),
            flags,
            quint16(qBound(0, state.staleMinutes, 0xFFFF))};
}

qint16 CStatusBlock::snrTenths(double snr)
{
    if (std::isnan(snr))
        return 0;
    const double limit = std::numeric_limits<qint16>::max();
    return qint16(std::lround(qBound(-limit, snr * 10.0, limit)));
}
