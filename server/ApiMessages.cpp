#include "server/ApiMessages.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVariant>

namespace {
const QString PING_CMD = QStringLiteral("cmd");
const QString UPLINK_TYPES_SEPARATOR = QStringLiteral("+");

QString toCompactText(const QJsonObject& obj)
{
    return QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
}

QString firstPartUpper(const QString& text)
{
    return text.split(UPLINK_TYPES_SEPARATOR, Qt::KeepEmptyParts).first().toUpper();
}
} // namespace

namespace API {

QString pingMessage()
{
    return toCompactText({{API_JSON_KEY_CMD, PING_CMD}});
}

QString authRequestMessage(const QString& login, const QString& password)
{
    return toCompactText({{API_JSON_KEY_CMD, API_JSON_CMD_AUTHREQ},
                          {API_JSON_KEY_LOGIN, login},
                          {API_JSON_KEY_PASSWORD, password}});
}

QString devicesListRequestMessage()
{
    return toCompactText({{API_JSON_KEY_CMD, API_JSON_CMD_GETDEVREGINFOREQ}});
}

QString deviceDataRequestMessage(const QString& devEui)
{
    const QJsonObject select{{API_JSON_KEY_LIMIT, API_JSON_VALUE_LIMIT},
                             {API_JSON_KEY_DIRECTION, API_JSON_VALUE_UPLINK}};
    return toCompactText({{API_JSON_KEY_CMD, API_JSON_CMD_GETDEVDATAREQ},
                          {API_JSON_KEY_DEVEUI, devEui.toUpper()},
                          {API_JSON_KEY_SELECT, select}});
}

bool isUplinkType(const QString& type)
{
    const QStringList parts = type.split(UPLINK_TYPES_SEPARATOR, Qt::KeepEmptyParts);
    return parts.contains(ApiLorawanPacketType.at(0)) || parts.contains(ApiLorawanPacketType.at(2));
}

bool isHexPayload(const QString& text)
{
    if (text.size() % 2 != 0)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        const bool digit = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!digit)
            return false;
    }
    return true;
}

SApiDeviceData::SApiDeviceData(const QJsonObject& obj)
{
    if (obj.isEmpty())
        return;
    if (!obj.contains(API_JSON_KEY_TYPE)) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] Uncknown JSON message format!");
        return;
    }
    const QString type = obj.value(API_JSON_KEY_TYPE).toString();
    if (!isUplinkType(type)) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] Not UPLINK message: ") + type;
        return;
    }
    if (!obj.contains(API_JSON_KEY_DATA)) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] DATA is not exist");
        return;
    }
    // A payload that is not hex text would decode into bytes nobody sent.
    const QJsonValue dataValue = obj.value(API_JSON_KEY_DATA);
    if (!dataValue.isString() || !isHexPayload(dataValue.toString())) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] DATA is not hexadecimal");
        return;
    }

    devEui = obj.value(API_JSON_KEY_DEVEUI).toString().toUpper();
    ts = obj.value(API_JSON_KEY_TS).toVariant().toULongLong();
    gatewayId = firstPartUpper(obj.value(API_JSON_KEY_MACBS).toString());
    ack = obj.value(API_JSON_KEY_ACK).toBool();
    fcnt = obj.value(API_JSON_KEY_FCNT).toVariant().toUInt();
    port = static_cast<uint16_t>(obj.value(API_JSON_KEY_PORT).toInt());
    data = QByteArray::fromHex(dataValue.toString().toLatin1());
    freq = obj.value(API_JSON_KEY_FREQ).toVariant().toUInt();
    dr = static_cast<int16_t>(obj.value(API_JSON_KEY_DR).toInt());
    rssi = static_cast<int16_t>(obj.value(API_JSON_KEY_RSSI).toInt());
    snr = obj.value(API_JSON_KEY_SNR).toDouble();
    isValid = true;
}

bool readDevicesListResp(const QJsonObject& obj, QList<SServerDeviceInfo>& devices)
{
    devices.clear();
    if (!obj.value(API_JSON_KEY_STATUS).toBool())
        return false;
    const QJsonArray list = obj.value(API_JSON_KEY_DEVLIST).toArray();
    for (const QJsonValue& item : list) {
        const QJsonObject dev = item.toObject();
        if (!dev.contains(API_JSON_KEY_DEVEUI) || !dev.contains(API_JSON_KEY_DEVNAME) ||
            !dev.contains(API_JSON_KEY_OTAA))
            continue;
        SServerDeviceInfo info;
        info.devName = dev.value(API_JSON_KEY_DEVNAME).toString();
        info.appEui = dev.value(API_JSON_KEY_OTAA).toObject().value(API_JSON_KEY_OTAA_APPEUI).toString();
        info.devEui = dev.value(API_JSON_KEY_DEVEUI).toString();
        if (!info.appEui.isEmpty())
            devices.append(info);
    }
    return true;
}

bool readDataResp(const QJsonObject& obj, SApiDeviceData& packet)
{
    if (!obj.value(API_JSON_KEY_STATUS).toBool())
        return false;
    const QString devEui = obj.value(API_JSON_KEY_DEVEUI).toString().toUpper();
    if (devEui.isEmpty() || !obj.contains(API_JSON_KEY_DATALIST))
        return false;
    const QJsonArray list = obj.value(API_JSON_KEY_DATALIST).toArray();
    for (const QJsonValue& item : list) {
        SApiDeviceData record(item.toObject());
        if (!record.isValid)
            continue;
        record.devEui = devEui;
        packet = record;
        return true;
    }
    return false;
}

bool readRxMessage(const QJsonObject& obj, SApiDeviceData& packet)
{
    const SApiDeviceData record(obj);
    if (record.devEui.isEmpty())
        return false;
    packet = record;
    return true;
}

} // namespace API
