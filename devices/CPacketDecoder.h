#pragma once

#include <functional>

#include <QString>

#include "app/global.h"

// Turns one uplink of a registered device into register texts, by its template.
// Pure apart from the log lines, so it is tested without storage or sockets.
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
