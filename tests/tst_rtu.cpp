#include <QtTest>

#include <cstring>
#include <vector>

#include "modbus/crc_lib.h"
#include "modbus/modbus_rtu.h"

namespace {
// The check input of the CRC catalogue: ASCII "123456789".
const uint8_t CHECK_INPUT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// Every routine behind one signature; the length narrows to the routine's own type.
template <auto F> quint32 call(const uint8_t* data, int length)
{
    return F(data, length);
}

struct SRoutine
{
    const char* name;
    quint32 (*run)(const uint8_t*, int);
    quint32 check; // of the check input
    quint32 empty; // of no input
};

const SRoutine ROUTINES[] = {
    {"crc8_fast", call<crc8_fast>, 0xF7, 0xFF},
    {"crc8_reflected_fast", call<crc8_reflected_fast>, 0xA1, 0x00},
    {"crc16_fast", call<crc16_fast>, 0x29B1, 0xFFFF},
    {"crc16_slow", call<crc16_slow>, 0x29B1, 0xFFFF},
    {"crc16_slow_full", call<crc16_slow_full>, 0x29B1, 0xFFFF},
    // The catalogue's 0x4B37 with its bytes swapped; no input gives the initial value.
    {"crc16_modbus", call<crc16_modbus>, 0x374B, 0xFFFF},
    {"crc32_fast_full", call<crc32_fast_full>, 0xCBF43926, 0},
    {"crc32_slow_full", call<crc32_slow_full>, 0xCBF43926, 0},
};
} // namespace

class TestRtu : public QObject
{
    Q_OBJECT
private slots:
    void checkValues_data()
    {
        QTest::addColumn<int>("routine");
        for (int i = 0; i < int(std::size(ROUTINES)); ++i)
            QTest::addRow("%s gives the catalogue check value", ROUTINES[i].name) << i;
    }

    void checkValues()
    {
        QFETCH(int, routine);
        QCOMPARE(ROUTINES[routine].run(CHECK_INPUT, 9), ROUTINES[routine].check);
        QCOMPARE(ROUTINES[routine].run(CHECK_INPUT, 0), ROUTINES[routine].empty);
    }

    void modbusCrcWireOrderAndLimits()
    {
        // Stored as it comes, the word goes out as the catalogue's bytes 4B 37.
        const uint16_t crc = crc16_modbus(CHECK_INPUT, sizeof(CHECK_INPUT));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&crc), 2).toHex(), QByteArray("4b37"));
        const std::vector<uint8_t> block(257, 0x5A);
        QVERIFY(crc16_modbus(block.data(), 256) != 0);
        QCOMPARE(crc16_modbus(block.data(), 257), uint16_t(0));
        QCOMPARE(reverse(1), 0x80000000u);
    }

    void requestRoundTrip()
    {
        const uint8_t data[] = {0xDE, 0xAD, 0x42};
        uint8_t frame[13];
        frame[12] = 0xEE;
        QCOMPARE(int(ModbusRtuRequestCreate(0x11, 0x03, 0x1234, data, 3, 0x0002, frame)), 12);
        QCOMPARE(frame[12], uint8_t(0xEE)); // nothing written past the frame
        SModbusRtuRequest parsed{};
        QCOMPARE(ModbusRtuRequestPars(frame, 12, &parsed), MODBUS_RTU_OK);
        // address, function, register address and count, packed in host order
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&parsed), 6).toHex(' '),
                 QByteArray("11 03 34 12 02 00"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(parsed.data), parsed.dataCount).toHex(),
                 QByteArray("dead42"));
        QCOMPARE(parsed.crc, crc16_modbus(frame, 10));
    }

    void damagedRequest_data()
    {
        QTest::addColumn<int>("dataBytes");
        QTest::addColumn<int>("offset"); // byte to invert, -1 for none
        QTest::addColumn<int>("length"); // bytes handed to the parser
        QTest::addColumn<int>("expected");
        const auto row = [](const char* name, int dataBytes, int offset, int length,
                            EModbusRtuResult expected) {
            QTest::newRow(name) << dataBytes << offset << length << int(expected);
        };
        // 11 03 | 34 12 | 02 00 | 03 | a5 a5 a5 | crc lo hi (12 bytes)
        row("a changed data byte fails the CRC", 3, 8, 12, MODBUS_RTU_CRC_MISMATCH);
        row("a changed CRC byte fails the CRC", 3, 10, 12, MODBUS_RTU_CRC_MISMATCH);
        row("a changed data count mismatches the length", 3, 6, 12, MODBUS_RTU_COUNT_MISMATCH);
        row("one byte cut off mismatches the count", 3, -1, 11, MODBUS_RTU_COUNT_MISMATCH);
        row("eight bytes are too short for a frame", 3, -1, 8, MODBUS_RTU_WRONG_LENGTH);
        // 129 data bytes make a consistent frame that does not fit the 128-byte receive buffer.
        row("129 data bytes are refused before the copy", 129, -1, 138, MODBUS_RTU_DATA_TOO_LONG);
    }

    void damagedRequest()
    {
        QFETCH(int, dataBytes);
        QFETCH(int, offset);
        QFETCH(int, length);
        QFETCH(int, expected);
        std::vector<uint8_t> data(dataBytes, 0xA5);
        std::vector<uint8_t> frame(dataBytes + 9);
        ModbusRtuRequestCreate(0x11, 0x03, 0x1234, data.data(), uint8_t(dataBytes), 2, frame.data());
        if (offset >= 0)
            frame[offset] = uint8_t(~frame[offset]);
        std::memset(modbus_rtu_rx_buffer, 0x11, sizeof(modbus_rtu_rx_buffer));
        SModbusRtuRequest parsed{};
        QCOMPARE(int(ModbusRtuRequestPars(frame.data(), uint16_t(length), &parsed)), expected);
        // Only a frame whose count fits both the frame and the buffer is copied.
        if (expected != MODBUS_RTU_CRC_MISMATCH) {
            QCOMPARE(modbus_rtu_rx_buffer[0], uint8_t(0x11));
            QVERIFY(!parsed.data);
        }
    }

    void nullPointersAreRefused()
    {
        uint8_t out[16] = {};
        SModbusRtuRequest request{};
        SModbusRtuAnswer answer{};
        QCOMPARE(int(ModbusRtuRequestCreate(1, 3, 0, nullptr, 0, 1, out)), 0);
        QCOMPARE(int(ModbusRtuAnswerCreate(1, 3, 2, nullptr)), 0);
        QCOMPARE(ModbusRtuRequestPars(nullptr, 12, &request), MODBUS_RTU_NO_FRAME);
        QCOMPARE(ModbusRtuRequestPars(out, 12, nullptr), MODBUS_RTU_NO_RESULT);
        QCOMPARE(ModbusRtuAnswerPars(nullptr, 5, &answer), MODBUS_RTU_NO_FRAME);
        QCOMPARE(ModbusRtuAnswerPars(out, 5, nullptr), MODBUS_RTU_NO_RESULT);
    }

    void answerFrame()
    {
        uint8_t out[5];
        QCOMPARE(int(ModbusRtuAnswerCreate(1, 3, 2, out)), 5);
        // 01 device, 83 function 3 with the exception bit, 02 code, f1 c0 CRC word 0xC0F1 low byte first
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), 5).toHex(' '), QByteArray("01 83 02 f1 c0"));
        SModbusRtuAnswer parsed{};
        QCOMPARE(ModbusRtuAnswerPars(out, 5, &parsed), MODBUS_RTU_OK);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(&parsed), 3).toHex(' '), QByteArray("01 83 02"));
        out[2] ^= 0x01;
        QCOMPARE(ModbusRtuAnswerPars(out, 5, &parsed), MODBUS_RTU_CRC_MISMATCH);
    }
};

QTEST_APPLESS_MAIN(TestRtu)
#include "tst_rtu.moc"
