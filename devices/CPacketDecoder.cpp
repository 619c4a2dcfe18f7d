#include "devices/CPacketDecoder.h"

#include <cmath>
#include <limits>

#include <QByteArray>
#include <QtGlobal>

#include "app/CLogFile.h"

namespace {
const QString LOG_UNKNOWN_CODE =
    QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Uncknown DataCode [%1]!");
const QString LOG_UNKNOWN_TYPE =
    QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [%1]");
const QString LOG_INVALID_SIZE = QStringLiteral(
    "WARNING: [CAllDeviceHandler::processDataSlot] Invalid size of packet [%1][%2]. Expect [%3], real [%4]");
const QString LOG_UNALIGNED =
    QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional");
const QString LOG_BAD_LENGTH =
    QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Unsupport size of data [%1]");
const QString LOG_BAD_TYPE =
    QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Unsupport data type [%1] for size [%2]");
const QString LOG_OUT_OF_BOUNDS =
    QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Field [%1] is out of packet bounds");

// Payloads arrive from outside; a log line shows the first bytes only.
const int LOG_PAYLOAD_BYTES = 64;

QString payloadHex(const QByteArray& payload)
{
    const QString hex = QString::fromLatin1(payload.left(LOG_PAYLOAD_BYTES).toHex());
    return payload.size() > LOG_PAYLOAD_BYTES ? hex + QStringLiteral("...") : hex;
}

// Register offsets wrap instead of overflowing on absurd template values.
int offsetAfter(int base, int k)
{
    return static_cast<int>(static_cast<unsigned int>(base) + static_cast<unsigned int>(k));
}

// Low `width` hexadecimal digits of a two's complement image, lower case, zero-padded.
QString hexDigits(quint64 bits, int width)
{
    if (width < 16)
        bits &= (quint64(1) << (4 * width)) - 1;
    return QString::number(bits, 16).rightJustified(width, QLatin1Char('0'));
}

// Appends `regCount` registers cut from `text` four characters at a time,
// starting at character `firstChar`; the first register carries `fullValue`.
void appendRegisters(DB::SDbDeviceRegDataSet& out, const QString& text, int firstChar, int regCount, int base,
                     const QString& fullValue)
{
    for (int k = 0; k < regCount; ++k)
        out.appendRewriteData(text.mid(firstChar + 4 * k, 4), offsetAfter(base, k),
                              k == 0 ? fullValue : QString());
}

// A narrower register range keeps the low-order end of the identifier.
void appendIdentifier(DB::SDbDeviceRegDataSet& out, const QString& id, int base, int regBitSize)
{
    if (regBitSize > 48)
        appendRegisters(out, id, 0, 4, base, id);
    else if (regBitSize > 32)
        appendRegisters(out, id, 4, 3, base, id.mid(4, 12));
    else if (regBitSize > 16)
        appendRegisters(out, id, 8, 2, base, id.mid(8, 8));
    else
        appendRegisters(out, id, 12, 1, base, id.mid(12, 4));
}

// Eight digits over two registers in the register's format, or the low four in one register.
void appendWord32(DB::SDbDeviceRegDataSet& out, const QString& digits, double value, int base, int regBitSize,
                  const FMT::SRegisterFormat& format)
{
    if (regBitSize > 16) {
        const QString served =
            FMT::ordered(format.asFloat ? FMT::floatDigits(value) : digits, format.wordOrder);
        appendRegisters(out, served, 0, 2, base, served);
    } else {
        appendRegisters(out, digits, 4, 1, base, digits.mid(4, 4));
    }
}

// snr arrives as a double from the network; NaN and huge values must not reach qRound.
qint64 roundedSnr(double snr)
{
    if (std::isnan(snr))
        return 0;
    return qRound64(
        qBound(double(std::numeric_limits<qint32>::min()), snr, double(std::numeric_limits<qint32>::max())));
}

void appendServerDatum(DB::SDbDeviceRegDataSet& out, const API::SApiDeviceData& packet,
                       const REGS::SServerData& d, const FMT::SRegisterFormat& format)
{
    const int base = d.regMapBias;
    if (d.dataCode == REGS::REGS_JSON_KEY_CODE_TS) {
        const quint64 seconds = packet.ts / 1000;
        appendWord32(out, QString::number(seconds, 16).rightJustified(8, QLatin1Char('0')), double(seconds),
                     base, 32, format);
    } else if (d.dataCode == REGS::REGS_JSON_KEY_CODE_RSSI) {
        const QString h = hexDigits(quint64(qint64(packet.rssi)), 4);
        out.appendRewriteData(h, base, h);
    } else if (d.dataCode == REGS::REGS_JSON_KEY_CODE_GATEWAYID) {
        appendIdentifier(out, packet.gatewayId, base, d.regBitSize);
    } else if (d.dataCode == REGS::REGS_JSON_KEY_CODE_DEVEUI) {
        appendIdentifier(out, packet.devEui, base, d.regBitSize);
    } else if (d.dataCode == REGS::REGS_JSON_KEY_CODE_SNR) {
        appendWord32(out, hexDigits(quint64(roundedSnr(packet.snr)), 8), packet.snr, base, d.regBitSize,
                     format);
    } else if (d.dataCode == REGS::REGS_JSON_KEY_CODE_FCNT) {
        appendWord32(out, hexDigits(packet.fcnt, 8), double(packet.fcnt), base, d.regBitSize, format);
    }
}

// Only numbers of two registers have a format to look up.
void appendServerData(DB::SDbDeviceRegDataSet& out, const API::SApiDeviceData& packet,
                      const REGS::SDeviceTemplate& deviceTemplate, const CPacketDecoder::ParamLookup& lookup)
{
    for (auto it = deviceTemplate.serverData.constBegin(); it != deviceTemplate.serverData.constEnd(); ++it) {
        if (!REGS::RegsServerDataTemplates.contains(it.key())) {
            addLog(LOG_UNKNOWN_CODE.arg(it.key()));
            continue;
        }
        const REGS::SServerData& datum = it.value();
        const bool wide = datum.dataCode == REGS::REGS_JSON_KEY_CODE_TS ||
                          ((datum.dataCode == REGS::REGS_JSON_KEY_CODE_SNR ||
                            datum.dataCode == REGS::REGS_JSON_KEY_CODE_FCNT) &&
                           datum.regBitSize > 16);
        const FMT::SRegisterFormat format =
            wide ? lookup(out.devEui, unsigned(out.startAddr) + unsigned(datum.regMapBias)).format
                 : FMT::SRegisterFormat();
        appendServerDatum(out, packet, datum, format);
    }
}

// Layouts are looked up by the type byte's unsigned value; templates that
// wrote types 0x80..0xFF as -128..-1 are keyed by the sign-extended value.
const REGS::SDevicePacket* findLayout(const REGS::SDeviceTemplate& deviceTemplate, quint8 typeByte)
{
    const auto& layouts = deviceTemplate.devicePackets;
    auto it = layouts.constFind(typeByte);
    if (it == layouts.constEnd() && typeByte >= 0x80)
        it = layouts.constFind(0xFFFFFF00u | typeByte);
    return it == layouts.constEnd() ? nullptr : &it.value();
}

quint64 fieldBits(const QByteArray& bytes, bool bigEndian)
{
    quint64 bits = 0;
    const int n = bytes.size();
    for (int i = 0; i < n; ++i)
        bits = (bits << 8) | quint8(bytes.at(bigEndian ? i : n - 1 - i));
    return bits;
}

// Two's complement sign extension done in unsigned arithmetic.
quint64 signExtended(quint64 bits, int byteCount)
{
    if (byteCount >= 8)
        return bits;
    const quint64 signBit = quint64(1) << (8 * byteCount - 1);
    return (bits ^ signBit) - signBit;
}

// Converts a scaled value to the two's complement image of its register
// width, saturating at the width's limits (see the class comment).
quint64 saturatedImage(double v, int byteCount, bool isSigned)
{
    if (std::isnan(v))
        return 0;
    if (byteCount == 8 && !isSigned) {
        if (v <= 0.0)
            return 0;
        if (v >= 18446744073709551616.0)
            return std::numeric_limits<quint64>::max();
        return quint64(v); // truncated, not rounded
    }
    if (byteCount == 8) {
        if (v >= 9223372036854775808.0)
            return quint64(std::numeric_limits<qint64>::max());
        if (v <= -9223372036854775808.0)
            return quint64(std::numeric_limits<qint64>::min());
        return quint64(qRound64(v));
    }
    const int bits = byteCount == 4 ? 32 : 16;
    const double lo = isSigned ? -std::ldexp(1.0, bits - 1) : 0.0;
    const double hi = isSigned ? std::ldexp(1.0, bits - 1) - 1.0 : std::ldexp(1.0, bits) - 1.0;
    return quint64(qRound64(qBound(lo, v, hi)));
}

QString integerDigits(quint64 raw, int byteCount, bool isSigned, const DB::SDbRegParamInfo& param)
{
    const int width = byteCount < 2 ? 4 : 2 * byteCount;
    // Unscaled values pass exactly: a double would round 64-bit ones beyond 2^53.
    if (param.gratingPeriod == 1.0 && param.startValue == 0.0)
        return hexDigits(raw, width);
    const double rawValue = isSigned ? double(qint64(raw)) : double(raw);
    return hexDigits(saturatedImage(rawValue * param.gratingPeriod + param.startValue, byteCount, isSigned),
                     width);
}

// The words as served: the float of the scaled value takes the first two
// registers of a wide datum, and the chosen order applies to the words the
// number occupies.
QString numberText(const REGS::SDevicePacketField& field, const QByteArray& bytes,
                   const DB::SDbRegParamInfo& param)
{
    const bool isSigned = field.dataType == REGS::REGS_JSON_KEY_TYPE_INT;
    const int byteCount = bytes.size();
    const quint64 bits = fieldBits(bytes, field.endianness == 1);
    const quint64 raw = isSigned ? signExtended(bits, byteCount) : bits;
    if (byteCount < 4)
        return integerDigits(raw, byteCount, isSigned, param);
    if (!param.format.asFloat)
        return FMT::ordered(integerDigits(raw, byteCount, isSigned, param), param.format.wordOrder);
    const double rawValue = isSigned ? double(qint64(raw)) : double(raw);
    return FMT::ordered(FMT::floatDigits(rawValue * param.gratingPeriod + param.startValue),
                        param.format.wordOrder)
        .leftJustified(2 * byteCount, QLatin1Char('0'));
}

// Text ends at the first zero byte, as device firmware pads it.
QString fieldText(const QByteArray& bytes)
{
    const int end = bytes.indexOf('\0');
    return QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
}

// Numbers go most significant word first, whatever their byte order on air.
void storeValue(DB::SDbDeviceRegDataSet& out, const QString& value, int byteCount, int base)
{
    const int regCount = byteCount == 8 ? 4 : (byteCount == 4 ? 2 : 1);
    appendRegisters(out, value, 0, regCount, base, value);
}

bool isSupportedLength(int byteCount)
{
    return byteCount == 1 || byteCount == 2 || byteCount == 4 || byteCount == 8;
}

void decodeField(DB::SDbDeviceRegDataSet& out, const REGS::SDevicePacketField& field,
                 const QByteArray& payload, const CPacketDecoder::ParamLookup& lookup)
{
    if (field.dataBitBias % 8 != 0 || field.dataBitSize % 8 != 0) {
        addLog(LOG_UNALIGNED);
        return;
    }
    const int byteCount = field.dataBitSize / 8;
    if (!isSupportedLength(byteCount)) {
        addLog(LOG_BAD_LENGTH.arg(byteCount));
        return;
    }
    if (field.packetBias < 0 || qint64(field.packetBias) + byteCount > payload.size()) {
        addLog(LOG_OUT_OF_BOUNDS.arg(field.dataName));
        return;
    }
    const QByteArray bytes = payload.mid(field.packetBias, byteCount);
    QString value;
    if (field.dataType == REGS::REGS_JSON_KEY_TYPE_INT || field.dataType == REGS::REGS_JSON_KEY_TYPE_UINT) {
        const unsigned int regAddr =
            static_cast<unsigned int>(out.startAddr) + static_cast<unsigned int>(field.regMapBias);
        value = numberText(field, bytes, lookup(out.devEui, regAddr));
    } else if (field.dataType == REGS::REGS_JSON_KEY_TYPE_TEXT) {
        value = fieldText(bytes);
    } else {
        addLog(LOG_BAD_TYPE.arg(field.dataType, QString::number(byteCount)));
        return;
    }
    storeValue(out, value, byteCount, field.regMapBias);
}
} // namespace

bool CPacketDecoder::decode(const API::SApiDeviceData& packet,
                            const DB::SDeviceRegMapDescription& registration,
                            const REGS::SDeviceTemplate& deviceTemplate, const ParamLookup& lookup,
                            DB::SDbDeviceRegDataSet& out)
{
    out = DB::SDbDeviceRegDataSet();
    // Storage compares EUIs exactly, so use the EUI as it was registered.
    out.devEui = registration.devEui.isEmpty() ? packet.devEui : registration.devEui;
    out.startAddr = registration.startAddr;
    out.packetTime = qint64(packet.ts);
    appendServerData(out, packet, deviceTemplate, lookup);

    // An empty payload counts as packet type 0.
    const quint8 typeByte = packet.data.isEmpty() ? 0 : quint8(packet.data.at(0));
    const QString typeText = QStringLiteral("%1").arg(typeByte, 2, 10, QLatin1Char('0'));
    const REGS::SDevicePacket* layout = findLayout(deviceTemplate, typeByte);
    if (!layout) {
        addLog(LOG_UNKNOWN_TYPE.arg(typeText));
        out.rewriteList.clear();
        return false;
    }
    if (layout->packetSize != packet.data.size()) {
        addLog(LOG_INVALID_SIZE.arg(typeText, payloadHex(packet.data), QString::number(layout->packetSize),
                                    QString::number(packet.data.size())));
        out.rewriteList.clear();
        return false;
    }
    for (const REGS::SDevicePacketField& field : layout->packetFields)
        decodeField(out, field, packet.data, lookup);
    return true;
}
