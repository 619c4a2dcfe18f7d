#pragma once

// The gateway as main builds it, inside a temporary working directory, and a
// scripted network server on the loopback for it to log in to. Shared by the
// window and dialog tests.

#include <functional>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CAddNewDeviceForm.h"
#include "ui/CEditDeviceForm.h"

// Answers the handshake and the device list request; records everything the
// gateway sends.
class CFakeNetworkServer
{
public:
    CFakeNetworkServer() : server(QStringLiteral("fake"), QWebSocketServer::NonSecureMode)
    {
        QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] { acceptClient(); });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server.serverPort(); }

    int count(const QString& cmd) const
    {
        int n = 0;
        for (const QJsonObject& obj : received)
            n += obj.value(API::API_JSON_KEY_CMD).toString() == cmd ? 1 : 0;
        return n;
    }

    QStringList dataRequestEuis() const
    {
        QStringList euis;
        for (const QJsonObject& obj : received)
            if (obj.value(API::API_JSON_KEY_CMD).toString() == API::API_JSON_CMD_GETDEVDATAREQ)
                euis << obj.value(API::API_JSON_KEY_DEVEUI).toString();
        return euis;
    }

    static QJsonObject device(const QString& devEui, const QString& name, const QString& appEui)
    {
        return {{API::API_JSON_KEY_DEVEUI, devEui},
                {API::API_JSON_KEY_DEVNAME, name},
                {API::API_JSON_KEY_OTAA, QJsonObject{{API::API_JSON_KEY_OTAA_APPEUI, appEui}}}};
    }

    QJsonArray devices;
    bool answerDeviceList = true;
    // Uplinks offered in answer to every last-packets request.
    QJsonArray lastPackets;
    QList<QJsonObject> received;

private:
    void acceptClient()
    {
        QWebSocket* client = server.nextPendingConnection();
        client->setParent(&server);
        QObject::connect(client, &QWebSocket::textMessageReceived, &server,
                         [this, client](const QString& text) { answer(client, text); });
    }

    void answer(QWebSocket* client, const QString& text)
    {
        const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
        received.append(msg);
        const QString cmd = msg.value(API::API_JSON_KEY_CMD).toString();
        QJsonObject reply;
        if (cmd == QLatin1String("cmd")) {
            reply = {{API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_UNKNOWNCMD}};
        } else if (cmd == API::API_JSON_CMD_AUTHREQ) {
            reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_AUTHRESP},
                     {API::API_JSON_KEY_STATUS, true},
                     {API::API_JSON_KEY_TOKEN, QStringLiteral("t")}};
        } else if (cmd == API::API_JSON_CMD_GETDEVREGINFOREQ && answerDeviceList) {
            reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVREGINFORESP},
                     {API::API_JSON_KEY_STATUS, true},
                     {API::API_JSON_KEY_DEVLIST, devices}};
        } else if (cmd == API::API_JSON_CMD_GETDEVDATAREQ && !lastPackets.isEmpty()) {
            reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVDATARESP},
                     {API::API_JSON_KEY_STATUS, true},
                     {API::API_JSON_KEY_DEVEUI, msg.value(API::API_JSON_KEY_DEVEUI)},
                     {API::API_JSON_KEY_DATALIST, lastPackets}};
        }
        if (!reply.isEmpty())
            client->sendTextMessage(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
    }

    QWebSocketServer server;
};

// Builds the singletons in main's order in a fresh working directory and
// tears them down with their reset hooks.
class CGatewayFixture
{
public:
    static void registerTypes()
    {
        qRegisterMetaType<CLogFile::ELogMessageType>("CLogFile::ELogMessageType");
        qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
        globalVarInit();
        // Short waits keep a silent server from stalling the suite.
        CServerHandler::setTimeoutIntervals(300, 400);
    }

    bool enter()
    {
        startDir = QDir::currentPath();
        tempDir = new QTemporaryDir;
        if (!tempDir->isValid() || !QDir::setCurrent(tempDir->path()))
            return false;
        CLogFile::getInstance(COMM::LOG_FILENAME, QString());
        return fake.listen();
    }

    // The shipped templates; beyond them, copies of the first under new EUIs.
    void copyTemplates(int count)
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        const QDir source(QStringLiteral(TW_SOURCE_DIR "/templates"));
        const QStringList shipped = source.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
        for (int i = 0; i < count; ++i) {
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
    }

    void writeSettings(const QString& ip, const QString& port, const QString& login, const QString& password)
    {
        QFile file(SETT::SETT_FILENAME);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("[server]\nip=%1\nport=%2\nlogin=%3\npassword=%4\n")
                       .arg(ip, port, login, password)
                       .toUtf8());
    }

    // Settings that lead to the fake server.
    void writeServerSettings()
    {
        writeSettings(QStringLiteral("127.0.0.1"), QString::number(fake.port()), QStringLiteral("operator"),
                      QStringLiteral("secret"));
    }

    bool startServices()
    {
        CSettings::getInstance(SETT::SETT_FILENAME);
        CServerHandler* server = CServerHandler::getInstance();
        if (!CDataBaseHandler::getInstance())
            return false;
        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        QObject::connect(server, &CServerHandler::newPacketReceived, registry,
                         &CAllDeviceHandler::newPacketReceivedSlot, Qt::QueuedConnection);
        QObject::connect(server, &CServerHandler::getDevicesListResp, CAddNewDeviceForm::getInstance(),
                         &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
        CEditDeviceForm::getInstance();
        return true;
    }

    // A device in storage with the registers its template implies (or none).
    static bool storeDevice(const QString& devEui, const QString& name, const QString& appEui, int startAddr,
                            quint16 port, bool withRegisters = true)
    {
        DB::SDeviceRegMapDescription desc;
        desc.devEui = devEui;
        desc.appEui = appEui;
        desc.name = name;
        desc.startAddr = startAddr;
        if (withRegisters)
            desc.registers = CAllDeviceHandler::getInstance()->getRegisterInfo(appEui.toUpper()).registers;
        return CDataBaseHandler::getInstance()->registerNewDevice(desc, port);
    }

    void leave()
    {
        CEditDeviceForm::resetInstance();
        CAddNewDeviceForm::resetInstance();
        CAllDeviceHandler::resetInstance();
        CDataBaseHandler::resetInstance();
        CServerHandler::resetInstance();
        CSettings::resetInstance();
        QCoreApplication::processEvents();
        delete CLogFile::getInstance();
        QDir::setCurrent(startDir);
        delete tempDir;
        tempDir = nullptr;
    }

    static QString log()
    {
        QCoreApplication::processEvents();
        QFile file(COMM::LOG_FILENAME);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    // A port nothing listens on right now.
    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    static bool portIsFree(quint16 port)
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, port);
    }

    static int deviceCount() { return CDataBaseHandler::getInstance()->getRegisteredDevices().size(); }

    CFakeNetworkServer fake;

private:
    QString startDir;
    QTemporaryDir* tempDir = nullptr;
};

// Watches for modal windows (dialogs opened with exec, message boxes) and
// hands each one to `handle`, which should close it.
class CModalWatcher
{
public:
    explicit CModalWatcher(std::function<void(QWidget*)> handle) : handler(std::move(handle))
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                lastSeen = nullptr;
            if (!modal || modal == lastSeen)
                return;
            lastSeen = modal;
            ++seen;
            handler(modal);
            // A handler that failed half-way must not leave the test waiting forever.
            if (QApplication::activeModalWidget() == modal)
                modal->close();
        });
        timer.start(10);
    }

    int seen = 0;

private:
    std::function<void(QWidget*)> handler;
    QWidget* lastSeen = nullptr;
    QTimer timer;
};
