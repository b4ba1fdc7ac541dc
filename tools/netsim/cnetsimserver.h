#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTextStream>
#include <QWebSocketServer>

#include "cuplinksource.h"
#include "netsimconfig.h"

class QWebSocket;

// Plays the network server: answers the ping, the log-in and device list
// requests, and pushes uplinks to every logged-in client.
class CNetSimServer : public QObject
{
    Q_OBJECT

public:
    explicit CNetSimServer(const SNetSimConfig &_config, QObject *_parent = nullptr);
    ~CNetSimServer() override;

    // False (with the reason on stderr) when the port cannot be bound.
    bool listen();
    qint64 sentUplinks() const { return uplinks.sentCount(); }

private slots:
    void newConnectionSlot();
    void pushUplinkSlot(const QJsonObject &_message);

private:
    void handleMessage(QWebSocket *_client, const QString &_text);
    void handleAuth(QWebSocket *_client, const QJsonObject &_request);
    void handleDevicesRequest(QWebSocket *_client, const QJsonObject &_request);
    void handleSendData(QWebSocket *_client, const QJsonObject &_request);
    QJsonObject devicesReply(const QJsonObject &_request) const;
    void sendLater(QWebSocket *_client, const QJsonObject &_message, int _delayMs);
    void report(const QString &_line);

    const SNetSimConfig config;
    QWebSocketServer server;
    QSet<QWebSocket *> loggedIn;
    CUplinkSource uplinks;
    QTextStream out;
};
