#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/global.h"
#include "server/CServerHandler.h"

namespace {
const int PING_MS = 150;
const int WAITING_MS = 500;

QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

const QString OK_AUTH = QStringLiteral(R"({"cmd":"auth_resp","status":true,"token":"t0k"})");
const QString DEVICES_RESP = QStringLiteral(
    R"({"cmd":"get_devices_resp","status":true,"devices_list":[{"devEui":"ab01","devName":"One","OTAA":{"appEui":"7A52"}}]})");
} // namespace

// A scripted network server on the loopback: it records what the gateway sends
// and answers only what a test tells it to.
class CScriptedServer : public QObject
{
    Q_OBJECT
public:
    CScriptedServer() : server(QStringLiteral("scripted"), QWebSocketServer::NonSecureMode)
    {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            client = server.nextPendingConnection();
            connect(client, &QWebSocket::textMessageReceived, this,
                    [this](const QString& text) { received.append(parse(text)); });
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort()); }
    void send(const QString& text) { client->sendTextMessage(text); }
    int count(const QString& cmd) const
    {
        int n = 0;
        for (const QJsonObject& obj : received)
            n += obj.value("cmd").toString() == cmd ? 1 : 0;
        return n;
    }

    QWebSocketServer server;
    QWebSocket* client = nullptr;
    QList<QJsonObject> received;
};

class TestServerLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pingAnswer_data();
    void pingAnswer();
    void loginAnswer_data();
    void loginAnswer();
    void pingTimeoutThenLateAnswer();
    void authTimeoutThenLateAnswer();
    void requestsRefused_data();
    void requestsRefused();
    void invalidUrlIsLogged();
    void twoDeviceListRequestsInARow();
    void unansweredDeviceListReportsFailure();
    void packetRequestHoldsTheQueueUntilTimeout();
    void unscheduledDeviceListIsLogged();
    void rxAfterLogin();
    void disconnectIsReported();

private:
    QList<COMM::EServerStatus> statuses() const;
    bool logContains(const QString& text) const;
    void connectLink(const QString& login = QStringLiteral("operator"));
    void logIn();

    QString startDir;
    QTemporaryDir* tempDir = nullptr;
    CScriptedServer* fake = nullptr;
    CServerHandler* link = nullptr;
    QSignalSpy* statusSpy = nullptr;
};

void TestServerLink::initTestCase()
{
    globalVarInit();
    CServerHandler::setTimeoutIntervals(PING_MS, WAITING_MS);
}

void TestServerLink::init()
{
    startDir = QDir::currentPath();
    tempDir = new QTemporaryDir;
    QVERIFY(tempDir->isValid());
    QDir::setCurrent(tempDir->path());
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    fake = new CScriptedServer;
    QVERIFY(fake->listen());
    link = CServerHandler::getInstance();
    statusSpy = new QSignalSpy(link, &CServerHandler::changeServerStatus);
}

void TestServerLink::cleanup()
{
    delete statusSpy;
    CServerHandler::resetInstance();
    delete fake;
    delete CLogFile::getInstance();
    QDir::setCurrent(startDir);
    delete tempDir;
}

QList<COMM::EServerStatus> TestServerLink::statuses() const
{
    QList<COMM::EServerStatus> list;
    for (const QList<QVariant>& args : *statusSpy)
        list.append(args.at(0).value<COMM::EServerStatus>());
    return list;
}

bool TestServerLink::logContains(const QString& text) const
{
    QCoreApplication::processEvents();
    QFile file(COMM::LOG_FILENAME);
    return file.open(QIODevice::ReadOnly) && QString::fromUtf8(file.readAll()).contains(text);
}

// Connects and waits for the ping.
void TestServerLink::connectLink(const QString& login)
{
    link->connectSlot(fake->url(), login, QStringLiteral("secret"));
    QTRY_COMPARE(fake->count("cmd"), 1);
}

void TestServerLink::logIn()
{
    connectLink();
    fake->send(R"({"cmd":"cmd","err_string":"unknown_cmd"})");
    QTRY_COMPARE(fake->count("auth_req"), 1);
    fake->send(OK_AUTH);
    QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
}

void TestServerLink::pingAnswer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("loginSent");
    QTest::addColumn<QList<COMM::EServerStatus>>("expected");

    QTest::newRow("an answer holding err_string brings the log-in request")
        << R"({"err_string":"whatever"})" << true
        << QList<COMM::EServerStatus>{COMM::DISCONNECTED, COMM::PING_WAITING, COMM::AUTH_WAITING};
    QTest::newRow("an answer without err_string is an invalid ping and no log-in")
        << R"({"cmd":"cmd","status":false})" << false
        << QList<COMM::EServerStatus>{COMM::DISCONNECTED, COMM::PING_WAITING, COMM::INVALID_PING};
}

void TestServerLink::pingAnswer()
{
    QFETCH(QString, answer);
    QFETCH(bool, loginSent);
    QFETCH(QList<COMM::EServerStatus>, expected);

    connectLink();
    QCOMPARE(fake->received.first(), parse(R"({"cmd":"cmd"})"));
    if (!loginSent)
        QTest::ignoreMessage(QtDebugMsg,
                             "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message");
    fake->send(answer);
    QTRY_COMPARE(statuses().size(), expected.size());
    QCOMPARE(statuses(), expected);
    QTest::qWait(50);
    QCOMPARE(fake->count("auth_req"), loginSent ? 1 : 0);
    if (loginSent) {
        QCOMPARE(fake->received.last(),
                 parse(R"({"cmd":"auth_req","login":"operator","password":"secret"})"));
    } else {
        // Still waiting for the ping answer: a right one moves on.
        fake->send(R"({"err_string":""})");
        QTRY_COMPARE(fake->count("auth_req"), 1);
    }
}

void TestServerLink::loginAnswer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<COMM::EServerStatus>("status");

    QTest::newRow("status true logs in") << OK_AUTH << QString() << COMM::SUCCESS;
    QTest::newRow("refusal shows the server's error text")
        << R"({"cmd":"auth_resp","status":false,"err_string":"invalid_login_or_password"})"
        << "State=auth: unknown message[4], err[invalid_login_or_password]" << COMM::INVALID_AUTH;
    QTest::newRow("refusal without error text leaves the brackets empty")
        << R"({"cmd":"auth_resp","status":false})"
        << "State=auth: unknown message[4], err[]" << COMM::INVALID_AUTH;
    QTest::newRow("answer without a command") << R"({"status":true})"
                                              << "State=auth: unknown message[1]" << COMM::INVALID_AUTH;
    QTest::newRow("an uplink before the log-in completed fails it")
        << R"({"cmd":"rx","type":"UNCONF_UP","data":"01","devEui":"ab"})"
        << "State=auth: unknown message[2]" << COMM::INVALID_AUTH;
    QTest::newRow("auth answer without status") << R"({"cmd":"auth_resp","token":"x"})"
                                                << "State=auth: unknown message[3]" << COMM::INVALID_AUTH;
}

void TestServerLink::loginAnswer()
{
    QFETCH(QString, answer);
    QFETCH(QString, debugLine);
    QFETCH(COMM::EServerStatus, status);

    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    connectLink();
    fake->send(R"({"err_string":"unknown_cmd"})");
    QTRY_COMPARE(fake->count("auth_req"), 1);
    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable("[CServerHandler::textMessageReceivedSlot] " + debugLine));
    fake->send(answer);
    QTRY_COMPARE(statuses().size(), 4);
    QCOMPARE(statuses().last(), status);
    QCOMPARE(packets.size(), 0);
    // Only a logged-in link takes requests; a failed one needs a new connect.
    QCOMPARE(link->getDevicesListReq({"7A52"}), status == COMM::SUCCESS);
    fake->send(OK_AUTH);
    QTest::qWait(50);
    QCOMPARE(statuses().last(), status);
}

void TestServerLink::pingTimeoutThenLateAnswer()
{
    connectLink();
    QTRY_COMPARE(statuses().size(), 3);
    QCOMPARE(statuses().last(), COMM::INVALID_PING);
    QCOMPARE(fake->count("auth_req"), 0);
    fake->send(R"({"err_string":"late"})");
    QTRY_COMPARE(fake->count("auth_req"), 1);
    fake->send(OK_AUTH);
    QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
}

void TestServerLink::authTimeoutThenLateAnswer()
{
    connectLink();
    fake->send(R"({"err_string":"x"})");
    QTRY_COMPARE(statuses().size(), 4);
    QCOMPARE(statuses().last(), COMM::INVALID_AUTH);
    fake->send(OK_AUTH);
    QTRY_COMPARE(statuses().size(), 5);
    QCOMPARE(statuses().last(), COMM::SUCCESS);
    // The handshake timer fires once only.
    QTest::qWait(PING_MS * 2);
    QCOMPARE(statuses().size(), 5);
}

void TestServerLink::requestsRefused_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("listRequest");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("device list with no app EUI")
        << true << true << QString() << "[CServerHandler::getDevicesList] Empty input AppEUI list! Return";
    QTest::newRow("device list before the log-in")
        << false << true << "7A52"
        << "[CServerHandler::getDevicesList] Invalid connection to server! Return";
    QTest::newRow("packets of an empty EUI")
        << true << false << QString()
        << "[CServerHandler::getDeviceLastPackets] Empty input AppEUI list! Return";
    QTest::newRow("packets before the log-in")
        << false << false << "ab"
        << "[CServerHandler::getDeviceLastPackets] Invalid connection to server! Return";
}

void TestServerLink::requestsRefused()
{
    QFETCH(bool, loggedIn);
    QFETCH(bool, listRequest);
    QFETCH(QString, argument);
    QFETCH(QString, logLine);

    if (loggedIn)
        logIn();
    const int before = fake->received.size();
    if (listRequest)
        QVERIFY(!link->getDevicesListReq(argument.isEmpty() ? QList<QString>() : QList<QString>{argument}));
    else
        link->getDeviceLastPackets(argument);
    QTRY_VERIFY(logContains(logLine));
    QTest::qWait(50);
    QCOMPARE(fake->received.size(), before);
}

void TestServerLink::invalidUrlIsLogged()
{
    link->connectSlot("ws://[::1", "a", "b");
    QTRY_VERIFY(logContains("[CServerHandler::connectSlot] Invalid input URL [ws://[::1]"));
    QCOMPARE(statuses(), QList<COMM::EServerStatus>{COMM::DISCONNECTED});
}

void TestServerLink::twoDeviceListRequestsInARow()
{
    logIn();
    QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_devices_req"), 1);
    QCOMPARE(fake->received.last(), parse(R"({"cmd":"get_devices_req"})"));
    QTest::qWait(WAITING_MS / 3);
    QCOMPARE(fake->count("get_devices_req"), 1);

    fake->send(DEVICES_RESP);
    QTRY_COMPARE(lists.size(), 1);
    QCOMPARE(lists.at(0).at(0).toBool(), true);
    const auto devices = lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().devEui, QString("ab01"));
    QCOMPARE(devices.first().appEui, QString("7A52"));
    // The answer ends the wait at once, well before the time-out.
    QTRY_COMPARE_WITH_TIMEOUT(fake->count("get_devices_req"), 2, WAITING_MS / 2);

    fake->send(R"({"cmd":"get_devices_resp","status":false,"err_string":"busy"})");
    QTRY_COMPARE(lists.size(), 2);
    QCOMPARE(lists.at(1).at(0).toBool(), false);
    QVERIFY(lists.at(1).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());
}

void TestServerLink::unansweredDeviceListReportsFailure()
{
    logIn();
    QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_devices_req"), 1);
    QTRY_COMPARE(lists.size(), 1);
    QCOMPARE(lists.at(0).at(0).toBool(), false);

    // The late answer finds nobody waiting for it.
    fake->send(DEVICES_RESP);
    QTRY_VERIFY(logContains(
        "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
    QCOMPARE(lists.size(), 1);
    // The queue is free again.
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_devices_req"), 2);
}

void TestServerLink::packetRequestHoldsTheQueueUntilTimeout()
{
    logIn();
    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    link->getDeviceLastPackets("7a52ab");
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_data_req"), 1);
    QCOMPARE(fake->received.last(),
             parse(R"({"cmd":"get_data_req","devEui":"7A52AB","select":{"limit":10,"direction":"UPLINK"}})"));
    QElapsedTimer sinceSent;
    sinceSent.start();

    fake->send(R"({"cmd":"get_data_resp","status":true,"devEui":"7a52ab","data_list":[)"
               R"({"type":"UNCONF_UP","data":"0102","fcnt":7},{"type":"UNCONF_UP","data":"03"}]})");
    QTRY_COMPARE(packets.size(), 1);
    const auto packet = packets.at(0).at(0).value<API::SApiDeviceData>();
    QCOMPARE(packet.devEui, QString("7A52AB"));
    QCOMPARE(packet.fcnt, 7u);

    QTest::qWait(WAITING_MS / 2);
    QCOMPARE(fake->count("get_devices_req"), 0);
    QTRY_COMPARE(fake->count("get_devices_req"), 1);
    QVERIFY(sinceSent.elapsed() >= WAITING_MS - 50);
}

void TestServerLink::unscheduledDeviceListIsLogged()
{
    logIn();
    QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
    fake->send(DEVICES_RESP);
    QTRY_VERIFY(logContains(
        "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
    QCOMPARE(lists.size(), 0);
}

void TestServerLink::rxAfterLogin()
{
    logIn();
    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    QTest::ignoreMessage(QtDebugMsg,
                         "[CServerHandler::textMessageReceivedSlot] Uncknown input message format");
    QTest::ignoreMessage(QtDebugMsg,
                         "[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]");
    fake->send("not json");
    fake->send(R"({"type":"UNCONF_UP","data":"01","devEui":"ab"})");
    fake->send(R"({"cmd":"rx","type":"UNCONF_UP","data":"01"})");
    fake->send(R"({"cmd":"rx","type":"JOIN_REQ","data":"01","devEui":"ab"})");
    fake->send(R"({"cmd":"tx","type":"UNCONF_UP","data":"01","devEui":"ab"})");
    fake->send(
        R"({"cmd":"rx","type":"UNCONF_UP","data":"A1b2","devEui":"7a52cd","gatewayId":"gw1+x","rssi":-90,)"
        R"("snr":-2.5,"fcnt":12,"port":4,"ts":1700000000000})");
    QTRY_COMPARE(packets.size(), 1);
    QTest::qWait(50);
    QCOMPARE(packets.size(), 1);
    const auto packet = packets.at(0).at(0).value<API::SApiDeviceData>();
    QCOMPARE(packet.devEui, QString("7A52CD"));
    QCOMPARE(packet.data, QByteArray("\xa1\xb2", 2));
    QCOMPARE(packet.gatewayId, QString("GW1"));
    QCOMPARE(packet.rssi, int16_t(-90));
    QCOMPARE(packet.snr, -2.5);
    QCOMPARE(packet.port, uint16_t(4));
    QCOMPARE(packet.ts, uint64_t(1700000000000));
}

void TestServerLink::disconnectIsReported()
{
    logIn();
    fake->client->close();
    QTRY_COMPARE(statuses().last(), COMM::DISCONNECTED);
    QVERIFY(!link->getDevicesListReq({"7A52"}));
}

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_serverlink.moc"
