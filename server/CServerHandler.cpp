#include "server/CServerHandler.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QUrl>

#include "app/CLogFile.h"
#include "server/ApiMessages.h"

namespace {
CServerHandler* instance = nullptr;
int pingIntervalMs = 2000;
int waitingIntervalMs = 10000;

const QString DEBUG_PREFIX = QStringLiteral("[CServerHandler::textMessageReceivedSlot] ");

void traceLine(const QString& text)
{
    qDebug().noquote() << text;
}

// Leaves a flag mutex unlocked whatever its state, without unlocking a free one.
void releaseFlag(QMutex& mutex)
{
    mutex.tryLock(0);
    mutex.unlock();
}
} // namespace

CServerHandler* CServerHandler::getInstance()
{
    if (!instance)
        instance = new CServerHandler();
    return instance;
}

void CServerHandler::resetInstance()
{
    delete instance;
    instance = nullptr;
}

void CServerHandler::setTimeoutIntervals(int pingMs, int waitingMs)
{
    pingIntervalMs = pingMs;
    waitingIntervalMs = waitingMs;
}

CServerHandler::CServerHandler(QObject* parent)
    : QObject(parent), socket(QString(), QWebSocketProtocol::Version13, nullptr)
{
    connect(&socket, &QWebSocket::connected, this, &CServerHandler::socketConnectedSlot);
    connect(&socket, &QWebSocket::disconnected, this, &CServerHandler::socketDisconnectedSlot);
    connect(&socket, &QWebSocket::textMessageReceived, this, &CServerHandler::textMessageReceivedSlot);
    connect(&pingTimer, &QTimer::timeout, this, &CServerHandler::timeoutSlot);
    connect(&waitingTimer, &QTimer::timeout, this, &CServerHandler::waitingServerResponseTimeoutSlot);
    connect(this, &CServerHandler::newTask, this, &CServerHandler::newTaskSlot, Qt::QueuedConnection);
}

CServerHandler::~CServerHandler()
{
    // The socket outlives this body; its last signals must not reach a dying handler.
    socket.disconnect(this);
    socket.abort();
    releaseFlag(waitingMutex);
    if (instance == this)
        instance = nullptr;
}

void CServerHandler::connectSlot(QString _origin, QString _login, QString _password)
{
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    emit changeServerStatus(COMM::DISCONNECTED);
    const QUrl url(_origin, QUrl::TolerantMode);
    if (!url.isValid()) {
        addLog(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [%1]").arg(_origin));
        return;
    }
    login = _login;
    password = _password;
    socket.open(url);
}

void CServerHandler::socketConnectedSlot()
{
    linkState = LINK_PING;
    socket.sendTextMessage(API::pingMessage());
    emit changeServerStatus(COMM::PING_WAITING);
    pingTimer.start(pingIntervalMs);
}

void CServerHandler::socketDisconnectedSlot()
{
    linkState = LINK_IDLE;
    emit changeServerStatus(COMM::DISCONNECTED);
}

void CServerHandler::textMessageReceivedSlot(QString msg)
{
    const QJsonDocument doc = QJsonDocument::fromJson(msg.toUtf8());
    if (!doc.isObject()) {
        traceLine(DEBUG_PREFIX + QStringLiteral("Uncknown input message format"));
        return;
    }
    const QJsonObject obj = doc.object();
    switch (linkState) {
    case LINK_PING:
        handlePingState(obj);
        break;
    case LINK_AUTH:
        handleAuthState(obj);
        break;
    case LINK_VERIFIED:
        handleVerifiedState(obj);
        break;
    case LINK_IDLE:
        break;
    }
}

void CServerHandler::handlePingState(const QJsonObject& obj)
{
    if (!obj.contains(API::API_JSON_KEY_ERRSTRING)) {
        traceLine(DEBUG_PREFIX + QStringLiteral("State=ping: unknown message"));
        emit changeServerStatus(COMM::INVALID_PING);
        return;
    }
    linkState = LINK_AUTH;
    socket.sendTextMessage(API::authRequestMessage(login, password));
    emit changeServerStatus(COMM::AUTH_WAITING);
}

void CServerHandler::handleAuthState(const QJsonObject& obj)
{
    linkState = LINK_IDLE;
    QString failure;
    if (!obj.contains(API::API_JSON_KEY_CMD))
        failure = QStringLiteral("State=auth: unknown message[1]");
    else if (obj.value(API::API_JSON_KEY_CMD).toString() != API::API_JSON_CMD_AUTHRESP)
        failure = QStringLiteral("State=auth: unknown message[2]");
    else if (!obj.contains(API::API_JSON_KEY_STATUS))
        failure = QStringLiteral("State=auth: unknown message[3]");
    else if (!obj.value(API::API_JSON_KEY_STATUS).toBool())
        failure = QStringLiteral("State=auth: unknown message[4], err[%1]")
                      .arg(obj.value(API::API_JSON_KEY_ERRSTRING).toString());
    if (!failure.isEmpty()) {
        traceLine(DEBUG_PREFIX + failure);
        emit changeServerStatus(COMM::INVALID_AUTH);
        return;
    }
    token = obj.value(API::API_JSON_KEY_TOKEN).toString();
    linkState = LINK_VERIFIED;
    emit changeServerStatus(COMM::SUCCESS);
}

void CServerHandler::handleVerifiedState(const QJsonObject& obj)
{
    if (!obj.contains(API::API_JSON_KEY_CMD)) {
        traceLine(DEBUG_PREFIX + QStringLiteral("State=verified: unknown message[1]"));
        return;
    }
    const QString cmd = obj.value(API::API_JSON_KEY_CMD).toString();
    API::SApiDeviceData packet;
    if (cmd == API::API_JSON_CMD_RX) {
        if (API::readRxMessage(obj, packet))
            emit newPacketReceived(packet);
    } else if (cmd == API::API_JSON_CMD_GETDEVDATARESP) {
        // The packet answer does not end the wait: only the time-out does.
        if (API::readDataResp(obj, packet))
            emit newPacketReceived(packet);
    } else if (cmd == API::API_JSON_CMD_GETDEVREGINFORESP) {
        handleDevicesListResp(obj);
    }
}

void CServerHandler::handleDevicesListResp(const QJsonObject& obj)
{
    qDebug().noquote() << QStringLiteral("received:")
                       << QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
    if (currentTask != TASK_GET_DEVICES_LIST) {
        addLog(DEBUG_PREFIX + QStringLiteral("State=verified: unsheduled packet from server"));
        return;
    }
    QList<API::SServerDeviceInfo> devices;
    if (API::readDevicesListResp(obj, devices))
        emit getDevicesListResp(true, devices);
    else
        emit getDevicesListResp(false, {});
    currentTask = TASK_GET_DEVICE_DATA;
    waitingServerResponseTimeoutSlot();
}

void CServerHandler::timeoutSlot()
{
    pingTimer.stop();
    if (linkState == LINK_PING)
        emit changeServerStatus(COMM::INVALID_PING);
    else if (linkState == LINK_AUTH)
        emit changeServerStatus(COMM::INVALID_AUTH);
}

bool CServerHandler::getDevicesListReq(const QList<QString>& appEuiList)
{
    if (appEuiList.isEmpty()) {
        addLog(QStringLiteral("[CServerHandler::getDevicesList] Empty input AppEUI list! Return"));
        return false;
    }
    if (linkState != LINK_VERIFIED) {
        addLog(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return"));
        return false;
    }
    enqueueTask(TASK_GET_DEVICES_LIST, API::devicesListRequestMessage());
    return true;
}

void CServerHandler::getDeviceLastPackets(QString devEui)
{
    if (devEui.isEmpty()) {
        addLog(QStringLiteral("[CServerHandler::getDeviceLastPackets] Empty input AppEUI list! Return"));
        return;
    }
    if (linkState != LINK_VERIFIED) {
        addLog(QStringLiteral("[CServerHandler::getDeviceLastPackets] Invalid connection to server! Return"));
        return;
    }
    enqueueTask(TASK_GET_DEVICE_DATA, API::deviceDataRequestMessage(devEui));
}

void CServerHandler::enqueueTask(EServerTask task, const QString& text)
{
    {
        QMutexLocker locker(&queueMutex);
        taskQueue.append(qMakePair(task, text));
    }
    kickQueue();
}

void CServerHandler::kickQueue()
{
    if (!waitingMutex.tryLock(0))
        return;
    waitingMutex.unlock();
    if (!taskMutex.tryLock(0))
        return;
    taskMutex.unlock();
    emit newTask();
}

void CServerHandler::newTaskSlot()
{
    QMutexLocker taskLocker(&taskMutex);
    if (!waitingMutex.tryLock(0)) {
        traceLine(QStringLiteral("[CServerHandler::newTaskSlot] Waiting mutex is locked! Return"));
        return;
    }
    queueMutex.lock();
    if (taskQueue.isEmpty()) {
        traceLine(QStringLiteral("[CServerHandler::newTaskSlot] Task queue is empty"));
        waitingMutex.unlock();
        queueMutex.unlock();
        return;
    }
    const QPair<EServerTask, QString> task = taskQueue.takeFirst();
    currentTask = task.first;
    queueMutex.unlock();

    qDebug().noquote() << QStringLiteral("send:") << task.second;
    socket.sendTextMessage(task.second);
    waitingTimer.start(waitingIntervalMs);
}

void CServerHandler::waitingServerResponseTimeoutSlot()
{
    waitingTimer.stop();
    releaseFlag(waitingMutex);
    if (currentTask == TASK_GET_DEVICES_LIST)
        emit getDevicesListResp(false, {});
    currentTask = TASK_GET_DEVICE_DATA;
    emit newTask();
}
