// Takes arbitrary bytes as one WebSocket text message from the network server
// and runs every reader the server link may hand it to, whatever its command:
// the uplink record, the "rx", "get_data_resp" and "get_devices_resp" readers.
// Texts taken from the message also go through the builders of the requests
// the gateway sends, which must give them back unchanged.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/global.h"
#include "server/ApiMessages.h"

namespace {
void silentHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool isUnfilled(const API::SApiDeviceData& r)
{
    return !r.isValid && r.devEui.isEmpty() && r.ts == 0 && r.gatewayId.isEmpty() && !r.ack && r.fcnt == 0 &&
           r.port == 0 && r.data.isEmpty() && r.freq == 0 && r.dr == 0 && r.rssi == 0 && r.snr == 0.0;
}

bool sameRecord(const API::SApiDeviceData& a, const API::SApiDeviceData& b)
{
    // snr is compared by bits: a NaN is the same NaN.
    return a.isValid == b.isValid && a.devEui == b.devEui && a.ts == b.ts && a.gatewayId == b.gatewayId &&
           a.ack == b.ack && a.fcnt == b.fcnt && a.port == b.port && a.data == b.data && a.freq == b.freq &&
           a.dr == b.dr && a.rssi == b.rssi && memcmp(&a.snr, &b.snr, sizeof(double)) == 0;
}

// A valid record came from an uplink object with hexadecimal data.
void checkRecord(const API::SApiDeviceData& r, const QJsonObject& source)
{
    if (!r.isValid) {
        check(isUnfilled(r));
        return;
    }
    const QString data = source.value(API::API_JSON_KEY_DATA).toString();
    check(API::isUplinkType(source.value(API::API_JSON_KEY_TYPE).toString()) && API::isHexPayload(data));
    check(r.data.size() * 2 == data.size() && r.data.toHex() == data.toLatin1().toLower());
    check(r.devEui == r.devEui.toUpper() && r.gatewayId == r.gatewayId.toUpper());
    check(!r.gatewayId.contains(QLatin1Char('+')));
}

QJsonObject parseCompact(const QString& message)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8(), &error);
    check(error.error == QJsonParseError::NoError && doc.isObject());
    return doc.object();
}

// The request builders must carry any text through JSON unchanged.
void checkBuilders(const QJsonObject& obj)
{
    const QString login = obj.value(API::API_JSON_KEY_LOGIN).toString();
    const QString password = obj.value(API::API_JSON_KEY_PASSWORD).toString();
    const QJsonObject auth = parseCompact(API::authRequestMessage(login, password));
    check(auth.value(API::API_JSON_KEY_CMD).toString() == API::API_JSON_CMD_AUTHREQ);
    check(auth.value(API::API_JSON_KEY_LOGIN).toString() == login);
    check(auth.value(API::API_JSON_KEY_PASSWORD).toString() == password);

    const QString devEui = obj.value(API::API_JSON_KEY_DEVEUI).toString();
    const QJsonObject request = parseCompact(API::deviceDataRequestMessage(devEui));
    check(request.value(API::API_JSON_KEY_DEVEUI).toString() == devEui.toUpper());
    check(request.value(API::API_JSON_KEY_CMD).toString() == API::API_JSON_CMD_GETDEVDATAREQ);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool silenced = [] {
        qInstallMessageHandler(silentHandler);
        return true;
    }();
    Q_UNUSED(silenced)

    // The server link receives text; its bytes go back through UTF-8 to the parser.
    const QString message = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (!doc.isObject())
        return 0;
    const QJsonObject obj = doc.object();

    const API::SApiDeviceData record(obj);
    checkRecord(record, obj);

    API::SApiDeviceData rx;
    if (API::readRxMessage(obj, rx)) {
        check(sameRecord(rx, record) && rx.isValid && !rx.devEui.isEmpty());
    } else {
        check(isUnfilled(rx) && record.devEui.isEmpty());
    }

    API::SApiDeviceData answer;
    if (API::readDataResp(obj, answer)) {
        const QString devEui = obj.value(API::API_JSON_KEY_DEVEUI).toString().toUpper();
        check(obj.value(API::API_JSON_KEY_STATUS).toBool() && answer.isValid && answer.devEui == devEui &&
              !devEui.isEmpty());
        // The first valid uplink of the list, with the answer's device EUI.
        bool found = false;
        for (const QJsonValue& item : obj.value(API::API_JSON_KEY_DATALIST).toArray()) {
            API::SApiDeviceData first(item.toObject());
            checkRecord(first, item.toObject());
            if (!first.isValid)
                continue;
            first.devEui = devEui;
            check(sameRecord(first, answer));
            found = true;
            break;
        }
        check(found);
    } else {
        check(isUnfilled(answer));
    }

    QList<API::SServerDeviceInfo> devices{API::SServerDeviceInfo{"stale", "stale", "stale"}};
    const bool listed = API::readDevicesListResp(obj, devices);
    check(listed == obj.value(API::API_JSON_KEY_STATUS).toBool());
    check(listed || devices.isEmpty());
    check(devices.size() <= obj.value(API::API_JSON_KEY_DEVLIST).toArray().size());
    for (const API::SServerDeviceInfo& device : qAsConst(devices))
        check(!device.appEui.isEmpty());

    checkBuilders(obj);
    return 0;
}
