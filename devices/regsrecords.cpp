// Template records read from the JSON of a device template file.

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

#include "app/CLogFile.h"
#include "app/global.h"

namespace REGS {

const QMap<QString, SServerDataTemplate> RegsServerDataTemplates = {
    {REGS_JSON_KEY_CODE_TS, {REGS_JSON_KEY_CODE_TS, 64, REGS_JSON_KEY_TYPE_UINT}},
    {REGS_JSON_KEY_CODE_RSSI, {REGS_JSON_KEY_CODE_RSSI, 16, REGS_JSON_KEY_TYPE_INT}},
    {REGS_JSON_KEY_CODE_GATEWAYID, {REGS_JSON_KEY_CODE_GATEWAYID, 64, REGS_JSON_KEY_TYPE_TEXT}},
    {REGS_JSON_KEY_CODE_DEVEUI, {REGS_JSON_KEY_CODE_DEVEUI, 64, REGS_JSON_KEY_TYPE_TEXT}},
    {REGS_JSON_KEY_CODE_SNR, {REGS_JSON_KEY_CODE_SNR, 16, REGS_JSON_KEY_TYPE_INT}},
    {REGS_JSON_KEY_CODE_FCNT, {REGS_JSON_KEY_CODE_FCNT, 32, REGS_JSON_KEY_TYPE_UINT}},
};

namespace {

enum EKeyCheck
{
    KEYS_OK,
    KEYS_MISSING,
    KEYS_NULL,
};

// Required keys must be present (else the input is invalid) and not null.
EKeyCheck checkRequired(const QJsonObject& obj, const QStringList& keys)
{
    for (const QString& key : keys)
        if (!obj.contains(key))
            return KEYS_MISSING;
    for (const QString& key : keys)
        if (obj.value(key).isNull())
            return KEYS_NULL;
    return KEYS_OK;
}

// Writes the record's rejection line; true when all required keys are usable.
bool requireKeys(const QJsonObject& obj, const QStringList& keys, const char* record)
{
    switch (checkRequired(obj, keys)) {
    case KEYS_MISSING:
        qDebug().noquote() << QStringLiteral("[%1] Invalid input JSON").arg(QLatin1String(record));
        return false;
    case KEYS_NULL:
        qDebug().noquote()
            << QStringLiteral("[%1] One or several values of input JSON is NULL").arg(QLatin1String(record));
        return false;
    case KEYS_OK:
        break;
    }
    return true;
}

int readInt(const QJsonObject& obj, const QString& key)
{
    return obj.value(key).toInt(0);
}

const QString LOG_BAD_FORMAT =
    QStringLiteral("WARNING: [SDevicePacketField] Field [%1]: %2 [%3] does not apply to it, ignored");

// Optional keys: a field without them, or with a value that cannot apply, is
// served as it always was.
FMT::SRegisterFormat readFormat(const QJsonObject& obj, const QString& name, int bitSize, const QString& type)
{
    FMT::SRegisterFormat format;
    const QString servedAs = obj.value(FMT::JSON_KEY_SERVEDAS).toString();
    if (obj.contains(FMT::JSON_KEY_SERVEDAS)) {
        format.asFloat = servedAs.compare(FMT::TYPE_FLOAT32, Qt::CaseInsensitive) == 0 &&
                         FMT::canServeFloat(bitSize, type);
        if (!format.asFloat)
            addLog(LOG_BAD_FORMAT.arg(name, FMT::JSON_KEY_SERVEDAS, servedAs));
    }
    const QString order = obj.value(FMT::JSON_KEY_WORDORDER).toString();
    if (obj.contains(FMT::JSON_KEY_WORDORDER) &&
        (!FMT::parseWordOrder(order, format.wordOrder) || !FMT::hasWordOrder(bitSize, type))) {
        format.wordOrder = FMT::ORDER_ABCD;
        addLog(LOG_BAD_FORMAT.arg(name, FMT::JSON_KEY_WORDORDER, order));
    }
    return format;
}

} // namespace

SDevicePacketField::SDevicePacketField(const QJsonObject& obj)
{
    if (obj.isEmpty()) {
        qDebug() << "[SDevicePacketField] Empty input JSON";
        return;
    }
    if (obj.contains(REGS_JSON_KEY_ENDIANNESS)) {
        const QString word = obj.value(REGS_JSON_KEY_ENDIANNESS).toString().toLower();
        if (word == REGS_ENDIAN_LE) {
            endianness = 0;
        } else if (word == REGS_ENDIAN_BE) {
            endianness = 1;
        } else {
            qDebug() << "[SDevicePacketField] Invalid endianness field value, can be \"le\" or \"be\"";
            return;
        }
    }
    const QStringList required = {REGS_JSON_KEY_PACKETBIAS,  REGS_JSON_KEY_DATABITBIAS,
                                  REGS_JSON_KEY_DATABITSIZE, REGS_JSON_KEY_DATATYPE,
                                  REGS_JSON_KEY_REGMAPBIAS,  REGS_JSON_KEY_REGBITBIAS,
                                  REGS_JSON_KEY_REGBITSIZE,  REGS_JSON_KEY_DATANAME};
    if (!requireKeys(obj, required, "SDevicePacketField"))
        return;
    packetBias = readInt(obj, REGS_JSON_KEY_PACKETBIAS);
    dataBitBias = readInt(obj, REGS_JSON_KEY_DATABITBIAS);
    dataBitSize = readInt(obj, REGS_JSON_KEY_DATABITSIZE);
    dataType = obj.value(REGS_JSON_KEY_DATATYPE).toString();
    regMapBias = readInt(obj, REGS_JSON_KEY_REGMAPBIAS);
    regBitBias = readInt(obj, REGS_JSON_KEY_REGBITBIAS);
    regBitSize = readInt(obj, REGS_JSON_KEY_REGBITSIZE);
    dataName = obj.value(REGS_JSON_KEY_DATANAME).toString();
    format = readFormat(obj, dataName, regBitSize, dataType);
    isValid = true;
}

SDevicePacket::SDevicePacket(const QJsonObject& obj)
{
    if (obj.isEmpty())
        return;
    if (!requireKeys(obj, {REGS_JSON_KEY_PACKETTYPE, REGS_JSON_KEY_PACKETFIELDS}, "SDevicePacket"))
        return;
    packetType = readInt(obj, REGS_JSON_KEY_PACKETTYPE);
    if (obj.contains(REGS_JSON_KEY_PACKETSIZE) && !obj.value(REGS_JSON_KEY_PACKETSIZE).isNull())
        packetSize = readInt(obj, REGS_JSON_KEY_PACKETSIZE);
    const QJsonArray fields = obj.value(REGS_JSON_KEY_PACKETFIELDS).toArray();
    if (fields.isEmpty()) {
        qDebug() << "[SDevicePacket] Packet fields array is empty";
        return;
    }
    for (const QJsonValue& value : fields) {
        const SDevicePacketField field(value.toObject());
        if (field.isValid)
            packetFields.append(field);
    }
    isValid = !packetFields.isEmpty();
}

SServerData::SServerData(const QJsonObject& obj)
{
    if (obj.isEmpty()) {
        qDebug() << "[SServerData] Empty input JSON";
        return;
    }
    const QStringList required = {REGS_JSON_KEY_DATACODE, REGS_JSON_KEY_REGMAPBIAS, REGS_JSON_KEY_REGBITBIAS,
                                  REGS_JSON_KEY_REGBITSIZE, REGS_JSON_KEY_DATANAME};
    if (!requireKeys(obj, required, "SServerData"))
        return;
    dataCode = obj.value(REGS_JSON_KEY_DATACODE).toString();
    const auto entry = RegsServerDataTemplates.constFind(dataCode);
    if (entry == RegsServerDataTemplates.constEnd()) {
        addLog(QStringLiteral("ERROR: [SServerData] Server keyword [%1] is unknown!").arg(dataCode));
        return;
    }
    bitSize = entry->bitSize;
    dataType = entry->dataType;
    qDebug().noquote()
        << QStringLiteral("[%1] - bitSize[%2], type[%3]").arg(dataCode, QString::number(bitSize), dataType);
    regMapBias = readInt(obj, REGS_JSON_KEY_REGMAPBIAS);
    regBitBias = readInt(obj, REGS_JSON_KEY_REGBITBIAS);
    regBitSize = readInt(obj, REGS_JSON_KEY_REGBITSIZE);
    dataName = obj.value(REGS_JSON_KEY_DATANAME).toString();
    isValid = true;
}

SDeviceTemplate::SDeviceTemplate(const QJsonObject& obj)
{
    if (obj.isEmpty()) {
        qDebug() << "[SDeviceTemplate] Empty input JSON";
        return;
    }
    if (!requireKeys(obj, {REGS_JSON_KEY_APPEUI, REGS_JSON_KEY_DEVTYPE, REGS_JSON_KEY_DEVPACKETS},
                     "SDeviceTemplate"))
        return;
    appEui = obj.value(REGS_JSON_KEY_APPEUI).toString().toUpper();
    devType = obj.value(REGS_JSON_KEY_DEVTYPE).toString();
    for (const QJsonValue& value : obj.value(REGS_JSON_KEY_DEVPACKETS).toArray()) {
        const SDevicePacket packet(value.toObject());
        if (packet.isValid)
            devicePackets.insert(static_cast<unsigned int>(packet.packetType), packet);
    }
    if (devicePackets.isEmpty()) {
        qDebug() << "[SDeviceTemplate] Device packets array is empty";
        return;
    }
    isValid = true;
    if (obj.contains(REGS_JSON_KEY_SERVERDATA) && !obj.value(REGS_JSON_KEY_SERVERDATA).isNull()) {
        for (const QJsonValue& value : obj.value(REGS_JSON_KEY_SERVERDATA).toArray()) {
            const SServerData datum(value.toObject());
            if (datum.isValid)
                serverData.insert(datum.dataCode, datum);
        }
    }
    if (obj.contains(REGS_JSON_KEY_COLOR)) {
        const QString name = obj.value(REGS_JSON_KEY_COLOR).toString();
        QColor parsed;
        parsed.setNamedColor(name);
        if (parsed.isValid())
            color = parsed;
        else
            qDebug().noquote() << QStringLiteral("[SDeviceTemplate] Invalid color name [%1]").arg(name);
    }
}

} // namespace REGS
