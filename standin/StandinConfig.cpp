#include "standin/StandinConfig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {
// The largest LoRaWAN application payload.
const int MAX_PACKET_SIZE = 242;
const int MIN_PERIOD_MS = 10;
// Keeps the random move's range inside 32 bits.
const int64_t MAX_WANDER_STEP = 1000000000;

bool isHexEui(const QString& text)
{
    if (text.isEmpty() || text.size() > 16)
        return false;
    for (const QChar c : text) {
        if (!QStringLiteral("0123456789abcdefABCDEF").contains(c))
            return false;
    }
    return true;
}

int64_t readInt(const QJsonObject& obj, const QString& key, int64_t def)
{
    const QJsonValue v = obj.value(key);
    return v.isDouble() ? static_cast<int64_t>(v.toDouble()) : def;
}

bool readGenerator(const QJsonObject& obj, SStandinField& field, QString& error)
{
    const QString gen = obj.value(QStringLiteral("generator")).toString();
    field.value = readInt(obj, QStringLiteral("value"), 0);
    field.step = readInt(obj, QStringLiteral("step"), 1);
    if (gen == QLatin1String("const")) {
        field.generator = GEN_CONST;
    } else if (gen == QLatin1String("counter")) {
        field.generator = GEN_COUNTER;
        field.value = readInt(obj, QStringLiteral("start"), 0);
    } else if (gen == QLatin1String("wander")) {
        field.generator = GEN_WANDER;
        field.min = readInt(obj, QStringLiteral("min"), 0);
        field.max = readInt(obj, QStringLiteral("max"), 0);
        field.value = readInt(obj, QStringLiteral("start"), field.min + (field.max - field.min) / 2);
        if (field.min > field.max || field.step < 0 || field.step > MAX_WANDER_STEP ||
            field.value < field.min || field.value > field.max) {
            error =
                QStringLiteral("wander needs min <= start <= max and 0 <= step <= %1").arg(MAX_WANDER_STEP);
            return false;
        }
    } else if (gen == QLatin1String("text")) {
        field.generator = GEN_TEXT;
        field.text = obj.value(QStringLiteral("text")).toString().toUtf8();
    } else {
        error = QStringLiteral("unknown generator \"%1\"").arg(gen);
        return false;
    }
    return true;
}

bool readField(const QJsonObject& obj, int packetSize, SStandinField& field, QString& error)
{
    field.offset = static_cast<int>(readInt(obj, QStringLiteral("offset"), -1));
    field.size = static_cast<int>(readInt(obj, QStringLiteral("size"), -1));
    const QString order = obj.value(QStringLiteral("order")).toString(QStringLiteral("le"));
    if (order != QLatin1String("le") && order != QLatin1String("be")) {
        error = QStringLiteral("order must be \"le\" or \"be\"");
        return false;
    }
    field.bigEndian = order == QLatin1String("be");
    // Byte 0 is the packet type, so fields start at 1.
    if (field.offset < 1 || field.size < 1 || field.offset + field.size > packetSize) {
        error = QStringLiteral("field at offset %1 size %2 does not fit a %3-byte packet")
                    .arg(field.offset)
                    .arg(field.size)
                    .arg(packetSize);
        return false;
    }
    if (!readGenerator(obj, field, error))
        return false;
    if (field.generator != GEN_TEXT && field.size > 8) {
        error = QStringLiteral("numeric field at offset %1 is wider than 8 bytes").arg(field.offset);
        return false;
    }
    return true;
}

bool readDeviceRadio(const QJsonObject& obj, SStandinDevice& dev, QString& error)
{
    dev.devEui = obj.value(QStringLiteral("dev_eui")).toString().toUpper();
    dev.devName = obj.value(QStringLiteral("dev_name")).toString();
    dev.appEui = obj.value(QStringLiteral("app_eui")).toString();
    if (!isHexEui(dev.devEui) || !isHexEui(dev.appEui)) {
        error = QStringLiteral("dev_eui and app_eui must be hexadecimal EUIs");
        return false;
    }
    dev.periodMs = static_cast<int>(readInt(obj, QStringLiteral("period_ms"), dev.periodMs));
    if (dev.periodMs < MIN_PERIOD_MS) {
        error = QStringLiteral("period_ms must be at least %1").arg(MIN_PERIOD_MS);
        return false;
    }
    dev.port = static_cast<uint16_t>(readInt(obj, QStringLiteral("port"), dev.port));
    dev.freq = static_cast<uint32_t>(readInt(obj, QStringLiteral("freq"), dev.freq));
    dev.dr = static_cast<int>(readInt(obj, QStringLiteral("dr"), dev.dr));
    dev.rssi = static_cast<int>(readInt(obj, QStringLiteral("rssi"), dev.rssi));
    dev.snr = obj.value(QStringLiteral("snr")).toDouble(dev.snr);
    return true;
}

bool readDevice(const QJsonObject& obj, SStandinDevice& dev, QString& error)
{
    if (!readDeviceRadio(obj, dev, error))
        return false;
    dev.packetType = static_cast<int>(readInt(obj, QStringLiteral("packet_type"), -1));
    dev.packetSize = static_cast<int>(readInt(obj, QStringLiteral("packet_size"), -1));
    if (dev.packetType < 0 || dev.packetType > 255 || dev.packetSize < 1 ||
        dev.packetSize > MAX_PACKET_SIZE) {
        error = QStringLiteral("packet_type must be 0..255 and packet_size 1..%1").arg(MAX_PACKET_SIZE);
        return false;
    }
    const QJsonArray fields = obj.value(QStringLiteral("fields")).toArray();
    for (const QJsonValue& item : fields) {
        SStandinField field;
        if (!readField(item.toObject(), dev.packetSize, field, error))
            return false;
        dev.fields.append(field);
    }
    return true;
}
} // namespace

bool readStandinConfig(const QJsonObject& obj, SStandinConfig& config, QString& error)
{
    config = SStandinConfig();
    config.host = obj.value(QStringLiteral("host")).toString(config.host);
    config.port = static_cast<int>(readInt(obj, QStringLiteral("port"), config.port));
    config.login = obj.value(QStringLiteral("login")).toString();
    config.password = obj.value(QStringLiteral("password")).toString();
    config.gatewayId = obj.value(QStringLiteral("gateway_id")).toString(config.gatewayId);
    config.historySize = static_cast<int>(readInt(obj, QStringLiteral("history_size"), config.historySize));
    config.seed = static_cast<uint32_t>(readInt(obj, QStringLiteral("seed"), 0));
    if (config.port < 0 || config.port > 65535 || config.historySize < 1) {
        error = QStringLiteral("port must be 0..65535 and history_size at least 1");
        return false;
    }
    if (config.login.isEmpty()) {
        error = QStringLiteral("login must not be empty");
        return false;
    }
    const QJsonArray devices = obj.value(QStringLiteral("devices")).toArray();
    for (int i = 0; i < devices.size(); ++i) {
        SStandinDevice dev;
        if (!readDevice(devices.at(i).toObject(), dev, error)) {
            error = QStringLiteral("device %1: %2").arg(QString::number(i), error);
            return false;
        }
        config.devices.append(dev);
    }
    return true;
}

bool loadStandinConfig(const QString& fileName, SStandinConfig& config, QString& error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot open %1").arg(fileName);
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        error = QStringLiteral("%1 is not a JSON object: %2").arg(fileName, parseError.errorString());
        return false;
    }
    return readStandinConfig(doc.object(), config, error);
}
