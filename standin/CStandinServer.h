#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QWebSocketServer>

#include "standin/CPayloadGenerator.h"
#include "standin/StandinConfig.h"

class QWebSocket;
class QTimer;

// A small network server for the gateway to talk to: it answers the ping,
// the log-in, the device list and packet requests, and pushes uplinks that
// it makes up from each configured device's payload description.
class CStandinServer : public QObject
{
    Q_OBJECT
public:
    explicit CStandinServer(const SStandinConfig& config, QObject* parent = nullptr);
    ~CStandinServer() override;

    bool start();
    quint16 serverPort() const { return server.serverPort(); }
    QString errorString() const { return server.errorString(); }

    // The answer to one message of a client; authorised is the client's log-in state.
    QJsonObject answerMessage(const QString& text, bool& authorised) const;
    // Makes the next uplink of device index, keeps it and sends it to logged-in clients.
    QJsonObject generateUplink(int index);

private:
    struct SDeviceState
    {
        SStandinDevice config;
        CPayloadGenerator generator;
        uint32_t fcnt = 0;
        QList<QJsonObject> history; // newest first
    };

    void newConnectionSlot();
    void textMessageSlot(QWebSocket* client, const QString& text);
    void removeClientSlot(QWebSocket* client);

    QJsonObject authAnswer(const QJsonObject& msg, bool& authorised) const;
    QJsonObject devicesAnswer() const;
    QJsonObject dataAnswer(const QJsonObject& msg) const;
    int findDevice(const QString& devEui) const;

    SStandinConfig config;
    QWebSocketServer server;
    QHash<QWebSocket*, bool> clients; // socket and whether it logged in
    QList<SDeviceState> devices;
    QList<QTimer*> timers;
};
