#include "standin/CPayloadGenerator.h"

#include <algorithm>

CPayloadGenerator::CPayloadGenerator(const SStandinDevice& device, uint32_t seed)
    : packetType(device.packetType), packetSize(device.packetSize), fields(device.fields), random(seed)
{
}

QByteArray CPayloadGenerator::next()
{
    QByteArray payload(packetSize, '\0');
    payload[0] = static_cast<char>(packetType);
    for (SStandinField& field : fields) {
        if (field.generator == GEN_TEXT)
            writeText(payload, field);
        else
            writeNumber(payload, field, nextValue(field));
    }
    started = true;
    return payload;
}

int64_t CPayloadGenerator::nextValue(SStandinField& field)
{
    // The first packet shows the configured start values as they are.
    if (!started)
        return field.value;
    if (field.generator == GEN_COUNTER) {
        field.value =
            static_cast<int64_t>(static_cast<uint64_t>(field.value) + static_cast<uint64_t>(field.step));
    } else if (field.generator == GEN_WANDER && field.step > 0) {
        const int64_t move =
            static_cast<int64_t>(random.bounded(static_cast<quint32>(2 * field.step + 1))) - field.step;
        field.value = std::clamp(field.value + move, field.min, field.max);
    }
    return field.value;
}

void CPayloadGenerator::writeNumber(QByteArray& payload, const SStandinField& field, int64_t value)
{
    const uint64_t bits = static_cast<uint64_t>(value);
    for (int i = 0; i < field.size; ++i) {
        const int shift = field.bigEndian ? 8 * (field.size - 1 - i) : 8 * i;
        payload[field.offset + i] = static_cast<char>((bits >> shift) & 0xFF);
    }
}

void CPayloadGenerator::writeText(QByteArray& payload, const SStandinField& field)
{
    for (int i = 0; i < field.size && i < field.text.size(); ++i)
        payload[field.offset + i] = field.text.at(i);
}
