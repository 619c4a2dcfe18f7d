#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include "app/global.h"
#include "server/ApiMessages.h"
#include "standin/CPayloadGenerator.h"
#include "standin/StandinConfig.h"

namespace {
QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// One device whose packet is the type byte 01 and the given fields.
QJsonObject configObject(const QString& fields, int packetSize)
{
    return parse(QString(R"({"host": "127.0.0.1", "port": 0, "login": "operator",
        "password": "tarnwick", "seed": 7, "history_size": 3, "devices": [{"dev_eui": "7a52000000010001",
        "dev_name": "Meter", "app_eui": "7A52000000000001", "period_ms": 80, "port": 2, "rssi": -71,
        "packet_type": 1, "packet_size": %2, "fields": [%1]}]})")
                     .arg(fields)
                     .arg(packetSize));
}
} // namespace

class TestStandin : public QObject
{
    Q_OBJECT
private slots:
    void configRefused_data();
    void configRefused();
    void generators_data();
    void generators();
    void executable();
};

void TestStandin::configRefused_data()
{
    QTest::addColumn<QString>("field");
    QTest::newRow("a field past the end of the packet")
        << R"({"offset": 6, "size": 4, "generator": "counter"})";
    QTest::newRow("an unknown generator") << R"({"offset": 1, "size": 1, "generator": "sine"})";
    QTest::newRow("a wander start outside its range")
        << R"({"offset": 1, "size": 2, "generator": "wander", "min": -10, "max": 10, "start": 11})";
}

void TestStandin::configRefused()
{
    QFETCH(QString, field);
    SStandinConfig cfg;
    QString error;
    QVERIFY(readStandinConfig(configObject(R"({"offset": 1, "size": 4, "generator": "counter"})", 9), cfg,
                              error));
    QVERIFY(!readStandinConfig(configObject(field, 9), cfg, error));
    QVERIFY2(error.startsWith("device 0: "), qPrintable(error));
}

void TestStandin::generators_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("firstThree"); // empty: a random walk, checked by its range

    QTest::newRow("a big-endian counter counts up by its step")
        << R"({"offset": 1, "size": 4, "order": "be", "generator": "counter", "start": 65534, "step": 1})"
        << "010000fffe 010000ffff 0100010000";
    QTest::newRow("a little-endian counter puts the low byte first")
        << R"({"offset": 1, "size": 2, "generator": "counter", "start": 258, "step": 2})"
        << "010201 010401 010601";
    QTest::newRow("a constant stays") << R"({"offset": 1, "size": 1, "generator": "const", "value": 60})"
                                      << "013c 013c 013c";
    QTest::newRow("a text is zero-padded") << R"({"offset": 1, "size": 4, "generator": "text", "text": "OK"})"
                                           << "014f4b0000 014f4b0000 014f4b0000";
    QTest::newRow("a wander stays in its range and moves by at most its step")
        << R"({"offset": 1, "size": 2, "generator": "wander", "min": -10, "max": 10, "start": 0, "step": 3})"
        << QString();
}

void TestStandin::generators()
{
    QFETCH(QString, field);
    QFETCH(QString, firstThree);
    SStandinConfig cfg;
    QString error;
    QVERIFY2(readStandinConfig(configObject(field, 1 + parse(field).value("size").toInt()), cfg, error),
             qPrintable(error));
    CPayloadGenerator gen(cfg.devices.first(), 99);
    if (!firstThree.isEmpty()) {
        const QStringList got{gen.next().toHex(), gen.next().toHex(), gen.next().toHex()};
        QCOMPARE(got.join(' '), firstThree);
        return;
    }
    QSet<int> seen;
    int previous = 0;
    for (int i = 0; i < 2000; ++i) {
        const QByteArray p = gen.next();
        const int value = int16_t(uint8_t(p[1]) | (uint8_t(p[2]) << 8));
        QVERIFY(value >= -10 && value <= 10 && qAbs(value - previous) <= 3);
        previous = value;
        seen.insert(value);
    }
    // A walk that never reaches the ends is not wandering.
    QVERIFY(seen.contains(-10) && seen.contains(10));
}

void TestStandin::executable()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("standin.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    // Counter at 1..4, constant 60 at 5, text "OK" at 6..9.
    file.write(QJsonDocument(configObject(R"({"offset": 1, "size": 4, "order": "be", "generator": "counter"},
        {"offset": 5, "size": 1, "generator": "const", "value": 60},
        {"offset": 6, "size": 4, "generator": "text", "text": "OK"})",
                                          10))
                   .toJson());
    file.close();
    QProcess process;
    process.start(QStringLiteral(TW_STANDIN_BIN), {"--config", file.fileName(), "--port", "0"});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY(process.canReadLine());
    const QByteArray line = process.readLine().trimmed();
    QVERIFY2(line.startsWith("LISTENING "), line.constData());

    QWebSocket client;
    QList<QJsonObject> received;
    connect(&client, &QWebSocket::textMessageReceived, this,
            [&](const QString& text) { received << parse(text); });
    // Sends msg and waits for the next message carrying cmd.
    const auto ask = [&](const QString& msg, const QString& cmd) {
        received.clear();
        if (!msg.isEmpty())
            client.sendTextMessage(msg);
        QJsonObject answer;
        static_cast<void>(QTest::qWaitFor([&] {
            for (const QJsonObject& obj : received)
                answer = obj.value("cmd").toString() == cmd ? obj : answer;
            return !answer.isEmpty();
        }));
        return answer;
    };
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(line.mid(10).toInt())));
    QVERIFY(connected.wait());

    QVERIFY(ask(API::pingMessage(), "cmd").contains("err_string"));
    QTest::qWait(200);
    QVERIFY2(received.size() == 1, "no uplink before the log-in");
    QCOMPARE(ask(API::authRequestMessage("operator", "x"), "auth_resp").value("status"), QJsonValue(false));
    const QJsonObject auth = ask(API::authRequestMessage("operator", "tarnwick"), "auth_resp");
    QVERIFY(auth.value("status").toBool() && !auth.value("token").toString().isEmpty());

    QList<API::SServerDeviceInfo> devices;
    QVERIFY(API::readDevicesListResp(ask(API::devicesListRequestMessage(), "get_devices_resp"), devices));
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().appEui, QString("7A52000000000001"));

    API::SApiDeviceData uplink;
    QVERIFY(API::readRxMessage(ask(QString(), "rx"), uplink));
    QCOMPARE(uplink.devEui, QString("7A52000000010001"));
    QCOMPARE(uplink.data.size(), 10);
    QCOMPARE(uplink.data.at(0), '\x01');
    QCOMPARE(uplink.data.mid(5).toHex(), QByteArray("3c4f4b0000"));
    QCOMPARE(uplink.rssi, int16_t(-71));

    API::SApiDeviceData last;
    QVERIFY(API::readDataResp(ask(API::deviceDataRequestMessage("7a52000000010001"), "get_data_resp"), last));
    QVERIFY(last.fcnt >= uplink.fcnt && last.data.size() == 10);
    client.close();
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
