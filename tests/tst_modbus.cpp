#include <QtTest>

#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

#include <modbus.h>

#include "app/CLogFile.h"
#include "modbus/CDeviceHandler.h"
#include "modbus/CModbusTcpFramer.h"
#include "storage/CDataBaseHandler.h"

using Framer = CModbusTcpFramer;
using WordMap = QMap<uint16_t, uint16_t>;

namespace {
const QString EUI_A = QStringLiteral("70B3D5E75E000A01");
const QString EUI_B = QStringLiteral("70B3D5E75E000B02");
const QString LOG_1 = QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
const QString LOG_2 = QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
const QString LOG_3 = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// Read request: transaction, protocol 0, length 6, unit 1, function, address, quantity.
QByteArray request(quint16 tid, quint8 function, quint16 start, quint16 count)
{
    QByteArray out;
    for (quint16 word : {tid, quint16(0), quint16(6)})
        out.append(char(word >> 8)).append(char(word & 0xFF));
    out.append(char(1)).append(char(function));
    for (quint16 word : {start, count})
        out.append(char(word >> 8)).append(char(word & 0xFF));
    return out;
}

// A port nobody listens on right now, picked by the OS.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

QList<REGS::SRegisterInfo> registerList(const QList<QPair<int, int>>& biasAndBits)
{
    QList<REGS::SRegisterInfo> registers;
    for (const auto& entry : biasAndBits) {
        REGS::SRegisterInfo info;
        info.dataName = QStringLiteral("r%1").arg(entry.first);
        info.source = 1;
        info.regMapBias = entry.first;
        info.regBitSize = entry.second;
        info.dataType = QStringLiteral("uinteger");
        registers.append(info);
    }
    return registers;
}

// A store that hands out address * 2 for every requested address.
WordMap doubledAddresses(int, int start, int count)
{
    WordMap map;
    for (int i = 0; i < count; ++i)
        map.insert(uint16_t(start + i), uint16_t(2 * (start + i)));
    return map;
}

QString readLog()
{
    QFile file(QStringLiteral("history.log"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}
} // namespace

class TestModbus : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void framerTable_data();
    void framerTable();
    void framerAsksStoreOnlyForServedReads();

    void framingOverSockets_data();
    void framingOverSockets();
    void libmodbusClientReads_data();
    void libmodbusClientReads();
    void mbpollReads_data();
    void mbpollReads();
    void floodInOneWriteIsAnsweredInOrder();
    void fuzzedFramesLeaveListenerServing();
    void peerThatNeverReadsIsDropped();
    void busyPortIsReported();
    void listenerKeepsEachDeviceOnce();

private:
    quint16 startGateway();
    QByteArray exchange(QTcpSocket& client, const QList<QByteArray>& chunks, int expectedSize);
    void waitForLog(const QString& line);

    QTemporaryDir* dir = nullptr;
    QString previousDir;
    CDeviceHandler* listener = nullptr;
};

void TestModbus::init()
{
    previousDir = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(dir->isValid());
    QDir::setCurrent(dir->path());
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
    QVERIFY(CDataBaseHandler::getInstance());
}

void TestModbus::cleanup()
{
    delete listener;
    listener = nullptr;
    // Let deferred deletions of connections run before storage goes away.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    CDataBaseHandler::resetInstance();
    delete CLogFile::getInstance();
    QDir::setCurrent(previousDir);
    delete dir;
    dir = nullptr;
}

// Device A at 100: 100 (16 bit, 0x1234), 101 (16 bit, never stored), 102-103 (32 bit,
// 0xDEADBEEF), 105 (16 bit, 0x00FF). Device B at 106 on the same port: 106 (16 bit, 0xABCD).
quint16 TestModbus::startGateway()
{
    const quint16 port = freePort();
    CDataBaseHandler* store = CDataBaseHandler::getInstance();
    DB::SDeviceRegMapDescription a{EUI_A, QStringLiteral("A1"), QStringLiteral("meter"), 100,
                                   registerList({{0, 16}, {1, 16}, {2, 32}, {5, 16}})};
    DB::SDeviceRegMapDescription b{EUI_B, QStringLiteral("B2"), QStringLiteral("probe"), 106,
                                   registerList({{0, 16}})};
    if (!store->registerNewDevice(a, port) || !store->registerNewDevice(b, port))
        return 0;
    DB::SDbDeviceRegDataSet setA{EUI_A, 100, {}, {}};
    setA.appendRewriteData(QStringLiteral("1234"), 0, QStringLiteral("1234"));
    setA.appendRewriteData(QStringLiteral("dead"), 2, QStringLiteral("deadbeef"));
    setA.appendRewriteData(QStringLiteral("beef"), 3, QString());
    setA.appendRewriteData(QStringLiteral("00ff"), 5, QStringLiteral("00ff"));
    store->saveRegisterData(setA);
    DB::SDbDeviceRegDataSet setB{EUI_B, 106, {}, {}};
    setB.appendRewriteData(QStringLiteral("abcd"), 0, QStringLiteral("abcd"));
    store->saveRegisterData(setB);
    listener = new CDeviceHandler(port);
    listener->appendDevice(EUI_A);
    listener->appendDevice(EUI_B);
    return listener->isListening() ? port : 0;
}

QByteArray TestModbus::exchange(QTcpSocket& client, const QList<QByteArray>& chunks, int expectedSize)
{
    for (int i = 0; i < chunks.size(); ++i) {
        client.write(chunks.at(i));
        client.flush();
        // Give the gateway a read of its own for every piece.
        if (i + 1 < chunks.size())
            QTest::qWait(60);
    }
    QElapsedTimer timer;
    timer.start();
    while (client.bytesAvailable() < expectedSize && timer.elapsed() < 5000)
        QTest::qWait(5);
    QTest::qWait(60); // anything beyond the expected answer would show up now
    return client.readAll();
}

void TestModbus::waitForLog(const QString& line)
{
    QTRY_VERIFY_WITH_TIMEOUT(readLog().contains(line), 3000);
}

void TestModbus::framerTable_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("five bytes hold no length yet")
        << hex("0001 0000 00") << int(Framer::FRAME_INCOMPLETE_HEADER) << 0 << QByteArray();
    QTest::newRow("eleven bytes of a twelve-byte request wait for the rest")
        << hex("0001 0000 0006 01 03 0064 00") << int(Framer::FRAME_INCOMPLETE) << 0 << QByteArray();
    // tid 1, proto 0, len 6, unit 1, fc 3, start 0x0064, qty 2 -> words 0x00c8, 0x00ca
    QTest::newRow("read 2 holding registers from 0x0064")
        << hex("0001 0000 0006 01 03 0064 0002") << int(Framer::FRAME_FOUND) << 12
        << hex("0001 0000 0007 01 03 04 00c8 00ca");
    // fc 4 is answered from the same store as fc 3
    QTest::newRow("read 1 input register from 0x0010")
        << hex("0002 0000 0006 01 04 0010 0001") << int(Framer::FRAME_FOUND) << 12
        << hex("0002 0000 0005 01 04 02 0020");
    // only the first frame is taken; the second stays in the buffer
    QTest::newRow("two frames in the buffer yield the first")
        << hex("0001 0000 0006 01 03 0001 0001 0002 0000 0006 01 03 0002 0001") << int(Framer::FRAME_FOUND)
        << 12 << hex("0001 0000 0005 01 03 02 0002");
    // fc 6 write single register -> 0x86, exception 1
    QTest::newRow("write single register gets illegal function")
        << hex("0003 0000 0006 01 06 0064 0001") << int(Framer::FRAME_FOUND) << 12
        << hex("0003 0000 0003 01 86 01");
    // fc 1 read coils -> 0x81, exception 1
    QTest::newRow("read coils gets illegal function")
        << hex("0004 0000 0006 01 01 0000 0008") << int(Framer::FRAME_FOUND) << 12
        << hex("0004 0000 0003 01 81 01");
    // qty 0x7e = 126 is one above what a byte count can state
    QTest::newRow("a read of 126 registers gets illegal data value")
        << hex("0005 0000 0006 01 03 0000 007e") << int(Framer::FRAME_FOUND) << 12
        << hex("0005 0000 0003 01 83 03");
    QTest::newRow("a read of 65535 registers gets illegal data value")
        << hex("0005 0000 0006 01 04 0000 ffff") << int(Framer::FRAME_FOUND) << 12
        << hex("0005 0000 0003 01 84 03");
    // qty 0 -> length 3, byte count 0
    QTest::newRow("a read of no registers answers an empty byte count")
        << hex("0006 0000 0006 01 03 0064 0000") << int(Framer::FRAME_FOUND) << 12
        << hex("0006 0000 0003 01 03 00");
    // tid 0xbeef, proto 0x1234, unit 0xfe are echoed as they came
    QTest::newRow("identifiers of any value are echoed")
        << hex("beef 1234 0006 fe 03 0001 0001") << int(Framer::FRAME_FOUND) << 12
        << hex("beef 1234 0005 fe 03 02 0002");
    // len 8: two extra bytes after the quantity are skipped with the frame
    QTest::newRow("bytes beyond the quantity are consumed with the frame")
        << hex("0007 0000 0008 01 03 0001 0001 aaaa") << int(Framer::FRAME_FOUND) << 14
        << hex("0007 0000 0005 01 03 02 0002");
    // len 2: too short for a read, dropped with its 8 bytes
    QTest::newRow("a length field of 2 drops the frame")
        << hex("0008 0000 0002 01 03 0001 0001") << int(Framer::FRAME_DROPPED) << 8 << QByteArray();
    QTest::newRow("a length field of 0 drops the header")
        << hex("0008 0000 0000") << int(Framer::FRAME_DROPPED) << 6 << QByteArray();
    // start 0xffff qty 2: the address wraps to 0 as the store does
    QTest::newRow("a read across the top address wraps in request order")
        << hex("0009 0000 0006 01 03 ffff 0002") << int(Framer::FRAME_FOUND) << 12
        << hex("0009 0000 0007 01 03 04 fffe 0000");
}

void TestModbus::framerTable()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, status);
    QFETCH(int, consumed);
    QFETCH(QByteArray, answer);
    const Framer::SFrameResult result = Framer::takeFrame(buffer, 502, doubledAddresses);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.consumed, consumed);
    QCOMPARE(result.answer.toHex(' '), answer.toHex(' '));
}

void TestModbus::framerAsksStoreOnlyForServedReads()
{
    int calls = 0;
    WordMap reply;
    // A store that returns more than asked (a wide datum running past the end).
    reply.insert(10, 0x1111);
    reply.insert(11, 0x2222);
    reply.insert(12, 0x3333);
    const auto store = [&](int port, int start, int count) {
        ++calls;
        return port == 1502 && start == 10 && count == 2 ? reply : WordMap();
    };
    Framer::SFrameResult result = Framer::takeFrame(hex("0001 0000 0006 01 03 000a 0002"), 1502, store);
    QCOMPARE(calls, 1);
    QCOMPARE(result.answer.toHex(' '), hex("0001 0000 0007 01 03 04 1111 2222").toHex(' '));
    for (const char* frame : {"0001 0000 0006 01 06 000a 0002", "0001 0000 0006 01 03 000a 0000",
                              "0001 0000 0006 01 03 000a 0080"}) {
        result = Framer::takeFrame(hex(frame), 1502, store);
        QCOMPARE(int(result.status), int(Framer::FRAME_FOUND));
    }
    QCOMPARE(calls, 1);
}

void TestModbus::framingOverSockets_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<QStringList>("notLogged");

    const QStringList none;
    const QStringList all = {LOG_1, LOG_2, LOG_3};
    // read 1 at 100 -> 0x1234
    QTest::newRow("a header in two pieces is answered when the last byte comes")
        << QList<QByteArray>{hex("0001 0000 0006 01 03 0064 00"), hex("01")}
        << hex("0001 0000 0005 01 03 02 1234") << QStringList{LOG_2} << QStringList{LOG_1, LOG_3};
    QTest::newRow("six bytes first, then the rest")
        << QList<QByteArray>{hex("0001 0000 0006"), hex("01 03 0064 0001")}
        << hex("0001 0000 0005 01 03 02 1234") << QStringList{LOG_2} << QStringList{LOG_1, LOG_3};
    QTest::newRow("three bytes first log the short header line")
        << QList<QByteArray>{hex("0001 00"), hex("00 0006 01 03 0064 0001")}
        << hex("0001 0000 0005 01 03 02 1234") << QStringList{LOG_1} << QStringList{LOG_2, LOG_3};
    // tid 1 fc 3 at 100, tid 2 fc 4 at 105 -> 0x1234 then 0x00ff
    QTest::newRow("two frames in one segment are answered in order")
        << QList<QByteArray>{hex("0001 0000 0006 01 03 0064 0001 0002 0000 0006 01 04 0069 0001")}
        << hex("0001 0000 0005 01 03 02 1234 0002 0000 0005 01 04 02 00ff") << none << all;
    // fc 6 -> 86 01, then a read at 100 is still answered
    QTest::newRow("write single register is refused and the next frame answered")
        << QList<QByteArray>{hex("0003 0000 0006 01 06 0064 0001 0004 0000 0006 01 03 0064 0001")}
        << hex("0003 0000 0003 01 86 01 0004 0000 0005 01 03 02 1234") << none << all;
    QTest::newRow("read coils is refused with 0x81")
        << QList<QByteArray>{hex("0005 0000 0006 01 01 0064 0001")} << hex("0005 0000 0003 01 81 01") << none
        << all;
    // len 2: dropped; nothing follows so the short-buffer line comes too
    QTest::newRow("a length field of 2 is dropped alone")
        << QList<QByteArray>{hex("0006 0000 0002 01 03")} << QByteArray() << QStringList{LOG_3, LOG_1}
        << QStringList{LOG_2};
    QTest::newRow("a length field of 2 is dropped and the next frame answered")
        << QList<QByteArray>{hex("0006 0000 0002 01 03 0007 0000 0006 01 03 0064 0001")}
        << hex("0007 0000 0005 01 03 02 1234") << QStringList{LOG_3} << QStringList{LOG_1, LOG_2};
    // tid 0xbeef, proto 0x1234, unit 0xfe -> echoed
    QTest::newRow("identifiers of any value are echoed")
        << QList<QByteArray>{hex("beef 1234 0006 fe 04 0064 0001")} << hex("beef 1234 0005 fe 04 02 1234")
        << none << all;
    QTest::newRow("a quantity of 0 answers an empty byte count")
        << QList<QByteArray>{hex("0008 0000 0006 01 03 0064 0000")} << hex("0008 0000 0003 01 03 00") << none
        << all;
    // 99..102: nothing at 99, 0x1234, never stored, first word of 0xdeadbeef
    QTest::newRow("unknown and unstored addresses read as zeros")
        << QList<QByteArray>{hex("0009 0000 0006 01 03 0063 0004")}
        << hex("0009 0000 000b 01 03 08 0000 1234 0000 dead") << none << all;
    // 100..102 ends on the first word of the 32-bit datum: exactly 3 words
    QTest::newRow("a read ending on the first word of a 32-bit datum carries only what was asked")
        << QList<QByteArray>{hex("000a 0000 0006 01 03 0064 0003")}
        << hex("000a 0000 0009 01 03 06 1234 0000 dead") << none << all;
    QTest::newRow("a read starting on the second word of a 32-bit datum gets that word")
        << QList<QByteArray>{hex("000b 0000 0006 01 04 0067 0002")}
        << hex("000b 0000 0007 01 04 04 beef 0000") << none << all;
    // 100..106 spans device A and device B on the same port
    QTest::newRow("several devices on one port are merged")
        << QList<QByteArray>{hex("000c 0000 0006 01 03 0064 0007")}
        << hex("000c 0000 0011 01 03 0e 1234 0000 dead beef 0000 00ff abcd") << none << all;
    QTest::newRow("a read of 126 registers gets illegal data value")
        << QList<QByteArray>{hex("000d 0000 0006 01 03 0064 007e")} << hex("000d 0000 0003 01 83 03") << none
        << all;
    // len 0xffff: the largest frame there is, 65541 bytes, arrives over several reads
    QTest::newRow("a frame of the largest declared length is answered")
        << QList<QByteArray>{hex("0010 0000 ffff 01 03 0064 0001") + QByteArray(65529, char(0xA5))}
        << hex("0010 0000 0005 01 03 02 1234") << none << QStringList{LOG_1, LOG_3};
    // a complete frame plus 3 bytes of the next one
    QTest::newRow("a frame with a short tail is answered and the tail waits")
        << QList<QByteArray>{hex("000e 0000 0006 01 03 0069 0001 000f 00")}
        << hex("000e 0000 0005 01 03 02 00ff") << QStringList{LOG_1} << QStringList{LOG_2, LOG_3};
}

void TestModbus::framingOverSockets()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, notLogged);
    const quint16 port = startGateway();
    QVERIFY(port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(3000));
    QCOMPARE(exchange(client, chunks, answer.size()).toHex(' '), answer.toHex(' '));
    for (const QString& line : logged)
        waitForLog(line);
    QTest::qWait(30);
    const QString log = readLog();
    for (const QString& line : notLogged)
        QVERIFY2(!log.contains(line), qPrintable(line));
}

void TestModbus::libmodbusClientReads_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("words");
    QTest::newRow("holding registers over both devices")
        << 3 << 100 << 7 << QList<int>{0x1234, 0, 0xDEAD, 0xBEEF, 0, 0x00FF, 0xABCD};
    QTest::newRow("input registers over both devices")
        << 4 << 100 << 7 << QList<int>{0x1234, 0, 0xDEAD, 0xBEEF, 0, 0x00FF, 0xABCD};
    QTest::newRow("holding registers ending on the first word of a 32-bit datum")
        << 3 << 101 << 2 << QList<int>{0, 0xDEAD};
    QTest::newRow("input registers ending on the first word of a 32-bit datum")
        << 4 << 102 << 1 << QList<int>{0xDEAD};
    QTest::newRow("the full 125 registers from 50") << 3 << 50 << 125 << QList<int>{};
}

void TestModbus::libmodbusClientReads()
{
    QFETCH(int, function);
    QFETCH(int, start);
    QFETCH(int, count);
    QFETCH(QList<int>, words);
    const quint16 port = startGateway();
    QVERIFY(port);
    std::vector<uint16_t> received(count, 0x5555);
    std::atomic<int> result{-2};
    // libmodbus blocks, so it runs beside the event loop that serves it.
    std::thread worker([&] {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        if (ctx && modbus_connect(ctx) == 0) {
            result = function == 3 ? modbus_read_registers(ctx, start, count, received.data())
                                   : modbus_read_input_registers(ctx, start, count, received.data());
            modbus_close(ctx);
        } else {
            result = -3;
        }
        if (ctx)
            modbus_free(ctx);
    });
    QTRY_VERIFY_WITH_TIMEOUT(result != -2, 5000);
    worker.join();
    QCOMPARE(int(result), count);
    if (words.isEmpty()) {
        // 50..149: the stored words sit at 100..106, zeros around them.
        QCOMPARE(int(received[50]), 0x1234);
        QCOMPARE(int(received[56]), 0xABCD);
        QCOMPARE(int(received[0]), 0);
        QCOMPARE(int(received[124]), 0);
        return;
    }
    for (int i = 0; i < count; ++i)
        QCOMPARE(int(received[i]), words.at(i));
}

void TestModbus::mbpollReads_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("expected");
    // mbpoll counts references from 1 unless -0 is given.
    QTest::newRow("holding registers from reference 101")
        << QStringList{"-t", "4:hex", "-r", "101", "-c", "3"}
        << QStringList{"[101]: \t0x1234", "[102]: \t0x0000", "[103]: \t0xDEAD"};
    QTest::newRow("input registers with zero-based addressing")
        << QStringList{"-0", "-t", "3:hex", "-r", "102", "-c", "2"}
        << QStringList{"[102]: \t0xDEAD", "[103]: \t0xBEEF"};
    QTest::newRow("holding registers ending on the first word of a 32-bit datum")
        << QStringList{"-0", "-t", "4:hex", "-r", "105", "-c", "2"}
        << QStringList{"[105]: \t0x00FF", "[106]: \t0xABCD"};
}

void TestModbus::mbpollReads()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, expected);
    // The README installs mbpoll; its absence is a broken setup, not a reason to skip.
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    QVERIFY2(!mbpoll.isEmpty(), "mbpoll is not installed");
    const quint16 port = startGateway();
    QVERIFY(port);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(mbpoll, QStringList{"-m", "tcp", "-a", "1", "-1", "-p", QString::number(port)} + args +
                              QStringList{"127.0.0.1"});
    QVERIFY(process.waitForStarted(3000));
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
    const QString output = QString::fromLocal8Bit(process.readAll());
    QCOMPARE(process.exitCode(), 0);
    for (const QString& line : expected)
        QVERIFY2(output.contains(line), qPrintable(output));
}

void TestModbus::floodInOneWriteIsAnsweredInOrder()
{
    // 30000 requests, 360 KB: the gateway takes them a slice at a time, and the
    // slices cut frames apart anywhere.
    const quint16 port = startGateway();
    QVERIFY(port);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(3000));
    QByteArray flood;
    QByteArray expected;
    for (int i = 0; i < 30000; ++i) {
        const bool holding = i % 2 == 0;
        flood += request(quint16(i), holding ? 3 : 4, holding ? 100 : 105, 1);
        expected += request(quint16(i), 0, 0, 0).left(2) + hex("0000 0005 01") + char(holding ? 3 : 4) +
                    hex("02") + (holding ? hex("1234") : hex("00ff"));
    }
    client.write(flood);
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (received.size() < expected.size() && timer.elapsed() < 20000) {
        QTest::qWait(5);
        received += client.readAll();
    }
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
    QVERIFY(!readLog().contains(QStringLiteral("connection dropped")));
}

void TestModbus::fuzzedFramesLeaveListenerServing()
{
    const quint16 port = startGateway();
    QVERIFY(port);
    QRandomGenerator random(20261206);
    const QByteArray good = request(1, 3, 100, 3);
    int sent = 0;
    for (int connection = 0; connection < 20; ++connection) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(3000));
        for (int i = 0; i < 150; ++i, ++sent) {
            QByteArray frame = good;
            switch (random.bounded(4)) {
            case 0: // random bytes of random length
                frame.resize(random.bounded(1, 40));
                for (char& c : frame)
                    c = char(random.bounded(256));
                break;
            case 1: // a few flipped bytes anywhere, length field included
                for (int k = random.bounded(1, 4); k > 0; --k)
                    frame[random.bounded(frame.size())] = char(random.bounded(256));
                break;
            case 2: // any function and quantity
                frame[7] = char(random.bounded(256));
                frame[10] = char(random.bounded(256));
                frame[11] = char(random.bounded(256));
                break;
            default: // truncated
                frame.truncate(random.bounded(frame.size()));
            }
            client.write(frame);
            if (i % 25 == 0)
                QTest::qWait(1);
        }
        client.flush();
        QTest::qWait(5);
        client.abort();
    }
    QCOMPARE(sent, 3000);
    QTest::qWait(50);
    QTcpSocket fresh;
    fresh.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(fresh.waitForConnected(3000));
    QCOMPARE(exchange(fresh, {good}, 15).toHex(' '),
             hex("0001 0000 0009 01 03 06 1234 0000 dead").toHex(' '));
}

void TestModbus::peerThatNeverReadsIsDropped()
{
    const quint16 port = startGateway();
    QVERIFY(port);
    QTcpSocket sink;
    // A tiny read buffer makes the client socket stop taking bytes from the kernel.
    sink.setReadBufferSize(16);
    sink.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(sink.waitForConnected(3000));
    const QString sinkPeer =
        QStringLiteral("Peer [%1:%2]").arg(sink.localAddress().toString()).arg(sink.localPort());
    QTcpSocket reader;
    reader.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(reader.waitForConnected(3000));

    QByteArray burst;
    for (int i = 0; i < 2000; ++i)
        burst += request(quint16(i), 3, 0, 125);
    QElapsedTimer timer;
    timer.start();
    int answered = 0;
    bool dropped = false;
    for (int round = 0; round < 400 && timer.elapsed() < 60000 && !dropped; ++round) {
        sink.write(burst);
        const QByteArray answer = exchange(reader, {request(quint16(round), 4, 100, 1)}, 11);
        if (answer == request(quint16(round), 4, 0, 0).left(2) + hex("0000 0005 01 04 02 1234"))
            ++answered;
        dropped = readLog().contains(sinkPeer);
    }
    QVERIFY2(dropped, "the gateway never gave up on the peer");
    QVERIFY(readLog().contains(QStringLiteral("WARNING: [CConnectionHandler] ") + sinkPeer +
                               QStringLiteral(" does not read its answers, connection dropped")));
    QVERIFY(answered > 0);
    // The other client is still served once the sink is gone.
    const QByteArray last = exchange(reader, {request(0x7777, 3, 105, 1)}, 11);
    QCOMPARE(last.toHex(' '), hex("7777 0000 0005 01 03 02 00ff").toHex(' '));
    // Once the sink reads again it finds the connection closed by the gateway.
    sink.setReadBufferSize(0);
    QTRY_COMPARE_WITH_TIMEOUT(sink.state(), QAbstractSocket::UnconnectedState, 10000);
}

void TestModbus::busyPortIsReported()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    CDeviceHandler blocked(holder.serverPort());
    QVERIFY(!blocked.isListening());
    waitForLog(QStringLiteral("WARNING: [CDeviceHandler::CDeviceHandler] Port [%1] is not listened: ")
                   .arg(holder.serverPort()));
    const QString log = readLog();
    const int at = log.indexOf(QStringLiteral("is not listened: "));
    // The reason follows the port, and there is exactly one such line.
    QVERIFY(log.mid(at + 17).trimmed().size() > 3);
    QCOMPARE(log.count(QStringLiteral("is not listened")), 1);
}

void TestModbus::listenerKeepsEachDeviceOnce()
{
    CDeviceHandler handler(freePort());
    handler.appendDevice(EUI_A);
    QTest::ignoreMessage(
        QtDebugMsg,
        qPrintable(QStringLiteral("[CDeviceHandler::appendDevice] Device [%1] already exist!").arg(EUI_A)));
    handler.appendDevice(EUI_A);
    handler.appendDevice(EUI_B);
    QCOMPARE(handler.getDevEuiList(), (QStringList{EUI_A, EUI_B}));
    handler.removeDevice(EUI_A);
    QCOMPARE(handler.getDevEuiList(), QStringList{EUI_B});
    handler.removeDevice(EUI_A);
    QCOMPARE(handler.getDevEuiList(), QStringList{EUI_B});
}

QTEST_GUILESS_MAIN(TestModbus)
#include "tst_modbus.moc"
