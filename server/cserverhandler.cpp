#include "server/cserverhandler.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QMutexLocker>
#ifndef QT_NO_SSL
#include <QSslError>
#endif

#include "app/logsink.h"
#include "server/apimessages.h"
#include "server/apivocabulary.h"

namespace {

void debugMessage(const QString &_text)
{
    qDebug().noquote() << _text;
}

} // namespace

CServerHandler::CServerHandler(CClock *_clock, const SServerTimings &_timings, CLogSink *_log)
    : QObject(nullptr)
    , clock(_clock)
    , log(_log ? _log : CLogSink::discard())
    , timings(_timings)
    , waitTimer(_clock)
    , socket(QString(), QWebSocketProtocol::Version13)
    , loginTimer(_clock)
    , keepAliveTimer(_clock)
    , pongTimer(_clock)
    , backoff(_timings.firstRetryMs, _timings.maxRetryMs)
    , reconnectTimer(_clock)
{
    registerServerMetaTypes();
    socket.setMaxAllowedIncomingMessageSize(timings.maxIncomingMessageBytes);
    connect(&socket, &QWebSocket::connected, this, &CServerHandler::socketConnectedSlot);
    connect(&socket, &QWebSocket::disconnected, this, &CServerHandler::socketDisconnectedSlot);
    connect(&socket, &QWebSocket::textMessageReceived, this, &CServerHandler::textMessageReceivedSlot);
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
        &CServerHandler::socketErrorSlot);
#ifndef QT_NO_SSL
    // Certificate problems are reported and the connection fails; none is ignored.
    connect(&socket, &QWebSocket::sslErrors, this, [this](const QList<QSslError> &_errors) {
        for (const QSslError &error : _errors)
            log->addLine(QStringLiteral("[CServerHandler::sslErrors] TLS error: %1").arg(error.errorString()));
    });
#endif
    connect(&socket, &QWebSocket::pong, this, [this] { pongTimer.stop(); });
    connect(&loginTimer, &CClockTimer::timeout, this, &CServerHandler::timeoutSlot);
    connect(&waitTimer, &CClockTimer::timeout, this, &CServerHandler::waitingServerResponseTimeoutSlot);
    connect(&keepAliveTimer, &CClockTimer::timeout, this, &CServerHandler::keepAliveSlot);
    connect(&pongTimer, &CClockTimer::timeout, this, &CServerHandler::pongTimeoutSlot);
    connect(this, &CServerHandler::newTask, this, &CServerHandler::newTaskSlot, Qt::QueuedConnection);
    connect(&reconnectTimer, &CClockTimer::timeout, this, &CServerHandler::reconnectSlot);
}

CServerHandler::~CServerHandler()
{
    // Closing the socket here must not start a retry or report a status.
    socket.disconnect(this);
    reconnectTimer.stop();
    releaseWaitingMutex();
    socket.abort();
}

void CServerHandler::setStatus(COMM::EServerStatus _status)
{
    lastStatus = _status;
    emit changeServerStatus(_status);
}

void CServerHandler::connectSlot(QString _origin, QString _login, QString _password)
{
    // The operator's own connect starts afresh: no pending retry, first delay again.
    reconnectTimer.stop();
    reconnectArmed = false;
    backoff.reset();

    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    setStatus(COMM::eDisconnected);
    const QUrl newUrl = QUrl(_origin, QUrl::TolerantMode);
    if (!newUrl.isValid()) {
        log->addLine(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [%1]").arg(_origin));
        return;
    }
    login = _login;
    password = _password;
    url = newUrl;
    socket.open(url);
}

void CServerHandler::disconnectSlot()
{
    reconnectTimer.stop();
    reconnectArmed = false;
    backoff.reset();
    loginTimer.stop();
    keepAliveTimer.stop();
    pongTimer.stop();
    state = eIdle;
    if (socket.state() != QAbstractSocket::UnconnectedState)
        log->addLine(
            QStringLiteral("[CServerHandler::disconnectSlot] Disconnecting from [%1]").arg(url.toString()));
    socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    setStatus(COMM::eDisconnected);
}

bool CServerHandler::getDevicesList(const QStringList &_appEuiList)
{
    if (_appEuiList.isEmpty()) {
        log->addLine(QStringLiteral("[CServerHandler::getDevicesList] Empty input AppEUI list! Return"));
        return false;
    }
    if (state != eVerified) {
        log->addLine(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return"));
        return false;
    }
    SServerTask task;
    task.type = eGetDevicesRequest;
    task.message = API::devicesListRequestMessage(_appEuiList);
    enqueue(task);
    return true;
}

bool CServerHandler::sendDownlink(quint64 _id, const API::SDownlink &_downlink)
{
    if (state != eVerified) {
        log->addLine(QStringLiteral("[CServerHandler::sendDownlink] Invalid connection to server! Return"));
        return false;
    }
    SServerTask task;
    task.type = eSendDataRequest;
    task.message = API::sendDataRequestMessage(_downlink);
    task.id = _id;
    enqueue(task);
    return true;
}

void CServerHandler::enqueue(const SServerTask &_task)
{
    {
        QMutexLocker locker(&queueMutex);
        taskQueue.enqueue(_task);
    }
    // While a request is outstanding, its end sends the next one.
    if (waitingMutex.tryLock()) {
        waitingMutex.unlock();
        if (taskMutex.tryLock()) {
            taskMutex.unlock();
            emit newTask();
        }
    }
}

void CServerHandler::socketConnectedSlot()
{
    state = ePing;
    socket.sendTextMessage(API::pingMessage());
    setStatus(COMM::ePingWaiting);
    loginTimer.start(timings.loginTimeoutMs);
}

void CServerHandler::socketDisconnectedSlot()
{
    state = eIdle;
    keepAliveTimer.stop();
    pongTimer.stop();
    const QWebSocketProtocol::CloseCode code = socket.closeCode();
    if (code == QWebSocketProtocol::CloseCodeTooMuchData)
        log->addLine(QStringLiteral("[CServerHandler::socketDisconnectedSlot] A message over the limit of %1 "
                                    "bytes was refused")
                         .arg(timings.maxIncomingMessageBytes));
    if (code != QWebSocketProtocol::CloseCodeNormal && !socket.closeReason().isEmpty())
        log->addLine(QStringLiteral("[CServerHandler::socketDisconnectedSlot] Connection closed, code [%1]: %2")
                         .arg(static_cast<int>(code))
                         .arg(socket.closeReason()));
    setStatus(COMM::eDisconnected);
    if (reconnectArmed)
        scheduleReconnect();
}

void CServerHandler::socketErrorSlot(QAbstractSocket::SocketError _error)
{
    log->addLine(QStringLiteral("[CServerHandler::socketErrorSlot] Socket error [%1]: %2")
                     .arg(static_cast<int>(_error))
                     .arg(socket.errorString()));
}

void CServerHandler::scheduleReconnect()
{
    if (reconnectTimer.isActive())
        return;
    if (verifiedSinceMs >= 0 && clock->nowMs() - verifiedSinceMs >= timings.stableConnectionMs)
        backoff.reset();
    verifiedSinceMs = -1;
    const int delay = backoff.nextDelayMs();
    log->addLine(
        QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in %1 ms").arg(delay));
    reconnectTimer.start(delay);
}

void CServerHandler::reconnectSlot()
{
    log->addLine(QStringLiteral("[CServerHandler::reconnectSlot] Reconnecting to [%1]").arg(url.toString()));
    socket.open(url);
}

void CServerHandler::keepAliveSlot()
{
    if (state != eVerified)
        return;
    socket.ping();
    pongTimer.start(timings.pongTimeoutMs);
    keepAliveTimer.start(timings.keepAlivePingMs);
}

void CServerHandler::pongTimeoutSlot()
{
    log->addLine(QStringLiteral("WARNING: [CServerHandler::pongTimeoutSlot] No answer to a ping within %1 ms, "
                                "the link to [%2] is lost")
                     .arg(timings.pongTimeoutMs)
                     .arg(url.toString()));
    // Closing without a handshake: the peer passes nothing, so none would complete.
    socket.abort();
}

void CServerHandler::timeoutSlot()
{
    loginTimer.stop();
    if (state == ePing)
        setStatus(COMM::eInvalidPing);
    else if (state == eAuth)
        setStatus(COMM::eInvalidAuth);
}

void CServerHandler::textMessageReceivedSlot(QString msg)
{
    QJsonObject obj;
    if (!API::parseMessage(msg, obj)) {
        debugMessage(QStringLiteral("[CServerHandler::textMessageReceivedSlot] Uncknown input message format"));
        return;
    }
    switch (state) {
    case ePing:
        handlePingReply(obj);
        break;
    case eAuth:
        handleAuthResponse(obj);
        break;
    case eVerified:
        handleVerifiedMessage(obj);
        break;
    default:
        break;
    }
}

void CServerHandler::handlePingReply(const QJsonObject &_obj)
{
    if (!_obj.contains(API_KEY_ERR_STRING)) {
        debugMessage(QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=ping: unknown message"));
        setStatus(COMM::eInvalidPing);
        return;
    }
    state = eAuth;
    socket.sendTextMessage(API::authRequestMessage(login, password));
    setStatus(COMM::eAuthWaiting);
}

void CServerHandler::handleAuthResponse(const QJsonObject &_obj)
{
    state = eIdle;
    const API::SAuthResponse response = API::readAuthResponse(_obj);
    if (response.verdict == API::eAuthAccepted) {
        token = response.token;
        state = eVerified;
        reconnectArmed = true;
        verifiedSinceMs = clock->nowMs();
        keepAliveTimer.start(timings.keepAlivePingMs);
        setStatus(COMM::eSuccess);
        return;
    }
    const QString prefix = QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[%1]")
                               .arg(static_cast<int>(response.verdict));
    if (response.verdict == API::eAuthRefused)
        debugMessage(prefix + QStringLiteral(", err[%1]").arg(response.errString));
    else
        debugMessage(prefix);
    // Retrying a refused log-in cannot succeed and may lock the account.
    reconnectArmed = false;
    reconnectTimer.stop();
    setStatus(COMM::eInvalidAuth);
}

void CServerHandler::handleVerifiedMessage(const QJsonObject &_obj)
{
    if (!_obj.contains(API_KEY_CMD)) {
        debugMessage(QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]"));
        return;
    }
    const QString cmd = _obj.value(API_KEY_CMD).toString();
    if (cmd == API_CMD_RX) {
        const API::SApiDeviceData devData(_obj);
        if (!devData.refusal.isEmpty()) {
            const QString warning
                = refusedUplinks.refused(devData.devEui, devData.refusal, clock->nowMs());
            if (!warning.isEmpty())
                log->addLine(warning);
        } else if (!devData.devEui.isEmpty()) {
            emit newPacketReceived(devData);
        }
    } else if (cmd == API_CMD_SEND_DATA_RESP) {
        if (awaitedReply == eSendDataRequest)
            handleSendDataResponse(_obj);
        else
            log->addLine(QStringLiteral(
                "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
    } else if (cmd == API_CMD_GET_DEVICES_RESP) {
        if (awaitedReply == eGetDevicesRequest)
            handleDevicesListResponse(_obj);
        else
            log->addLine(QStringLiteral(
                "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
    }
}

void CServerHandler::handleDevicesListResponse(const QJsonObject &_obj)
{
    const API::SDevicesListResponse response = API::readDevicesListResponse(_obj);
    emit getDevicesListResp(response.status, response.devices);
    awaitedReply = eNoRequest;
    waitingServerResponseTimeoutSlot();
}

void CServerHandler::handleSendDataResponse(const QJsonObject &_obj)
{
    const bool accepted = API::readSendDataResponse(_obj);
    const QString reason = accepted ? QString()
                                    : QStringLiteral("refused by the server [%1]")
                                          .arg(_obj.value(API_KEY_ERR_STRING).toString());
    const quint64 id = awaitedId;
    awaitedReply = eNoRequest;
    waitingServerResponseTimeoutSlot();
    emit downlinkDone(id, accepted, reason);
}

void CServerHandler::newTaskSlot()
{
    QMutexLocker taskLocker(&taskMutex);
    if (!waitingMutex.tryLock()) {
        debugMessage(QStringLiteral("[CServerHandler::newTaskSlot] Waiting mutex is locked! Return"));
        return;
    }
    QString message;
    {
        QMutexLocker queueLocker(&queueMutex);
        if (taskQueue.isEmpty()) {
            debugMessage(QStringLiteral("[CServerHandler::newTaskSlot] Task queue is empty"));
            waitingMutex.unlock();
            return;
        }
        const SServerTask task = taskQueue.dequeue();
        message = task.message;
        awaitedReply = task.type;
        awaitedId = task.id;
    }
    if (awaitedReply == eSendDataRequest) {
        // A downlink queued before the link went down has nowhere to go: it fails now.
        if (state != eVerified || socket.sendTextMessage(message) <= 0) {
            const quint64 id = awaitedId;
            awaitedReply = eNoRequest;
            waitingServerResponseTimeoutSlot();
            emit downlinkDone(id, false, QStringLiteral("not connected to the server"));
            return;
        }
        emit downlinkHanded(awaitedId);
        waitTimer.start(timings.responseTimeoutMs);
        return;
    }
    socket.sendTextMessage(message);
    waitTimer.start(timings.responseTimeoutMs);
}

void CServerHandler::waitingServerResponseTimeoutSlot()
{
    waitTimer.stop();
    releaseWaitingMutex();
    const int unanswered = awaitedReply;
    awaitedReply = eNoRequest;
    if (unanswered == eGetDevicesRequest)
        emit getDevicesListResp(false, QList<API::SServerDeviceInfo>());
    else if (unanswered == eSendDataRequest)
        emit downlinkDone(awaitedId, false,
            QStringLiteral("no answer from the server within %1 ms").arg(timings.responseTimeoutMs));
    emit newTask();
}

void CServerHandler::releaseWaitingMutex()
{
    // Ends unlocked whether or not a request was outstanding.
    waitingMutex.tryLock();
    waitingMutex.unlock();
}
