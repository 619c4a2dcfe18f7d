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

inline const QString HUMIDITY_APP = QStringLiteral("7A52000000000002");

// Answers the ping, the log-in and (once offered) the device list request;
// records what it gets.
class CFakeNetworkServer
{
public:
    CFakeNetworkServer() : server(QStringLiteral("fake"), QWebSocketServer::NonSecureMode)
    {
        replies["cmd"] = {{API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_UNKNOWNCMD}};
        replies[API::API_JSON_CMD_AUTHREQ] = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_AUTHRESP},
                                              {API::API_JSON_KEY_STATUS, true},
                                              {API::API_JSON_KEY_TOKEN, "t"}};
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
            QWebSocket* client = server.nextPendingConnection();
            client->setParent(&server);
            QObject::connect(
                client, &QWebSocket::textMessageReceived, &server, [this, client](const QString& text) {
                    const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
                    received.append(msg);
                    const QJsonObject reply = replies.value(msg.value(API::API_JSON_KEY_CMD).toString());
                    if (!reply.isEmpty())
                        client->sendTextMessage(QJsonDocument(reply).toJson(QJsonDocument::Compact));
                });
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }

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

    QMap<QString, QJsonObject> replies;
    QList<QJsonObject> received;

private:
    QWebSocketServer server;
};

// Builds the singletons in main's order in a fresh working directory and
// tears them down with their reset hooks.
class CGatewayFixture
{
public:
    bool enter()
    {
        qRegisterMetaType<CLogFile::ELogMessageType>("CLogFile::ELogMessageType");
        qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
        globalVarInit();
        // Short waits keep a silent server from stalling the suite.
        CServerHandler::setTimeoutIntervals(300, 400);
        startDir = QDir::currentPath();
        if (!tempDir.isValid() || !QDir::setCurrent(tempDir.path()))
            return false;
        CLogFile::getInstance(COMM::LOG_FILENAME, QString());
        return fake.listen();
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
        QDir::setCurrent(startDir);
    }

    static QString log()
    {
        QCoreApplication::processEvents();
        QFile file(COMM::LOG_FILENAME);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    static quint16 freePort() { return quint16(harness::freePort()); }

    static bool portIsFree(quint16 port) { return QTcpServer().listen(QHostAddress::Any, port); }
    static int deviceCount() { return CDataBaseHandler::getInstance()->getRegisteredDevices().size(); }

    CFakeNetworkServer fake;

private:
    QString startDir;
    QTemporaryDir tempDir;
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
