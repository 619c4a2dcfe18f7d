#pragma once

// The gateway as main builds it, in a temporary working directory, and a
// scripted network server on the loopback for it to log in to.

#include <functional>

#include <QApplication>
#include <QListView>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include "GatewayHarness.h"
#include "WorkDir.h"

inline const QString HUMIDITY_APP = QStringLiteral("7A52000000000002");

// Answers the ping, the log-in, packet requests and (once offered) the device
// list request while it answers at all; records what it gets.
class CFakeNetworkServer
{
public:
    explicit CFakeNetworkServer(QWebSocketServer::SslMode mode = QWebSocketServer::NonSecureMode)
        : server(QStringLiteral("fake"), mode)
    {
        clock.start();
        replies["cmd"] = {{API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_UNKNOWNCMD}};
        replies[API::API_JSON_CMD_AUTHREQ] = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_AUTHRESP},
                                              {API::API_JSON_KEY_STATUS, true},
                                              {API::API_JSON_KEY_TOKEN, "t"}};
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
            QWebSocket* socket = server.nextPendingConnection();
            socket->setParent(&server);
            client = socket;
            QObject::connect(socket, &QWebSocket::textMessageReceived, &server,
                             [this, socket](const QString& text) { take(socket, text); });
        });
    }

    bool listen(quint16 port = 0) { return server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return server.serverPort(); }
    void send(const QString& text) { client->sendTextMessage(text); }
    // Gone as a killed server is: listener closed, connections cut.
    void stop()
    {
        server.close();
        for (QWebSocket* socket : server.findChildren<QWebSocket*>())
            socket->abort();
    }

    void offer(const QJsonArray& devices)
    {
        replies[API::API_JSON_CMD_GETDEVREGINFOREQ] = {
            {API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVREGINFORESP},
            {API::API_JSON_KEY_STATUS, true},
            {API::API_JSON_KEY_DEVLIST, devices}};
    }

    // The devEui of every message with this command.
    QStringList sent(const QString& cmd) const
    {
        QStringList euis;
        for (const QJsonObject& obj : received)
            if (obj.value(API::API_JSON_KEY_CMD).toString() == cmd)
                euis << obj.value(API::API_JSON_KEY_DEVEUI).toString();
        return euis;
    }
    int count(const QString& cmd) const { return sent(cmd).size(); }

    bool answers = true;
    QMap<QString, QJsonObject> replies; // by command
    QMap<QString, QJsonArray> packets;  // by upper-case device EUI, none for others
    QList<QJsonObject> received;
    QList<qint64> authTimes; // ms since the server was made
    QWebSocketServer server;
    QWebSocket* client = nullptr;

private:
    void take(QWebSocket* socket, const QString& text)
    {
        const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
        received.append(msg);
        const QString cmd = msg.value(API::API_JSON_KEY_CMD).toString();
        if (cmd == API::API_JSON_CMD_AUTHREQ)
            authTimes.append(clock.elapsed());
        QJsonObject reply = replies.value(cmd);
        const QString devEui = msg.value(API::API_JSON_KEY_DEVEUI).toString();
        if (cmd == API::API_JSON_CMD_GETDEVDATAREQ)
            reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVDATARESP},
                     {API::API_JSON_KEY_STATUS, true},
                     {API::API_JSON_KEY_DEVEUI, devEui},
                     {API::API_JSON_KEY_DATALIST, packets.value(devEui)}};
        if (answers && !reply.isEmpty())
            socket->sendTextMessage(QJsonDocument(reply).toJson(QJsonDocument::Compact));
    }

    QElapsedTimer clock;
};

// Builds the singletons in main's order in a fresh working directory and
// tears them down with their reset hooks.
class CGatewayFixture
{
public:
    bool enter()
    {
        globalVarInit();
        // Short handshake and answer waits keep a silent server from stalling the suite.
        CServerHandler::setIntervals({300, 400});
        work.reset(new CWorkDir);
        return work->isValid() && fake.listen();
    }

    // The shipped templates (then copies of the first under new EUIs), optional
    // settings leading to the fake server, and the services main starts.
    bool start(int templates, bool serverSettings = false)
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        const QDir source(QStringLiteral(TW_SOURCE_DIR "/templates"));
        const QStringList shipped = source.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
        for (int i = 0; i < templates; ++i) {
            QFile in(source.filePath(shipped.at(i % shipped.size())));
            in.open(QIODevice::ReadOnly);
            QJsonObject obj = QJsonDocument::fromJson(in.readAll()).object();
            if (i >= shipped.size()) {
                obj.insert(REGS::REGS_JSON_KEY_APPEUI,
                           QStringLiteral("7B5200000000%1").arg(i, 4, 10, QChar('0')));
                obj.insert(REGS::REGS_JSON_KEY_DEVTYPE, QStringLiteral("Extra type %1").arg(i));
            }
            QFile out(QStringLiteral("%1/t%2.json").arg(COMM::DEVICE_FOLDER).arg(i));
            out.open(QIODevice::WriteOnly);
            out.write(QJsonDocument(obj).toJson());
        }
        QFile settings(SETT::SETT_FILENAME);
        if (serverSettings && settings.open(QIODevice::WriteOnly))
            settings.write(
                QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=operator\npassword=secret\n")
                    .arg(fake.port())
                    .toUtf8());
        settings.close();
        CSettings::getInstance(SETT::SETT_FILENAME);
        return harness::startServices();
    }

    // A device (a humidity sensor unless told) in storage with the registers its template implies (or none).
    static bool storeDevice(const QString& devEui, const QString& name, int startAddr, quint16 port,
                            bool withRegisters = true, const QString& appEui = HUMIDITY_APP)
    {
        DB::SDeviceRegMapDescription desc;
        desc.devEui = devEui;
        desc.appEui = appEui;
        desc.name = name;
        desc.startAddr = startAddr;
        if (withRegisters)
            desc.registers = CAllDeviceHandler::getInstance()->getRegisterInfo(appEui).registers;
        return CDataBaseHandler::getInstance()->registerNewDevice(desc, port);
    }

    void leave()
    {
        harness::stopServices();
        work.reset();
    }

    static QString log() { return CWorkDir::log(); }

    static quint16 freePort() { return quint16(harness::freePort()); }

    static bool portIsFree(quint16 port) { return QTcpServer().listen(QHostAddress::Any, port); }
    static int deviceCount() { return CDataBaseHandler::getInstance()->getRegisteredDevices().size(); }

    CFakeNetworkServer fake;

private:
    std::unique_ptr<CWorkDir> work;
};

// The first child of type T whose property has this value.
template <typename T> T* child(QWidget* parent, const char* property, const QString& value)
{
    for (T* widget : parent->findChildren<T*>())
        if (widget->property(property).toString() == value)
            return widget;
    return nullptr;
}

template <typename TDelegate> QListView* viewPaintedBy(QWidget* parent)
{
    for (QListView* view : parent->findChildren<QListView*>())
        if (qobject_cast<TDelegate*>(view->itemDelegate()))
            return view;
    return nullptr;
}

// Polls for modal windows (exec'd dialogs, message boxes), hands each new one
// to `handle` and closes it if the handler did not.
class CModalWatcher
{
public:
    explicit CModalWatcher(std::function<void(QWidget*)> handle)
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this, handle] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            ++seen;
            handle(modal);
            if (QApplication::activeModalWidget() == modal)
                modal->close();
        });
        timer.start(10);
    }

    int seen = 0;

private:
    QTimer timer;
};
