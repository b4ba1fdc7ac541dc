#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include "server/apitypes.h"
#include "server/creconnectbackoff.h"
#include "server/refuseduplinklog.h"
#include "server/serverstatus.h"

// One queued request to the network server.
struct SServerTask
{
    int type = 0;
    QString message;
};

// The gateway's only client of the network server: connects, pings, logs in,
// hands on pushed uplinks and sends device list requests one at a time.
class CServerHandler : public QObject
{
    Q_OBJECT

public:
    enum EConnectionState { eIdle = 0, ePing = 1, eAuth = 2, eVerified = 3 };
    enum ERequestType { eNoRequest = 0, eGetDevicesRequest = 1 };

    static constexpr int LOGIN_TIMEOUT_MS = 2000;
    static constexpr int RESPONSE_TIMEOUT_MS = 10000;
    static constexpr qint64 MAX_INCOMING_MESSAGE_SIZE = 1024 * 1024;
    // A connection that stayed logged in this long starts the back-off afresh.
    static constexpr qint64 STABLE_CONNECTION_MS = 60000;

    static CServerHandler *getInstance();

    // The program uses getInstance(); tests build their own objects.
    CServerHandler();
    ~CServerHandler() override;

    // Queues a device list request; false (with a log line) when refused.
    bool getDevicesList(const QStringList &_appEuiList);

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = QList<API::SServerDeviceInfo>());
    void newPacketReceived(API::SApiDeviceData _devData);

public slots:
    void connectSlot(QString _origin, QString _login, QString _password);

protected slots:
    void socketConnectedSlot();
    void socketDisconnectedSlot();
    void textMessageReceivedSlot(QString msg);
    void timeoutSlot();
    void waitingServerResponseTimeoutSlot();
    void newTaskSlot();
    void socketErrorSlot(QAbstractSocket::SocketError _error);
    void reconnectSlot();

private:
    void handlePingReply(const QJsonObject &_obj);
    void handleAuthResponse(const QJsonObject &_obj);
    void handleVerifiedMessage(const QJsonObject &_obj);
    void handleDevicesListResponse(const QJsonObject &_obj);
    void scheduleReconnect();
    void releaseWaitingMutex();

    int state = eIdle;
    int awaitedReply = eNoRequest;
    QQueue<SServerTask> taskQueue;
    QMutex queueMutex;
    QMutex taskMutex;
    QMutex waitingMutex;
    QTimer waitTimer;
    QWebSocket socket;
    QString login;
    QString password;
    QString token;
    QTimer loginTimer;

    // Restoring a lost connection that had been logged in.
    QUrl url;
    bool reconnectArmed = false;
    CReconnectBackoff backoff;
    CRefusedUplinkLog refusedUplinks;
    QTimer reconnectTimer;
    QElapsedTimer verifiedSince;
};
