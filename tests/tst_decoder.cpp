#include <cmath>
#include <limits>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CPacketDecoder.h"

Q_DECLARE_METATYPE(REGS::SDevicePacketField)
Q_DECLARE_METATYPE(REGS::SDevicePacket)

namespace {
const QString STORED_EUI = QStringLiteral("a1b2c3d4e5f60718");
const QString PACKET_EUI = QStringLiteral("A1B2C3D4E5F60718");

QString warn(const char* text)
{
    return QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ") + QLatin1String(text);
}

using Lookup = QPair<QString, unsigned int>;

REGS::SDevicePacketField field(int bias, int bits, const QString& type, int regBias, int endian = 0,
                               const QString& name = QStringLiteral("value"))
{
    REGS::SDevicePacketField f;
    f.packetBias = bias;
    f.dataBitSize = bits;
    f.dataType = type;
    f.regMapBias = regBias;
    f.regBitSize = bits;
    f.endianness = endian;
    f.dataName = name;
    f.isValid = true;
    return f;
}

REGS::SServerData serverDatum(const QString& code, int regBias, int regBitSize)
{
    REGS::SServerData d;
    d.dataCode = code;
    d.regMapBias = regBias;
    d.regBitSize = regBitSize;
    d.isValid = true;
    return d;
}

REGS::SDevicePacket layout(unsigned int type, int size, const QList<REGS::SDevicePacketField>& fields)
{
    REGS::SDevicePacket p;
    p.packetType = int(type);
    p.packetSize = size;
    p.packetFields = fields;
    p.isValid = true;
    return p;
}

REGS::SDeviceTemplate deviceTemplate(const QList<REGS::SDevicePacket>& layouts,
                                     const QList<REGS::SServerData>& data = {})
{
    REGS::SDeviceTemplate t;
    t.appEui = QStringLiteral("0102030405060708");
    t.isValid = true;
    for (const auto& p : layouts)
        t.devicePackets.insert(unsigned(p.packetType), p);
    for (const auto& d : data)
        t.serverData.insert(d.dataCode, d);
    return t;
}

API::SApiDeviceData uplink(const QByteArray& hexPayload)
{
    API::SApiDeviceData p;
    p.devEui = PACKET_EUI;
    p.data = QByteArray::fromHex(hexPayload);
    p.isValid = true;
    return p;
}

DB::SDeviceRegMapDescription registration(int startAddr = 100)
{
    DB::SDeviceRegMapDescription r;
    r.devEui = STORED_EUI;
    r.startAddr = startAddr;
    return r;
}

// "value/full@offset" per register, in set order.
QString rewrites(const DB::SDbDeviceRegDataSet& set)
{
    QStringList out;
    for (const auto& r : set.rewriteList)
        out << r.value + QLatin1Char('/') + r.fullValue + QLatin1Char('@') + QString::number(r.regOffset);
    return out.join(QLatin1Char(' '));
}

CPacketDecoder::ParamLookup fixedParams(double gratingPeriod, double startValue,
                                        QList<Lookup>* calls = nullptr)
{
    return [=](const QString& devEui, unsigned int regAddr) {
        if (calls)
            calls->append(Lookup(devEui, regAddr));
        DB::SDbRegParamInfo p;
        p.regAddr = regAddr;
        p.gratingPeriod = gratingPeriod;
        p.startValue = startValue;
        return p;
    };
}

QString historyLog()
{
    QCoreApplication::processEvents();
    QFile f(QStringLiteral("history.log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
} // namespace

class TestDecoder : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void workedExample();
    void serverData_data();
    void serverData();
    void unknownDataCodeIsSkipped();
    void numbers_data();
    void numbers();
    void saturation_data();
    void saturation();
    void skippedFields_data();
    void skippedFields();
    void rejectedPackets_data();
    void rejectedPackets();
    void packetTypes_data();
    void packetTypes();
    void storedEuiAndRegisterLookups();

private:
    QTemporaryDir* dir = nullptr;
    QString oldCwd;
};

void TestDecoder::init()
{
    oldCwd = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(dir->isValid());
    QDir::setCurrent(dir->path());
    QVERIFY(CLogFile::getInstance(COMM::LOG_FILENAME, QString()));
}

void TestDecoder::cleanup()
{
    delete CLogFile::getInstance();
    QDir::setCurrent(oldCwd);
    delete dir;
    dir = nullptr;
}

void TestDecoder::workedExample()
{
    const QByteArray json = R"({"app_eui": "a1b2c3d4e5f60718", "dev_type": "Counter", "color": "#2a7ab0",
        "device_packets": [{"packet_type": 1, "packet_size": 5, "packet_fields": [{"packet_bias": 1,
            "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger", "endianness": "be",
            "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter value"}]}],
        "server_data": [{"data_code": "rssi", "reg_map_bias": 10, "reg_bit_bias": 0, "reg_bit_size": 16,
            "data_name": "RSSI"}]})";
    const REGS::SDeviceTemplate t(QJsonDocument::fromJson(json).object());
    QVERIFY(t.isValid);
    API::SApiDeviceData p = uplink("010001e240"); // type 1, counter 123456 big-endian
    p.rssi = -70;

    DB::SDbDeviceRegDataSet set;
    QVERIFY(CPacketDecoder::decode(p, registration(100), t, fixedParams(1.0, 0.0), set));
    QCOMPARE(set.startAddr, 100);
    QCOMPARE(rewrites(set), QStringLiteral("ffba/ffba@10 0001/0001e240@0 e240/@1"));
    QVERIFY(set.modifList.isEmpty());
}

void TestDecoder::serverData_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("regBitSize");
    QTest::addColumn<API::SApiDeviceData>("packet");
    QTest::addColumn<QString>("expected");

    API::SApiDeviceData p = uplink("01");
    p.ts = 1700000000123; // 1700000000 s = 6553f100
    p.rssi = -70;
    p.gatewayId = QStringLiteral("0011AABBCCDDEEFF");
    p.snr = -7.5;
    p.fcnt = 0x12345678;
    API::SApiDeviceData early = p, late = p, halfUp = p, noise = p, loud = p;
    early.ts = 5999;
    late.ts = 0x123456789ull * 1000;
    halfUp.snr = 2.5;
    noise.snr = std::numeric_limits<double>::quiet_NaN();
    loud.snr = 1e12;

    QTest::newRow("time stamp in seconds over two registers") << "ts" << 16 << p << "6553/6553f100@5 f100/@6";
    QTest::newRow("early time stamp padded to eight digits")
        << "ts" << 64 << early << "0000/00000005@5 0005/@6";
    QTest::newRow("time stamp beyond 32 bits ends in its last digits")
        << "ts" << 64 << late << "1234/123456789@5 6789/@6";
    QTest::newRow("negative rssi as 16-bit two's complement") << "rssi" << 16 << p << "ffba/ffba@5";
    QTest::newRow("rssi with 32 register bits still writes one register")
        << "rssi" << 32 << p << "ffba/ffba@5";
    QTest::newRow("gateway over 64 bits takes four registers")
        << "gatewayId" << 64 << p << "0011/0011AABBCCDDEEFF@5 AABB/@6 CCDD/@7 EEFF/@8";
    QTest::newRow("gateway over 48 bits keeps the low twelve characters")
        << "gatewayId" << 48 << p << "AABB/AABBCCDDEEFF@5 CCDD/@6 EEFF/@7";
    QTest::newRow("gateway over 32 bits keeps characters 8 to 15")
        << "gatewayId" << 32 << p << "CCDD/CCDDEEFF@5 EEFF/@6";
    QTest::newRow("gateway in 16 bits keeps the last four characters")
        << "gatewayId" << 16 << p << "EEFF/EEFF@5";
    QTest::newRow("device EUI as the packet carries it")
        << "devEui" << 64 << p << "A1B2/A1B2C3D4E5F60718@5 C3D4/@6 E5F6/@7 0718/@8";
    QTest::newRow("snr -7.5 rounds up to -7 over two registers")
        << "snr" << 32 << p << "ffff/fffffff9@5 fff9/@6";
    QTest::newRow("snr -7.5 in one register") << "snr" << 16 << p << "fff9/fff9@5";
    QTest::newRow("snr 2.5 rounds up to 3") << "snr" << 32 << halfUp << "0000/00000003@5 0003/@6";
    QTest::newRow("snr that is not a number gives zero") << "snr" << 16 << noise << "0000/0000@5";
    QTest::newRow("snr beyond 32 bits saturates") << "snr" << 32 << loud << "7fff/7fffffff@5 ffff/@6";
    QTest::newRow("frame counter over two registers") << "fcnt" << 32 << p << "1234/12345678@5 5678/@6";
    QTest::newRow("frame counter in one register keeps the low word") << "fcnt" << 16 << p << "5678/5678@5";
}

void TestDecoder::serverData()
{
    QFETCH(QString, code);
    QFETCH(int, regBitSize);
    QFETCH(API::SApiDeviceData, packet);
    QFETCH(QString, expected);

    const auto t = deviceTemplate({layout(1, 1, {})}, {serverDatum(code, 5, regBitSize)});
    DB::SDbDeviceRegDataSet set;
    QVERIFY(CPacketDecoder::decode(packet, registration(), t, fixedParams(1.0, 0.0), set));
    QCOMPARE(rewrites(set), expected);
}

void TestDecoder::unknownDataCodeIsSkipped()
{
    API::SApiDeviceData p = uplink("01");
    p.rssi = -1;
    const auto t = deviceTemplate({layout(1, 1, {})}, {serverDatum(QStringLiteral("RSSI"), 0, 16),
                                                       serverDatum(QStringLiteral("rssi"), 3, 16)});
    DB::SDbDeviceRegDataSet set;
    QVERIFY(CPacketDecoder::decode(p, registration(), t, fixedParams(1.0, 0.0), set));
    QCOMPARE(rewrites(set), QStringLiteral("ffff/ffff@3"));
    QVERIFY(historyLog().contains(warn("Uncknown DataCode [RSSI]!")));
}

void TestDecoder::numbers_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<REGS::SDevicePacketField>("fieldDef");
    QTest::addColumn<double>("gratingPeriod");
    QTest::addColumn<double>("startValue");
    QTest::addColumn<QString>("expected");

    const QString i = REGS::REGS_JSON_KEY_TYPE_INT, u = REGS::REGS_JSON_KEY_TYPE_UINT,
                  txt = REGS::REGS_JSON_KEY_TYPE_TEXT;
    // The first payload byte is the packet type, 01 throughout.
    QTest::newRow("little-endian FE FF reads as -2")
        << QByteArray("01feff") << field(1, 16, i, 2) << 1.0 << 0.0 << "fffe/fffe@2";
    QTest::newRow("halving -2 gives -1")
        << QByteArray("01feff") << field(1, 16, i, 2) << 0.5 << 0.0 << "ffff/ffff@2";
    QTest::newRow("-2.5 rounds upward to -2")
        << QByteArray("01fbff") << field(1, 16, i, 2) << 0.5 << 0.0 << "fffe/fffe@2";
    QTest::newRow("0.1 times 25 rounds to 3 in 16 bits")
        << QByteArray("011900") << field(1, 16, u, 2) << 0.1 << 0.0 << "0003/0003@2";
    QTest::newRow("0.1 times 25 truncates to 2 in 64 bits")
        << QByteArray("011900000000000000") << field(1, 64, u, 2) << 0.1 << 0.0
        << "0000/0000000000000002@2 0000/@3 0000/@4 0002/@5";
    QTest::newRow("extra value is added after the multiplier")
        << QByteArray("010a") << field(1, 8, u, 0) << 2.0 << 5.0 << "0019/0019@0";
    QTest::newRow("unscaled integer byte FE is written as fffe")
        << QByteArray("01fe") << field(1, 8, i, 0) << 1.0 << 0.0 << "fffe/fffe@0";
    QTest::newRow("uinteger byte FE is written as 00fe")
        << QByteArray("01fe") << field(1, 8, u, 0) << 1.0 << 0.0 << "00fe/00fe@0";
    QTest::newRow("big-endian 32-bit datum spanning two words")
        << QByteArray("0112345678") << field(1, 32, u, 0, 1) << 1.0 << 0.0 << "1234/12345678@0 5678/@1";
    QTest::newRow("little-endian 32-bit datum still most significant word first")
        << QByteArray("0178563412") << field(1, 32, u, 0, 0) << 1.0 << 0.0 << "1234/12345678@0 5678/@1";
    QTest::newRow("negative 32-bit datum")
        << QByteArray("01fffffffe") << field(1, 32, i, 0, 1) << 1.0 << 0.0 << "ffff/fffffffe@0 fffe/@1";
    QTest::newRow("negative 64-bit datum over four registers")
        << QByteArray("01feffffffffffffff") << field(1, 64, i, 0) << 1.0 << 0.0
        << "ffff/fffffffffffffffe@0 ffff/@1 ffff/@2 fffe/@3";
    QTest::newRow("unscaled 64-bit datum beyond 2^53 is kept exactly")
        << QByteArray("010123456789abcdef") << field(1, 64, u, 0, 1) << 1.0 << 0.0
        << "0123/0123456789abcdef@0 4567/@1 89ab/@2 cdef/@3";
    QTest::newRow("text AB padded with zeros fills one register")
        << QByteArray("0141420000") << field(1, 32, txt, 4) << 7.0 << 3.0 << "AB/AB@4";
    QTest::newRow("eight characters of text over two registers")
        << QByteArray("014142434445464748") << field(1, 64, txt, 4) << 1.0 << 0.0
        << "ABCD/ABCDEFGH@4 EFGH/@5";
    QTest::newRow("text is read as UTF-8")
        << QByteArray("01c3a9") << field(1, 16, txt, 4) << 1.0 << 0.0 << QStringLiteral("\u00e9/\u00e9@4");
}

void TestDecoder::numbers()
{
    QFETCH(QByteArray, payload);
    QFETCH(REGS::SDevicePacketField, fieldDef);
    QFETCH(double, gratingPeriod);
    QFETCH(double, startValue);
    QFETCH(QString, expected);

    const API::SApiDeviceData p = uplink(payload);
    const auto t = deviceTemplate({layout(1, p.data.size(), {fieldDef})});
    DB::SDbDeviceRegDataSet set;
    QVERIFY(CPacketDecoder::decode(p, registration(), t, fixedParams(gratingPeriod, startValue), set));
    QCOMPARE(rewrites(set), expected);
}

void TestDecoder::saturation_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<REGS::SDevicePacketField>("fieldDef");
    QTest::addColumn<double>("gratingPeriod");
    QTest::addColumn<double>("startValue");
    QTest::addColumn<QString>("expected");

    const QString i = REGS::REGS_JSON_KEY_TYPE_INT, u = REGS::REGS_JSON_KEY_TYPE_UINT;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("16-bit uinteger scaled to 70000 stops at ffff")
        << QByteArray("01581b") << field(1, 16, u, 0) << 10.0 << 0.0 << "ffff/ffff@0";
    QTest::newRow("uinteger scaled below zero stops at 0000")
        << QByteArray("0105") << field(1, 8, u, 0) << 1.0 << -10.0 << "0000/0000@0";
    QTest::newRow("16-bit integer above 32767 stops at 7fff")
        << QByteArray("01ff7f") << field(1, 16, i, 0) << 2.0 << 0.0 << "7fff/7fff@0";
    QTest::newRow("16-bit integer below -32768 stops at 8000")
        << QByteArray("010080") << field(1, 16, i, 0) << 2.0 << 0.0 << "8000/8000@0";
    QTest::newRow("byte scaled to 300 still fits its register")
        << QByteArray("0196") << field(1, 8, u, 0) << 2.0 << 0.0 << "012c/012c@0";
    QTest::newRow("32-bit uinteger beyond 2^32 stops at ffffffff")
        << QByteArray("01ffffffff") << field(1, 32, u, 0) << 3.0 << 0.0 << "ffff/ffffffff@0 ffff/@1";
    QTest::newRow("32-bit integer below -2^31 stops at 80000000")
        << QByteArray("0100000080") << field(1, 32, i, 0) << 1.5 << 0.0 << "8000/80000000@0 0000/@1";
    QTest::newRow("64-bit integer beyond 2^63 stops at the largest value")
        << QByteArray("01ffffffffffffff7f") << field(1, 64, i, 0) << 4.0 << 0.0
        << "7fff/7fffffffffffffff@0 ffff/@1 ffff/@2 ffff/@3";
    QTest::newRow("64-bit uinteger beyond 2^64 stops at the largest value")
        << QByteArray("01ffffffffffffffff") << field(1, 64, u, 0) << 2.0 << 0.0
        << "ffff/ffffffffffffffff@0 ffff/@1 ffff/@2 ffff/@3";
    QTest::newRow("negative 64-bit uinteger stops at zero")
        << QByteArray("010500000000000000") << field(1, 64, u, 0) << -1.0 << 0.0
        << "0000/0000000000000000@0 0000/@1 0000/@2 0000/@3";
    QTest::newRow("multiplier that is not a number gives zero")
        << QByteArray("010500") << field(1, 16, i, 0) << nan << 0.0 << "0000/0000@0";
    QTest::newRow("infinite multiplier stops at the limit")
        << QByteArray("010100") << field(1, 16, i, 0) << inf << 0.0 << "7fff/7fff@0";
}

void TestDecoder::saturation()
{
    numbers();
}

void TestDecoder::skippedFields_data()
{
    QTest::addColumn<REGS::SDevicePacketField>("badField");
    QTest::addColumn<QString>("logLine");

    REGS::SDevicePacketField offBit = field(1, 8, REGS::REGS_JSON_KEY_TYPE_UINT, 5);
    offBit.dataBitBias = 4;
    QTest::newRow("boolean field") << field(1, 8, REGS::REGS_JSON_KEY_TYPE_BOOL, 5)
                                   << warn("Unsupport data type [boolean] for size [1]");
    QTest::newRow("24-bit field") << field(1, 24, REGS::REGS_JSON_KEY_TYPE_UINT, 5)
                                  << warn("Unsupport size of data [3]");
    QTest::newRow("zero-size field") << field(1, 0, REGS::REGS_JSON_KEY_TYPE_UINT, 5)
                                     << warn("Unsupport size of data [0]");
    QTest::newRow("bit offset inside a byte")
        << offBit << "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional";
    QTest::newRow("size not in whole bytes")
        << field(1, 12, REGS::REGS_JSON_KEY_TYPE_UINT, 5)
        << "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional";
    QTest::newRow("field reaching past the payload")
        << field(3, 16, REGS::REGS_JSON_KEY_TYPE_UINT, 5, 0, "Late")
        << warn("Field [Late] is out of packet bounds");
    QTest::newRow("text field reaching past the payload")
        << field(1, 64, REGS::REGS_JSON_KEY_TYPE_TEXT, 5, 0, "Label")
        << warn("Field [Label] is out of packet bounds");
    QTest::newRow("field before the payload") << field(-1, 8, REGS::REGS_JSON_KEY_TYPE_UINT, 5, 0, "Early")
                                              << warn("Field [Early] is out of packet bounds");
}

void TestDecoder::skippedFields()
{
    QFETCH(REGS::SDevicePacketField, badField);
    QFETCH(QString, logLine);

    const REGS::SDevicePacketField good = field(1, 16, REGS::REGS_JSON_KEY_TYPE_UINT, 0, 1);
    const auto t = deviceTemplate({layout(1, 4, {badField, good})});
    QList<Lookup> calls;
    DB::SDbDeviceRegDataSet set;
    QVERIFY(
        CPacketDecoder::decode(uplink("01abcd00"), registration(), t, fixedParams(1.0, 0.0, &calls), set));
    QCOMPARE(rewrites(set), QStringLiteral("abcd/abcd@0"));
    QCOMPARE(calls.size(), 1); // a skipped field asks storage nothing
    QVERIFY2(historyLog().contains(logLine), qPrintable(historyLog()));
}

void TestDecoder::rejectedPackets_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("withTemplate");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("type 5 has no layout and is logged with two digits")
        << QByteArray("05aabb") << true << warn("Uncknown packet type [05]");
    QTest::newRow("a device without template knows no type")
        << QByteArray("01aabb") << false << warn("Uncknown packet type [01]");
    QTest::newRow("empty payload counts as type 0")
        << QByteArray() << true << warn("Uncknown packet type [00]");
    QTest::newRow("payload one byte longer than the layout")
        << QByteArray("01aabbcc") << true
        << warn("Invalid size of packet [01][01aabbcc]. Expect [3], real [4]");
    QTest::newRow("payload one byte shorter than the layout")
        << QByteArray("01AA") << true << warn("Invalid size of packet [01][01aa]. Expect [3], real [2]");
}

void TestDecoder::rejectedPackets()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, withTemplate);
    QFETCH(QString, logLine);

    const auto t = withTemplate
                       ? deviceTemplate({layout(1, 3, {field(1, 16, REGS::REGS_JSON_KEY_TYPE_UINT, 0)})},
                                        {serverDatum(QStringLiteral("rssi"), 9, 16)})
                       : REGS::SDeviceTemplate();
    QSignalSpy logged(CLogFile::getInstance(), &CLogFile::addLogSignal);
    QList<Lookup> calls;
    DB::SDbDeviceRegDataSet set;
    QVERIFY(!CPacketDecoder::decode(uplink(payload), registration(), t, fixedParams(1.0, 0.0, &calls), set));
    QVERIFY(set.rewriteList.isEmpty()); // the server data go too
    QVERIFY(calls.isEmpty());
    QVERIFY2(historyLog().contains(logLine), qPrintable(historyLog()));
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged.at(0).at(1).value<CLogFile::ELogMessageType>(), CLogFile::LOG_TYPE_NORMAL);
}

void TestDecoder::packetTypes_data()
{
    QTest::addColumn<QList<REGS::SDevicePacket>>("layouts");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("byte 7F selects type 127")
        << QList<REGS::SDevicePacket>{layout(127, 1, {})} << QByteArray("7f") << true << QString();
    QTest::newRow("byte 80 selects type 128")
        << QList<REGS::SDevicePacket>{layout(128, 1, {})} << QByteArray("80") << true << QString();
    QTest::newRow("byte FF selects type 255")
        << QList<REGS::SDevicePacket>{layout(255, 1, {})} << QByteArray("ff") << true << QString();
    QTest::newRow("byte FF still selects a layout written as -1")
        << QList<REGS::SDevicePacket>{layout(unsigned(-1), 1, {})} << QByteArray("ff") << true << QString();
    QTest::newRow("type 255 wins over its twin written as -1")
        << QList<REGS::SDevicePacket>{layout(255, 1, {}), layout(unsigned(-1), 2, {})} << QByteArray("ff")
        << true << QString();
    QTest::newRow("byte 80 without a layout is logged as 128")
        << QList<REGS::SDevicePacket>{layout(0, 1, {})} << QByteArray("80") << false
        << warn("Uncknown packet type [128]");
    QTest::newRow("byte 80 still selects a layout written as -128")
        << QList<REGS::SDevicePacket>{layout(unsigned(-128), 1, {})} << QByteArray("80") << true << QString();
    QTest::newRow("byte 7F does not select a layout written as -129")
        << QList<REGS::SDevicePacket>{layout(unsigned(-129), 1, {})} << QByteArray("7f") << false
        << warn("Uncknown packet type [127]");
    QTest::newRow("empty payload fits a type 0 layout of size 0")
        << QList<REGS::SDevicePacket>{layout(0, 0, {})} << QByteArray() << true << QString();
}

void TestDecoder::packetTypes()
{
    QFETCH(QList<REGS::SDevicePacket>, layouts);
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    QFETCH(QString, logLine);

    API::SApiDeviceData p = uplink(payload);
    p.rssi = 1;
    const auto t = deviceTemplate(layouts, {serverDatum(QStringLiteral("rssi"), 0, 16)});
    DB::SDbDeviceRegDataSet set;
    QCOMPARE(CPacketDecoder::decode(p, registration(), t, fixedParams(1.0, 0.0), set), accepted);
    QCOMPARE(rewrites(set), accepted ? QStringLiteral("0001/0001@0") : QString());
    if (!logLine.isEmpty())
        QVERIFY2(historyLog().contains(logLine), qPrintable(historyLog()));
}

void TestDecoder::storedEuiAndRegisterLookups()
{
    const QString u = REGS::REGS_JSON_KEY_TYPE_UINT;
    const auto t = deviceTemplate({layout(1, 5,
                                          {field(1, 8, u, 3), field(2, 16, REGS::REGS_JSON_KEY_TYPE_TEXT, 7),
                                           field(3, 16, REGS::REGS_JSON_KEY_TYPE_INT, 12)})},
                                  {serverDatum(QStringLiteral("devEui"), 20, 16)});
    QList<Lookup> calls;
    DB::SDbDeviceRegDataSet set;
    QVERIFY(CPacketDecoder::decode(uplink("0102414200"), registration(40), t, fixedParams(1.0, 0.0, &calls),
                                   set));
    QCOMPARE(set.devEui, STORED_EUI);
    QCOMPARE(set.startAddr, 40);
    const QList<Lookup> expectedCalls{{STORED_EUI, 43u}, {STORED_EUI, 52u}};
    QCOMPARE(calls, expectedCalls);
    QCOMPARE(rewrites(set), QStringLiteral("0718/0718@20 0002/0002@3 AB/AB@7 0042/0042@12"));
}

QTEST_MAIN(TestDecoder)
#include "tst_decoder.moc"
