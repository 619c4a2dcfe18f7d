#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

#include "app/global.h"
#include "server/ApiMessages.h"

namespace {
QStringList capturedLines;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    capturedLines.append(msg);
}

QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// Collects the debug output of one call instead of printing it.
class CDebugCapture
{
public:
    CDebugCapture()
    {
        capturedLines.clear();
        previous = qInstallMessageHandler(captureHandler);
    }
    ~CDebugCapture() { qInstallMessageHandler(previous); }

private:
    QtMessageHandler previous;
};

QString describe(const QList<API::SServerDeviceInfo>& devices)
{
    QStringList parts;
    for (const API::SServerDeviceInfo& dev : devices)
        parts << dev.devEui + QLatin1Char('|') + dev.appEui + QLatin1Char('|') + dev.devName;
    return parts.join(QLatin1Char(';'));
}
} // namespace

class TestApi : public QObject
{
    Q_OBJECT
private slots:
    void uplinkRecord_data();
    void uplinkRecord();
    void uplinkNumbers_data();
    void uplinkNumbers();
    void outgoingMessages_data();
    void outgoingMessages();
    void devicesListResp_data();
    void devicesListResp();
    void dataResp_data();
    void dataResp();
    void rxMessage_data();
    void rxMessage();
    void fuzzReaders();
};

void TestApi::uplinkRecord_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<QString>("gatewayId");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("lines");

    const QString noLine;
    QTest::newRow("uplink with a MAC command, suffixed gateway and mixed-case hex")
        << R"({"type":"UNCONF_UP+MAC_LINKCHECK_REQ","data":"0A0b","devEui":"a1b2c3","gatewayId":"ab12+cd34","port":2})"
        << true << "A1B2C3"
        << "AB12" << QByteArray("\x0a\x0b", 2) << QStringList();
    QTest::newRow("confirmed uplink with a MAC command is an uplink")
        << R"({"type":"CONF_UP+MAC_LINKCHECK_REQ","data":"ff","devEui":"0011"})" << true << "0011"
        << "" << QByteArray("\xff", 1) << QStringList();
    QTest::newRow("empty parts around the plus do not hide the uplink")
        << R"({"type":"+UNCONF_UP+","data":"","devEui":"01"})" << true << "01"
        << "" << QByteArray() << QStringList();
    QTest::newRow("join request is not an uplink")
        << R"({"type":"JOIN_REQ","data":"00","devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] Not UPLINK message: JOIN_REQ"};
    QTest::newRow("lower-case type does not match")
        << R"({"type":"unconf_up","data":"00"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] Not UPLINK message: unconf_up"};
    QTest::newRow("a type that only begins like an uplink does not match")
        << R"({"type":"UNCONF_UPX+CONF_UPS","data":"00"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] Not UPLINK message: UNCONF_UPX+CONF_UPS"};
    QTest::newRow("confirmed uplink without data")
        << R"({"type":"CONF_UP","devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] DATA is not exist"};
    QTest::newRow("object without a type")
        << R"({"data":"00","devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] Uncknown JSON message format!"};
    QTest::newRow("empty object says nothing") << "{}" << false << ""
                                               << "" << QByteArray() << QStringList();
    QTest::newRow("uplink without device EUI is still a record")
        << R"({"type":"UNCONF_UP","data":"01"})" << true << ""
        << "" << QByteArray("\x01", 1) << QStringList();
    QTest::newRow("gateway id beginning with a plus gives an empty gateway")
        << R"({"type":"UNCONF_UP","data":"01","gatewayId":"+ab"})" << true << ""
        << "" << QByteArray("\x01", 1) << QStringList();
    QTest::newRow("odd number of hex digits is refused")
        << R"({"type":"UNCONF_UP","data":"abc","devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] DATA is not hexadecimal"};
    QTest::newRow("non-hex characters in the payload are refused")
        << R"({"type":"UNCONF_UP","data":"0g","devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] DATA is not hexadecimal"};
    QTest::newRow("payload given as a number is refused")
        << R"({"type":"UNCONF_UP","data":12,"devEui":"01"})" << false << ""
        << "" << QByteArray() << QStringList{"[SApiDeviceData] DATA is not hexadecimal"};
}

void TestApi::uplinkRecord()
{
    QFETCH(QString, json);
    QFETCH(bool, valid);
    QFETCH(QString, devEui);
    QFETCH(QString, gatewayId);
    QFETCH(QByteArray, data);
    QFETCH(QStringList, lines);

    const QJsonObject obj = parse(json);
    CDebugCapture capture;
    const API::SApiDeviceData record(obj);
    QCOMPARE(capturedLines, lines);
    QCOMPARE(record.isValid, valid);
    QCOMPARE(record.devEui, devEui);
    QCOMPARE(record.gatewayId, gatewayId);
    QCOMPARE(record.data, data);
    if (!valid) {
        QCOMPARE(record.port, uint16_t(0));
        QCOMPARE(record.fcnt, 0u);
    }
}

void TestApi::uplinkNumbers_data()
{
    QTest::addColumn<QString>("extra");
    QTest::addColumn<quint64>("ts");
    QTest::addColumn<uint>("fcnt");
    QTest::addColumn<uint>("freq");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("dr");
    QTest::addColumn<int>("rssi");
    QTest::addColumn<double>("snr");
    QTest::addColumn<bool>("ack");

    QTest::newRow("every number as a JSON number")
        << R"("ts":1700000000123,"fcnt":17,"freq":868100000,"port":2,"dr":5,"rssi":-71,"snr":9.5,"ack":true)"
        << quint64(1700000000123) << 17u << 868100000u << 2 << 5 << -71 << 9.5 << true;
    QTest::newRow("time, counter and frequency also accept decimal strings")
        << R"("ts":"1700000000123","fcnt":"17","freq":"868100000")" << quint64(1700000000123) << 17u
        << 868100000u << 0 << 0 << 0 << 0.0 << false;
    QTest::newRow("port, rate, signal and ack given as strings read as zero")
        << R"("port":"2","dr":"5","rssi":"-70","snr":"9.5","ack":"true")" << quint64(0) << 0u << 0u << 0 << 0
        << 0 << 0.0 << false;
    QTest::newRow("missing numbers read as zero")
        << R"("devEui":"01")" << quint64(0) << 0u << 0u << 0 << 0 << 0 << 0.0 << false;
    QTest::newRow("a port beyond 16 bits keeps its low bits")
        << R"("port":65538)" << quint64(0) << 0u << 0u << 2 << 0 << 0 << 0.0 << false;
}

void TestApi::uplinkNumbers()
{
    QFETCH(QString, extra);
    const API::SApiDeviceData record(parse(R"({"type":"UNCONF_UP","data":"00",)" + extra + "}"));
    QVERIFY(record.isValid);
    QTEST(quint64(record.ts), "ts");
    QTEST(uint(record.fcnt), "fcnt");
    QTEST(uint(record.freq), "freq");
    QTEST(int(record.port), "port");
    QTEST(int(record.dr), "dr");
    QTEST(int(record.rssi), "rssi");
    QTEST(record.snr, "snr");
    QTEST(record.ack, "ack");
}

void TestApi::outgoingMessages_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    QTest::newRow("ping names the word cmd as its command") << API::pingMessage() << R"({"cmd":"cmd"})";
    QTest::newRow("log-in carries login and password")
        << API::authRequestMessage("operator", "pa\"ss")
        << R"({"cmd":"auth_req","login":"operator","password":"pa\"ss"})";
    QTest::newRow("device-list request has no other key")
        << API::devicesListRequestMessage() << R"({"cmd":"get_devices_req"})";
    QTest::newRow("packet request upper-cases the EUI and asks for ten uplinks")
        << API::deviceDataRequestMessage("7a52abc")
        << R"({"cmd":"get_data_req","devEui":"7A52ABC","select":{"direction":"UPLINK","limit":10}})";
}

void TestApi::outgoingMessages()
{
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QVERIFY2(!message.contains(QLatin1Char('\n')), "messages are compact JSON");
    QCOMPARE(parse(message), parse(expected));
    QVERIFY(parse(message).value("select").toObject().value("limit").isDouble() ||
            !message.contains("limit"));
}

void TestApi::devicesListResp_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("status");
    QTest::addColumn<QString>("devices");

    QTest::newRow("refused answer yields failure and nothing")
        << R"({"cmd":"get_devices_resp","status":false,"devices_list":[{"devEui":"a","devName":"n","OTAA":{"appEui":"b"}}]})"
        << false << "";
    QTest::newRow("answer without status is a failure")
        << R"({"cmd":"get_devices_resp","devices_list":[]})" << false << "";
    QTest::newRow("devices keep array order and the server's letter case")
        << R"({"status":true,"devices_list":[{"devEui":"ab01","devName":"One","OTAA":{"appEui":"7a52"}},)"
           R"({"devEui":"CD02","devName":"Two","OTAA":{"appEui":"7A53"},"extra":1}]})"
        << true << "ab01|7a52|One;CD02|7A53|Two";
    QTest::newRow("entries missing one of the three keys are skipped")
        << R"({"status":true,"devices_list":[{"devName":"x","OTAA":{"appEui":"1"}},{"devEui":"2","OTAA":{"appEui":"1"}},)"
           R"({"devEui":"3","devName":"x"},{"devEui":"4","devName":"ok","OTAA":{"appEui":"5"}}]})"
        << true << "4|5|ok";
    QTest::newRow("entries with an empty or missing app EUI are skipped")
        << R"({"status":true,"devices_list":[{"devEui":"1","devName":"a","OTAA":{"appEui":""}},)"
           R"({"devEui":"2","devName":"b","OTAA":{}},{"devEui":"3","devName":"c","OTAA":"x"}]})"
        << true << "";
    QTest::newRow("successful answer without a list is an empty success")
        << R"({"status":true})" << true << "";
    QTest::newRow("elements that are not objects are skipped")
        << R"({"status":true,"devices_list":[1,"x",null,[],{"devEui":"9","devName":"d","OTAA":{"appEui":"8"}}]})"
        << true << "9|8|d";
}

void TestApi::devicesListResp()
{
    QFETCH(QString, json);
    QList<API::SServerDeviceInfo> devices{API::SServerDeviceInfo{"stale", "stale", "stale"}};
    QTEST(API::readDevicesListResp(parse(json), devices), "status");
    QTEST(describe(devices), "devices");
}

void TestApi::dataResp_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<QByteArray>("data");

    const QString list =
        R"("data_list":[{"type":"JOIN_REQ","data":"00"},)"
        R"({"type":"UNCONF_UP","data":"0102","devEui":"other"},{"type":"UNCONF_UP","data":"0304"}])";
    QTest::newRow("join packet first: the first of the uplinks after it, with the answer's EUI")
        << R"({"cmd":"get_data_resp","status":true,"devEui":"ab12",)" + list + "}" << true << "AB12"
        << QByteArray("\x01\x02", 2);
    QTest::newRow("refused answer yields nothing")
        << R"({"status":false,"devEui":"ab12",)" + list + "}" << false << "" << QByteArray();
    QTest::newRow("answer without status yields nothing")
        << R"({"devEui":"ab12",)" + list + "}" << false << "" << QByteArray();
    QTest::newRow("answer without device EUI yields nothing")
        << R"({"status":true,)" + list + "}" << false << "" << QByteArray();
    QTest::newRow("answer without a data list yields nothing")
        << R"({"status":true,"devEui":"ab12"})" << false << "" << QByteArray();
    QTest::newRow("a list without any uplink yields nothing")
        << R"({"status":true,"devEui":"ab12","data_list":[{"type":"JOIN_REQ","data":"00"},{},5,{"type":"CONF_UP"}]})"
        << false << "" << QByteArray();
    QTest::newRow("uplinks without their own EUI take the answer's")
        << R"({"status":true,"devEui":"cd","data_list":[{"type":"CONF_UP","data":"ff"}]})" << true << "CD"
        << QByteArray("\xff", 1);
}

void TestApi::dataResp()
{
    QFETCH(QString, json);
    QFETCH(bool, found);
    QFETCH(QString, devEui);
    QFETCH(QByteArray, data);
    CDebugCapture capture;
    API::SApiDeviceData packet;
    QCOMPARE(API::readDataResp(parse(json), packet), found);
    QCOMPARE(packet.devEui, devEui);
    QCOMPARE(packet.data, data);
    QCOMPARE(packet.isValid, found);
}

void TestApi::rxMessage_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("found");

    QTest::newRow("uplink with device EUI is delivered")
        << R"({"cmd":"rx","type":"UNCONF_UP","data":"0102","devEui":"ab"})" << true;
    QTest::newRow("uplink without device EUI is dropped")
        << R"({"cmd":"rx","type":"UNCONF_UP","data":"01"})" << false;
    QTest::newRow("uplink with an empty device EUI is dropped")
        << R"({"cmd":"rx","type":"UNCONF_UP","data":"01","devEui":""})" << false;
    QTest::newRow("join request is dropped")
        << R"({"cmd":"rx","type":"JOIN_REQ","data":"01","devEui":"ab"})" << false;
    QTest::newRow("uplink without data is dropped")
        << R"({"cmd":"rx","type":"CONF_UP","devEui":"ab"})" << false;
}

void TestApi::rxMessage()
{
    QFETCH(QString, json);
    QFETCH(bool, found);
    CDebugCapture capture;
    API::SApiDeviceData packet;
    QCOMPARE(API::readRxMessage(parse(json), packet), found);
    QCOMPARE(packet.isValid, found);
    QCOMPARE(packet.devEui.isEmpty(), !found);
}

namespace {
// Random JSON values biased towards what the readers look for.
class CJsonFuzzer
{
public:
    explicit CJsonFuzzer(quint32 seed) : rnd(seed) {}

    QJsonValue scalar()
    {
        switch (rnd.bounded(9)) {
        case 0:
            return QJsonValue();
        case 1:
            return rnd.bounded(2) == 1;
        case 2:
            return double(int(rnd.generate())) * (rnd.bounded(2) ? 1.0 : 1e-3);
        case 3:
            return pick(
                {"UNCONF_UP", "CONF_UP", "JOIN_REQ", "UNCONF_UP+MAC_LINKCHECK_REQ", "+", "", "unconf_up"});
        case 4:
            return hexText(false);
        case 5:
            return hexText(true);
        case 6:
            return QString::number(rnd.generate());
        case 7:
            return pick({"ab+cd", "+", "a1b2c3", "\xc3\xa9", "-1", "1e99", "nan"});
        default:
            return QString(rnd.bounded(5), QChar(0x20 + rnd.bounded(0x5e)));
        }
    }

    QJsonValue value(int depth)
    {
        const int kind = depth > 2 ? 0 : rnd.bounded(6);
        if (kind == 4)
            return object(depth + 1);
        if (kind == 5) {
            QJsonArray array;
            for (int i = rnd.bounded(4); i > 0; --i)
                array.append(rnd.bounded(3) ? QJsonValue(uplink()) : value(depth + 1));
            return array;
        }
        return scalar();
    }

    QJsonObject object(int depth)
    {
        QJsonObject obj;
        for (int i = rnd.bounded(8); i > 0; --i)
            obj.insert(key(), value(depth));
        return obj;
    }

    QJsonObject uplink()
    {
        QJsonObject obj{{"type", pick({"UNCONF_UP", "CONF_UP+MAC_DEVSTATUS_ANS", "JOIN_REQ"})},
                        {"data", hexText(rnd.bounded(5) == 0)},
                        {"devEui", hexText(false)}};
        for (int i = rnd.bounded(4); i > 0; --i)
            obj.insert(key(), scalar());
        if (rnd.bounded(4) == 0)
            obj.remove(key());
        return obj;
    }

    QJsonObject message()
    {
        switch (rnd.bounded(4)) {
        case 0: {
            QJsonObject rx = uplink();
            rx.insert("cmd", "rx");
            return rx;
        }
        case 1:
            return QJsonObject{{"cmd", "get_data_resp"},
                               {"status", mostly(true)},
                               {"devEui", mostly(hexText(false))},
                               {"data_list", rnd.bounded(4) ? uplinks() : value(0)}};
        case 2: {
            QJsonArray list;
            for (int i = rnd.bounded(5); i > 0; --i)
                list.append(QJsonObject{
                    {"devEui", scalar()},
                    {"devName", scalar()},
                    {"OTAA", rnd.bounded(4) ? QJsonValue(QJsonObject{{"appEui", mostly(hexText(false))}})
                                            : value(1)}});
            return QJsonObject{{"cmd", "get_devices_resp"}, {"status", mostly(true)}, {"devices_list", list}};
        }
        default:
            return object(0);
        }
    }

    // Mutates the JSON text of a message; the result is often not JSON at all.
    QByteArray mutate(QByteArray text)
    {
        for (int i = 1 + rnd.bounded(3); i > 0 && !text.isEmpty(); --i)
            text[rnd.bounded(text.size())] = char(rnd.bounded(256));
        if (rnd.bounded(3) == 0)
            text.truncate(rnd.bounded(text.size() + 1));
        return text;
    }

private:
    QJsonValue mostly(const QJsonValue& likely) { return rnd.bounded(4) ? likely : scalar(); }

    QJsonArray uplinks()
    {
        QJsonArray array;
        for (int i = rnd.bounded(4); i > 0; --i)
            array.append(rnd.bounded(4) ? QJsonValue(uplink()) : scalar());
        return array;
    }

    QString key()
    {
        return pick({"type",      "data", "devEui", "ts",      "gatewayId", "ack",    "fcnt",
                     "port",      "freq", "dr",     "rssi",    "snr",       "status", "devices_list",
                     "data_list", "OTAA", "appEui", "devName", "cmd",       "x"});
    }

    QString pick(const QStringList& list) { return list.at(rnd.bounded(list.size())); }

    QString hexText(bool broken)
    {
        QString text;
        const QString digits =
            broken ? QStringLiteral("0123456789abcdefgxZ ") : QStringLiteral("0123456789abcdefABCDEF");
        for (int i = rnd.bounded(12); i > 0; --i)
            text.append(digits.at(rnd.bounded(digits.size())));
        return text;
    }

    QRandomGenerator rnd;
};

// What every accepted uplink record must satisfy, given the object it came from.
bool recordIsSound(const API::SApiDeviceData& record, const QJsonObject& source)
{
    const QString data = source.value("data").toString();
    return record.isValid && API::isUplinkType(source.value("type").toString()) && API::isHexPayload(data) &&
           record.data == QByteArray::fromHex(data.toLatin1()) && record.data.size() * 2 == data.size();
}
} // namespace

void TestApi::fuzzReaders()
{
    CJsonFuzzer fuzzer(20240611);
    CDebugCapture capture;
    int rxAccepted = 0;
    int dataAccepted = 0;
    int devicesAccepted = 0;
    for (int i = 0; i < 6000; ++i) {
        QJsonObject obj = fuzzer.message();
        if (i % 3 == 0)
            obj = QJsonDocument::fromJson(fuzzer.mutate(QJsonDocument(obj).toJson(QJsonDocument::Compact)))
                      .object();

        const API::SApiDeviceData record(obj);
        QVERIFY(!record.isValid || recordIsSound(record, obj));
        QVERIFY(record.isValid || (record.devEui.isEmpty() && record.data.isEmpty() && record.fcnt == 0));

        API::SApiDeviceData packet;
        if (API::readRxMessage(obj, packet)) {
            ++rxAccepted;
            QVERIFY(!packet.devEui.isEmpty());
            QCOMPARE(packet.devEui, obj.value("devEui").toString().toUpper());
            QVERIFY(recordIsSound(packet, obj));
        }
        API::SApiDeviceData answer;
        if (API::readDataResp(obj, answer)) {
            ++dataAccepted;
            QVERIFY(answer.isValid);
            QCOMPARE(answer.devEui, obj.value("devEui").toString().toUpper());
            QVERIFY(!answer.devEui.isEmpty());
        }
        QList<API::SServerDeviceInfo> devices;
        const bool listed = API::readDevicesListResp(obj, devices);
        QVERIFY(listed || devices.isEmpty());
        for (const API::SServerDeviceInfo& dev : devices)
            QVERIFY(!dev.appEui.isEmpty());
        devicesAccepted += devices.size();
    }
    // The generator must reach the accepting paths too, or the run proves little.
    const QString counts =
        QStringLiteral("rx %1, data %2, devices %3").arg(rxAccepted).arg(dataAccepted).arg(devicesAccepted);
    QVERIFY2(rxAccepted > 100 && dataAccepted > 20 && devicesAccepted > 100, qPrintable(counts));
}

QTEST_GUILESS_MAIN(TestApi)
#include "tst_api.moc"
