#include "loadtest/LoadPlan.h"

namespace {
// A day: the stand-in's own timers must never fire during a run.
const int IDLE_PERIOD_MS = 24 * 3600 * 1000;

uint32_t wordPair(const uint16_t* words, int offset)
{
    return (uint32_t(words[offset]) << 16) | words[offset + 1];
}
} // namespace

QList<SLoadDevice> makeLoadDevices(int count, int ports)
{
    QList<SLoadDevice> devices;
    for (int i = 0; i < count; ++i) {
        SLoadDevice device;
        device.index = i;
        device.devEui = QStringLiteral("7A5210000000%1").arg(i, 4, 16, QLatin1Char('0')).toUpper();
        device.portIndex = i % ports;
        // Gaps of 12 registers leave 5 unmapped words between neighbours, so
        // a read that strays into a neighbour shows as a wrong device.
        device.startAddr = 40 + 1000 * device.portIndex + 12 * (i / ports);
        device.counterStart = 100000u * uint32_t(i + 1);
        // Odd multiplier: distinct for every index, and it fills all 32 bits.
        device.signature = 0x9E3779B9u * uint32_t(i + 1);
        devices.append(device);
    }
    return devices;
}

SStandinDevice makeStandinDevice(const SLoadDevice& device)
{
    SStandinDevice dev;
    dev.devEui = device.devEui;
    dev.devName = QStringLiteral("Load meter %1").arg(device.index);
    dev.appEui = LOAD::LOAD_APP_EUI;
    dev.periodMs = IDLE_PERIOD_MS;
    dev.packetType = 1;
    dev.packetSize = LOAD::LOAD_PACKET_SIZE;

    SStandinField counter;
    counter.offset = 1;
    counter.size = 4;
    counter.bigEndian = true;
    counter.generator = GEN_COUNTER;
    counter.value = device.counterStart;
    counter.step = 1;

    SStandinField number;
    number.offset = 5;
    number.size = 2;
    number.generator = GEN_CONST;
    number.value = device.index;

    SStandinField signature;
    signature.offset = 7;
    signature.size = 4;
    signature.generator = GEN_CONST;
    signature.value = device.signature;

    dev.fields = {counter, number, signature};
    return dev;
}

SDecodedAnswer decodeAnswer(const uint16_t* words)
{
    SDecodedAnswer answer;
    answer.counter = wordPair(words, LOAD::LOAD_REG_COUNTER);
    answer.index = words[LOAD::LOAD_REG_INDEX];
    answer.signature = wordPair(words, LOAD::LOAD_REG_SIGNATURE);
    answer.fcnt = wordPair(words, LOAD::LOAD_REG_FCNT);
    return answer;
}

EAnswerVerdict judgeAnswer(const SLoadDevice& device, const uint16_t* words, int64_t sentUpTo,
                           int64_t& lastSeen)
{
    bool allZero = true;
    for (int i = 0; i < LOAD::LOAD_REG_COUNT; ++i)
        allZero = allZero && words[i] == 0;
    if (allZero)
        return lastSeen < 0 ? ANSWER_NOT_STORED_YET : ANSWER_VANISHED;

    const SDecodedAnswer answer = decodeAnswer(words);
    if (answer.index != uint16_t(device.index) || answer.signature != device.signature)
        return ANSWER_WRONG_DEVICE;
    // The counter runs in step with fcnt, so one uplink gives one difference.
    if (uint32_t(answer.counter - answer.fcnt) != device.counterStart)
        return ANSWER_TORN;
    if (int64_t(answer.fcnt) > sentUpTo)
        return ANSWER_AHEAD;
    if (int64_t(answer.fcnt) < lastSeen)
        return ANSWER_BACKWARDS;
    lastSeen = answer.fcnt;
    return ANSWER_OK;
}

const char* verdictText(EAnswerVerdict verdict)
{
    switch (verdict) {
    case ANSWER_OK:
        return "ok";
    case ANSWER_NOT_STORED_YET:
        return "not stored yet";
    case ANSWER_WRONG_DEVICE:
        return "another device's values";
    case ANSWER_TORN:
        return "counter and fcnt of different uplinks";
    case ANSWER_BACKWARDS:
        return "fcnt went backwards";
    case ANSWER_AHEAD:
        return "fcnt ahead of the sent ones";
    case ANSWER_VANISHED:
        return "stored values vanished";
    }
    return "?";
}

uint32_t percentile(const std::vector<uint32_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(p * double(sorted.size() - 1) + 0.5);
    return sorted.at(rank < sorted.size() ? rank : sorted.size() - 1);
}
