#include "server/CServerHandler.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QRandomGenerator>

#include "app/CLogFile.h"
#include "server/ApiMessages.h"

namespace {
CServerHandler* instance = nullptr;
CServerHandler::SIntervals waits;

// No wait between tries exceeds this share of the outage so far, so that a
// server back after a short outage is found within a small part of it.
const int OUTAGE_SHARE = 8;
const QString DEBUG_PREFIX = QStringLiteral("[CServerHandler::textMessageReceivedSlot] ");
const QString LOG_OPENED =
    QStringLiteral("INFO: [CServerHandler::socketConnectedSlot] Connection to %1 opened");
const QString LOG_LOGGED_IN = QStringLiteral("INFO: [CServerHandler::handleAuthState] Logged in to %1 as %2");
const QString LOG_REFUSED = QStringLiteral(
    "WARNING: [CServerHandler::handleAuthState] Log-in to %1 as %2 refused: %3; next try in %4 s");
const QString LOG_LOST = QStringLiteral("WARNING: [CServerHandler::linkFailed] Connection to %1 lost: %2");
const QString LOG_RETRY =
    QStringLiteral("%1: [CServerHandler::scheduleRetry] No connection to %2 (%3); try %4 in %5 s");
const QString LOG_BACK = QStringLiteral(
    "INFO: [CServerHandler::endCatchUp] Back after an outage of %1 s; %2 of %3 devices caught up");
const QString LOG_CAUGHT_UP =
    QStringLiteral("INFO: [CServerHandler::endCatchUp] %1 of %2 devices caught up after log-in");
const QString REASON_NO_UPGRADE = QStringLiteral("no WebSocket upgrade within %1 s");
const QString REASON_NO_TLS =
    QStringLiteral("TLS: no TLS or WebSocket handshake within %1 s; is the server plain ws?");
const QString REASON_PLAIN_CLOSED = QStringLiteral("%1; a wss server does so to ws://");
const QString REASON_NO_PONG = QStringLiteral("no answer to a ping within %1 s");
const QString REASON_CLOSED = QStringLiteral("closed by the server");
const QString REASON_REFUSED = QStringLiteral("log-in refused: %1");
const QString TLS_PREFIX = QStringLiteral("TLS: ");

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

int seconds(int ms)
{
    return (ms + 999) / 1000;
}

// Up to a fifth off or on, so that gateways restarted together do not knock in step.
int jittered(int ms, bool upwards)
{
    const int spread = int(QRandomGenerator::global()->bounded(ms / 5 + 1));
    return upwards ? ms + spread : ms - spread;
}

bool isTlsError(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::SslInternalError ||
           error == QAbstractSocket::SslInvalidUserDataError;
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

void CServerHandler::setIntervals(const SIntervals& intervals)
{
    waits = intervals;
}

CServerHandler::CServerHandler(QObject* parent)
    : QObject(parent), socket(QString(), QWebSocketProtocol::Version13, nullptr)
{
    socket.setMaxAllowedIncomingMessageSize(MAX_MESSAGE_BYTES);
    socket.setMaxAllowedIncomingFrameSize(MAX_MESSAGE_BYTES);
    connect(&socket, &QWebSocket::connected, this, &CServerHandler::socketConnectedSlot);
    connect(&socket, &QWebSocket::disconnected, this, &CServerHandler::socketDisconnectedSlot);
    connect(&socket, &QWebSocket::textMessageReceived, this, &CServerHandler::textMessageReceivedSlot);
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &CServerHandler::socketErrorSlot);
    connect(&socket, &QWebSocket::sslErrors, this, &CServerHandler::sslErrorsSlot);
    connect(&socket, &QWebSocket::pong, &pongTimer, &QTimer::stop);
    connect(&pingTimer, &QTimer::timeout, this, &CServerHandler::timeoutSlot);
    connect(&waitingTimer, &QTimer::timeout, this, &CServerHandler::waitingServerResponseTimeoutSlot);
    connect(this, &CServerHandler::newTask, this, &CServerHandler::newTaskSlot, Qt::QueuedConnection);

    retryTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early, and the floor after a refusal is a promise.
    retryTimer.setTimerType(Qt::PreciseTimer);
    openTimer.setSingleShot(true);
    pongTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &CServerHandler::retrySlot);
    connect(&keepAliveTimer, &QTimer::timeout, this, &CServerHandler::keepAliveSlot);
    connect(&openTimer, &QTimer::timeout, this, [this] {
        const QString reason = url.scheme() == QLatin1String("wss") ? REASON_NO_TLS : REASON_NO_UPGRADE;
        linkFailed(reason.arg(seconds(waits.openMs)), false);
    });
    connect(&pongTimer, &QTimer::timeout, this,
            [this] { linkFailed(REASON_NO_PONG.arg(seconds(waits.pongMs)), false); });
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

void CServerHandler::setCatchUpSource(std::function<QStringList()> source)
{
    catchUpSource = std::move(source);
}

void CServerHandler::connectSlot(QString _origin, QString _login, QString _password)
{
    retryTimer.stop();
    dropSocket();
    emit changeServerStatus(COMM::DISCONNECTED);
    url = QUrl(_origin, QUrl::TolerantMode);
    if (!url.isValid()) {
        addLog(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [%1]").arg(_origin));
        url = QUrl();
        emit retryScheduled(0);
        return;
    }
    login = _login;
    password = _password;
    retryMs = 0;
    attempts = 0;
    openSocket();
}

void CServerHandler::openSocket()
{
    opened = false;
    tryEnded = false;
    refusedRetry = false;
    pendingError.clear();
    ++attempts;
    emit retryScheduled(0);
    openTimer.start(waits.openMs);
    socket.open(url);
}

// Ends the current try on purpose: nothing of it is reported as a failure.
void CServerHandler::dropSocket()
{
    dropping = true;
    openTimer.stop();
    keepAliveTimer.stop();
    pongTimer.stop();
    pingTimer.stop();
    if (socket.state() == QAbstractSocket::ConnectedState)
        socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    else
        socket.abort();
    dropping = false;
    linkState = LINK_IDLE;
    clearQueue();
}

void CServerHandler::retrySlot()
{
    dropSocket();
    openSocket();
}

void CServerHandler::socketConnectedSlot()
{
    openTimer.stop();
    opened = true;
    addLog(LOG_OPENED.arg(url.toDisplayString(QUrl::RemoveUserInfo)));
    keepAliveTimer.start(waits.keepAliveMs);
    linkState = LINK_PING;
    socket.sendTextMessage(API::pingMessage());
    emit changeServerStatus(COMM::PING_WAITING);
    pingTimer.start(waits.handshakeMs);
}

void CServerHandler::socketDisconnectedSlot()
{
    if (dropping)
        return;
    if (!opened && pendingError.isEmpty()) {
        // A refused try reports its error just after the disconnect; let it speak first.
        const int attempt = attempts;
        QTimer::singleShot(0, this, [this, attempt] {
            if (attempt == attempts)
                linkFailed(pendingError.isEmpty() ? REASON_CLOSED : pendingError, false);
        });
        return;
    }
    QString reason = socket.closeReason();
    if (reason.isEmpty())
        reason = pendingError.isEmpty() ? REASON_CLOSED : pendingError;
    linkFailed(reason, false);
}

void CServerHandler::socketErrorSlot(QAbstractSocket::SocketError error)
{
    if (dropping)
        return;
    if (pendingError.isEmpty() || !isTlsError(error))
        pendingError = isTlsError(error) ? TLS_PREFIX + socket.errorString() : socket.errorString();
    if (!opened && error == QAbstractSocket::RemoteHostClosedError && url.scheme() == QLatin1String("ws"))
        pendingError = REASON_PLAIN_CLOSED.arg(socket.errorString());
    // A try that never connected ends here; a connected one ends with its disconnect.
    if (socket.state() == QAbstractSocket::UnconnectedState && !opened)
        linkFailed(pendingError, false);
}

void CServerHandler::sslErrorsSlot(const QList<QSslError>& errors)
{
    QStringList texts;
    for (const QSslError& error : errors)
        texts.append(error.errorString());
    pendingError = TLS_PREFIX + texts.join(QStringLiteral("; "));
}

// One place for every way a try ends badly: report it and plan the next one.
void CServerHandler::linkFailed(const QString& reason, bool refused)
{
    if (dropping || tryEnded)
        return;
    const QString where = url.toDisplayString(QUrl::RemoveUserInfo);
    if (refused) {
        // The socket stays as it is until the next try, so the status keeps the refusal.
        linkState = LINK_IDLE;
        refusedRetry = true;
        emit lastErrorChanged(reason);
        const int delay = scheduleRetry(true);
        addLog(LOG_REFUSED.arg(where, login, reason, QString::number(seconds(delay))));
        return;
    }
    tryEnded = true;
    const bool wasOpen = opened;
    dropSocket();
    emit changeServerStatus(COMM::DISCONNECTED);
    if (refusedRetry)
        return;
    emit lastErrorChanged(reason);
    if (wasOpen)
        addLog(LOG_LOST.arg(where, reason));
    pendingError = reason;
    scheduleRetry(false);
}

int CServerHandler::scheduleRetry(bool refused)
{
    if (!url.isValid() || retryTimer.isActive())
        return retryTimer.remainingTime();
    if (!outage.isValid())
        outage.start();
    int delay;
    if (refused) {
        delay = jittered(waits.refusedRetryMs, true);
    } else {
        retryMs = retryMs == 0 ? waits.firstRetryMs : qMin(retryMs * 2, waits.maxRetryMs);
        const int outageShare = int(qMin<qint64>(outage.elapsed() / OUTAGE_SHARE, waits.maxRetryMs));
        delay = jittered(qMin(retryMs, qMax(waits.firstRetryMs, outageShare)), false);
    }
    retryTimer.start(delay);
    emit retryScheduled(qMax(1, seconds(delay)));
    if (!refused && (!sinceRetryLine.isValid() || sinceRetryLine.elapsed() >= waits.retryLogMs)) {
        sinceRetryLine.start();
        const QString level =
            pendingError.startsWith(TLS_PREFIX) ? QStringLiteral("ERROR") : QStringLiteral("WARNING");
        addLog(LOG_RETRY.arg(level, url.toDisplayString(QUrl::RemoveUserInfo), pendingError,
                             QString::number(attempts + 1), QString::number(qMax(1, seconds(delay)))));
    }
    return delay;
}

void CServerHandler::keepAliveSlot()
{
    if (pongTimer.isActive())
        return;
    pongTimer.start(waits.pongMs);
    socket.ping();
}

void CServerHandler::clearQueue()
{
    {
        QMutexLocker locker(&queueMutex);
        taskQueue.clear();
    }
    waitingTimer.stop();
    releaseFlag(waitingMutex);
    if (currentTask == TASK_GET_DEVICES_LIST)
        emit getDevicesListResp(false, {});
    currentTask = TASK_GET_DEVICE_DATA;
    awaitedEui.clear();
    catchUpPending.clear();
    catchingUp = false;
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
    const QString serverText = obj.value(API::API_JSON_KEY_ERRSTRING).toString();
    if (!obj.contains(API::API_JSON_KEY_CMD))
        failure = QStringLiteral("State=auth: unknown message[1]");
    else if (obj.value(API::API_JSON_KEY_CMD).toString() != API::API_JSON_CMD_AUTHRESP)
        failure = QStringLiteral("State=auth: unknown message[2]");
    else if (!obj.contains(API::API_JSON_KEY_STATUS))
        failure = QStringLiteral("State=auth: unknown message[3]");
    else if (!obj.value(API::API_JSON_KEY_STATUS).toBool())
        failure = QStringLiteral("State=auth: unknown message[4], err[%1]").arg(serverText);
    if (!failure.isEmpty()) {
        traceLine(DEBUG_PREFIX + failure);
        emit changeServerStatus(COMM::INVALID_AUTH);
        linkFailed(REASON_REFUSED.arg(serverText.isEmpty() ? failure : serverText), true);
        return;
    }
    token = obj.value(API::API_JSON_KEY_TOKEN).toString();
    linkState = LINK_VERIFIED;
    retryTimer.stop();
    retryMs = 0;
    outageSeconds = outage.isValid() ? outage.elapsed() / 1000 : -1;
    outage.invalidate();
    sinceRetryLine.invalidate();
    addLog(LOG_LOGGED_IN.arg(url.toDisplayString(QUrl::RemoveUserInfo), login));
    emit lastErrorChanged(QString());
    emit changeServerStatus(COMM::SUCCESS);
    startCatchUp();
}

// Values sent while the link was down reach Modbus only if fetched now.
void CServerHandler::startCatchUp()
{
    catchUpPending.clear();
    caughtUp = 0;
    catchingUp = true;
    const QStringList devices = catchUpSource ? catchUpSource() : QStringList();
    for (const QString& devEui : devices) {
        const QString key = COMM::euiKey(devEui);
        if (key.isEmpty() || catchUpPending.contains(key))
            continue;
        catchUpPending.insert(key);
        enqueueTask(TASK_GET_DEVICE_DATA, API::deviceDataRequestMessage(devEui), devEui);
    }
    catchUpTotal = catchUpPending.size();
    if (catchUpTotal == 0)
        endCatchUp();
}

// The wait for one device's packets is over; the last one ends the catch-up.
void CServerHandler::finishAwaited(bool answered)
{
    const QString eui = awaitedEui;
    awaitedEui.clear();
    if (!catchingUp || !catchUpPending.remove(eui))
        return;
    if (answered)
        ++caughtUp;
    if (catchUpPending.isEmpty())
        endCatchUp();
}

void CServerHandler::endCatchUp()
{
    if (outageSeconds >= 0)
        addLog(LOG_BACK.arg(QString::number(outageSeconds), QString::number(caughtUp),
                            QString::number(catchUpTotal)));
    else
        addLog(LOG_CAUGHT_UP.arg(QString::number(caughtUp), QString::number(catchUpTotal)));
    catchingUp = false;
    outageSeconds = -1;
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
        if (API::readDataResp(obj, packet))
            emit newPacketReceived(packet);
        // The answer for the awaited device ends its wait; any other waits on.
        const QString eui = COMM::euiKey(obj.value(API::API_JSON_KEY_DEVEUI).toString());
        if (waitingTimer.isActive() && currentTask == TASK_GET_DEVICE_DATA && !eui.isEmpty() &&
            eui == awaitedEui) {
            finishAwaited(true);
            waitingServerResponseTimeoutSlot();
        }
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
    enqueueTask(TASK_GET_DEVICE_DATA, API::deviceDataRequestMessage(devEui), devEui);
}

void CServerHandler::enqueueTask(EServerTask task, const QString& text, const QString& devEui)
{
    {
        QMutexLocker locker(&queueMutex);
        taskQueue.append({task, text, COMM::euiKey(devEui)});
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
    const STask task = taskQueue.takeFirst();
    currentTask = task.task;
    queueMutex.unlock();

    awaitedEui = task.euiKey;
    qDebug().noquote() << QStringLiteral("send:") << task.text;
    socket.sendTextMessage(task.text);
    waitingTimer.start(waits.waitingMs);
}

void CServerHandler::waitingServerResponseTimeoutSlot()
{
    waitingTimer.stop();
    releaseFlag(waitingMutex);
    if (currentTask == TASK_GET_DEVICES_LIST)
        emit getDevicesListResp(false, {});
    else
        finishAwaited(false);
    currentTask = TASK_GET_DEVICE_DATA;
    emit newTask();
}
