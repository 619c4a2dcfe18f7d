#include <QtNetwork>
#include <QtSql>
#include <QtTest>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "GatewayHarness.h"
#include "WorkDir.h"
#include "modbus/CConnectionHandler.h"
#include "modbus/CDeviceHandler.h"
#include "modbus/CModbusEventDispatcher.h"
#include "modbus/CModbusTcpFramer.h"

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

REGS::SRegisterInfo reg(int bias, int bits)
{
    return {QStringLiteral("r%1").arg(bias), 1, bias, bits, QStringLiteral("uinteger"), 0.0, 1.0, {}, {}};
}

using LoopJob = std::function<void(QStringList& heard, QEventLoop& loop)>;

// The job runs in a loop of the Modbus thread's own kind; it writes what it
// hears and quits the loop. Five seconds without a quit count as a hang.
QStringList onModbusLoop(const LoopJob& job)
{
    QThread thread;
    thread.setEventDispatcher(new CModbusEventDispatcher);
    QObject anchor;
    anchor.moveToThread(&thread);
    thread.start();
    QStringList heard;
    QMetaObject::invokeMethod(
        &anchor,
        [&] {
            QEventLoop loop;
            QTimer::singleShot(5000, &loop, [&] {
                heard << QStringLiteral("hung");
                loop.quit();
            });
            job(heard, loop);
            loop.exec();
            anchor.moveToThread(QCoreApplication::instance()->thread());
        },
        Qt::BlockingQueuedConnection);
    thread.quit();
    if (!thread.wait(5000))
        heard << QStringLiteral("thread did not stop");
    return heard;
}

// The first end of a new socket pair, readable; its notifier takes the byte and writes its name.
QSocketNotifier* readable(const QString& name, QStringList& heard, QObject* parent, int fds[2])
{
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    (void)!::write(fds[1], "x", 1);
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, parent);
    const int fd = fds[0];
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [&heard, name, fd] {
        char byte = 0;
        (void)!::read(fd, &byte, 1);
        heard << name;
    });
    return notifier;
}
} // namespace

Q_DECLARE_METATYPE(LoopJob)

class TestModbus : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;
    CDeviceHandler* listener = nullptr;

    // Device A at 100: 100 = 0x1234, 101 never stored, 102-103 = 32-bit 0xDEADBEEF,
    // 105 = 0x00FF. Device B at 106 on the same port: 106 = 0xABCD.
    quint16 startGateway(int connectionLimit = SETT::MODBUS_MAX_CONNECTIONS_DEFAULT)
    {
        const quint16 port = quint16(harness::freePort());
        CDataBaseHandler* store = CDataBaseHandler::getInstance();
        if (!store->registerNewDevice(
                {EUI_A, "A1", "meter", 100, {reg(0, 16), reg(1, 16), reg(2, 32), reg(5, 16)}}, port) ||
            !store->registerNewDevice({EUI_B, "B2", "probe", 106, {reg(0, 16)}}, port))
            return 0;
        const QList<DB::SDbDeviceRegDataRewrite> wordsA = {
            {"1234", "1234", 0}, {"dead", "deadbeef", 2}, {"beef", "", 3}, {"00ff", "00ff", 5}};
        store->saveRegisterData({EUI_A, 100, wordsA, {}});
        store->saveRegisterData({EUI_B, 106, {{"abcd", "abcd", 0}}, {}});
        listener = new CDeviceHandler(port, connectionLimit);
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
        work = std::make_unique<CWorkDir>();
        QVERIFY(work->isValid());
        QVERIFY(CDataBaseHandler::getInstance());
    }

    void cleanup()
    {
        if (listener)
            listener->closeConnections();
        delete listener;
        listener = nullptr;
        CAllDeviceHandler::resetInstance();
        // Connections are deleted later; let that happen before storage goes away.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        CDataBaseHandler::resetInstance();
        work.reset();
    }

    void framer_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("consumed");
        QTest::addColumn<QByteArray>("answer");
        const auto row = [](const char* name, const char* buffer, int status, int consumed,
                            const char* answer) {
            QTest::newRow(name) << hex(buffer) << status << consumed << hex(answer);
        };
        // The store hands out address * 2. tid 1, len 6, unit 1, fc 3, start 0x64, qty 2, then
        // part of a second frame -> 12 bytes taken, len 7, byte count 4, words 0x00c8 0x00ca
        row("a read is taken off the front of a buffer holding part of the next frame",
            "0001 0000 0006 01 03 0064 0002 0002 0000 0006 01 03", Framer::FRAME_FOUND, 12,
            "0001 0000 0007 01 03 04 00c8 00ca");
        // start 0xffff qty 2: the second address wraps to 0 -> words 0xfffe 0x0000
        row("a read past 0xffff wraps to address 0", "0009 0000 0006 01 04 ffff 0002", Framer::FRAME_FOUND,
            12, "0009 0000 0007 01 04 04 fffe 0000");
        // len 2: unit 1, fc 7 (read exception status) -> 87 01
        row("a function 7 request with no address field gets illegal function", "0002 0000 0002 01 07",
            Framer::FRAME_FOUND, 8, "0002 0000 0003 01 87 01");
        // len 2: unit 9, fc 17 (report server id) -> 91 01
        row("a function 17 request gets illegal function", "0003 0000 0002 09 11", Framer::FRAME_FOUND, 8,
            "0003 0000 0003 09 91 01");
        // len 5: unit 1, fc 43, MEI 0x0d (not device identification), read code 1, object 0 -> ab 01
        row("a function 43 request of another MEI type gets illegal function",
            "0004 0000 0005 01 2b 0d 01 00", Framer::FRAME_FOUND, 11, "0004 0000 0003 01 ab 01");
        // MEI 0x0e, read code 4, object 0 -> conformity 81, no more, next 0, 1 object: 00, 8 bytes "Tarnwick"
        row("a device identification request reads the vendor", "0004 0000 0005 01 2b 0e 04 00",
            Framer::FRAME_FOUND, 11, "0004 0000 0012 01 2b 0e 04 81 00 00 01 00 08 5461726e7769636b");
        row("a length field of 1 holds no function code and is dropped", "0005 0000 0001 01",
            Framer::FRAME_DROPPED, 7, "");
        // len 4: fc 3 with its address but no quantity
        row("a read too short for its quantity is dropped", "0006 0000 0004 01 03 0064",
            Framer::FRAME_DROPPED, 10, "");
        // len 0x00ff = 255: one more than unit plus the largest PDU
        row("a length field above 254 is refused before its bytes arrive", "0007 0000 00ff 01 03",
            Framer::FRAME_OVERSIZED, 0, "");
        row("a length field of 254 waits for its bytes", "0008 0000 00fe 01 03 0064 0001",
            Framer::FRAME_INCOMPLETE, 0, "");
    }

    void framer()
    {
        QFETCH(QByteArray, buffer);
        const auto store = [](int, int start, int count, Framer::RegisterWords& words) {
            for (int i = 0; i <= count; ++i) // one more than asked
                words.append(uint16_t(2 * (start + i)));
            return true;
        };
        const Framer::SFrameResult result = Framer::takeFrame(buffer, 502, store);
        QTEST(int(result.status), "status");
        QTEST(result.consumed, "consumed");
        QFETCH(QByteArray, answer);
        QCOMPARE(result.answer.toHex(' '), answer.toHex(' '));
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
        CDataBaseHandler* store = CDataBaseHandler::getInstance();
        QVERIFY(store->registerNewDevice({EUI_A, "A1", "meter", 100, {reg(0, 16), reg(bias, bits)}}, 502));
        store->saveRegisterData({EUI_A, 100, {{"1234", "1234", 0}, {"0123", "0123456789abcdef", bias}}, {}});
        const auto reader = [store](int port, int start, int count, Framer::RegisterWords& words) {
            return store->readRegisterWords(port, start, count, words);
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

    // server.db as the last release left it, words as that release answered them.
    void serverDbOfTheLastReleaseServesAsBefore_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("start");
        QTest::addColumn<QByteArray>("words");
        QTest::newRow("the pulse counter with its 32-bit count, frame counter and time stamp")
            << 15020 << 0
            << hex("0000 2716 0d75 003c 0000 0000 0000 0000 0000 0000 ffb9 000a 0000 0002 6b15 5a94");
        QTest::newRow("the climate sensor from 100 on the same port")
            << 15020 << 100 << hex("00d8 002f 0ce1 0000 0000 0000 0000 0000 0000 0000 ffb0 0007 0000");
        QTest::newRow("the door sensor with its text and device EUI on a port of its own")
            << 15021 << 0
            << hex("0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 ffa8 0000 7a52 0000 0003 0001");
    }

    void serverDbOfTheLastReleaseServesAsBefore()
    {
        QFETCH(int, port);
        QFETCH(int, start);
        QFETCH(QByteArray, words);
        CDataBaseHandler::resetInstance();
        QVERIFY(QFile::remove(DB::DB_FILENAME));
        QVERIFY(QFile::copy(TW_SOURCE_DIR "/tests/fixtures/server-1.0.6-uplinks.db", DB::DB_FILENAME));
        QVERIFY(QFile::setPermissions(DB::DB_FILENAME, QFile::ReadOwner | QFile::WriteOwner));
        CDataBaseHandler* store = CDataBaseHandler::getInstance();
        QVERIFY(store);
        const auto reader = [store](int p, int first, int count, Framer::RegisterWords& read) {
            return store->readRegisterWords(p, first, count, read);
        };
        const int count = words.size() / 2;
        const QByteArray answer =
            Framer::takeFrame(request(5, 3, quint16(start), quint16(count)), port, reader).answer;
        QCOMPARE(answer.mid(9).toHex(' '), words.toHex(' '));
    }

    void framingOverSockets_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QList<int>>("logged"); // which incomplete-packet lines appear, [1] to [3]
        QTest::addColumn<bool>("brokenStore");  // the register table is gone
        const auto row = [](const char* name, std::initializer_list<const char*> chunks, const char* answer,
                            const QList<int>& logged, bool brokenStore = false) {
            QList<QByteArray> pieces;
            for (const char* chunk : chunks)
                pieces.append(hex(chunk));
            QTest::newRow(name) << pieces << hex(answer) << logged << brokenStore;
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
        // fc 3 at 100 -> 83 04
        row("a read the store fails gets server device failure, never zeros",
            {"000e 0000 0006 01 03 0064 0001"}, "000e 0000 0003 01 83 04", {}, true);
    }

    void framingOverSockets()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QByteArray, answer);
        QFETCH(QList<int>, logged);
        QFETCH(bool, brokenStore);
        const quint16 port = startGateway();
        QVERIFY(port);
        if (brokenStore) {
            CDataBaseHandler::getInstance()->setRegisterImagesEnabled(false);
            QSqlQuery(QSqlDatabase::database(DB::DB_NAME))
                .exec(QStringLiteral("DROP TABLE %1").arg(DB::DB_TABLE_DEVDATA));
        }
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(3000));
        QCOMPARE(exchange(client, chunks, answer.size()).toHex(' '), answer.toHex(' '));
        for (int n : logged)
            QTRY_VERIFY_WITH_TIMEOUT(CWorkDir::log().contains(INCOMPLETE_LINES.at(n - 1)), 3000);
        for (int n = 1; n <= 3; ++n)
            QVERIFY2(CWorkDir::log().contains(INCOMPLETE_LINES.at(n - 1)) == logged.contains(n),
                     qPrintable(INCOMPLETE_LINES.at(n - 1)));
    }

    // A 32-bit field of a template with the row's optional keys, registered as
    // the dialogs register it, an uplink decoded and served, read with libmodbus.
    void floatAndWordOrderOverSockets_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<double>("multiplier");
        QTest::addColumn<uint>("raw");
        QTest::addColumn<QByteArray>("words");
        QTest::addColumn<int>("helper"); // libmodbus float helper of this order, -1 none
        // 12345 * 0.1 = 1234.5 = float 0x449A5000
        QTest::newRow("a template without the new keys serves the rounded integer as before")
            << "" << 0.1 << 12345u << hex("0000 04d3") << -1;
        QTest::newRow("float32 in ABCD is the scaled value for modbus_get_float_abcd")
            << R"("served_as": "float32")" << 0.1 << 12345u << hex("449a 5000") << int(FMT::ORDER_ABCD);
        QTest::newRow("float32 in CDAB is the scaled value for modbus_get_float_cdab")
            << R"("served_as": "Float32", "word_order": "cdab")" << 0.1 << 12345u << hex("5000 449a")
            << int(FMT::ORDER_CDAB);
        QTest::newRow("float32 in BADC is the scaled value for modbus_get_float_badc")
            << R"("served_as": "float32", "word_order": "BADC")" << 0.1 << 12345u << hex("9a44 0050")
            << int(FMT::ORDER_BADC);
        QTest::newRow("float32 in DCBA is the scaled value for modbus_get_float_dcba")
            << R"("served_as": "float32", "word_order": "DCBA")" << 0.1 << 12345u << hex("0050 9a44")
            << int(FMT::ORDER_DCBA);
        QTest::newRow("a word order alone swaps the words of the integer")
            << R"("word_order": "CDAB")" << 1.0 << 0x12345678u << hex("5678 1234") << -1;
        QTest::newRow("a float beyond the float range saturates at the largest float")
            << R"("served_as": "float32")" << 1e30 << 0xffffffffu << hex("7f7f ffff") << int(FMT::ORDER_ABCD);
        // 0 * infinity
        QTest::newRow("NaN from a bad scaling reads as the quiet NaN")
            << R"("served_as": "float32", "word_order": "CDAB")" << qInf() << 0u << hex("0000 7fc0") << -1;
    }

    void floatAndWordOrderOverSockets()
    {
        QFETCH(QString, keys);
        QFETCH(double, multiplier);
        QFETCH(uint, raw);
        QFETCH(QByteArray, words);
        QFETCH(int, helper);
        QDir().mkdir(COMM::DEVICE_FOLDER);
        QFile file(COMM::DEVICE_FOLDER + "/meter.json");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            QStringLiteral(R"({"app_eui": "A1", "dev_type": "meter", "device_packets": [{"packet_type": 1,
            "packet_size": 5, "packet_fields": [{"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32,
            "data_type": "uinteger", "endianness": "be", "reg_map_bias": 0, "reg_bit_bias": 0,
            "reg_bit_size": 32, "data_name": "energy"%1%2}]}]})")
                .arg(keys.isEmpty() ? "" : ", ", keys)
                .toUtf8());
        file.close();
        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        DB::SDeviceRegMapDescription desc{EUI_A, "A1", "meter", 100,
                                          registry->getRegisterInfo("A1").registers};
        QCOMPARE(desc.registers.size(), 1);
        desc.registers[0].gratingPeriod = multiplier;
        const quint16 modbusPort = quint16(harness::freePort());
        QVERIFY(CDataBaseHandler::getInstance()->registerNewDevice(desc, modbusPort));
        registry->addNewDevice(desc, modbusPort);
        QByteArray payload(1, 1);
        QDataStream(&payload, QIODevice::Append) << quint32(raw);
        API::SApiDeviceData uplink;
        uplink.devEui = EUI_A;
        uplink.data = payload;
        registry->processDataSlot(uplink);
        QCoreApplication::sendPostedEvents(); // the queued save

        const QVector<quint16> got = harness::readWhileServing(modbusPort, 100, 2);
        QByteArray served;
        for (const uint16_t word : got)
            served.append(char(word >> 8)).append(char(word & 0xff));
        QCOMPARE(served.toHex(' '), words.toHex(' '));
        float (*const helpers[])(const uint16_t*) = {modbus_get_float_abcd, modbus_get_float_cdab,
                                                     modbus_get_float_badc, modbus_get_float_dcba};
        if (helper >= 0)
            QCOMPARE(helpers[helper](got.constData()), float(qMin(double(FLT_MAX), raw * multiplier)));
    }

    void clientsAtOnce_data()
    {
        QTest::addColumn<int>("limit");   // connections the port keeps
        QTest::addColumn<int>("quiet");   // connections opened beforehand and left quiet
        QTest::addColumn<int>("clients"); // libmodbus clients connecting at once
        QTest::addColumn<int>("served");
        QTest::newRow("64 clients connecting at once are all served") << 256 << 0 << 64 << 64;
        QTest::newRow("clients beyond the port's limit are refused while the others are busy")
            << 8 << 0 << 12 << 8;
        QTest::newRow("quiet connections make way for new clients on a full port") << 4 << 4 << 3 << 3;
    }

    void clientsAtOnce()
    {
        QFETCH(int, limit);
        QFETCH(int, quiet);
        QFETCH(int, clients);
        const quint16 port = startGateway(limit);
        QVERIFY(port);
        std::vector<std::unique_ptr<QTcpSocket>> quietOnes;
        for (int i = 0; i < quiet; ++i) {
            quietOnes.emplace_back(new QTcpSocket);
            quietOnes.back()->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(quietOnes.back()->waitForConnected(3000));
        }
        if (quiet)
            QTest::qWait(CDeviceHandler::EVICT_IDLE_MS + 200);
        std::atomic<int> served{0}, done{0};
        std::atomic<bool> release{false};
        std::vector<std::thread> threads;
        // Each holds its connection until every client has had its try.
        for (int i = 0; i < clients; ++i)
            threads.emplace_back([&] {
                std::vector<uint16_t> words(7);
                modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
                modbus_set_response_timeout(ctx, 5, 0);
                if (modbus_connect(ctx) == 0 && modbus_read_registers(ctx, 100, 7, words.data()) == 7 &&
                    words == std::vector<uint16_t>{0x1234, 0, 0xDEAD, 0xBEEF, 0, 0x00FF, 0xABCD})
                    ++served;
                ++done;
                while (!release)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                modbus_close(ctx);
                modbus_free(ctx);
            });
        QTRY_COMPARE_WITH_TIMEOUT(int(done), clients, 20000);
        release = true;
        for (std::thread& thread : threads)
            thread.join();
        QTEST(int(served), "served");
        QTRY_COMPARE(CWorkDir::log().count(QStringLiteral("holds its limit of %1 connections").arg(limit)),
                     quiet + clients > limit ? 1 : 0);
    }

    void badStreams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("line"); // appears once
        QTest::addColumn<int>("frameLines");
        QTest::addColumn<bool>("closedByGateway");
        // 40 frames of length 0
        QTest::newRow("a flood of empty frames writes a few lines and one sum when the peer leaves")
            << hex("0001 0000 0000").repeated(40)
            << "Peer \\[127.0.0.1:\\d+\\] closed: \\d+ more incomplete or malformed frames not logged one by "
               "one \\((incomplete header \\[1\\] x \\d+, )?dropped frame \\[3\\] x \\d+"
            << int(CConnectionHandler::FRAME_LOG_LINES) << false;
        // length 0x0100: 262 bytes in all; the read behind it is never answered
        QTest::newRow("a length no request can have closes the connection with one warning")
            << hex("0001 0000 0100 01 03 0064 0001 0002 0000 0006 01 03 0064 0001")
            << "WARNING: \\[CConnectionHandler\\] Peer \\[127.0.0.1:\\d+\\] declared a frame of 262 bytes, "
               "more than any Modbus request holds \\(260\\): connection closed. Frame began with "
               "\\[00 01 00 00 01 00 01 03 00 64 00 01 00 02 00 00 ...\\]"
            << 0 << true;
    }

    void badStreams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, line);
        QFETCH(bool, closedByGateway);
        const quint16 port = startGateway();
        QVERIFY(port);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(3000));
        client.write(stream);
        if (closedByGateway)
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTest::qWait(200);
        QCOMPARE(client.readAll(), QByteArray());
        client.disconnectFromHost();
        QTRY_COMPARE(CWorkDir::log().count(QRegularExpression(line)), 1);
        int frameLines = 0;
        for (const QString& frameLine : INCOMPLETE_LINES)
            frameLines += CWorkDir::log().count(frameLine);
        QTEST(frameLines, "frameLines");
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
                .arg(sink.localAddress().toString(), QString::number(sink.localPort()));
        QTcpSocket reader;
        reader.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(reader.waitForConnected(3000));
        const QByteArray burst = request(1, 3, 0, 125).repeated(2000);
        QElapsedTimer timer;
        timer.start();
        for (quint16 tid = 0; timer.elapsed() < 60000 && !CWorkDir::log().contains(dropLine); ++tid) {
            sink.write(burst);
            // The other client is answered all along.
            QCOMPARE(exchange(reader, {request(tid, 4, 100, 1)}, 11).toHex(' '),
                     QByteArray(request(tid, 4, 0, 0).left(2) + hex("0000 0005 01 04 02 1234")).toHex(' '));
        }
        QVERIFY2(CWorkDir::log().contains(dropLine), "the gateway never gave up on the peer");
        QCOMPARE(exchange(reader, {request(0x7777, 3, 105, 1)}, 11).toHex(' '),
                 hex("7777 0000 0005 01 03 02 00ff").toHex(' '));
        // Once the sink reads again it finds the connection closed by the gateway.
        sink.setReadBufferSize(0);
        QTRY_COMPARE_WITH_TIMEOUT(sink.state(), QAbstractSocket::UnconnectedState, 10000);
    }

    void modbusEventLoop_data()
    {
        QTest::addColumn<LoopJob>("job");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a repeating timer fires until its own handler stops it")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   auto* timer = new QTimer(&loop);
                   QObject::connect(timer, &QTimer::timeout, &loop, [timer, &heard, &loop] {
                       heard << QStringLiteral("tick");
                       if (heard.size() == 3) {
                           timer->stop();
                           QTimer::singleShot(30, &loop, &QEventLoop::quit);
                       }
                   });
                   timer->start(1);
               })
            << QStringList({"tick", "tick", "tick"});
        QTest::newRow("a post from another thread wakes the waiting loop")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   std::thread([&heard, &loop] {
                       QThread::msleep(30);
                       QMetaObject::invokeMethod(&loop, [&] {
                           heard << QStringLiteral("posted");
                           loop.quit();
                       });
                   }).detach();
               })
            << QStringList({"posted"});
        QTest::newRow("posts from two threads at once all arrive, and a later one still wakes the loop")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   static std::atomic<int> arrived;
                   arrived = 0;
                   std::thread([&heard, &loop] {
                       const auto post = [&loop] {
                           for (int i = 0; i < 100000; ++i)
                               QMetaObject::invokeMethod(&loop, [] { ++arrived; });
                       };
                       std::thread other(post);
                       post();
                       other.join();
                       QThread::msleep(50); // the loop has gone back to waiting
                       QMetaObject::invokeMethod(&loop, [&] {
                           heard << QString::number(arrived);
                           loop.quit();
                       });
                   }).detach();
               })
            << QStringList({"200000"});
        QTest::newRow("a timer started under a stopped one's id in the same turn waits its interval")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   auto* pair = new QTimer[2]; // both due in the same turn
                   auto* fresh = new QTimer(&loop);
                   QObject::connect(fresh, &QTimer::timeout, &loop, [&heard] { heard << "fresh"; });
                   for (int i : {0, 1}) {
                       pair[i].setSingleShot(true);
                       QObject::connect(&pair[i], &QTimer::timeout, &loop, [pair, i, fresh, &heard] {
                           heard << "first";
                           pair[1 - i].stop();
                           fresh->start(5000); // takes the id just let go
                       });
                   }
                   for (int i : {0, 1})
                       pair[i].start(0);
                   QTimer::singleShot(100, &loop, [pair, &loop] {
                       delete[] pair;
                       loop.quit();
                   });
               })
            << QStringList({"first"});
        QTest::newRow("a notifier deleted by another one's handler in the same turn stays silent")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   static int a[2], b[2];
                   QSocketNotifier* pair[] = {readable("fired", heard, &loop, a),
                                              readable("fired", heard, &loop, b)};
                   for (int i : {0, 1})
                       QObject::connect(pair[i], &QSocketNotifier::activated, &loop, [pair, i, &loop] {
                           delete pair[1 - i];
                           QTimer::singleShot(30, &loop, &QEventLoop::quit);
                       });
               })
            << QStringList({"fired"});
        QTest::newRow("a descriptor closed and taken again in the same turn is heard under its new owner")
            << LoopJob([](QStringList& heard, QEventLoop& loop) {
                   static int a[2], b[2];
                   QSocketNotifier* first = readable("first", heard, &loop, a);
                   QObject::connect(first, &QSocketNotifier::activated, &loop, [first, &heard, &loop] {
                       first->setEnabled(false); // as a socket lets go of it before closing
                       ::close(a[0]);
                       ::close(a[1]);
                       const int number = a[0];
                       QSocketNotifier* second = readable("second", heard, &loop, b);
                       heard << (b[0] == number ? "same number" : "another number");
                       QObject::connect(second, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
                   });
               })
            << QStringList({"first", "same number", "second"});
    }

    void modbusEventLoop()
    {
        QFETCH(LoopJob, job);
        QTEST(onModbusLoop(job), "expected");
    }
};

QTEST_GUILESS_MAIN(TestModbus)
#include "tst_modbus.moc"
