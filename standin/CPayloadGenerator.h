#pragma once

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>

#include "standin/StandinConfig.h"

// Produces one device's successive payloads: the packet type byte, then each
// configured field at its offset, zeros elsewhere.
class CPayloadGenerator
{
public:
    CPayloadGenerator(const SStandinDevice& device, uint32_t seed);

    QByteArray next();

private:
    int64_t nextValue(SStandinField& field);
    static void writeNumber(QByteArray& payload, const SStandinField& field, int64_t value);
    static void writeText(QByteArray& payload, const SStandinField& field);

    int packetType;
    int packetSize;
    QList<SStandinField> fields;
    bool started = false;
    QRandomGenerator random;
};
