#pragma once

// Configuration of the stand-in network server, read from its JSON file.

#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>

enum EFieldGenerator
{
    GEN_CONST = 0,
    GEN_COUNTER = 1,
    GEN_WANDER = 2,
    GEN_TEXT = 3,
};

// One payload field and the rule that produces its successive values.
struct SStandinField
{
    int offset = 1;
    int size = 1;
    bool bigEndian = false;
    EFieldGenerator generator = GEN_CONST;
    int64_t value = 0; // const value, counter start, wander start
    int64_t step = 0;  // counter step, largest wander move
    int64_t min = 0;
    int64_t max = 0;
    QByteArray text;
};

struct SStandinDevice
{
    QString devEui;
    QString devName;
    QString appEui;
    int periodMs = 10000;
    uint16_t port = 2;
    uint32_t freq = 868100000;
    int dr = 5;
    int rssi = -70;
    double snr = 9.5;
    int packetType = 1;
    int packetSize = 1;
    QList<SStandinField> fields;
};

struct SStandinConfig
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 8002;
    QString login;
    QString password;
    QString gatewayId = QStringLiteral("7A5200FFFE000001");
    int historySize = 20;
    uint32_t seed = 0; // 0: a fresh random seed on every start
    QList<SStandinDevice> devices;
};

// Fills config from the file's top object; on a fault returns false and says why.
bool readStandinConfig(const QJsonObject& obj, SStandinConfig& config, QString& error);
bool loadStandinConfig(const QString& fileName, SStandinConfig& config, QString& error);
