#include "standin/CStandinServer.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTimer>
#include <QWebSocket>

#include "app/global.h"

namespace {
const QString UPLINK_TYPE = QStringLiteral("UNCONF_UP");
const QString ERR_UNKNOWN_DEVICE = QStringLiteral("unknown_device");

QJsonObject failure(const QString& cmd, const QString& err)
{
    return {
        {API::API_JSON_KEY_CMD, cmd}, {API::API_JSON_KEY_STATUS, false}, {API::API_JSON_KEY_ERRSTRING, err}};
}

QString makeToken()
{
    QByteArray bytes(16, '\0');
    for (char& b : bytes)
        b = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return QString::fromLatin1(bytes.toHex());
}
} // namespace

CStandinServer::CStandinServer(const SStandinConfig& _config, QObject* parent)
    : QObject(parent), config(_config),
      server(QStringLiteral("tarnwick-standin"), QWebSocketServer::NonSecureMode)
{
    const uint32_t seed = config.seed ? config.seed : QRandomGenerator::global()->generate();
    for (int i = 0; i < config.devices.size(); ++i) {
        const SStandinDevice& dev = config.devices.at(i);
        devices.append(SDeviceState{dev, CPayloadGenerator(dev, seed + static_cast<uint32_t>(i)), 0, {}});
    }
    connect(&server, &QWebSocketServer::newConnection, this, &CStandinServer::newConnectionSlot);
}

CStandinServer::~CStandinServer()
{
    server.close();
    for (QWebSocket* client : clients.keys()) {
        client->disconnect(this);
        client->abort();
        delete client;
    }
}

bool CStandinServer::start()
{
    if (!server.listen(QHostAddress(config.host), static_cast<quint16>(config.port)))
        return false;
    for (int i = 0; i < devices.size(); ++i) {
        QTimer* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, i] { generateUplink(i); });
        timer->start(devices.at(i).config.periodMs);
        timers.append(timer);
    }
    return true;
}

void CStandinServer::newConnectionSlot()
{
    while (QWebSocket* client = server.nextPendingConnection()) {
        clients.insert(client, false);
        connect(client, &QWebSocket::textMessageReceived, this,
                [this, client](const QString& text) { textMessageSlot(client, text); });
        connect(client, &QWebSocket::disconnected, this, [this, client] { removeClientSlot(client); });
    }
}

void CStandinServer::removeClientSlot(QWebSocket* client)
{
    clients.remove(client);
    client->deleteLater();
}

void CStandinServer::textMessageSlot(QWebSocket* client, const QString& text)
{
    bool authorised = clients.value(client);
    const QJsonObject answer = answerMessage(text, authorised);
    clients[client] = authorised;
    client->sendTextMessage(QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
}

QJsonObject CStandinServer::answerMessage(const QString& text, bool& authorised) const
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return {{API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_INVALIDJSON}};
    const QJsonObject msg = doc.object();
    const QString cmd = msg.value(API::API_JSON_KEY_CMD).toString();
    if (cmd == API::API_JSON_CMD_AUTHREQ)
        return authAnswer(msg, authorised);
    if (cmd == API::API_JSON_CMD_GETDEVREGINFOREQ)
        return authorised ? devicesAnswer()
                          : failure(API::API_JSON_CMD_GETDEVREGINFORESP, API::API_JSON_ERR_INVALIDTOKEN);
    if (cmd == API::API_JSON_CMD_GETDEVDATAREQ)
        return authorised ? dataAnswer(msg)
                          : failure(API::API_JSON_CMD_GETDEVDATARESP, API::API_JSON_ERR_INVALIDTOKEN);
    // Whatever else comes, the ping included, gets the unknown-command error.
    return {{API::API_JSON_KEY_CMD, cmd}, {API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_UNKNOWNCMD}};
}

QJsonObject CStandinServer::authAnswer(const QJsonObject& msg, bool& authorised) const
{
    authorised = msg.value(API::API_JSON_KEY_LOGIN).toString() == config.login &&
                 msg.value(API::API_JSON_KEY_PASSWORD).toString() == config.password;
    if (!authorised)
        return failure(API::API_JSON_CMD_AUTHRESP, API::API_JSON_ERR_INVALIDLOGIN);
    return {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_AUTHRESP},
            {API::API_JSON_KEY_STATUS, true},
            {API::API_JSON_KEY_TOKEN, makeToken()}};
}

QJsonObject CStandinServer::devicesAnswer() const
{
    QJsonArray list;
    for (const SDeviceState& dev : devices) {
        list.append(QJsonObject{
            {API::API_JSON_KEY_DEVEUI, dev.config.devEui},
            {API::API_JSON_KEY_DEVNAME, dev.config.devName},
            {API::API_JSON_KEY_OTAA, QJsonObject{{API::API_JSON_KEY_OTAA_APPEUI, dev.config.appEui}}}});
    }
    return {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVREGINFORESP},
            {API::API_JSON_KEY_STATUS, true},
            {API::API_JSON_KEY_DEVLIST, list}};
}

QJsonObject CStandinServer::dataAnswer(const QJsonObject& msg) const
{
    const QString devEui = msg.value(API::API_JSON_KEY_DEVEUI).toString().toUpper();
    const int index = findDevice(devEui);
    if (index < 0)
        return failure(API::API_JSON_CMD_GETDEVDATARESP, ERR_UNKNOWN_DEVICE);
    int limit = msg.value(API::API_JSON_KEY_SELECT).toObject().value(API::API_JSON_KEY_LIMIT).toInt();
    if (limit <= 0)
        limit = API::API_JSON_VALUE_LIMIT;
    QJsonArray list;
    const QList<QJsonObject>& history = devices.at(index).history;
    for (int i = 0; i < history.size() && i < limit; ++i)
        list.append(history.at(i));
    return {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVDATARESP},
            {API::API_JSON_KEY_STATUS, true},
            {API::API_JSON_KEY_DEVEUI, devEui},
            {API::API_JSON_KEY_DATALIST, list}};
}

int CStandinServer::findDevice(const QString& devEui) const
{
    for (int i = 0; i < devices.size(); ++i) {
        if (devices.at(i).config.devEui == devEui)
            return i;
    }
    return -1;
}

QJsonObject CStandinServer::generateUplink(int index)
{
    SDeviceState& dev = devices[index];
    const QJsonObject uplink{{API::API_JSON_KEY_TYPE, UPLINK_TYPE},
                             {API::API_JSON_KEY_DATA, QString::fromLatin1(dev.generator.next().toHex())},
                             {API::API_JSON_KEY_DEVEUI, dev.config.devEui},
                             {API::API_JSON_KEY_TS, QDateTime::currentMSecsSinceEpoch()},
                             {API::API_JSON_KEY_MACBS, config.gatewayId},
                             {API::API_JSON_KEY_ACK, false},
                             {API::API_JSON_KEY_FCNT, static_cast<qint64>(dev.fcnt++)},
                             {API::API_JSON_KEY_PORT, dev.config.port},
                             {API::API_JSON_KEY_FREQ, static_cast<qint64>(dev.config.freq)},
                             {API::API_JSON_KEY_DR, dev.config.dr},
                             {API::API_JSON_KEY_RSSI, dev.config.rssi},
                             {API::API_JSON_KEY_SNR, dev.config.snr}};
    dev.history.prepend(uplink);
    while (dev.history.size() > config.historySize)
        dev.history.removeLast();

    QJsonObject rx = uplink;
    rx.insert(API::API_JSON_KEY_CMD, API::API_JSON_CMD_RX);
    const QString text = QString::fromUtf8(QJsonDocument(rx).toJson(QJsonDocument::Compact));
    for (auto it = clients.constBegin(); it != clients.constEnd(); ++it) {
        if (it.value())
            it.key()->sendTextMessage(text);
    }
    return rx;
}
