#pragma once

#include <array>
#include <cstdint>

#include <QtGlobal>

// The registers of a device's status block, from what is known about its last
// stored uplink at a given time. Pure, so that any clock can drive it.
//   +0..1  seconds since the last stored uplink, high word first; saturates,
//          0xFFFFFFFF when none was ever stored
//   +2..3  frame counter of that uplink, high word first
//   +4     its RSSI in dBm, signed
//   +5     its SNR in tenths of a dB, signed
//   +6     flags (FLAG_*)
//   +7     stale threshold in minutes, 0 when off
class CStatusBlock
{
public:
    static constexpr int WORDS = 8;
    static constexpr quint16 FLAG_STALE = 1 << 0;
    static constexpr quint16 FLAG_LINK_LOGGED_IN = 1 << 1;
    static constexpr quint16 FLAG_NO_UPLINK_SINCE_START = 1 << 2;
    static constexpr quint32 NEVER = 0xFFFFFFFFu;

    struct SState
    {
        bool stored = false; // an uplink of the device was ever stored
        qint64 lastStoredMs = 0;
        quint32 fcnt = 0;
        qint16 rssi = 0;
        qint16 snrTenths = 0;
        bool sinceStart = false; // that uplink came after the gateway started
        bool linkLoggedIn = false;
        int staleMinutes = 0;
    };

    static quint32 secondsSince(const SState& state, qint64 nowMs);
    // Only with a threshold set; a device that never sent is stale from the start.
    static bool isStale(const SState& state, qint64 nowMs);
    static std::array<quint16, WORDS> words(const SState& state, qint64 nowMs);
    // The SNR the network reports (dB, any double) as the register holds it.
    static qint16 snrTenths(double snr);
};
