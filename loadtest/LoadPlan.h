#pragma once

// What the load run registers and sends, and how one Modbus answer about a
// device is judged against what the stand-in has sent.

#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

#include "standin/StandinConfig.h"

namespace LOAD {
// The load template's key; its file lies beside this header.
inline const QString LOAD_APP_EUI = QStringLiteral("7A5200000000F00D");
// Register offsets from a device's start address, as the template maps them.
constexpr int LOAD_REG_COUNTER = 0;   // 32 bits, +1 per uplink
constexpr int LOAD_REG_INDEX = 2;     // 16 bits, the device's number
constexpr int LOAD_REG_SIGNATURE = 3; // 32 bits, constant per device
constexpr int LOAD_REG_FCNT = 5;      // 32 bits, the uplink's frame counter
constexpr int LOAD_REG_COUNT = 7;
constexpr int LOAD_PACKET_SIZE = 11;
} // namespace LOAD

struct SLoadDevice
{
    int index = 0;
    QString devEui;
    int portIndex = 0;
    int startAddr = 0;
    uint32_t counterStart = 0; // the counter of the uplink with fcnt 0
    uint32_t signature = 0;
};

// Devices spread round-robin over the ports, at different start addresses.
QList<SLoadDevice> makeLoadDevices(int count, int ports);

// The stand-in's view of the same devices; uplinks are sent by the run
// itself, so their own timers are set beyond any run's end.
SStandinDevice makeStandinDevice(const SLoadDevice& device);

enum EAnswerVerdict
{
    ANSWER_OK = 0,
    ANSWER_NOT_STORED_YET = 1, // all zero before the device's first stored uplink
    ANSWER_WRONG_DEVICE = 2,   // number or signature of another device, or garbage
    ANSWER_TORN = 3,           // counter and fcnt from different uplinks
    ANSWER_BACKWARDS = 4,      // fcnt lower than this client saw before
    ANSWER_AHEAD = 5,          // fcnt the stand-in has not sent yet
    ANSWER_VANISHED = 6,       // all zero after a stored value was seen
};

struct SDecodedAnswer
{
    uint32_t counter = 0;
    uint16_t index = 0;
    uint32_t signature = 0;
    uint32_t fcnt = 0;
};

SDecodedAnswer decodeAnswer(const uint16_t* words);

// words: the LOAD_REG_COUNT registers from the device's start address.
// sentUpTo: highest fcnt sent for the device so far (-1: none), read after
// the answer arrived. lastSeen: this client's last fcnt of the device (-1:
// none yet), advanced on a good answer.
EAnswerVerdict judgeAnswer(const SLoadDevice& device, const uint16_t* words, int64_t sentUpTo,
                           int64_t& lastSeen);
const char* verdictText(EAnswerVerdict verdict);

// p in [0, 1] over ascending samples; 0 when there are none.
uint32_t percentile(const std::vector<uint32_t>& sorted, double p);
