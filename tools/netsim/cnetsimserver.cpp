#include "cnetsimserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>

#include <cstdio>

#include "server/apivocabulary.h"

namespace {

QString compact(const QJsonObject &_obj)
{
    return QString::fromUtf8(QJsonDocument(_obj).toJson(QJsonDocument::Compact));
}

} // namespace

CNetSimServer::CNetSimServer(const SNetSimConfig &_config, QObject *_parent)
    : QObject(_parent)
    , config(_config)
    , server(QStringLiteral("kelvara-netsim"), QWebSocketServer::NonSecureMode)
    , uplinks(_config)
    , out(stdout)
{
    connect(&server, &QWebSocketServer::newConnection, this, &CNetSimServer::newConnectionSlot);
    connect(&uplinks, &CUplinkSource::uplink, this, &CNetSimServer::pushUplinkSlot);
}

CNetSimServer::~CNetSimServer()
{
    // The clients die with this object; their last signals must not reach members already gone.
    const QList<QWebSocket *> clients = findChildren<QWebSocket *>();
    for (QWebSocket *client : clients)
        client->disconnect(this);
}

bool CNetSimServer::listen()
{
    if (!server.listen(QHostAddress::LocalHost, config.port)) {
        std::fprintf(stderr, "cannot listen on port %u: %s\n", config.port, qPrintable(server.errorString()));
        return false;
    }
    report(QStringLiteral("listening on port %1").arg(server.serverPort()));
    return true;
}

void CNetSimServer::newConnectionSlot()
{
    while (QWebSocket *client = server.nextPendingConnection()) {
        client->setParent(this);
        report(QStringLiteral("client connected"));
        connect(client, &QWebSocket::textMessageReceived, this,
            [this, client](const QString &_text) { handleMessage(client, _text); });
        connect(client, &QWebSocket::disconnected, this, [this, client] {
            loggedIn.remove(client);
            report(QStringLiteral("client disconnected"));
            client->deleteLater();
        });
    }
}

void CNetSimServer::handleMessage(QWebSocket *_client, const QString &_text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(_text.toUtf8());
    if (!doc.isObject()) {
        sendLater(_client, QJsonObject { { API_KEY_ERR_STRING, API_ERR_INVALID_JSON_MSG } }, 0);
        return;
    }
    const QJsonObject request = doc.object();
    const QString cmd = request.value(API_KEY_CMD).toString();
    if (cmd == API_CMD_AUTH_REQ) {
        handleAuth(_client, request);
    } else if (cmd == API_CMD_GET_DEVICES_REQ) {
        handleDevicesRequest(_client, request);
    } else if (cmd == API_CMD_SEND_DATA_REQ) {
        handleSendData(_client, request);
    } else {
        // The gateway's ping is an unknown command; it expects this error reply.
        const QJsonObject reply { { API_KEY_CMD, cmd }, { API_KEY_ERR_STRING, API_ERR_UNKNOWN_CMD } };
        sendLater(_client, reply, config.pingDelayMs);
    }
}

void CNetSimServer::handleAuth(QWebSocket *_client, const QJsonObject &_request)
{
    const QString login = _request.value(API_KEY_LOGIN).toString();
    QJsonObject reply { { API_KEY_CMD, API_CMD_AUTH_RESP } };
    if (login == config.login && _request.value(API_KEY_PASSWORD).toString() == config.password) {
        reply.insert(API_KEY_STATUS, true);
        reply.insert(API_KEY_TOKEN, QUuid::createUuid().toString(QUuid::WithoutBraces));
        loggedIn.insert(_client);
        report(QStringLiteral("login accepted: %1").arg(login));
        sendLater(_client, reply, 0);
        uplinks.start();
        return;
    }
    reply.insert(API_KEY_STATUS, false);
    reply.insert(API_KEY_ERR_STRING, API_ERR_INVALID_LOGIN_OR_PASSWORD);
    report(QStringLiteral("login refused: %1").arg(login));
    sendLater(_client, reply, 0);
}

void CNetSimServer::handleSendData(QWebSocket *_client, const QJsonObject &_request)
{
    QJsonObject reply { { API_KEY_CMD, API_CMD_SEND_DATA_RESP }, { API_KEY_STATUS, false } };
    if (!loggedIn.contains(_client)) {
        reply.insert(API_KEY_ERR_STRING, API_ERR_UNKNOWN_AUTH);
        sendLater(_client, reply, 0);
        return;
    }
    // One line per downlink, for the operator and for tests to read back.
    for (const QJsonValue &entry : _request.value(API_KEY_DATA_LIST).toArray()) {
        const QJsonObject downlink = entry.toObject();
        report(QStringLiteral("downlink devEui=%1 port=%2 ack=%3 data=%4 %5")
                   .arg(downlink.value(API_KEY_DEV_EUI).toString())
                   .arg(downlink.value(API_KEY_PORT).toInt())
                   .arg(downlink.value(API_KEY_ACK).toBool() ? QStringLiteral("true") : QStringLiteral("false"))
                   .arg(downlink.value(API_KEY_DATA).toString())
                   .arg(config.refuseDownlinks ? QStringLiteral("refused") : QStringLiteral("accepted")));
    }
    if (config.refuseDownlinks)
        reply.insert(API_KEY_ERR_STRING, API_ERR_INACCESSIBLE_COMMAND);
    else
        reply.insert(API_KEY_STATUS, true);
    sendLater(_client, reply, 0);
}

void CNetSimServer::handleDevicesRequest(QWebSocket *_client, const QJsonObject &_request)
{
    QJsonObject reply { { API_KEY_CMD, API_CMD_GET_DEVICES_RESP }, { API_KEY_STATUS, false } };
    if (!loggedIn.contains(_client)) {
        reply.insert(API_KEY_ERR_STRING, API_ERR_UNKNOWN_AUTH);
        sendLater(_client, reply, 0);
        return;
    }
    switch (config.devicesReply) {
    case EDevicesReply::eIgnore:
        report(QStringLiteral("devices request ignored"));
        return;
    case EDevicesReply::eRefuse:
        report(QStringLiteral("devices request refused"));
        reply.insert(API_KEY_ERR_STRING, API_ERR_INACCESSIBLE_COMMAND);
        sendLater(_client, reply, config.devicesDelayMs);
        return;
    case EDevicesReply::eAnswer:
        reply = devicesReply(_request);
        report(QStringLiteral("devices request answered: %1 devices")
                   .arg(reply.value(API_KEY_DEVICES_LIST).toArray().size()));
        sendLater(_client, reply, config.devicesDelayMs);
        return;
    }
}

QJsonObject CNetSimServer::devicesReply(const QJsonObject &_request) const
{
    QStringList wanted;
    const QJsonArray appEuis = _request.value(API_KEY_SELECT).toObject().value(API_KEY_APP_EUI_LIST).toArray();
    for (const QJsonValue &value : appEuis)
        wanted << value.toString();
    QJsonArray list;
    for (const SSimDevice &device : config.devices) {
        if (!wanted.contains(device.appEui, Qt::CaseInsensitive))
            continue;
        list.append(QJsonObject { { API_KEY_DEV_EUI, device.devEui }, { API_KEY_DEV_NAME, device.devName },
            { API_KEY_OTAA, QJsonObject { { API_KEY_APP_EUI, device.appEui } } } });
    }
    return QJsonObject { { API_KEY_CMD, API_CMD_GET_DEVICES_RESP }, { API_KEY_STATUS, true },
        { API_KEY_DEVICES_LIST, list } };
}

void CNetSimServer::pushUplinkSlot(const QJsonObject &_message)
{
    const QString text = compact(_message);
    for (QWebSocket *client : qAsConst(loggedIn))
        client->sendTextMessage(text);
}

void CNetSimServer::sendLater(QWebSocket *_client, const QJsonObject &_message, int _delayMs)
{
    const QString text = compact(_message);
    if (_delayMs <= 0) {
        _client->sendTextMessage(text);
        return;
    }
    // The client may be gone by then; the timer dies with it.
    QTimer::singleShot(_delayMs, _client, [_client, text] { _client->sendTextMessage(text); });
}

void CNetSimServer::report(const QString &_line)
{
    out << _line << '\n';
    out.flush();
}
