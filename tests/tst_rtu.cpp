#include <QtTest>

#include <array>
#include <cstring>
#include <vector>

#include "modbus/crc_lib.h"
#include "modbus/modbus_rtu.h"

namespace {
// The standard check input of the CRC catalogue: ASCII "123456789".
const uint8_t CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
const uint8_t THREE_BYTES[] = {0xDE, 0xAD, 0x42};
} // namespace

class TestRtu : public QObject
{
    Q_OBJECT
private slots:
    void checkValues_data();
    void checkValues();
    void incrementalFormsMatchOneShot();
    void tablesFollowTheirPolynomials();
    void modbusCrcWireOrderAndLimits();
    void reverseBits();
    void requestRoundTrip_data();
    void requestRoundTrip();
    void damagedRequest_data();
    void damagedRequest();
    void oversizedDataCountIsRefusedBeforeCopy();
    void longFrameStillCarriesRealCrc();
    void builderRefusesNullPointers();
    void answerFrame();
    void damagedAnswer_data();
    void damagedAnswer();
};

static quint32 runRoutine(const QString& routine, const uint8_t* data, uint32_t length)
{
    if (routine == "crc8_fast")
        return crc8_fast(data, static_cast<uint8_t>(length));
    if (routine == "crc8_reflected_fast")
        return crc8_reflected_fast(data, static_cast<uint8_t>(length));
    if (routine == "crc16_fast")
        return crc16_fast(data, static_cast<uint16_t>(length));
    if (routine == "crc16_slow")
        return crc16_slow(data, static_cast<uint16_t>(length));
    if (routine == "crc16_slow_full")
        return crc16_slow_full(data, static_cast<uint16_t>(length));
    if (routine == "crc16_modbus")
        return crc16_modbus(data, static_cast<uint16_t>(length));
    if (routine == "crc32_fast_full")
        return crc32_fast_full(data, length);
    if (routine == "crc32_slow_full")
        return crc32_slow_full(data, length);
    qFatal("unknown routine");
    return 0;
}

void TestRtu::checkValues_data()
{
    QTest::addColumn<QString>("routine");
    QTest::addColumn<int>("length"); // bytes of the check input
    QTest::addColumn<quint32>("expected");
    QTest::newRow("crc8 fast gives the NRSC-5 check value") << "crc8_fast" << 9 << 0xF7u;
    QTest::newRow("crc8 reflected gives the MAXIM-DOW check value") << "crc8_reflected_fast" << 9 << 0xA1u;
    QTest::newRow("crc16 fast gives the IBM-3740 check value") << "crc16_fast" << 9 << 0x29B1u;
    QTest::newRow("crc16 slow gives the IBM-3740 check value") << "crc16_slow" << 9 << 0x29B1u;
    QTest::newRow("crc16 slow full gives the IBM-3740 check value") << "crc16_slow_full" << 9 << 0x29B1u;
    QTest::newRow("crc16 modbus gives the catalogue value byte-swapped") << "crc16_modbus" << 9 << 0x374Bu;
    QTest::newRow("crc32 fast gives the ISO-HDLC check value") << "crc32_fast_full" << 9 << 0xCBF43926u;
    QTest::newRow("crc32 slow gives the ISO-HDLC check value") << "crc32_slow_full" << 9 << 0xCBF43926u;
    QTest::newRow("crc8 fast of nothing is its initial value") << "crc8_fast" << 0 << 0xFFu;
    QTest::newRow("crc8 reflected of nothing is its initial value") << "crc8_reflected_fast" << 0 << 0x00u;
    QTest::newRow("crc16 fast of nothing is its initial value") << "crc16_fast" << 0 << 0xFFFFu;
    QTest::newRow("crc16 slow of nothing is its initial value") << "crc16_slow" << 0 << 0xFFFFu;
    QTest::newRow("crc16 modbus of nothing is its initial value") << "crc16_modbus" << 0 << 0xFFFFu;
    QTest::newRow("crc32 fast of nothing is zero") << "crc32_fast_full" << 0 << 0u;
    QTest::newRow("crc32 slow of nothing is zero") << "crc32_slow_full" << 0 << 0u;
}

void TestRtu::checkValues()
{
    QFETCH(QString, routine);
    QFETCH(int, length);
    QFETCH(quint32, expected);
    QCOMPARE(runRoutine(routine, CHECK_INPUT, uint32_t(length)), expected);
}

void TestRtu::incrementalFormsMatchOneShot()
{
    // Fold the check input in two uneven pieces plus an empty one.
    uint16_t crc16 = crc16_slow_init();
    crc16 = crc16_slow_calc(crc16, CHECK_INPUT, 4);
    crc16 = crc16_slow_calc(crc16, CHECK_INPUT + 4, 0);
    crc16 = crc16_slow_calc(crc16, CHECK_INPUT + 4, 5);
    QCOMPARE(crc16_slow_finish(crc16), uint16_t(0x29B1));

    uint32_t fast = crc32_fast_init();
    fast = crc32_fast_update(fast, CHECK_INPUT, 2);
    fast = crc32_fast_update(fast, CHECK_INPUT + 2, 7);
    QCOMPARE(crc32_fast_finish(fast), 0xCBF43926u);

    uint32_t slow = crc32_slow_init();
    slow = crc32_slow_update(slow, CHECK_INPUT, 8);
    QCOMPARE(crc32_slow_update(slow, CHECK_INPUT, 0), slow);
    slow = crc32_slow_update(slow, CHECK_INPUT + 8, 1);
    QCOMPARE(crc32_slow_finish(slow), 0xCBF43926u);

    // Fast and slow must agree on every single byte, not only the check input.
    for (int b = 0; b < 256; ++b) {
        const uint8_t byte = static_cast<uint8_t>(b);
        QCOMPARE(crc16_fast(&byte, 1), crc16_slow(&byte, 1));
        QCOMPARE(crc32_fast_full(&byte, 1), crc32_slow_full(&byte, 1));
    }
}

void TestRtu::tablesFollowTheirPolynomials()
{
    QCOMPARE(Crc8Table[1], uint8_t(0x31));
    QCOMPARE(Crc8ReflectedTable[128], uint8_t(0x8C));
    QCOMPARE(Crc16Table[1], uint16_t(0x1021));
    QCOMPARE(Crc32Table[128], 0xEDB88320u);
    QCOMPARE(Crc32Table[255], 0x2D02EF8Du);
    // The first entries of the Modbus byte tables as printed for the serial line.
    const std::array<uint8_t, 4> hiStart = {0x00, 0xC1, 0x81, 0x40};
    const std::array<uint8_t, 4> loStart = {0x00, 0xC0, 0xC1, 0x01};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(auchCRCHi[i], hiStart[i]);
        QCOMPARE(auchCRCLo[i], loStart[i]);
    }
    QCOMPARE(auchCRCHi[255], uint8_t(0x40));
    QCOMPARE(auchCRCLo[255], uint8_t(0x40));
}

void TestRtu::modbusCrcWireOrderAndLimits()
{
    const uint16_t crc = crc16_modbus(CHECK_INPUT, sizeof(CHECK_INPUT));
    uint8_t wire[2];
    std::memcpy(wire, &crc, 2);
    QCOMPARE(wire[0], uint8_t(0x4B));
    QCOMPARE(wire[1], uint8_t(0x37));

    std::vector<uint8_t> block(257, 0x5A);
    QVERIFY(crc16_modbus(block.data(), 256) != 0);
    QCOMPARE(crc16_modbus(block.data(), 256), crc16_modbus_unbounded(block.data(), 256));
    QCOMPARE(crc16_modbus(block.data(), 257), uint16_t(0));
    QVERIFY(crc16_modbus_unbounded(block.data(), 257) != 0);
}

void TestRtu::reverseBits()
{
    QCOMPARE(reverse(1), 0x80000000u);
    QCOMPARE(reverse(0x80000000u), 1u);
    QCOMPARE(reverse(0x12345678u), 0x1E6A2C48u);
}

void TestRtu::requestRoundTrip_data()
{
    QTest::addColumn<bool>("response");
    QTest::addColumn<int>("n");
    QTest::newRow("request with three data bytes") << false << 3;
    QTest::newRow("request without data") << false << 0;
    QTest::newRow("response with three data bytes sets the exception bit") << true << 3;
    QTest::newRow("request filling the receive buffer exactly") << false << 128;
}

void TestRtu::requestRoundTrip()
{
    QFETCH(bool, response);
    QFETCH(int, n);
    std::vector<uint8_t> data(n);
    for (int i = 0; i < n; ++i)
        data[i] = i < 3 ? THREE_BYTES[i] : static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> frame(n + 9 + 4, 0xEE);
    const auto create = response ? ModbusRtuResponseCreate : ModbusRtuRequestCreate;
    // An empty vector may hand out a null pointer, which the builder refuses.
    const uint8_t* source = n > 0 ? data.data() : THREE_BYTES;
    const uint16_t length = create(0x11, 0x03, 0x1234, source, static_cast<uint8_t>(n), 0x0002, frame.data());
    QCOMPARE(int(length), n + 9);
    QCOMPARE(frame[n + 9], uint8_t(0xEE)); // nothing written past the frame
    QCOMPARE(frame[1], uint8_t(response ? 0x83 : 0x03));

    SModbusRtuRequest parsed{};
    const auto parse = response ? ModbusRtuResponsePars : ModbusRtuRequestPars;
    QCOMPARE(parse(frame.data(), length, &parsed), MODBUS_RTU_OK);
    QCOMPARE(parsed.address, uint8_t(0x11));
    QCOMPARE(parsed.function, frame[1]);
    QCOMPARE(parsed.regAddr, uint16_t(0x1234));
    QCOMPARE(parsed.regCount, uint16_t(0x0002));
    QCOMPARE(int(parsed.dataCount), n);
    QCOMPARE(parsed.data, modbus_rtu_rx_buffer);
    QVERIFY(std::memcmp(parsed.data, source, n) == 0);
    QCOMPARE(parsed.crc, crc16_modbus(frame.data(), static_cast<uint16_t>(n + 7)));
}

void TestRtu::damagedRequest_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("newByte");
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("expected");
    // Fixture: 11 03 | 34 12 | 02 00 | 03 | de ad 42 | crc lo hi (12 bytes)
    QTest::newRow("a changed data byte fails the CRC") << 8 << 0x00 << 0 << int(MODBUS_RTU_CRC_MISMATCH);
    QTest::newRow("a changed CRC byte fails the CRC") << 10 << -1 << 0 << int(MODBUS_RTU_CRC_MISMATCH);
    QTest::newRow("a changed address fails the CRC") << 0 << 0x12 << 0 << int(MODBUS_RTU_CRC_MISMATCH);
    QTest::newRow("a data count one too high mismatches") << 6 << 0x04 << 0 << int(MODBUS_RTU_COUNT_MISMATCH);
    QTest::newRow("one byte cut off mismatches the count") << -1 << 0 << 1 << int(MODBUS_RTU_COUNT_MISMATCH);
    QTest::newRow("eight bytes are too short for a frame") << -1 << 0 << 4 << int(MODBUS_RTU_WRONG_LENGTH);
}

void TestRtu::damagedRequest()
{
    QFETCH(int, offset);
    QFETCH(int, newByte);
    QFETCH(int, cut);
    QFETCH(int, expected);
    uint8_t frame[12];
    QCOMPARE(int(ModbusRtuRequestCreate(0x11, 0x03, 0x1234, THREE_BYTES, 3, 2, frame)), 12);
    if (offset >= 0)
        frame[offset] = newByte < 0 ? static_cast<uint8_t>(~frame[offset]) : static_cast<uint8_t>(newByte);
    SModbusRtuRequest parsed{};
    QCOMPARE(int(ModbusRtuRequestPars(frame, static_cast<uint16_t>(12 - cut), &parsed)), expected);
}

void TestRtu::oversizedDataCountIsRefusedBeforeCopy()
{
    // 129 data bytes form a consistent frame that does not fit the receive buffer.
    std::vector<uint8_t> data(129, 0xA5);
    std::vector<uint8_t> frame(129 + 9);
    QCOMPARE(int(ModbusRtuRequestCreate(1, 3, 0, data.data(), 129, 1, frame.data())), 138);
    std::memset(modbus_rtu_rx_buffer, 0x11, sizeof(modbus_rtu_rx_buffer));
    SModbusRtuRequest parsed{};
    parsed.data = frame.data();
    QCOMPARE(ModbusRtuRequestPars(frame.data(), 138, &parsed), MODBUS_RTU_DATA_TOO_LONG);
    QCOMPARE(parsed.data, static_cast<uint8_t*>(nullptr));
    QCOMPARE(modbus_rtu_rx_buffer[0], uint8_t(0x11));
    // A declared count of 255 in a short frame is a plain mismatch.
    frame[6] = 255;
    QCOMPARE(ModbusRtuRequestPars(frame.data(), 138, &parsed), MODBUS_RTU_COUNT_MISMATCH);
    QCOMPARE(modbus_rtu_rx_buffer[0], uint8_t(0x11));
}

void TestRtu::longFrameStillCarriesRealCrc()
{
    // 255 data bytes: the CRC covers 262 bytes, beyond crc16_modbus's cap.
    std::vector<uint8_t> data(255, 0x3C);
    std::vector<uint8_t> frame(255 + 9);
    QCOMPARE(int(ModbusRtuRequestCreate(1, 3, 0, data.data(), 255, 1, frame.data())), 264);
    uint16_t crc = 0;
    std::memcpy(&crc, frame.data() + 262, 2);
    QCOMPARE(crc, crc16_modbus_unbounded(frame.data(), 262));
    QVERIFY(crc != 0);
}

void TestRtu::builderRefusesNullPointers()
{
    uint8_t out[16];
    std::memset(out, 0x77, sizeof(out));
    QCOMPARE(int(ModbusRtuRequestCreate(1, 3, 0, nullptr, 0, 1, out)), 0);
    QCOMPARE(out[0], uint8_t(0x77));
    QCOMPARE(int(ModbusRtuResponseCreate(1, 3, 0, THREE_BYTES, 3, 1, nullptr)), 0);
    QCOMPARE(int(ModbusRtuAnswerCreate(1, 3, 2, nullptr)), 0);
    SModbusRtuRequest parsed{};
    QCOMPARE(ModbusRtuRequestPars(nullptr, 12, &parsed), MODBUS_RTU_NO_FRAME);
    QCOMPARE(ModbusRtuRequestPars(out, 12, nullptr), MODBUS_RTU_NO_RESULT);
    SModbusRtuAnswer answer{};
    QCOMPARE(ModbusRtuAnswerPars(nullptr, 5, &answer), MODBUS_RTU_NO_FRAME);
    QCOMPARE(ModbusRtuAnswerPars(out, 5, nullptr), MODBUS_RTU_NO_RESULT);
}

void TestRtu::answerFrame()
{
    uint8_t out[5];
    QCOMPARE(int(ModbusRtuAnswerCreate(1, 3, 2, out)), 5);
    // 01 = device, 83 = function 3 with the exception bit, 02 = code
    QCOMPARE(out[0], uint8_t(0x01));
    QCOMPARE(out[1], uint8_t(0x83));
    QCOMPARE(out[2], uint8_t(0x02));
    // CRC-16/MODBUS of 01 83 02 is 0xF1C0; crc16_modbus returns it swapped,
    // 0xC0F1, and the frame stores that low byte first: f1 c0.
    const uint16_t crc = crc16_modbus(out, 3);
    QCOMPARE(crc, uint16_t(0xC0F1));
    QCOMPARE(out[3], uint8_t(0xF1));
    QCOMPARE(out[4], uint8_t(0xC0));
    SModbusRtuAnswer parsed{};
    QCOMPARE(ModbusRtuAnswerPars(out, 5, &parsed), MODBUS_RTU_OK);
    QCOMPARE(parsed.address, uint8_t(1));
    QCOMPARE(parsed.function, uint8_t(0x83));
    QCOMPARE(parsed.code, uint8_t(2));
    QCOMPARE(parsed.crc, crc);
}

void TestRtu::damagedAnswer_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("expected");
    QTest::newRow("a changed code byte fails the CRC") << 2 << 5 << int(MODBUS_RTU_CRC_MISMATCH);
    QTest::newRow("a changed CRC byte fails the CRC") << 4 << 5 << int(MODBUS_RTU_CRC_MISMATCH);
    QTest::newRow("four bytes are the wrong length") << -1 << 4 << int(MODBUS_RTU_WRONG_LENGTH);
    QTest::newRow("six bytes are the wrong length") << -1 << 6 << int(MODBUS_RTU_WRONG_LENGTH);
}

void TestRtu::damagedAnswer()
{
    QFETCH(int, offset);
    QFETCH(int, length);
    QFETCH(int, expected);
    uint8_t out[6] = {};
    ModbusRtuAnswerCreate(7, 4, 1, out);
    if (offset >= 0)
        out[offset] ^= 0x01;
    SModbusRtuAnswer parsed{};
    QCOMPARE(int(ModbusRtuAnswerPars(out, static_cast<uint16_t>(length), &parsed)), expected);
}

QTEST_APPLESS_MAIN(TestRtu)
#include "tst_rtu.moc"
