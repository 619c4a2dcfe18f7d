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
const QString OK_AUTH = QStringLiteral(R"({"cmd":"auth_resp","status":true,"token":"t0k"})");
const QString DEVICES_RESP = QStringLiteral(
    R"({"cmd":"get_devices_resp","status":true,"devices_list":[{"devEui":"ab01","devName":"One","OTAA":{"appEui":"7A52"}}]})");
using Statuses = QList<COMM::EServerStatus>;

QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}
} // namespace

// A scripted network server on the loopback: it records what the gateway
// sends and answers only what a test tells it to.
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
    int count(const QString& cmd) const
    {
        return int(std::count_if(received.begin(), received.end(),
                                 [&](const QJsonObject& obj) { return obj.value("cmd").toString() == cmd; }));
    }
    void send(const QString& text) { client->sendTextMessage(text); }

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
    void handshake_data();
    void handshake();
    void requestsRefusedBeforeLogIn();
    void twoDeviceListRequestsInARow();
    void packetRequestHoldsTheQueueUntilTimeout();
    void pushedMessagesAfterLogin();

private:
    Statuses statuses() const;
    bool logContains(const QString& text) const;
    void connectLink();
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
    QVERIFY(fake->server.listen(QHostAddress::LocalHost, 0));
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

Statuses TestServerLink::statuses() const
{
    Statuses list;
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
void TestServerLink::connectLink()
{
    link->connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(fake->server.serverPort()), "operator",
                      "secret");
    QTRY_COMPARE(fake->count("cmd"), 1);
    QCOMPARE(fake->received.first(), parse(R"({"cmd":"cmd"})"));
}

void TestServerLink::logIn()
{
    connectLink();
    fake->send(R"({"cmd":"cmd","err_string":"unknown_cmd"})");
    QTRY_COMPARE(fake->count("auth_req"), 1);
    fake->send(OK_AUTH);
    QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
}

void TestServerLink::handshake_data()
{
    QTest::addColumn<QString>("pingAnswer");
    QTest::addColumn<QString>("authAnswer");
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<Statuses>("expected");

    const QString ok = R"({"err_string":"whatever"})";
    const Statuses pinged{COMM::DISCONNECTED, COMM::PING_WAITING},
        authing = pinged + Statuses{COMM::AUTH_WAITING};
    QTest::newRow("a ping answer without err_string is invalid and brings no log-in")
        << R"({"cmd":"cmd","status":false})" << QString() << "State=ping: unknown message"
        << pinged + Statuses{COMM::INVALID_PING};
    QTest::newRow("an unanswered ping times out")
        << QString() << QString() << QString() << pinged + Statuses{COMM::INVALID_PING};
    QTest::newRow("a ping answer with err_string, then status true logs in")
        << ok << OK_AUTH << QString() << authing + Statuses{COMM::SUCCESS};
    QTest::newRow("a refusal shows the server's error text")
        << ok << R"({"cmd":"auth_resp","status":false,"err_string":"invalid_login_or_password"})"
        << "State=auth: unknown message[4], err[invalid_login_or_password]"
        << authing + Statuses{COMM::INVALID_AUTH};
    QTest::newRow("a refusal without error text leaves the brackets empty")
        << ok << R"({"cmd":"auth_resp","status":false})"
        << "State=auth: unknown message[4], err[]" << authing + Statuses{COMM::INVALID_AUTH};
    QTest::newRow("an uplink before the log-in completed fails it")
        << ok << R"({"cmd":"rx","type":"UNCONF_UP","data":"01","devEui":"ab"})"
        << "State=auth: unknown message[2]" << authing + Statuses{COMM::INVALID_AUTH};
    QTest::newRow("an unanswered log-in times out")
        << ok << QString() << QString() << authing + Statuses{COMM::INVALID_AUTH};
}

void TestServerLink::handshake()
{
    QFETCH(QString, pingAnswer);
    QFETCH(QString, authAnswer);
    QFETCH(QString, debugLine);
    QFETCH(Statuses, expected);

    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    connectLink();
    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable("[CServerHandler::textMessageReceivedSlot] " + debugLine));
    if (!pingAnswer.isEmpty())
        fake->send(pingAnswer);
    const bool loginSent = expected.contains(COMM::AUTH_WAITING);
    if (loginSent) {
        QTRY_COMPARE(fake->count("auth_req"), 1);
        QCOMPARE(fake->received.last(),
                 parse(R"({"cmd":"auth_req","login":"operator","password":"secret"})"));
        if (!authAnswer.isEmpty())
            fake->send(authAnswer);
    }
    QTRY_COMPARE(statuses().size(), expected.size());
    QCOMPARE(statuses(), expected);
    QCOMPARE(fake->count("auth_req"), loginSent ? 1 : 0);
    QCOMPARE(packets.size(), 0);
    // Only a logged-in link takes requests.
    QCOMPARE(link->getDevicesListReq({"7A52"}), expected.last() == COMM::SUCCESS);
}

void TestServerLink::requestsRefusedBeforeLogIn()
{
    connectLink();
    QVERIFY(!link->getDevicesListReq({"7A52"}));
    link->getDeviceLastPackets("ab");
    QTRY_VERIFY(logContains("[CServerHandler::getDevicesList] Invalid connection to server! Return"));
    QTRY_VERIFY(logContains("[CServerHandler::getDeviceLastPackets] Invalid connection to server! Return"));
    QTest::qWait(50);
    QCOMPARE(fake->received.size(), 1); // the ping only
}

void TestServerLink::twoDeviceListRequestsInARow()
{
    logIn();
    QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_devices_req"), 1);
    QTest::qWait(WAITING_MS / 3);
    QCOMPARE(fake->count("get_devices_req"), 1);

    fake->send(DEVICES_RESP);
    QTRY_COMPARE(lists.size(), 1);
    QCOMPARE(lists.at(0).at(0).toBool(), true);
    const auto devices = lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().appEui, QString("7A52"));
    // The answer ends the wait at once, well before the time-out.
    QTRY_COMPARE_WITH_TIMEOUT(fake->count("get_devices_req"), 2, WAITING_MS / 2);
}

void TestServerLink::packetRequestHoldsTheQueueUntilTimeout()
{
    logIn();
    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    link->getDeviceLastPackets("7a52ab");
    QVERIFY(link->getDevicesListReq({"7A52"}));
    QTRY_COMPARE(fake->count("get_data_req"), 1);
    QElapsedTimer sinceSent;
    sinceSent.start();
    fake->send(R"({"cmd":"get_data_resp","status":true,"devEui":"7a52ab","data_list":[)"
               R"({"type":"UNCONF_UP","data":"0102","fcnt":7},{"type":"UNCONF_UP","data":"03"}]})");
    QTRY_COMPARE(packets.size(), 1);
    QCOMPARE(packets.at(0).at(0).value<API::SApiDeviceData>().fcnt, 7u);

    // The answer does not free the queue: the device list waits for the time-out.
    QTest::qWait(WAITING_MS / 2);
    QCOMPARE(fake->count("get_devices_req"), 0);
    QTRY_COMPARE(fake->count("get_devices_req"), 1);
    QVERIFY(sinceSent.elapsed() >= WAITING_MS - 50);
}

void TestServerLink::pushedMessagesAfterLogin()
{
    logIn();
    QSignalSpy packets(link, &CServerHandler::newPacketReceived);
    QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
    fake->send(DEVICES_RESP); // nobody asked for it
    QTRY_VERIFY(logContains(
        "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
    QCOMPARE(lists.size(), 0);
    fake->send(R"({"cmd":"rx","type":"UNCONF_UP","data":"01"})"); // no device EUI: dropped
    fake->send(R"({"cmd":"rx","type":"UNCONF_UP","data":"A1b2","devEui":"7a52cd","gatewayId":"gw1+x"})");
    QTRY_COMPARE(packets.size(), 1);
    QTest::qWait(50);
    QCOMPARE(packets.size(), 1);
    const auto packet = packets.at(0).at(0).value<API::SApiDeviceData>();
    QCOMPARE(packet.devEui, QString("7A52CD"));
    QCOMPARE(packet.data, QByteArray("\xa1\xb2", 2));
    QCOMPARE(packet.gatewayId, QString("GW1"));
}

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_serverlink.moc"
