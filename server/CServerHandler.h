#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include "app/global.h"

// The gateway's one client of the network server: the WebSocket, the ping and
// log-in handshake, and a queue that sends requests strictly one at a time.
// It reconnects by itself after every failure and catches up on every log-in.
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

    // Every wait of the link, in milliseconds.
    struct SIntervals
    {
        int handshakeMs = 2000;     // answer to the ping and to the log-in
        int waitingMs = 10000;      // answer to a request
        int firstRetryMs = 1000;    // back-off after the first failure, doubling
        int maxRetryMs = 60000;     // back-off ceiling
        int refusedRetryMs = 60000; // floor after a refused log-in
        int keepAliveMs = 30000;    // WebSocket ping while connected
        int pongMs = 10000;         // no pong within this: connection lost
        int openMs = 10000;         // TCP and WebSocket upgrade must finish within this
        int retryLogMs = 60000;     // at most one retry line per this while an outage lasts
    };

    // Large enough for a device list of 10,000 devices.
    static constexpr qint64 MAX_MESSAGE_BYTES = 8 * 1024 * 1024;

    static CServerHandler* getInstance();

    bool getDevicesListReq(const QList<QString>& appEuiList);

    // The device EUIs whose last packets are fetched after every log-in.
    void setCatchUpSource(std::function<QStringList()> source);

    // Test-only hooks: drop the instance, shorten the waits.
    static void resetInstance();
    static void setIntervals(const SIntervals& intervals);

    ~CServerHandler() override;

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = {});
    void newPacketReceived(API::SApiDeviceData _devData);
    void dataForDeviceReceived(QString, QList<API::SApiDeviceData>);
    // Seconds until the next automatic try; <= 0 when none is pending.
    void retryScheduled(int secondsUntilTry);
    // Why the link is down; empty once logged in.
    void lastErrorChanged(const QString& reason);

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
    void retrySlot();
    void keepAliveSlot();
    void socketErrorSlot(QAbstractSocket::SocketError error);
    void sslErrorsSlot(const QList<QSslError>& errors);

protected:
    explicit CServerHandler(QObject* parent = nullptr);

private:
    void openSocket();
    void dropSocket();
    void linkFailed(const QString& reason, bool refused);
    // Returns the delay in ms.
    int scheduleRetry(bool refused);
    void clearQueue();
    void startCatchUp();
    void finishAwaited(bool answered);
    void endCatchUp();
    void handlePingState(const QJsonObject& obj);
    void handleAuthState(const QJsonObject& obj);
    void handleVerifiedState(const QJsonObject& obj);
    void handleDevicesListResp(const QJsonObject& obj);
    // A data request names its device, whose answer alone ends the wait.
    void enqueueTask(EServerTask task, const QString& text, const QString& devEui = QString());
    void kickQueue();

    struct STask
    {
        EServerTask task;
        QString text;
        QString euiKey; // of a data request
    };

    ELinkState linkState = LINK_IDLE;
    EServerTask currentTask = TASK_GET_DEVICE_DATA;
    QList<STask> taskQueue;
    QMutex queueMutex;
    QMutex taskMutex;
    QMutex waitingMutex;
    QTimer waitingTimer;
    QWebSocket socket;
    QString login;
    QString password;
    QString token;
    QTimer pingTimer;

    QUrl url;
    bool dropping = false; // our own abort: no failure to report
    bool opened = false;   // the WebSocket of this try was upgraded
    bool tryEnded = false; // this try's failure is reported already
    bool refusedRetry = false;
    QString pendingError; // the socket's reason, reported with the disconnect
    QTimer retryTimer;
    QTimer openTimer;
    QTimer keepAliveTimer;
    QTimer pongTimer;
    int retryMs = 0; // next back-off step; 0 before the first failure
    int attempts = 0;
    QElapsedTimer outage; // valid while an outage lasts
    QElapsedTimer sinceRetryLine;

    std::function<QStringList()> catchUpSource;
    QString awaitedEui; // device of the data request in flight
    QSet<QString> catchUpPending;
    int catchUpTotal = 0;
    int caughtUp = 0;
    bool catchingUp = false;
    qint64 outageSeconds = -1; // of the outage this catch-up ends; -1: none
};
