#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include "app/global.h"
#include "server/ApiMessages.h"
#include "standin/CPayloadGenerator.h"
#include "standin/CStandinServer.h"
#include "standin/StandinConfig.h"

namespace {
QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// One device: a big-endian counter, a little-endian wandering value, a constant and a text.
const char* const DEVICE_JSON = R"({
    "dev_eui": "7a52000000010001", "dev_name": "Meter", "app_eui": "7A52000000000001",
    "period_ms": 60, "port": 2, "freq": 868100000, "dr": 5, "rssi": -71, "snr": 9.5,
    "packet_type": 1, "packet_size": 20,
    "fields": [
        { "offset": 1, "size": 4, "order": "be", "generator": "counter", "start": 65534, "step": 1 },
        { "offset": 5, "size": 2, "order": "le", "generator": "wander", "min": -10, "max": 10, "start": 0, "step": 3 },
        { "offset": 7, "size": 1, "generator": "const", "value": 60 },
        { "offset": 8, "size": 12, "generator": "text", "text": "OK" }
    ]})";

QJsonObject configObject(int periodMs = 60)
{
    QJsonObject device = parse(DEVICE_JSON);
    device.insert("period_ms", periodMs);
    return QJsonObject{{"host", "127.0.0.1"},          {"port", 0}, {"login", "operator"},
                       {"password", "tarnwick"},       {"seed", 7}, {"history_size", 3},
                       {"devices", QJsonArray{device}}};
}

SStandinConfig config(int periodMs = 60)
{
    SStandinConfig cfg;
    QString error;
    if (!readStandinConfig(configObject(periodMs), cfg, error))
        qFatal("test configuration refused: %s", qPrintable(error));
    return cfg;
}

uint32_t beCounter(const QByteArray& p)
{
    return (uint8_t(p[1]) << 24) | (uint8_t(p[2]) << 16) | (uint8_t(p[3]) << 8) | uint8_t(p[4]);
}

int16_t leWander(const QByteArray& p)
{
    return int16_t(uint8_t(p[5]) | (uint8_t(p[6]) << 8));
}
} // namespace

class TestStandin : public QObject
{
    Q_OBJECT
private slots:
    void configRefused_data();
    void configRefused();
    void sampleConfigMatchesTemplates();
    void payloadShape();
    void wanderStaysInRange();
    void answers_data();
    void answers();
    void packetHistory();
    void executable();
};

void TestStandin::configRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonValue>("value");

    QTest::newRow("a field past the end of the packet") << "fields/0/offset" << QJsonValue(17);
    QTest::newRow("a field over the packet type byte") << "fields/0/offset" << QJsonValue(0);
    QTest::newRow("a numeric field wider than 8 bytes") << "fields/3/generator" << QJsonValue("counter");
    QTest::newRow("an unknown generator") << "fields/2/generator" << QJsonValue("sine");
    QTest::newRow("an unknown byte order") << "fields/1/order" << QJsonValue("middle");
    QTest::newRow("a wander start outside its range") << "fields/1/start" << QJsonValue(11);
    QTest::newRow("a device EUI that is not hex") << "dev_eui" << QJsonValue("7A52-0001");
    QTest::newRow("a period too short to be sane") << "period_ms" << QJsonValue(0);
    QTest::newRow("a packet type beyond one byte") << "packet_type" << QJsonValue(256);
}

void TestStandin::configRefused()
{
    QFETCH(QString, path);
    QFETCH(QJsonValue, value);

    QJsonObject top = configObject();
    QJsonObject device = top.value("devices").toArray().first().toObject();
    const QStringList parts = path.split('/');
    if (parts.size() == 1) {
        device.insert(parts[0], value);
    } else {
        QJsonArray fields = device.value("fields").toArray();
        QJsonObject field = fields.at(parts[1].toInt()).toObject();
        field.insert(parts[2], value);
        fields[parts[1].toInt()] = field;
        device.insert("fields", fields);
    }
    top.insert("devices", QJsonArray{device});
    SStandinConfig cfg;
    QString error;
    QVERIFY(!readStandinConfig(top, cfg, error));
    QVERIFY(error.startsWith("device 0: "));
}

void TestStandin::sampleConfigMatchesTemplates()
{
    SStandinConfig cfg;
    QString error;
    QVERIFY2(loadStandinConfig(QStringLiteral(TW_SOURCE_DIR "/standin/standin.json"), cfg, error),
             qPrintable(error));
    QCOMPARE(cfg.login, QString("operator"));
    QCOMPARE(cfg.password, QString("tarnwick"));
    QVERIFY(!cfg.devices.isEmpty());

    // Each device must decode with a sample template: same app EUI, type and size.
    QMap<QString, QJsonObject> templates;
    const QDir dir(QStringLiteral(TW_SOURCE_DIR "/templates"));
    for (const QString& name : dir.entryList({"*.json"})) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject tpl = QJsonDocument::fromJson(file.readAll()).object();
        templates.insert(tpl.value("app_eui").toString().toUpper(), tpl);
    }
    for (const SStandinDevice& dev : cfg.devices) {
        QVERIFY2(templates.contains(dev.appEui), qPrintable(dev.appEui));
        QCOMPARE(dev.appEui, dev.appEui.toUpper());
        const QJsonObject packet =
            templates.value(dev.appEui).value("device_packets").toArray().first().toObject();
        QCOMPARE(dev.packetType, packet.value("packet_type").toInt());
        QCOMPARE(dev.packetSize, packet.value("packet_size").toInt());
    }
}

void TestStandin::payloadShape()
{
    CPayloadGenerator gen(config().devices.first(), 1);
    const QByteArray first = gen.next();
    const QByteArray second = gen.next();
    const QByteArray third = gen.next();
    QCOMPARE(first.size(), 20);
    // 01 | 00 00 ff fe | 00 00 | 3c | 4f 4b 00..: type, counter 65534 BE, wander 0, const 60, "OK"
    // zero-padded
    QCOMPARE(first.toHex(), QByteArray("010000fffe00003c4f4b") + QByteArray(20, '0'));
    QCOMPARE(beCounter(second), 65535u);
    QCOMPARE(beCounter(third), 65536u);
    QCOMPARE(third.mid(7), first.mid(7));
    QCOMPARE(third.at(0), '\x01');
}

void TestStandin::wanderStaysInRange()
{
    CPayloadGenerator gen(config().devices.first(), 99);
    QSet<int> seen;
    int previous = 0;
    for (int i = 0; i < 2000; ++i) {
        const int value = leWander(gen.next());
        QVERIFY(value >= -10 && value <= 10);
        QVERIFY(qAbs(value - previous) <= 3);
        previous = value;
        seen.insert(value);
    }
    // A walk that never moves, or never reaches the ends, is not wandering.
    QVERIFY(seen.contains(-10) && seen.contains(10));
}

void TestStandin::answers_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("loggedInAfter");

    QTest::newRow("the ping gets an err_string") << false << R"({"cmd":"cmd"})"
                                                 << R"({"cmd":"cmd","err_string":"unknown_cmd"})" << false;
    QTest::newRow("text that is not JSON gets an err_string")
        << false << "hello"
        << R"({"err_string":"invalid_json_msg"})" << false;
    QTest::newRow("a wrong password is refused")
        << false << R"({"cmd":"auth_req","login":"operator","password":"x"})"
        << R"({"cmd":"auth_resp","status":false,"err_string":"invalid_login_or_password"})" << false;
    QTest::newRow("a failed log-in also ends an earlier one")
        << true << R"({"cmd":"auth_req","login":"admin","password":"tarnwick"})"
        << R"({"cmd":"auth_resp","status":false,"err_string":"invalid_login_or_password"})" << false;
    QTest::newRow("the device list needs a log-in")
        << false << R"({"cmd":"get_devices_req"})"
        << R"({"cmd":"get_devices_resp","status":false,"err_string":"invalid_token"})" << false;
    QTest::newRow("the device list names EUIs, name and app EUI")
        << true << R"({"cmd":"get_devices_req"})"
        << R"({"cmd":"get_devices_resp","status":true,"devices_list":[)"
           R"({"devEui":"7A52000000010001","devName":"Meter","OTAA":{"appEui":"7A52000000000001"}}]})"
        << true;
    QTest::newRow("packets of an unknown device are refused")
        << true << R"({"cmd":"get_data_req","devEui":"00","select":{"limit":10}})"
        << R"({"cmd":"get_data_resp","status":false,"err_string":"unknown_device"})" << true;
    QTest::newRow("packets before any uplink are an empty list")
        << true << R"({"cmd":"get_data_req","devEui":"7a52000000010001","select":{"limit":10}})"
        << R"({"cmd":"get_data_resp","status":true,"devEui":"7A52000000010001","data_list":[]})" << true;
}

void TestStandin::answers()
{
    QFETCH(bool, loggedIn);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QFETCH(bool, loggedInAfter);

    const CStandinServer server(config());
    bool authorised = loggedIn;
    QCOMPARE(server.answerMessage(message, authorised), parse(expected));
    QCOMPARE(authorised, loggedInAfter);
}

void TestStandin::packetHistory()
{
    CStandinServer server(config());
    for (int i = 0; i < 5; ++i)
        server.generateUplink(0);
    bool authorised = true;
    const QJsonObject answer = server.answerMessage(
        R"({"cmd":"get_data_req","devEui":"7A52000000010001","select":{"limit":2}})", authorised);
    const QJsonArray list = answer.value("data_list").toArray();
    QCOMPARE(list.size(), 2);
    // Newest first: the fifth uplink has frame counter 4.
    QCOMPARE(list.at(0).toObject().value("fcnt").toInt(), 4);
    QCOMPARE(list.at(1).toObject().value("fcnt").toInt(), 3);
    QVERIFY(!list.at(0).toObject().contains("cmd"));

    // history_size 3 caps what a larger limit can get.
    const QJsonObject all = server.answerMessage(
        R"({"cmd":"get_data_req","devEui":"7A52000000010001","select":{"limit":10}})", authorised);
    QCOMPARE(all.value("data_list").toArray().size(), 3);
    API::SApiDeviceData packet;
    QVERIFY(API::readDataResp(all, packet));
    QCOMPARE(packet.fcnt, 4u);
    QCOMPARE(packet.data.size(), 20);
}

void TestStandin::executable()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("standin.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(configObject(80)).toJson());
    file.close();

    QProcess process;
    process.start(QStringLiteral(TW_STANDIN_BIN), {"--config", file.fileName(), "--port", "0"});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY(process.canReadLine());
    const QByteArray line = process.readLine().trimmed();
    QVERIFY2(line.startsWith("LISTENING "), line.constData());
    const int port = line.mid(10).toInt();
    QVERIFY(port > 0);

    QWebSocket client;
    QList<QJsonObject> received;
    connect(&client, &QWebSocket::textMessageReceived, this,
            [&](const QString& text) { received << parse(text); });
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    QVERIFY(connected.wait());

    client.sendTextMessage(API::pingMessage());
    QTRY_COMPARE(received.size(), 1);
    QVERIFY(received.last().contains("err_string"));
    // Not logged in yet: no uplink is pushed.
    QTest::qWait(200);
    QCOMPARE(received.size(), 1);

    client.sendTextMessage(API::authRequestMessage("operator", "tarnwick"));
    QTRY_VERIFY(received.size() >= 2);
    QCOMPARE(received.at(1).value("cmd").toString(), QString("auth_resp"));
    QCOMPARE(received.at(1).value("status").toBool(), true);
    QVERIFY(!received.at(1).value("token").toString().isEmpty());

    client.sendTextMessage(API::devicesListRequestMessage());
    const auto lastOf = [&received](const QString& cmd) {
        for (int i = received.size() - 1; i >= 0; --i) {
            if (received.at(i).value("cmd").toString() == cmd)
                return received.at(i);
        }
        return QJsonObject();
    };
    QTRY_VERIFY(!lastOf("get_devices_resp").isEmpty());
    QList<API::SServerDeviceInfo> devices;
    QVERIFY(API::readDevicesListResp(lastOf("get_devices_resp"), devices));
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().appEui, QString("7A52000000000001"));

    QTRY_VERIFY(!lastOf("rx").isEmpty());
    const QJsonObject rx = lastOf("rx");
    QCOMPARE(rx.value("type").toString(), QString("UNCONF_UP"));
    QVERIFY(qAbs(rx.value("ts").toDouble() - QDateTime::currentMSecsSinceEpoch()) < 60000);
    API::SApiDeviceData uplink;
    QVERIFY(API::readRxMessage(rx, uplink));
    QCOMPARE(uplink.devEui, QString("7A52000000010001"));
    QCOMPARE(uplink.data.size(), 20);
    QCOMPARE(uplink.data.at(0), '\x01');
    QCOMPARE(uplink.data.mid(7).toHex(), QByteArray("3c4f4b") + QByteArray(20, '0'));
    QCOMPARE(uplink.port, uint16_t(2));
    QCOMPARE(uplink.rssi, int16_t(-71));

    client.sendTextMessage(API::deviceDataRequestMessage("7a52000000010001"));
    QTRY_VERIFY(!lastOf("get_data_resp").isEmpty());
    API::SApiDeviceData last;
    QVERIFY(API::readDataResp(lastOf("get_data_resp"), last));
    QVERIFY(last.fcnt >= uplink.fcnt);

    client.close();
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
