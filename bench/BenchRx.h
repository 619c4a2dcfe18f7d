#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "app/global.h"

// The "rx" message a network server pushes for uplink n of a device.
inline QByteArray benchRxMessage(const QString& devEui, const QString& payload, int n)
{
    const QJsonObject rx{{API::API_JSON_KEY_CMD, API::API_JSON_CMD_RX},
                         {API::API_JSON_KEY_TYPE, QStringLiteral("UNCONF_UP")},
                         {API::API_JSON_KEY_DEVEUI, devEui},
                         {API::API_JSON_KEY_DATA, payload},
                         {API::API_JSON_KEY_TS, 1700000000000.0 + n * 1000.0},
                         {API::API_JSON_KEY_MACBS, QStringLiteral("00800000a0001234")},
                         {API::API_JSON_KEY_ACK, false},
                         {API::API_JSON_KEY_FCNT, n},
                         {API::API_JSON_KEY_PORT, 2},
                         {API::API_JSON_KEY_FREQ, 868100000},
                         {API::API_JSON_KEY_DR, 5},
                         {API::API_JSON_KEY_RSSI, -70 - n % 30},
                         {API::API_JSON_KEY_SNR, 7.25}};
    return QJsonDocument(rx).toJson(QJsonDocument::Compact);
}
