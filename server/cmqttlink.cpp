#include "server/cmqttlink.h"

#include <QDateTime>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "app/logsink.h"

namespace {

// Debian's directory of trusted authorities, for a client certificate without a CA file of its own.
const char *SYSTEM_CA_DIR = "/etc/ssl/certs";

void initLibrary()
{
    static const bool done = [] {
        mosquitto_lib_init();
        // A TLS write to a broker that has just gone raises SIGPIPE, which would end the gateway;
        // the failed write is reported as a lost connection instead.
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    Q_UNUSED(done);
}

QString errorText(int _result)
{
    if (_result == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(_result));
}

QByteArray fileName(const QString &_path)
{
    return _path.toLocal8Bit();
}

const char *orNull(const QByteArray &_text)
{
    return _text.isEmpty() ? nullptr : _text.constData();
}

} // namespace

CMqttLink::CMqttLink(CClock *_clock, int _firstReconnectDelayMs, CLogSink *_log, QObject *_parent)
    : QObject(_parent)
    , clock(_clock)
    , log(_log ? _log : CLogSink::discard())
    , backoff(_firstReconnectDelayMs)
    , reconnectTimer(_clock)
{
    initLibrary();
    miscTimer.setInterval(MISC_INTERVAL_MS);
    connect(&miscTimer, &QTimer::timeout, this, &CMqttLink::miscSlot);
    connect(&reconnectTimer, &CClockTimer::timeout, this, &CMqttLink::reconnectSlot);
}

CMqttLink::~CMqttLink()
{
    unwatchSocket();
    if (mosq)
        mosquitto_destroy(mosq);
}

bool CMqttLink::publish(const QByteArray &_topic, const QByteArray &_payload, int *_mid, QString *_error)
{
    if (!mosq || !isConnected) {
        *_error = QStringLiteral("not connected to the broker");
        return false;
    }
    const int result = mosquitto_publish(mosq, _mid, _topic.constData(), _payload.size(), _payload.constData(), 1, false);
    if (result != MOSQ_ERR_SUCCESS) {
        *_error = errorText(result);
        return false;
    }
    // The message leaves once the socket can take it.
    watchSocket();
    return true;
}

void CMqttLink::dropClient()
{
    ++generation;
    isConnected = false;
    reconnectTimer.stop();
    backoff.reset();
    connectedSinceMs = -1;
    authRefused = false;
    events.clear();
    unwatchSocket();
    if (mosq) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
}

void CMqttLink::connectSlot(SMqttSettings _settings)
{
    // The operator's own connect starts afresh: no pending retry, first delay again.
    dropClient();
    emit changeServerStatus(COMM::eDisconnected);

    settings = _settings;
    if (settings.host.isEmpty()) {
        log->addLine(QStringLiteral("[CMqttLink::connectSlot] No broker host"));
        return;
    }
    if (!configureClient())
        return;
    startAttempt();
}

void CMqttLink::disconnectSlot()
{
    // A DISCONNECT first, so the broker does not take the closed socket for a lost client.
    if (mosq && mosquitto_socket(mosq) >= 0 && mosquitto_disconnect(mosq) == MOSQ_ERR_SUCCESS)
        log->addLine(QStringLiteral("[CMqttLink::disconnectSlot] Disconnected from [%1:%2]")
                         .arg(settings.host)
                         .arg(settings.port));
    dropClient();
    emit changeServerStatus(COMM::eDisconnected);
}

bool CMqttLink::configureClient()
{
    mosq = mosquitto_new(settings.clientId.toUtf8().constData(), true, this);
    if (!mosq) {
        log->addLine(QStringLiteral("[CMqttLink::configureClient] Cannot create the MQTT client: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, &CMqttLink::onConnect);
    mosquitto_disconnect_callback_set(mosq, &CMqttLink::onDisconnect);
    mosquitto_message_callback_set(mosq, &CMqttLink::onMessage);
    mosquitto_publish_callback_set(mosq, &CMqttLink::onPublish);
    mosquitto_log_callback_set(mosq, &CMqttLink::onLog);

    int result = MOSQ_ERR_SUCCESS;
    if (!settings.username.isEmpty())
        result = mosquitto_username_pw_set(mosq, settings.username.toUtf8().constData(),
            settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    if (result == MOSQ_ERR_SUCCESS && settings.tls) {
        const QByteArray caFile = fileName(settings.caFile);
        const QByteArray certFile = fileName(settings.certFile);
        const QByteArray keyFile = fileName(settings.keyFile);
        if (caFile.isEmpty())
            result = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (result == MOSQ_ERR_SUCCESS && (!caFile.isEmpty() || !certFile.isEmpty()))
            result = mosquitto_tls_set(mosq, orNull(caFile), caFile.isEmpty() ? SYSTEM_CA_DIR : nullptr,
                orNull(certFile), orNull(keyFile), nullptr);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        log->addLine(QStringLiteral("[CMqttLink::configureClient] Invalid MQTT settings (TLS files or log-in): %1")
                         .arg(errorText(result)));
        mosquitto_destroy(mosq);
        mosq = nullptr;
        return false;
    }
    return true;
}

void CMqttLink::startAttempt()
{
    emit changeServerStatus(COMM::eAuthWaiting);
    const int result = mosquitto_connect_async(mosq, settings.host.toUtf8().constData(), settings.port, KEEP_ALIVE_S);
    if (result != MOSQ_ERR_SUCCESS) {
        log->addLine(QStringLiteral("[CMqttLink::startAttempt] Cannot connect to broker [%1:%2]: %3")
                         .arg(settings.host)
                         .arg(settings.port)
                         .arg(errorText(result)));
        unwatchSocket();
        emit changeServerStatus(COMM::eDisconnected);
        scheduleReconnect();
        return;
    }
    afterCall(result);
}

void CMqttLink::reconnectSlot()
{
    log->addLine(
        QStringLiteral("[CMqttLink::reconnectSlot] Reconnecting to [%1:%2]").arg(settings.host).arg(settings.port));
    startAttempt();
}

void CMqttLink::readyReadSlot()
{
    afterCall(mosquitto_loop_read(mosq, 1));
}

void CMqttLink::readyWriteSlot()
{
    afterCall(mosquitto_loop_write(mosq, 1));
}

void CMqttLink::miscSlot()
{
    afterCall(mosquitto_loop_misc(mosq));
}

void CMqttLink::afterCall(int _result)
{
    const quint64 current = generation;
    bool disconnected = false;
    // A slot connected directly to our signals may reconnect; then the rest is stale.
    while (!events.isEmpty() && current == generation) {
        const SEvent event = events.takeFirst();
        switch (event.type) {
        case SEvent::eConnack:
            handleConnack(event.code);
            break;
        case SEvent::eDisconnect:
            disconnected = true;
            handleDisconnect(event.code);
            break;
        case SEvent::eMessage:
            handleMessage(event);
            break;
        case SEvent::ePublished:
            emit published(event.code);
            break;
        }
    }
    if (current != generation)
        return;
    // A TLS handshake that fails after connect_async returned closes the socket without a disconnect callback.
    if (!disconnected && _result != MOSQ_ERR_SUCCESS && watchedSocket >= 0 && mosquitto_socket(mosq) < 0)
        handleDisconnect(_result);
    watchSocket();
}

void CMqttLink::handleConnack(int _code)
{
    if (_code == 0) {
        isConnected = true;
        connectedSinceMs = clock->nowMs();
        const int result = mosquitto_subscribe(mosq, nullptr, settings.topic.toUtf8().constData(), 0);
        if (result != MOSQ_ERR_SUCCESS)
            log->addLine(QStringLiteral("[CMqttLink::handleConnack] Cannot subscribe to [%1]: %2")
                             .arg(settings.topic)
                             .arg(errorText(result)));
        else
            log->addLine(QStringLiteral("[CMqttLink::handleConnack] Connected to [%1:%2], subscribed to [%3]")
                             .arg(settings.host)
                             .arg(settings.port)
                             .arg(settings.topic));
        emit changeServerStatus(COMM::eSuccess);
        return;
    }
    log->addLine(QStringLiteral("[CMqttLink::handleConnack] Broker refused the connection: %1")
                     .arg(QString::fromUtf8(mosquitto_connack_string(_code))));
    // Retrying refused credentials cannot succeed and may lock the account.
    if (_code == CONNACK_REFUSED_BAD_USERNAME_PASSWORD || _code == CONNACK_REFUSED_NOT_AUTHORIZED) {
        authRefused = true;
        reconnectTimer.stop();
        emit changeServerStatus(COMM::eInvalidAuth);
    }
}

void CMqttLink::handleDisconnect(int _code)
{
    isConnected = false;
    unwatchSocket();
    // After refused credentials the broker hangs up; INVALID AUTH stays shown and nothing is retried.
    if (authRefused)
        return;
    log->addLine(QStringLiteral("[CMqttLink::handleDisconnect] Connection to [%1:%2] lost: %3")
                     .arg(settings.host)
                     .arg(settings.port)
                     .arg(errorText(_code)));
    emit changeServerStatus(COMM::eDisconnected);
    scheduleReconnect();
}

void CMqttLink::scheduleReconnect()
{
    if (reconnectTimer.isActive())
        return;
    if (connectedSinceMs >= 0 && clock->nowMs() - connectedSinceMs >= STABLE_CONNECTION_MS)
        backoff.reset();
    connectedSinceMs = -1;
    const int delay = backoff.nextDelayMs();
    log->addLine(QStringLiteral("[CMqttLink::scheduleReconnect] Next attempt in %1 ms").arg(delay));
    reconnectTimer.start(delay);
}

void CMqttLink::handleMessage(const SEvent &_event)
{
    if (_event.size > MAX_MESSAGE_SIZE) {
        dropMessage(
            _event.topic, QStringLiteral("%1 bytes, over the limit of %2").arg(_event.size).arg(MAX_MESSAGE_SIZE));
        return;
    }
    const API::SMqttUplink uplink = API::parseMqttUplink(
        settings.kind, _event.topic, _event.payload, static_cast<quint64>(QDateTime::currentMSecsSinceEpoch()));
    if (!uplink.valid) {
        dropMessage(_event.topic, uplink.error);
        return;
    }
    emit deviceHeard(uplink.device);
    emit newPacketReceived(uplink.data);
}

void CMqttLink::dropMessage(const QByteArray &_topic, const QString &_reason)
{
    const QString topic = QString::fromUtf8(_topic);
    const int count = dropLimiter.record(topic);
    if (count > 0)
        log->addLine(
            QStringLiteral("[CMqttLink::dropMessage] Dropped %1 message(s) on [%2] since the last report: %3")
                .arg(count)
                .arg(topic)
                .arg(_reason));
}

void CMqttLink::watchSocket()
{
    const int socket = mosq ? mosquitto_socket(mosq) : -1;
    if (socket != watchedSocket) {
        unwatchSocket();
        if (socket < 0)
            return;
        watchedSocket = socket;
        readNotifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        connect(readNotifier, &QSocketNotifier::activated, this, &CMqttLink::readyReadSlot);
        writeNotifier = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        connect(writeNotifier, &QSocketNotifier::activated, this, &CMqttLink::readyWriteSlot);
        miscTimer.start();
    }
    if (writeNotifier)
        writeNotifier->setEnabled(mosquitto_want_write(mosq));
}

void CMqttLink::unwatchSocket()
{
    // The notifiers may be the ones whose signal is running now.
    for (QSocketNotifier *notifier : { readNotifier.data(), writeNotifier.data() }) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    readNotifier.clear();
    writeNotifier.clear();
    watchedSocket = -1;
    miscTimer.stop();
}

void CMqttLink::onConnect(mosquitto *, void *_link, int _code)
{
    static_cast<CMqttLink *>(_link)->events << SEvent { SEvent::eConnack, _code, {}, {}, 0 };
}

void CMqttLink::onDisconnect(mosquitto *, void *_link, int _code)
{
    static_cast<CMqttLink *>(_link)->events << SEvent { SEvent::eDisconnect, _code, {}, {}, 0 };
}

void CMqttLink::onMessage(mosquitto *, void *_link, const mosquitto_message *_message)
{
    SEvent event { SEvent::eMessage, 0, QByteArray(_message->topic), {}, _message->payloadlen };
    // An oversized payload is only counted, never copied.
    if (_message->payloadlen <= MAX_MESSAGE_SIZE)
        event.payload = QByteArray(static_cast<const char *>(_message->payload), _message->payloadlen);
    static_cast<CMqttLink *>(_link)->events << event;
}

void CMqttLink::onPublish(mosquitto *, void *_link, int _mid)
{
    static_cast<CMqttLink *>(_link)->events << SEvent { SEvent::ePublished, _mid, {}, {}, 0 };
}

void CMqttLink::onLog(mosquitto *, void *_link, int _level, const char *_text)
{
    // TLS failures reach us only through libmosquitto's own log.
    if (_level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))
        static_cast<CMqttLink *>(_link)->log->addLine(QStringLiteral("[CMqttLink::onLog] %1").arg(QString::fromUtf8(_text)));
}
