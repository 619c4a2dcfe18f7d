#include <QJsonDocument>
#include <QtTest>

#include "app/global.h"
#include "server/ApiMessages.h"

namespace {
QStringList debugLines;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    debugLines.append(msg);
}

QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// "ok|devEui|gatewayId|hex data|fcnt|port", or "no|..." for a refused record.
QString describe(const API::SApiDeviceData& r)
{
    return QStringList{r.isValid ? "ok" : "no",
                       r.devEui,
                       r.gatewayId,
                       QString::fromLatin1(r.data.toHex()),
                       QString::number(r.fcnt),
                       QString::number(r.port)}
        .join('|');
}

// Runs the reader the message's "cmd" names and describes what it returned.
QString readAnswer(const QJsonObject& obj)
{
    const QString cmd = obj.value("cmd").toString();
    if (cmd == "get_devices_resp") {
        QList<API::SServerDeviceInfo> devices{API::SServerDeviceInfo{"stale", "stale", "stale"}};
        QStringList parts{API::readDevicesListResp(obj, devices) ? "true" : "false"};
        for (const API::SServerDeviceInfo& dev : devices)
            parts << dev.devEui + '/' + dev.appEui + '/' + dev.devName;
        return parts.join(' ');
    }
    API::SApiDeviceData packet;
    const bool found = cmd == "rx" ? API::readRxMessage(obj, packet) : API::readDataResp(obj, packet);
    return (found ? "found " : "none ") + describe(packet);
}

} // namespace

class TestApi : public QObject
{
    Q_OBJECT
private slots:

    void uplinkRecord_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("a MAC command after a plus keeps the uplink; gateway split and upper-cased")
            << R"({"type":"UNCONF_UP+MAC_LINKCHECK_REQ","data":"0A0b","devEui":"a1b2c3","gatewayId":"ab12+cd34","port":2})"
            << "ok|A1B2C3|AB12|0a0b|0|2" << QStringList();
        QTest::newRow("a join request is not an uplink")
            << R"({"type":"JOIN_REQ","data":"00","devEui":"01","fcnt":3})"
            << "no||||0|0" << QStringList{"[SApiDeviceData] Not UPLINK message: JOIN_REQ"};
        QTest::newRow("an uplink without data is refused")
            << R"({"type":"CONF_UP","devEui":"01"})"
            << "no||||0|0" << QStringList{"[SApiDeviceData] DATA is not exist"};
        QTest::newRow("non-hex data is refused")
            << R"({"type":"UNCONF_UP","data":"0g","devEui":"01"})"
            << "no||||0|0" << QStringList{"[SApiDeviceData] DATA is not hexadecimal"};
        QTest::newRow("a counter as a JSON string is read, a port as a string is zero")
            << R"({"type":"UNCONF_UP","data":"00","fcnt":"17","port":"2"})"
            << "ok|||00|17|0" << QStringList();
    }

    void uplinkRecord()
    {
        QFETCH(QString, json);
        const QJsonObject obj = parse(json);
        debugLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        const API::SApiDeviceData record(obj);
        qInstallMessageHandler(previous);
        QTEST(describe(record), "expected");
        QTEST(debugLines, "lines");
    }

    void readers_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("expected");

        const QString list =
            R"("data_list":[{"type":"JOIN_REQ","data":"00"},)"
            R"({"type":"UNCONF_UP","data":"0102","devEui":"other"},{"type":"UNCONF_UP","data":"03"}])";
        QTest::newRow("a refused device list yields failure and no devices")
            << R"({"cmd":"get_devices_resp","status":false,"devices_list":[{"devEui":"a","devName":"n","OTAA":{"appEui":"b"}}]})"
            << "false";
        QTest::newRow("devices keep their order; those without an OTAA app EUI are skipped")
            << R"({"cmd":"get_devices_resp","status":true,"devices_list":[{"devEui":"ab01","devName":"One","OTAA":{"appEui":"7a52"}},)"
               R"({"devEui":"2","devName":"b","OTAA":{}},{"devEui":"3","devName":"c"},)"
               R"({"devEui":"CD02","devName":"Two","OTAA":{"appEui":"7A53"}}]})"
            << "true ab01/7a52/One CD02/7A53/Two";
        QTest::newRow("join first: the first uplink after it, with the answer's upper-case EUI")
            << R"({"cmd":"get_data_resp","status":true,"devEui":"ab12",)" + list + "}"
            << "found ok|AB12||0102|0|0";
        QTest::newRow("a refused packet answer yields nothing")
            << R"({"cmd":"get_data_resp","status":false,"devEui":"ab12",)" + list + "}"
            << "none no||||0|0";
        QTest::newRow("an rx with a device EUI is delivered")
            << R"({"cmd":"rx","type":"UNCONF_UP","data":"0102","devEui":"ab"})"
            << "found ok|AB||0102|0|0";
        QTest::newRow("an rx without a device EUI is dropped")
            << R"({"cmd":"rx","type":"UNCONF_UP","data":"01"})"
            << "none no||||0|0";
    }

    void readers()
    {
        QFETCH(QString, json);
        QTEST(readAnswer(parse(json)), "expected");
    }

    // The packet request upper-cases the EUI and asks for ten uplinks, in compact JSON.
    void packetRequest()
    {
        const QString message = API::deviceDataRequestMessage("7a52abc");
        QVERIFY(!message.contains('\n'));
        QCOMPARE(
            parse(message),
            parse(R"({"cmd":"get_data_req","devEui":"7A52ABC","select":{"direction":"UPLINK","limit":10}})"));
    }
};

QTEST_GUILESS_MAIN(TestApi)
#include "tst_api.moc"
