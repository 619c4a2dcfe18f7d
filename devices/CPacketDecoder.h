#pragma once

#include <functional>

#include <QString>

#include "app/global.h"

// Turns one uplink of a registered device into register texts, by its template.
// Pure apart from the log lines, so it is tested without storage or sockets.
//
// A scaled number that does not fit its register width saturates instead of
// wrapping, as a SCADA reader expects: 1- and 2-byte fields to -32768..32767
// ("integer") or 0..65535 ("uinteger"), 4-byte fields to the 32-bit range and
// 8-byte fields to the 64-bit range of their type; NaN gives 0. Unscaled values
// (multiplier 1, extra value 0) pass bit-exact, also beyond 2^53. A field of
// 4 or 8 bytes whose register is chosen as float32 serves the float of its
// scaled value instead, and its words go in the register's order: the stored
// full value is what Modbus serves, so reads stay plain copies from memory.
class CPacketDecoder
{
public:
    // Scaling parameters of the register at an absolute address of a device.
    using ParamLookup = std::function<DB::SDbRegParamInfo(const QString& devEui, unsigned int regAddr)>;

    // Fills out with every register the packet carries. Returns false when the
    // packet is rejected whole (unknown packet type, wrong size): then nothing
    // is to be stored and no notification sent.
    static bool decode(const API::SApiDeviceData& packet, const DB::SDeviceRegMapDescription& registration,
                       const REGS::SDeviceTemplate& deviceTemplate, const ParamLookup& lookup,
                       DB::SDbDeviceRegDataSet& out);
};
