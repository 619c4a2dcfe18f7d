#include <QtNetwork>
#include <QtTest>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include <modbus.h>

#include "app/CLogFile.h"
#include "modbus/CDeviceHandler.h"
#include "modbus/CModbusTcpFramer.h"
#include "storage/CDataBaseHandler.h"

using Framer = CModbusTcpFramer;

namespace {
const QString EUI_A = QStringLiteral("70B3D5E75E000A01");
const QString EUI_B = QStringLiteral("70B3D5E75E000B02");
const QStringList INCOMPLETE_LINES = {
    QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue..."),
    QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue..."),
    QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...")};

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// tid, protocol 0, length 6, unit 1, function, start, quantity
QByteArray request(quint16 tid, quint8 function, quint16 start, quint16 count)
{
    QByteArray out;
    QDataStream(&out, QIODevice::WriteOnly)
        << tid << quint16(0) << quint16(6) << quint8(1) << function << start << count;
    return out;
}

QString readLog()
{
    QFile file(QStringLiteral("history.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

class TestModbus : public QObject
{
    Q_OBJECT
    QTemporaryDir* dir = nullptr;
    QString previousDir;
    CDeviceHandler* listener = nullptr;

    // Device A at 100: 100 = 0x1234, 101 never stored, 102-103 = 32-bit 0xDEADBEEF,
    // 105 = 0x00FF. Device B at 106 on the same port: 106 = 0xABCD.
    quint16 startGateway()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        const auto reg = [](int bias, int bits) {
            return REGS::SRegisterInfo{QStringLiteral("r%1").arg(bias), 1,   bias, bits,
                                       QStringLiteral("uinteger"),      0.0, 1.0,  {}};
        };
        CDataBaseHandler* store = CDataBaseHandler::getInstance();
        if (!store->registerNewDevice(
                {EUI_A, "A1", "meter", 100, {reg(0, 16), reg(1, 16), reg(2, 32), reg(5, 16)}}, port) ||
            !store->registerNewDevice({EUI_B, "B2", "probe", 106, {reg(0, 16)}}, port))
            return 0;
        const QList<DB::SDbDeviceRegDataRewrite> wordsA = {
            {"1234", "1234", 0}, {"dead", "deadbeef", 2}, {"beef", "", 3}, {"00ff", "00ff", 5}};
        store->saveRegisterData({EUI_A, 100, wordsA, {}});
        store->saveRegisterData({EUI_B, 106, {{"abcd", "abcd", 0}}, {}});
        listener = new CDeviceHandler(port);
        listener->appendDevice(EUI_A);
        listener->appendDevice(EUI_B);
        return listener->isListening() ? port : 0;
    }

    static QByteArray exchange(QTcpSocket& client, const QList<QByteArray>& chunks, int expectedSize)
    {
        for (const QByteArray& chunk : chunks) {
            client.write(chunk);
            client.flush();
            QTest::qWait(60); // the gateway gets a read of its own for every piece
        }
        QElapsedTimer timer;
        timer.start();
        while (client.bytesAvailable() < expectedSize && timer.elapsed() < 5000)
            QTest::qWait(5);
        QTest::qWait(60); // anything beyond the expected answer would show up now
        return client.readAll();
    }

private slots:
    void init()
    {
        previousDir = QDir::currentPath();
        dir = new QTemporaryDir();
        QVERIFY(dir->isValid());
        QDir::setCurrent(dir->path());
        CLogFile::getInstance(QStringLiteral("history.log"), QString());
        QVERIFY(CDataBaseHandler::getInstance());
    }

    void cleanup()
    {
        delete listener;
        listener = nullptr;
        // Connections are deleted later; let that happen before storage goes away.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        CDataBaseHandler::resetInstance();
        delete CLogFile::getInstance();
        QDir::setCurrent(previousDir);
        delete dir;
        dir = nullptr;
    }

    void framerTakesOneFrameFromTheFront()
    {
        // The store hands out address * 2, one word more than asked.
        const auto store = [](int, int start, int count, QMap<uint16_t, uint16_t>& map) {
            for (int i = 0; i <= count; ++i)
                map.insert(uint16_t(start + i), uint16_t(2 * (start + i)));
            return true;
        };
        // tid 1, proto 0, len 6, unit 1, fc 3, start 0x0064, qty 2, then part of a second frame
        // -> 12 bytes taken, answer len 7, byte count 4, words 0x00c8 0x00ca
        Framer::SFrameResult result =
            Framer::takeFrame(hex("0001 0000 0006 01 03 0064 0002 0002 0000 0006 01 03"), 502, store);
        QCOMPARE(int(result.status), int(Framer::FRAME_FOUND));
        QCOMPARE(result.consumed, 12);
        QCOMPARE(result.answer.toHex(' '), hex("0001 0000 0007 01 03 04 00c8 00ca").toHex(' '));
        // start 0xffff qty 2: the second address wraps to 0 -> words 0xfffe 0x0000
        result = Framer::takeFrame(hex("0009 0000 0006 01 04 ffff 0002"), 502, store);
        QCOMPARE(result.answer.toHex(' '), hex("0009 0000 0007 01 04 04 fffe 0000").toHex(' '));
    }

    // Template offsets and widths are any int; found by fuzzing the template reader.
    void absurdTemplateRegistersLeaveReadsIntact_data()
    {
        QTest::addColumn<int>("bias");
        QTest::addColumn<int>("bits");
        QTest::addColumn<QByteArray>("answer");
        // Device at 100: 100 = 0x1234 (16 bits), then the absurd register at 100 + bias.
        // read 5 at 100: tid 7, length 13, byte count 10
        QTest::newRow("an offset past the int range wraps and leaves the port's words alone")
            << INT_MAX << 16 << hex("0007 0000 000d 01 03 0a 1234 0000 0000 0000 0000");
        // 101 holds 0x0123456789abcdef over four words; its width is billions of bits
        QTest::newRow("a datum billions of bits wide reads its stored words and zero after them")
            << 1 << INT_MAX << hex("0007 0000 000d 01 03 0a 1234 0123 4567 89ab cdef");
    }

    void absurdTemplateRegistersLeaveReadsIntact()
    {
        QFETCH(int, bias);
        QFETCH(int, bits);
        QFETCH(QByteArray, answer);
        const auto reg = [](int regBias, int regBits) {
            return REGS::SRegisterInfo{QStringLiteral("r%1").arg(regBias), 1,   regBias, regBits,
                                       QStringLiteral("uinteger"),         0.0, 1.0,     {}};
        };
        CDataBaseHandler* store = CDataBaseHandler::getInstance();
        QVERIFY(store->registerNewDevice({EUI_A, "A1", "meter", 100, {reg(0, 16), reg(bias, bits)}}, 502));
        store->saveRegisterData({EUI_A, 100, {{"1234", "1234", 0}, {"0123", "0123456789abcdef", bias}}, {}});
        const auto reader = [store](int port, int start, int count, QMap<uint16_t, uint16_t>& words) {
            words = store->getRegisterData(port, start, count);
            return true;
        };
        const Framer::SFrameResult result = Framer::takeFrame(request(7, 3, 100, 5), 502, reader);
        QCOMPARE(result.answer.toHex(' '), answer.toHex(' '));
        // The save found the row its registration wrote, wherever the offset wrapped to.
        QSqlQuery devices = store->getDevices(QString());
        QVERIFY(devices.next());
        QSqlQuery rows = store->getRegisters(devices.value(DB::DEV_COL_DEVICE).toUInt());
        QStringList values;
        while (rows.next())
            values << rows.value(DB::DATA_COL_VALUE).toString();
        values.sort();
        QCOMPARE(values, QStringList({"0123", "1234"}));
    }

    void framingOverSockets_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QList<int>>("logged"); // which incomplete-packet lines appear, [1] to [3]
        const auto row = [](const char* name, std::initializer_list<const char*> chunks, const char* answer,
                            const QList<int>& logged) {
            QList<QByteArray> pieces;
            for (const char* chunk : chunks)
                pieces.append(hex(chunk));
            QTest::newRow(name) << pieces << hex(answer) << logged;
        };
        // read 1 at 100 -> 0x1234, sent as 11 bytes and then 1
        row("a header in two pieces is answered when the last byte comes",
            {"0001 0000 0006 01 03 0064 00", "01"}, "0001 0000 0005 01 03 02 1234", {2});
        // tid 1 fc 3 at 100, tid 2 fc 4 at 105 -> 0x1234 then 0x00ff
        row("two frames in one segment are answered in order",
            {"0001 0000 0006 01 03 0064 0001 0002 0000 0006 01 04 0069 0001"},
            "0001 0000 0005 01 03 02 1234 0002 0000 0005 01 04 02 00ff", {});
        // fc 6 -> 86 01, fc 1 -> 81 01, then a read at 100 is still answered
        row("write single register and read coils are refused and the next frame answered",
            {"0003 0000 0006 01 06 0064 0001 0005 0000 0006 01 01 0064 0001 0004 0000 0006 01 03 0064 0001"},
            "0003 0000 0003 01 86 01 0005 0000 0003 01 81 01 0004 0000 0005 01 03 02 1234", {});
        // len 2: its 8 bytes are dropped; nothing follows, so the short-buffer line comes too
        row("a length field of 2 is dropped alone", {"0006 0000 0002 01 03"}, "", {3, 1});
        row("a length field of 2 is dropped and the next frame answered",
            {"0006 0000 0002 01 03 0007 0000 0006 01 03 0064 0001"}, "0007 0000 0005 01 03 02 1234", {3});
        // tid 0xbeef, proto 0x1234, unit 0xfe -> echoed
        row("identifiers of any value are echoed", {"beef 1234 0006 fe 04 0064 0001"},
            "beef 1234 0005 fe 04 02 1234", {});
        // qty 0 -> length 3, byte count 0
        row("a quantity of 0 answers an empty byte count", {"0008 0000 0006 01 03 0064 0000"},
            "0008 0000 0003 01 03 00", {});
        // 99..102: nothing at 99, 0x1234, never stored, first word of 0xdeadbeef; ending on
        // the first word of the 32-bit datum still answers exactly 4 words
        row("unknown addresses read as zeros and a cut 32-bit datum gives only what was asked",
            {"0009 0000 0006 01 03 0063 0004"}, "0009 0000 000b 01 03 08 0000 1234 0000 dead", {});
        // 103..104: second word of the 32-bit datum, then nothing stored
        row("a read starting on the second word of a 32-bit datum gets that word",
            {"000b 0000 0006 01 04 0067 0002"}, "000b 0000 0007 01 04 04 beef 0000", {});
        // 100..106 spans device A and device B on the same port
        row("several devices on one port are merged", {"000c 0000 0006 01 03 0064 0007"},
            "000c 0000 0011 01 03 0e 1234 0000 dead beef 0000 00ff abcd", {});
        // qty 0x7e = 126 -> 83 03
        row("a read of 126 registers gets illegal data value", {"000d 0000 0006 01 03 0064 007e"},
            "000d 0000 0003 01 83 03", {});
    }

    void framingOverSockets()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QByteArray, answer);
        QFETCH(QList<int>, logged);
        const quint16 port = startGateway();
        QVERIFY(port);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(3000));
        QCOMPARE(exchange(client, chunks, answer.size()).toHex(' '), answer.toHex(' '));
        for (int n : logged)
            QTRY_VERIFY_WITH_TIMEOUT(readLog().contains(INCOMPLETE_LINES.at(n - 1)), 3000);
        for (int n = 1; n <= 3; ++n)
            QVERIFY2(readLog().contains(INCOMPLETE_LINES.at(n - 1)) == logged.contains(n),
                     qPrintable(INCOMPLETE_LINES.at(n - 1)));
    }

    void libmodbusClientReads()
    {
        const quint16 port = startGateway();
        QVERIFY(port);
        std::vector<uint16_t> holding(7, 0x5555), input(2, 0x5555);
        std::atomic<int> results[2] = {{-2}, {-2}};
        // libmodbus blocks, so it runs beside the event loop that serves it.
        std::thread worker([&] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            if (modbus_connect(ctx) == 0) {
                results[1] = modbus_read_input_registers(ctx, 101, 2, input.data());
                results[0] = modbus_read_registers(ctx, 100, 7, holding.data());
            }
            modbus_free(ctx);
        });
        QTRY_VERIFY_WITH_TIMEOUT(results[0] != -2, 5000);
        worker.join();
        QCOMPARE(int(results[1]), 2);
        QCOMPARE(int(results[0]), 7);
        // 101..102 ends on the first word of the 32-bit datum; 100..106 spans both devices.
        QCOMPARE(input, (std::vector<uint16_t>{0, 0xDEAD}));
        QCOMPARE(holding, (std::vector<uint16_t>{0x1234, 0, 0xDEAD, 0xBEEF, 0, 0x00FF, 0xABCD}));
    }

    void mbpollReads()
    {
        // The README installs mbpoll; its absence is a broken setup, not a reason to skip.
        const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
        QVERIFY2(!mbpoll.isEmpty(), "mbpoll is not installed");
        const quint16 port = startGateway();
        QVERIFY(port);
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        // mbpoll counts references from 1: 101..103 are addresses 100..102.
        process.start(mbpoll, {"-m", "tcp", "-a", "1", "-1", "-p", QString::number(port), "-t", "4:hex", "-r",
                               "101", "-c", "3", "127.0.0.1"});
        QVERIFY(process.waitForStarted(3000));
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
        const QString output = QString::fromLocal8Bit(process.readAll());
        QCOMPARE(process.exitCode(), 0);
        for (const char* line : {"[101]: \t0x1234", "[102]: \t0x0000", "[103]: \t0xDEAD"})
            QVERIFY2(output.contains(QLatin1String(line)), qPrintable(output));
    }

    void fuzzedFramesLeaveListenerServing()
    {
        const quint16 port = startGateway();
        QVERIFY(port);
        QRandomGenerator random(20261206);
        const QByteArray good = request(1, 3, 100, 3);
        for (int connection = 0; connection < 20; ++connection) {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(client.waitForConnected(3000));
            for (int i = 0; i < 150; ++i) {
                // Any length from 1 to 24, then a few bytes set anywhere (length, function, quantity).
                QByteArray frame = good;
                frame.resize(random.bounded(1, 25));
                for (int k = random.bounded(1, 5); k > 0; --k)
                    frame[random.bounded(frame.size())] = char(random.bounded(256));
                client.write(frame);
            }
            client.flush();
            QTest::qWait(5);
            client.abort();
        }
        QTcpSocket fresh;
        fresh.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(fresh.waitForConnected(3000));
        QCOMPARE(exchange(fresh, {good}, 15).toHex(' '),
                 hex("0001 0000 0009 01 03 06 1234 0000 dead").toHex(' '));
    }

    void peerThatNeverReadsIsDropped()
    {
        const quint16 port = startGateway();
        QVERIFY(port);
        QTcpSocket sink;
        // A tiny read buffer makes the client socket stop taking bytes from the kernel.
        sink.setReadBufferSize(16);
        sink.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(sink.waitForConnected(3000));
        const QString dropLine =
            QStringLiteral(
                "WARNING: [CConnectionHandler] Peer [%1:%2] does not read its answers, connection dropped")
                .arg(sink.localAddress().toString())
                .arg(sink.localPort());
        QTcpSocket reader;
        reader.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(reader.waitForConnected(3000));
        const QByteArray burst = request(1, 3, 0, 125).repeated(2000);
        QElapsedTimer timer;
        timer.start();
        for (quint16 tid = 0; timer.elapsed() < 60000 && !readLog().contains(dropLine); ++tid) {
            sink.write(burst);
            // The other client is answered all along.
            QCOMPARE(exchange(reader, {request(tid, 4, 100, 1)}, 11).toHex(' '),
                     QByteArray(request(tid, 4, 0, 0).left(2) + hex("0000 0005 01 04 02 1234")).toHex(' '));
        }
        QVERIFY2(readLog().contains(dropLine), "the gateway never gave up on the peer");
        QCOMPARE(exchange(reader, {request(0x7777, 3, 105, 1)}, 11).toHex(' '),
                 hex("7777 0000 0005 01 03 02 00ff").toHex(' '));
        // Once the sink reads again it finds the connection closed by the gateway.
        sink.setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(sink.state(), QAbstractSocket::UnconnectedState, 10000);
    }

    void busyPortIsReported()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        CDeviceHandler blocked(holder.serverPort());
        QVERIFY(!blocked.isListening());
        // One line, with the reason after the port.
        const QString line =
            QStringLiteral("WARNING: [CDeviceHandler::CDeviceHandler] Port [%1] is not listened: %2")
                .arg(holder.serverPort())
                .arg(blocked.errorString());
        QVERIFY(!blocked.errorString().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(readLog().contains(line), 3000);
        QCOMPARE(readLog().count(QStringLiteral("is not listened")), 1);
    }
};

QTEST_GUILESS_MAIN(TestModbus)
#include "tst_modbus.moc"
