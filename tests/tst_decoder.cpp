#include "WorkDir.h"
#include "devices/CPacketDecoder.h"

Q_DECLARE_METATYPE(REGS::SDevicePacketField)

namespace {
const QString STORED_EUI = QStringLiteral("a1b2c3d4e5f60718");
const QString U = REGS::REGS_JSON_KEY_TYPE_UINT, I = REGS::REGS_JSON_KEY_TYPE_INT,
              TXT = REGS::REGS_JSON_KEY_TYPE_TEXT;
using Lookup = QPair<QString, unsigned int>;

QString warn(const char* text)
{
    return QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ") + QLatin1String(text);
}

REGS::SDevicePacketField field(int bias, int bits, const QString& type, int regBias, int endian = 0)
{
    REGS::SDevicePacketField f;
    f.packetBias = bias;
    f.dataBitSize = f.regBitSize = bits;
    f.dataType = type;
    f.regMapBias = regBias;
    f.endianness = endian;
    f.dataName = QStringLiteral("value");
    f.isValid = true;
    return f;
}

// One packet layout of the given type and size, plus at most one server datum.
REGS::SDeviceTemplate deviceTemplate(int type, int size, const QList<REGS::SDevicePacketField>& fields,
                                     const QString& code = QString(), int regBias = 0, int regBits = 16)
{
    REGS::SDeviceTemplate t;
    t.appEui = QStringLiteral("0102030405060708");
    t.isValid = true;
    REGS::SDevicePacket p;
    p.packetType = type;
    p.packetSize = size;
    p.packetFields = fields;
    p.isValid = true;
    t.devicePackets.insert(unsigned(type), p);
    if (!code.isEmpty()) {
        REGS::SServerData d;
        d.dataCode = code;
        d.regMapBias = regBias;
        d.regBitSize = regBits;
        d.isValid = true;
        t.serverData.insert(code, d);
    }
    return t;
}

API::SApiDeviceData uplink(const QByteArray& hexPayload)
{
    API::SApiDeviceData p;
    p.devEui = STORED_EUI.toUpper();
    p.data = QByteArray::fromHex(hexPayload);
    p.isValid = true;
    return p;
}

struct SDecoded
{
    bool accepted = false;
    DB::SDbDeviceRegDataSet set;
    QList<Lookup> calls;
    QString regs; // "value/full@offset" per register, in set order
};

// Decodes for a device registered at address 100, every register with the same multiplier.
SDecoded decode(const API::SApiDeviceData& p, const REGS::SDeviceTemplate& t, double multiplier = 1.0)
{
    DB::SDeviceRegMapDescription reg;
    reg.devEui = STORED_EUI;
    reg.startAddr = 100;
    SDecoded d;
    d.accepted = CPacketDecoder::decode(
        p, reg, t,
        [&](const QString& devEui, unsigned int regAddr) {
            d.calls.append(Lookup(devEui, regAddr));
            DB::SDbRegParamInfo param;
            param.regAddr = regAddr;
            param.gratingPeriod = multiplier;
            return param;
        },
        d.set);
    QStringList regs;
    for (const auto& r : d.set.rewriteList)
        regs << r.value + '/' + r.fullValue + '@' + QString::number(r.regOffset);
    d.regs = regs.join(' ');
    return d;
}
} // namespace

class TestDecoder : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;

private slots:
    void init()
    {
        work.reset(new CWorkDir);
        QVERIFY(work->isValid());
    }
    void cleanup() { work.reset(); }

    void serverData_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("regBitSize");
        QTest::addColumn<QString>("expected");

        QTest::newRow("time stamp in seconds over two registers") << "ts" << 16 << "6553/6553f100@5 f100/@6";
        QTest::newRow("negative rssi as 16-bit two's complement") << "rssi" << 16 << "ffba/ffba@5";
        QTest::newRow("gateway in 64 bits")
            << "gatewayId" << 64 << "0011/0011AABBCCDDEEFF@5 AABB/@6 CCDD/@7 EEFF/@8";
        QTest::newRow("gateway in 16 bits: last 4 digits") << "gatewayId" << 16 << "EEFF/EEFF@5";
        QTest::newRow("device EUI as the packet has it")
            << "devEui" << 64 << "A1B2/A1B2C3D4E5F60718@5 C3D4/@6 E5F6/@7 0718/@8";
        QTest::newRow("snr -7.5 rounds up to -7") << "snr" << 32 << "ffff/fffffff9@5 fff9/@6";
        QTest::newRow("frame counter over two registers") << "fcnt" << 32 << "1234/12345678@5 5678/@6";
    }

    void serverData()
    {
        QFETCH(QString, code);
        QFETCH(int, regBitSize);

        API::SApiDeviceData p = uplink("01");
        p.ts = 1700000000123; // 1700000000 s = 6553f100
        p.rssi = -70;
        p.gatewayId = QStringLiteral("0011AABBCCDDEEFF");
        p.snr = -7.5;
        p.fcnt = 0x12345678;
        QTEST(decode(p, deviceTemplate(1, 1, {}, code, 5, regBitSize)).regs, "expected");
    }

    void numbers_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<REGS::SDevicePacketField>("fieldDef");
        QTest::addColumn<double>("multiplier");
        QTest::addColumn<QString>("expected");

        // The first payload byte is the packet type, 01 throughout.
        QTest::newRow("little-endian FE FF integer is -2")
            << "01feff" << field(1, 16, I, 2) << 1.0 << "fffe/fffe@2";
        QTest::newRow("halving -2 gives -1") << "01feff" << field(1, 16, I, 2) << 0.5 << "ffff/ffff@2";
        QTest::newRow("0.1 x 25 rounds to 3 in 16 bits")
            << "011900" << field(1, 16, U, 2) << 0.1 << "0003/0003@2";
        QTest::newRow("32-bit little-endian: high word first")
            << "0178563412" << field(1, 32, U, 0) << 1.0 << "1234/12345678@0 5678/@1";
        QTest::newRow("text AB\\0\\0 fills one register, unscaled")
            << "0141420000" << field(1, 32, TXT, 4) << 7.0 << "AB/AB@4";
        // 0x1b58 = 7000, times 10 is 70000.
        QTest::newRow("uinteger16 scaled to 70000 stops at ffff")
            << "01581b" << field(1, 16, U, 0) << 10.0 << "ffff/ffff@0";
        QTest::newRow("integer16 below -32768 stops at 8000")
            << "010080" << field(1, 16, I, 0) << 2.0 << "8000/8000@0";
        QTest::newRow("uinteger32 beyond 2^32 stops at ffffffff")
            << "01ffffffff" << field(1, 32, U, 0) << 3.0 << "ffff/ffffffff@0 ffff/@1";
    }

    void numbers()
    {
        QFETCH(QString, payload);
        QFETCH(REGS::SDevicePacketField, fieldDef);
        QFETCH(double, multiplier);
        const API::SApiDeviceData p = uplink(payload.toLatin1());
        QTEST(decode(p, deviceTemplate(1, p.data.size(), {fieldDef}), multiplier).regs, "expected");
    }

    void skippedFields_data()
    {
        QTest::addColumn<REGS::SDevicePacketField>("badField");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("boolean field") << field(1, 8, REGS::REGS_JSON_KEY_TYPE_BOOL, 5)
                                       << warn("Unsupport data type [boolean] for size [1]");
        QTest::newRow("24-bit field") << field(1, 24, U, 5) << warn("Unsupport size of data [3]");
        QTest::newRow("field reaching past the payload")
            << field(3, 16, U, 5) << warn("Field [value] is out of packet bounds");
    }

    void skippedFields()
    {
        QFETCH(REGS::SDevicePacketField, badField);
        QFETCH(QString, logLine);

        const auto t = deviceTemplate(1, 4, {badField, field(1, 16, U, 0, 1)});
        const SDecoded d = decode(uplink("01abcd00"), t);
        QCOMPARE(d.regs, QStringLiteral("abcd/abcd@0"));
        QCOMPARE(d.calls.size(), 1); // a skipped field asks storage nothing
        QVERIFY2(CWorkDir::log().contains(logLine), qPrintable(CWorkDir::log()));
    }

    void packetSelection_data()
    {
        QTest::addColumn<int>("layoutType");
        QTest::addColumn<int>("layoutSize");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("a payload longer than its layout is refused, logged by its first 64 bytes and ...")
            << 1 << 3 << "01" + QByteArray(128, 'e')
            << warn("Invalid size of packet [01][01") + QString(126, 'e') + "...]. Expect [3], real [65]";
        QTest::newRow("empty payload counts as type 0") << 0 << 0 << QByteArray() << QString();
        QTest::newRow("byte 80 selects type 128") << 128 << 1 << QByteArray("80") << QString();
        QTest::newRow("byte FF still selects a layout written as -1")
            << -1 << 1 << QByteArray("ff") << QString();
        QTest::newRow("byte 80 without a layout is logged as 128")
            << 0 << 1 << QByteArray("80") << warn("Uncknown packet type [128]");
    }

    void packetSelection()
    {
        QFETCH(int, layoutType);
        QFETCH(int, layoutSize);
        QFETCH(QByteArray, payload);
        QFETCH(QString, refusal);

        API::SApiDeviceData p = uplink(payload);
        p.rssi = 1;
        const auto t = deviceTemplate(layoutType, layoutSize, {}, QStringLiteral("rssi"));
        const SDecoded d = decode(p, t);
        // A refused packet stores nothing, not even its server data.
        QCOMPARE(d.regs, refusal.isEmpty() ? QStringLiteral("0001/0001@0") : QString());
        QCOMPARE(d.accepted, refusal.isEmpty());
        if (!d.accepted)
            QVERIFY2(CWorkDir::log().contains(refusal), qPrintable(CWorkDir::log()));
    }

    void storedEuiAndRegisterLookups()
    {
        const auto t = deviceTemplate(1, 5, {field(1, 8, U, 3), field(2, 16, TXT, 7), field(3, 16, I, 12)},
                                      QStringLiteral("devEui"), 20);
        const SDecoded d = decode(uplink("0102414200"), t);
        QCOMPARE(d.regs, QStringLiteral("0718/0718@20 0002/0002@3 AB/AB@7 0042/0042@12"));
        QCOMPARE(d.set.devEui, STORED_EUI);
        // Scaling is looked up at startAddr + regMapBias, never for text.
        const QList<Lookup> expectedCalls{{STORED_EUI, 103u}, {STORED_EUI, 112u}};
        QCOMPARE(d.calls, expectedCalls);
    }
};

QTEST_MAIN(TestDecoder)
#include "tst_decoder.moc"
