#include <atomic>

#include <modbus.h>

#include <QtSql>
#include <QtTest>

#include "GatewayFixture.h"
#include "access/CModbusAccess.h"
#include "freshness/CDeviceFreshness.h"
#include "modbus/CDeviceIdentification.h"
#include "storage/CDeviceOptionsStore.h"
#include "ui/CStatusBlockBox.h"

Q_DECLARE_METATYPE(SDeviceOptions)

// The fixture is a server.db written by the 1.0.6 gateway: on one port a
// temperature sensor at 100 (registers 100..111, stored once) and a door
// sensor at 200 (200..215); on another a pulse counter at 0 (0..17) that never sent.
namespace {
const QString EUI_A = QStringLiteral("70B3D5E75E0000A1");
const QString EUI_B = QStringLiteral("70B3D5E75E0000B2");
const QString EUI_C = QStringLiteral("70B3D5E75E0000C3");
constexpr qint64 FIXTURE_STORED_MS = 1796561481588;
std::atomic<qint64> clockMs{0};

// A read of one register from `source` to `target`: true when an answer comes back.
bool answeredFrom(const QHostAddress& source, const QHostAddress& target, int port)
{
    QTcpSocket client;
    client.bind(source);
    client.connectToHost(target, quint16(port));
    // tid 1, protocol 0, length 6, unit 1, read holding registers, from 100, 1 register
    return client.waitForConnected(2000) &&
           client.write(QByteArray::fromHex("000100000006010300640001")) == 12 &&
           client.waitForReadyRead(2000) && client.bytesAvailable() > 0;
}
} // namespace

class TestPlcServing : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;
    int ports[2] = {0, 0};

    // The fixture on free ports, with the options and settings of a test.
    void startFixture(const QMap<QString, SDeviceOptions>& options = {}, const QString& modbusSettings = {})
    {
        QVERIFY(
            QFile::copy(QStringLiteral(TW_SOURCE_DIR "/tests/fixtures/server-1.0.6.db"), DB::DB_FILENAME));
        QFile::setPermissions(DB::DB_FILENAME, QFile::ReadOwner | QFile::WriteOwner);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, QStringLiteral("fixture"));
            db.setDatabaseName(DB::DB_FILENAME);
            QVERIFY(db.open());
            for (int i = 0; i < 2; ++i)
                for (const char* table : {"devices", "dev_data"})
                    QVERIFY(QSqlQuery(db).exec(QStringLiteral("UPDATE %1 SET port = %2 WHERE port = %3")
                                                   .arg(QLatin1String(table), QString::number(ports[i]),
                                                        QString::number(1502 + i))));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
        QString error;
        for (auto it = options.constBegin(); it != options.constEnd(); ++it)
            QVERIFY2(CDeviceOptionsStore::save(it.key(), it.value(), error), qPrintable(error));
        harness::copySampleTemplates();
        QFile settings(SETT::SETT_FILENAME);
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write(("[modbus]\n" + modbusSettings + "\n").toUtf8());
        settings.close();
        CDeviceFreshness::getInstance()->setClock([] { return clockMs.load(); });
        QVERIFY(harness::startServices());
    }

private slots:
    void init()
    {
        work = std::make_unique<CWorkDir>(false);
        ports[0] = harness::freePort();
        do
            ports[1] = harness::freePort();
        while (ports[1] == ports[0]);
        clockMs = FIXTURE_STORED_MS + 60 * 1000;
    }

    void cleanup()
    {
        harness::stopServices();
        CDeviceFreshness::resetInstance();
        CModbusAccess::reset();
        work.reset();
    }

    void fixtureOfTodayServesAsBefore()
    {
        startFixture();
        // temperature 21.5 C, humidity 40 %, battery 3600 mV; RSSI -70; the SNR row holds
        // eight digits for its one register, which reads the first four
        const QVector<quint16> expected = {0x00d7, 0x0028, 0x0e10, 0, 0, 0, 0, 0, 0, 0, 0xffba, 0};
        QCOMPARE(harness::readRegisters(ports[0], 100, 12), expected);
        QProcess client;
        client.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(TW_SOURCE_DIR "/tests/read_identification.py"),
                      QStringLiteral("127.0.0.1"), QString::number(ports[1]), QStringLiteral("1")});
        QVERIFY(client.waitForFinished(20000));
        QCOMPARE(
            QString::fromLatin1(client.readAll()),
            QStringLiteral("conformity 0x81\n0 Tarnwick\n1 TARNWICK-GW\n2 %1\n").arg(COMM::TITLE_VERSION));
        // Serving it added nothing to the file an older gateway would find.
        QStringList tables = QSqlDatabase::database(DB::DB_NAME).tables();
        tables.sort();
        QCOMPARE(tables, QStringList({"dev_data", "devices", "sqlite_sequence"}));
    }

    // A client polling a block sees a register's new word order at once, not a cached answer.
    void formatChangeReachesPollingClient()
    {
        startFixture();
        const QString eui = QStringLiteral("7A52000000010009");
        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        const DB::SDeviceRegMapDescription desc{eui, "7A52000000000001", "pulses", 500,
                                                registry->getRegisterInfo("7A52000000000001").registers};
        CDataBaseHandler* storage = CDataBaseHandler::getInstance();
        QVERIFY(storage->registerNewDevice(desc, quint16(ports[0])));
        registry->addNewDevice(desc, quint16(ports[0]));
        DB::SDbDeviceRegDataSet set;
        set.devEui = eui;
        set.startAddr = 500;
        set.appendRewriteData("0000", 0, "0000c350");
        QMetaObject::invokeMethod(storage, "saveRegisterData", Qt::QueuedConnection,
                                  Q_ARG(DB::SDbDeviceRegDataSet, set));
        QTRY_COMPARE(harness::readRegisters(ports[0], 500, 2), QVector<quint16>({0x0000, 0xc350}));
        QSqlQuery device = storage->getDevices(QString());
        while (device.next() && device.value(DB::DEV_COL_DEVEUI).toString() != eui) {
        }
        DB::SDbDevRegParamInfo info;
        info.deviceId = device.value(DB::DEV_COL_DEVICE).toUInt();
        info.params = {DB::SDbRegParamInfo{500, 0.0, 1.0, "", {false, FMT::ORDER_CDAB}}};
        storage->updateRegInfo(info);
        QCOMPARE(harness::readRegisters(ports[0], 500, 2), QVector<quint16>({0xc350, 0x0000}));
    }

    void statusBlock_data()
    {
        QTest::addColumn<QString>("eui");
        QTest::addColumn<SDeviceOptions>("options");
        QTest::addColumn<bool>("uplink");
        QTest::addColumn<int>("laterSeconds");
        QTest::addColumn<QVector<quint16>>("expected");
        QTest::addColumn<int>("deviceError");

        const SDeviceOptions plain{500, 0, false};
        const SDeviceOptions staleAlarm{300, 5, true};
        QTest::newRow("a device that never sent reads all ones, no uplink since the start")
            << EUI_C << plain << false << 0 << QVector<quint16>{0xffff, 0xffff, 0, 0, 0, 0, 4, 0} << 0;
        QTest::newRow("a device that never sent is stale once a threshold is set")
            << EUI_C << SDeviceOptions{500, 10, true} << false << 0
            << QVector<quint16>{0xffff, 0xffff, 0, 0, 0, 0, 5, 10} << int(EMBXGTAR);
        QTest::newRow("an uplink stored before the start counts its age")
            << EUI_A << SDeviceOptions{300, 0, false} << false << 30
            << QVector<quint16>{0, 90, 0, 0, 0, 0, 4, 0} << 0;
        QTest::newRow("an uplink gives counter, RSSI and SNR and the link's state")
            << EUI_A << staleAlarm << true << 299
            << QVector<quint16>{0, 299, 0x0001, 0x2345, 0xffba, 75, 2, 5} << 0;
        QTest::newRow("past the threshold the device is stale and answers exception 0x0B")
            << EUI_A << staleAlarm << true << 300
            << QVector<quint16>{0, 300, 0x0001, 0x2345, 0xffba, 75, 3, 5} << int(EMBXGTAR);
        QTest::newRow("past the threshold without the option its values stay readable")
            << EUI_A << SDeviceOptions{300, 5, false} << true << 300
            << QVector<quint16>{0, 300, 0x0001, 0x2345, 0xffba, 75, 3, 5} << 0;
    }

    void statusBlock()
    {
        QFETCH(QString, eui);
        QFETCH(SDeviceOptions, options);
        QFETCH(bool, uplink);
        QFETCH(int, laterSeconds);
        QFETCH(QVector<quint16>, expected);
        QFETCH(int, deviceError);
        startFixture({{eui, options}});
        const int port = eui == EUI_C ? ports[1] : ports[0];
        // An uplink comes as every uplink does: over a link logged in to the network server.
        CFakeNetworkServer server;
        if (uplink) {
            QVERIFY(server.listen());
            CServerHandler::getInstance()->connectSlot(
                COMM::serverOrigin("ws", "127.0.0.1", QString::number(server.port())), "operator", "secret");
            QTRY_COMPARE(server.count(API::API_JSON_CMD_AUTHREQ), 1);
            const QJsonObject rx{
                {"cmd", "rx"},           {"type", "UNCONF_UP"}, {"devEui", eui}, {"ts", double(clockMs)},
                {"fcnt", 0x12345},       {"rssi", -70},         {"snr", 7.5},    {"port", 1},
                {"data", "01d70028100e"}};
            server.send(QJsonDocument(rx).toJson(QJsonDocument::Compact));
            QTRY_COMPARE(harness::readRegisters(port, options.statusAddress + 3, 1),
                         QVector<quint16>{0x2345});
        }
        clockMs += laterSeconds * 1000;
        QCOMPARE(harness::readRegisters(port, options.statusAddress, CStatusBlock::WORDS), expected);
        int error = -1;
        harness::readRegisters(port, eui == EUI_C ? 0 : 100, 2, &error);
        QCOMPARE(error, deviceError);
        // The other device on the port is never refused for its neighbour.
        harness::readRegisters(ports[0], 200, 2, &error);
        QCOMPARE(error, 0);
    }

    void statusBlockPlacement_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QString>("problem");
        QTest::newRow("clear of every register") << 120 << QString();
        QTest::newRow("over the device's own registers")
            << 95 << QStringLiteral("Registers 95..102 overlap the device's own registers 100..111");
        QTest::newRow("over another device's registers")
            << 195 << QStringLiteral("Registers 195..202 overlap device [%1] on port %2").arg(EUI_B, "%1");
        QTest::newRow("over another device's status block")
            << 304 << QStringLiteral("Registers 304..311 overlap device [%1] on port %2").arg(EUI_B, "%1");
    }

    void statusBlockPlacement()
    {
        QFETCH(int, address);
        QFETCH(QString, problem);
        startFixture({{EUI_B, SDeviceOptions{300, 0, false}}});
        const SDeviceOptions options{address, 0, false};
        QCOMPARE(CStatusBlockBox::problemWith(options, EUI_A, ports[0], 100, 112),
                 problem.contains(QStringLiteral("%1")) ? problem.arg(ports[0]) : problem);
    }

    void clientAccess_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("served");
        QTest::newRow("a client in an allowed network is served")
            << "allowed_clients=\"10.0.0.0/8, 127.0.0.0/30\""
            << "127.0.0.1"
            << "127.0.0.1" << true;
        QTest::newRow("a client outside the allowed networks is closed at once")
            << "allowed_clients=127.0.0.1/32"
            << "127.0.0.3"
            << "127.0.0.1" << false;
        QTest::newRow("an IPv6 client in an allowed IPv6 network is served")
            << "allowed_clients=\"127.0.0.1, ::1/128\""
            << "::1"
            << "::1" << true;
        QTest::newRow("an IPv6 client is refused by a list of IPv4 networks") << "allowed_clients=127.0.0.0/8"
                                                                              << "::1"
                                                                              << "::1" << false;
        QTest::newRow("a list with no valid network serves nobody")
            << "allowed_clients=\"127.0.0.0/33, localhost\""
            << "127.0.0.1"
            << "127.0.0.1" << false;
        QTest::newRow("the bind address is served") << "bind_address=127.0.0.2"
                                                    << "127.0.0.1"
                                                    << "127.0.0.2" << true;
        QTest::newRow("an address the listeners are not bound to is refused") << "bind_address=127.0.0.2"
                                                                              << "127.0.0.1"
                                                                              << "127.0.0.1" << false;
    }

    void clientAccess()
    {
        QFETCH(QString, settings);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(bool, served);
        startFixture({}, settings);
        for (int attempt = 0; attempt < 3; ++attempt)
            QCOMPARE(answeredFrom(QHostAddress(source), QHostAddress(target), ports[0]), served);
        // Refused by the list: one line for the three tries, none when the bind address refused.
        const bool byList = !served && !settings.startsWith(QLatin1String("bind"));
        QTRY_COMPARE(CWorkDir::log().count(QStringLiteral("refused on port")), byList ? 1 : 0);
    }

    void identificationFrames_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        // function 43, MEI 14, read code, conformity 0x81, no more follows, next id 0, objects
        const QByteArray objects = QByteArray::fromHex("03"
                                                       "0008") +
                                   "Tarnwick" + QByteArray::fromHex("010b") + "TARNWICK-GW" +
                                   QByteArray::fromHex("02") + char(COMM::TITLE_VERSION.size()) +
                                   COMM::TITLE_VERSION.toLatin1();
        QTest::newRow("a stream of the basic objects")
            << QByteArray::fromHex("2b0e0100") << QByteArray::fromHex("2b0e01810000") + objects;
        QTest::newRow("a stream from an unknown object starts at the first")
            << QByteArray::fromHex("2b0e0207") << QByteArray::fromHex("2b0e02810000") + objects;
        QTest::newRow("one object by its id") << QByteArray::fromHex("2b0e0401")
                                              << QByteArray::fromHex("2b0e048100000101"
                                                                     "0b") +
                                                     "TARNWICK-GW";
        QTest::newRow("an unknown object alone is an illegal data address")
            << QByteArray::fromHex("2b0e0403") << QByteArray::fromHex("ab02");
        QTest::newRow("an unknown read code is an illegal data value")
            << QByteArray::fromHex("2b0e0500") << QByteArray::fromHex("ab03");
    }

    void identificationFrames()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QCOMPARE(CDeviceIdentification::answer(request).toHex(), answer.toHex());
    }
};

QTEST_MAIN(TestPlcServing)
#include "tst_plcserving.moc"
