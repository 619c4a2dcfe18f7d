#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpSocket>

#include "GatewayFixture.h"

namespace {
const int PING_MS = 1000; // generous: a loaded machine must not fail a handshake
const int REFUSED_MS = 400;
const QString OK_AUTH = QStringLiteral(R"({"cmd":"auth_resp","status":true,"token":"t0k"})");
const QString REFUSAL =
    QStringLiteral(R"({"cmd":"auth_resp","status":false,"err_string":"invalid_login_or_password"})");
const QString DEVICES_RESP = QStringLiteral(
    R"({"cmd":"get_devices_resp","status":true,"devices_list":[{"devEui":"ab01","devName":"One","OTAA":{"appEui":"7A52"}}]})");
using Statuses = QList<COMM::EServerStatus>;

QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

QString dataResp(const QString& devEui, const QString& hex)
{
    const QString packet = QStringLiteral(R"({"type":"UNCONF_UP","data":"%1","fcnt":7})").arg(hex);
    return QStringLiteral(R"({"cmd":"get_data_resp","status":true,"devEui":"%1","data_list":[%2]})")
        .arg(devEui, hex.isEmpty() ? QString() : packet);
}
} // namespace

// Relays TCP to a server and can fall silent towards the gateway while every
// connection stays open, as a frozen server does; with no server behind it, it
// accepts and never answers.
class CRelay : public QObject
{
public:
    explicit CRelay(quint16 target) : targetPort(target)
    {
        listener.listen(QHostAddress::LocalHost, 0);
        connect(&listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* in = listener.nextPendingConnection()) {
                ++accepted;
                if (targetPort == 0)
                    continue;
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, targetPort);
                connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                connect(out, &QTcpSocket::readyRead, in, [this, in, out] {
                    const QByteArray bytes = out->readAll();
                    if (!frozen.contains(in))
                        in->write(bytes);
                });
                connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::abort);
            }
        });
    }
    void freeze()
    {
        for (QTcpSocket* in : listener.findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
            frozen.insert(in);
    }
    quint16 port() const { return listener.serverPort(); }
    int accepted = 0;

private:
    QTcpServer listener;
    quint16 targetPort;
    QSet<QTcpSocket*> frozen;
};

class TestServerLink : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;
    std::unique_ptr<CFakeNetworkServer> fake;
    CServerHandler* link = nullptr;
    std::unique_ptr<QSignalSpy> statusSpy;

    Statuses statuses() const
    {
        Statuses list;
        for (const QList<QVariant>& args : *statusSpy)
            list.append(args.at(0).value<COMM::EServerStatus>());
        return list;
    }
    // With times > 0, the text must occur exactly that often.
    static bool logContains(const QString& text, int times = 0)
    {
        const int found = CWorkDir::log().count(text);
        return times > 0 ? found == times : found > 0;
    }

    // Connects and waits for the ping.
    void connectLink(const QString& scheme = QStringLiteral("ws"), quint16 port = 0)
    {
        const QString target = QString::number(port ? port : fake->port());
        link->connectSlot(QStringLiteral("%1://127.0.0.1:%2").arg(scheme, target), "operator", "secret");
        if (!port)
            QTRY_COMPARE(fake->count("cmd"), 1);
    }

    // Handshake, answer, first and longest retry, after a refusal, keep-alive, pong, upgrade, retry line.
    static void setWaits(int answerMs)
    {
        CServerHandler::setIntervals({PING_MS, answerMs, 100, 400, REFUSED_MS, 200, 1000, 1000, 60000});
    }

    void logIn()
    {
        fake->answers = true;
        connectLink();
        QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
        fake->answers = false;
    }

private slots:
    void init()
    {
        globalVarInit();
        setWaits(500);
        work.reset(new CWorkDir);
        fake.reset(new CFakeNetworkServer);
        fake->answers = false;
        QVERIFY(work->isValid() && fake->listen());
        link = CServerHandler::getInstance();
        statusSpy.reset(new QSignalSpy(link, &CServerHandler::changeServerStatus));
    }
    void cleanup()
    {
        statusSpy.reset();
        CServerHandler::resetInstance();
        fake.reset();
        work.reset();
    }

    void handshake_data()
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
            << ok << REFUSAL << "State=auth: unknown message[4], err[invalid_login_or_password]"
            << authing + Statuses{COMM::INVALID_AUTH};
        QTest::newRow("an uplink before the log-in completed fails it")
            << ok << R"({"cmd":"rx","type":"UNCONF_UP","data":"01","devEui":"ab"})"
            << "State=auth: unknown message[2]" << authing + Statuses{COMM::INVALID_AUTH};
        QTest::newRow("an unanswered log-in times out")
            << ok << QString() << QString() << authing + Statuses{COMM::INVALID_AUTH};
    }

    void handshake()
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
        QTRY_COMPARE(statuses(), expected);
        QCOMPARE(fake->count("auth_req"), loginSent ? 1 : 0);
        QCOMPARE(packets.size(), 0);
        // Only a logged-in link takes requests.
        QCOMPARE(link->getDevicesListReq({"7A52"}), expected.last() == COMM::SUCCESS);
        // The password never reaches the log, whatever happened.
        QVERIFY(!logContains("secret"));
    }

    void answerEndsItsWait_data()
    {
        QTest::addColumn<bool>("listFirst"); // else the packets of device 7a52ab
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("packetsRead");
        QTest::addColumn<bool>("endsWait");

        QTest::newRow("a packet of the awaited device, in other case, ends the wait")
            << false << dataResp("7A52AB", "0102") << 1 << true;
        QTest::newRow("an answer without packets for the awaited device ends the wait too")
            << false << dataResp("7a52ab", {}) << 0 << true;
        QTest::newRow("a packet of another device leaves the wait to the time-out")
            << false << dataResp("7a52cd", "0102") << 1 << false;
        QTest::newRow("a device list ends the wait for it") << true << DEVICES_RESP << 0 << true;
    }

    // One request at a time: the next goes after the answer, or the time-out if another came.
    void answerEndsItsWait()
    {
        QFETCH(bool, listFirst);
        QFETCH(QString, answer);
        QFETCH(int, packetsRead);
        QFETCH(bool, endsWait);
        const int waitingMs = endsWait ? 60000 : 2000; // a minute: nothing but the answer ends it in time
        setWaits(waitingMs);
        logIn();
        QElapsedTimer clock;
        QList<qint64> listsAt, packetsAt; // when each list request arrived, each packet was read
        QObject scope;
        connect(fake->client, &QWebSocket::textMessageReceived, &scope, [&](const QString& text) {
            if (parse(text).value("cmd") == "get_devices_req")
                listsAt << clock.elapsed();
        });
        connect(link, &CServerHandler::newPacketReceived, &scope, [&] { packetsAt << clock.elapsed(); });
        clock.start();
        if (!listFirst)
            link->getDeviceLastPackets("7a52ab");
        QVERIFY(link->getDevicesListReq({"7A52"}));
        QVERIFY(link->getDevicesListReq({"7A52"}));
        QTRY_COMPARE(fake->count(listFirst ? "get_devices_req" : "get_data_req"), 1);
        const qint64 answeredAt = clock.elapsed();
        fake->send(answer);
        QTRY_COMPARE_WITH_TIMEOUT(listsAt.size(), listFirst ? 2 : 1, 20000);
        QCOMPARE(packetsAt.size(), packetsRead);
        // Read while waiting, yet the wait ran out (a coarse timer fires up to 5 % early).
        QVERIFY(listsAt.last() >= answeredAt &&
                (endsWait || (packetsAt.first() < listsAt.last() && listsAt.last() >= waitingMs * 9 / 10)));
        fake->send(DEVICES_RESP);
        QTRY_COMPARE(listsAt.size(), 2);
    }

    void messageSizeLimit_data()
    {
        QTest::addColumn<int>("devices");
        QTest::addColumn<int>("padding"); // bytes of one device name
        QTest::addColumn<bool>("read");

        QTest::newRow("a device list of 10,000 devices is read whole") << 10000 << 300 << true;
        QTest::newRow("a message past the limit ends the connection, not the memory")
            << 2 << 5000000 << false;
    }

    void messageSizeLimit()
    {
        QFETCH(int, devices);
        QFETCH(int, padding);
        QFETCH(bool, read);

        QJsonArray list;
        for (int i = 0; i < devices; ++i)
            list.append(QJsonObject{{"devEui", QString::number(0x7a52000000000000LL + i, 16)},
                                    {"devName", QString(padding, QLatin1Char('n'))},
                                    {"OTAA", QJsonObject{{"appEui", "7A52000000000001"}}}});
        fake->offer(list);
        setWaits(20000); // megabytes take their time on a busy machine
        logIn();
        fake->answers = true;
        QSignalSpy lists(link, &CServerHandler::getDevicesListResp);
        QVERIFY(link->getDevicesListReq({"7A52"}));
        QTRY_COMPARE_WITH_TIMEOUT(lists.size(), 1, 10000);
        QCOMPARE(lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>().size(), read ? devices : 0);
        QCOMPARE(logContains("lost: Received message is too big"), !read);
        if (!read)
            QTRY_COMPARE(fake->count("auth_req"), 2); // and back again
    }

    void recovery_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("a server down at the start is logged in to when it comes up")
            << "down at start"
            << "No connection to ws://127.0.0.1:%1 (Connection refused); try 2 in 1 s";
        QTest::newRow("a server that stops answering pings is left and reconnected")
            << "frozen"
            << "lost: no answer to a ping within 1 s";
        QTest::newRow("a peer that never upgrades the connection is dropped")
            << "no upgrade"
            << "(no WebSocket upgrade within 1 s); try 2 in 1 s";
        QTest::newRow("a refused log-in is tried again no faster than its floor")
            << "refused"
            << "as operator refused: log-in refused: invalid_login_or_password; next try in 1 s";
        QTest::newRow("wss to a plain server is named")
            << "wss to ws"
            << "No connection to wss://127.0.0.1:%1 (TLS: no TLS or WebSocket handshake within 1 s";
        QTest::newRow("ws to a TLS server is named")
            << "ws to wss"
            << "(The remote host closed the connection; a wss server does so to ws://)";
        QTest::newRow("an untrusted certificate is refused and named")
            << "untrusted"
            << "ERROR: [CServerHandler::scheduleRetry] No connection to wss://127.0.0.1:%1 (TLS: "
               "The certificate is self-signed, and untrusted";
    }

    // Nobody presses Connect again: the link finds its way back by itself.
    void recovery()
    {
        QFETCH(QString, fault);
        QFETCH(QString, logLine);

        fake->answers = true;
        link->setCatchUpSource([] { return QStringList{"7a52ab"}; });
        QSignalSpy retries(link, &CServerHandler::retryScheduled);
        const quint16 port = fake->port();
        std::unique_ptr<CRelay> relay;
        std::unique_ptr<CFakeNetworkServer> tls;
        int logIns = 2;
        if (fault == "down at start") {
            fake->server.close();
            connectLink("ws", port);
            QTRY_VERIFY(retries.size() >= 6); // three tries, each "now" and "next in"
            QVERIFY(fake->listen(port));
            logIns = 1;
        } else if (fault == "frozen" || fault == "no upgrade") {
            relay.reset(new CRelay(fault == "frozen" ? port : 0));
            connectLink("ws", relay->port());
            if (fault == "frozen") {
                QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
                relay->freeze();
            }
        } else if (fault == "refused") {
            fake->replies[API::API_JSON_CMD_AUTHREQ] = parse(REFUSAL);
            connectLink("ws", port);
            QTRY_VERIFY_WITH_TIMEOUT(fake->authTimes.size() >= 3, 5000);
            for (int i = 1; i < fake->authTimes.size(); ++i)
                QVERIFY2(fake->authTimes.at(i) - fake->authTimes.at(i - 1) >= REFUSED_MS,
                         qPrintable(QString::number(fake->authTimes.at(i) - fake->authTimes.at(i - 1))));
        } else if (fault == "wss to ws") {
            connectLink("wss", port);
        } else if (fault == "untrusted" || fault == "ws to wss") {
            // A self-signed certificate for 127.0.0.1, valid for a century.
            const QString fixtures = QStringLiteral(TW_SOURCE_DIR "/tests/fixtures/selfsigned-");
            QFile key(fixtures + "key.pem");
            QVERIFY(key.open(QIODevice::ReadOnly));
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(QSslCertificate::fromPath(fixtures + "cert.pem").value(0));
            config.setPrivateKey(QSslKey(&key, QSsl::Rsa, QSsl::Pem));
            tls.reset(new CFakeNetworkServer(QWebSocketServer::SecureMode));
            tls->server.setSslConfiguration(config);
            QVERIFY(tls->listen());
            connectLink(fault == "untrusted" ? "wss" : "ws", tls->port());
        }
        const quint16 shownPort = tls ? tls->port() : relay ? relay->port() : port;
        const QString line = logLine.contains("%1") ? logLine.arg(shownPort) : logLine;
        QTRY_VERIFY2_WITH_TIMEOUT(logContains(line), qPrintable(CWorkDir::log().right(600)), 5000);
        if (fault == "no upgrade")
            QTRY_VERIFY(relay->accepted >= 2);
        if (fault == "untrusted")
            QTRY_VERIFY(retries.size() >= 4 && !logContains("Connection to wss"));
        if (fault != "down at start" && fault != "frozen")
            return;
        QTRY_COMPARE_WITH_TIMEOUT(fake->count("auth_req"), logIns, 5000);
        QTRY_COMPARE(statuses().last(), COMM::SUCCESS);
        QTRY_VERIFY(logContains("devices caught up", logIns));
        // One retry line while the outage lasts, however many tries it took.
        QVERIFY(logContains("[CServerHandler::scheduleRetry]", 1));
    }

    // A server killed and restarted on its port: logged in to again without a
    // click, and the values it kept meanwhile reach Modbus by the catch-up.
    void packetOfTheOutageServedAfterCatchUp()
    {
        const QString devEui = QStringLiteral("7A52000000030001");
        const int modbusPort = harness::freePort();
        const int startAddr = 100;
        fake->answers = true;
        harness::copySampleTemplates();
        harness::writeSettings(fake->port());
        delete CLogFile::getInstance();
        CServerHandler::resetInstance();
        CLogFile::getInstance(COMM::LOG_FILENAME, QString());
        const DB::SDeviceRegMapDescription desc{
            devEui, "7a52000000000001", "meter", startAddr,
            CAllDeviceHandler::getInstance()->getRegisterInfo("7A52000000000001").registers};
        QVERIFY(!desc.registers.isEmpty());
        QVERIFY(CDataBaseHandler::getInstance()->registerNewDevice(desc, quint16(modbusPort)));
        harness::stopServices();
        harness::CInProcessGateway gateway;
        gateway.start();
        QTRY_COMPARE_WITH_TIMEOUT(fake->count("get_data_req"), 1, 5000);
        const quint16 serverPort = fake->port();
        fake->stop();
        // Pulse count 500000, big-endian in bytes 1-4 of a packet of type 1.
        fake->packets.insert(devEui,
                             {QJsonObject{{"type", "UNCONF_UP"}, {"data", "010007a120e40c3c"}, {"fcnt", 7}}});
        QVERIFY(fake->listen(serverPort));
        const auto served = [&] {
            const QVector<quint16> words = harness::readWhileServing(modbusPort, startAddr, 2);
            return words.size() == 2 ? (qint64(words.at(0)) << 16) | words.at(1) : -1;
        };
        QTRY_COMPARE_WITH_TIMEOUT(served(), 500000, 10000);
        QVERIFY(CWorkDir::log().contains(
            QRegularExpression("Back after an outage of \\d+ s; 1 of 1 devices caught up")));
        gateway.stop();
    }
};

QTEST_MAIN(TestServerLink)
#include "tst_serverlink.moc"
