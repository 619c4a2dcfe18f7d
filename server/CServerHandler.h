#pragma once

#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QWebSocket>

#include "app/global.h"

// The gateway's one client of the network server: the WebSocket, the ping and
// log-in handshake, and a queue that sends requests strictly one at a time.
class CServerHandler : public QObject
{
    Q_OBJECT
public:
    enum EServerTask
    {
        TASK_GET_DEVICE_DATA = 0,
        TASK_GET_DEVICES_LIST = 1,
    };

    enum ELinkState
    {
        LINK_IDLE = 0,
        LINK_PING = 1,
        LINK_AUTH = 2,
        LINK_VERIFIED = 3,
    };

    static CServerHandler* getInstance();

    bool getDevicesListReq(const QList<QString>& appEuiList);

    // Test-only hooks: drop the instance, shorten the handshake and answer waits.
    static void resetInstance();
    static void setTimeoutIntervals(int pingMs, int waitingMs);

    ~CServerHandler() override;

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = {});
    void newPacketReceived(API::SApiDeviceData _devData);
    void dataForDeviceReceived(QString, QList<API::SApiDeviceData>);

public slots:
    void connectSlot(QString _origin, QString _login, QString _password);
    void getDeviceLastPackets(QString devEui);

protected slots:
    void socketConnectedSlot();
    void socketDisconnectedSlot();
    void textMessageReceivedSlot(QString msg);
    void timeoutSlot();
    void waitingServerResponseTimeoutSlot();
    void newTaskSlot();

protected:
    explicit CServerHandler(QObject* parent = nullptr);

private:
    void handlePingState(const QJsonObject& obj);
    void handleAuthState(const QJsonObject& obj);
    void handleVerifiedState(const QJsonObject& obj);
    void handleDevicesListResp(const QJsonObject& obj);
    void enqueueTask(EServerTask task, const QString& text);
    void kickQueue();

    ELinkState linkState = LINK_IDLE;
    EServerTask currentTask = TASK_GET_DEVICE_DATA;
    QList<QPair<CServerHandler::EServerTask, QString>> taskQueue;
    QMutex queueMutex;
    QMutex taskMutex;
    QMutex waitingMutex;
    QTimer waitingTimer;
    QWebSocket socket;
    QString login;
    QString password;
    QString token;
    QTimer pingTimer;
};
