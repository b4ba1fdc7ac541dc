#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include "app/cclock.h"
#include "server/apitypes.h"
#include "server/creconnectbackoff.h"
#include "server/downlinkmessages.h"
#include "server/refuseduplinklog.h"
#include "server/serverstatus.h"

// One queued request to the network server.
struct SServerTask
{
    int type = 0;
    QString message;
    quint64 id = 0; // the caller's number of a downlink
};

// How long the link waits for what. The program keeps these values; tests shorten
// them or run the link on a manual clock.
struct SServerTimings
{
    int loginTimeoutMs = 2000;
    int responseTimeoutMs = 10000;
    int firstRetryMs = CReconnectBackoff::FIRST_DELAY_MS;
    int maxRetryMs = CReconnectBackoff::MAX_DELAY_MS;
    // A connection that stayed logged in this long starts the back-off afresh.
    qint64 stableConnectionMs = 60000;
    // A link that passes nothing is tested with a ping this often; no pong in time means it is lost.
    int keepAlivePingMs = 30000;
    int pongTimeoutMs = 10000;
    // A device list of many thousand devices still fits.
    qint64 maxIncomingMessageBytes = 16 * 1024 * 1024;
};

// The gateway's only client of the network server: connects, pings, logs in,
// hands on pushed uplinks and sends device list requests one at a time.
class CLogSink;

class CServerHandler : public QObject
{
    Q_OBJECT

public:
    enum EConnectionState { eIdle = 0, ePing = 1, eAuth = 2, eVerified = 3 };
    enum ERequestType { eNoRequest = 0, eGetDevicesRequest = 1, eSendDataRequest = 2 };

    // Logs to _log (nowhere when none).
    explicit CServerHandler(CClock *_clock = CClock::system(), const SServerTimings &_timings = SServerTimings(),
                            CLogSink *_log = nullptr);
    ~CServerHandler() override;

    COMM::EServerStatus status() const { return lastStatus; }

    // Queues a device list request; false (with a log line) when refused.
    bool getDevicesList(const QStringList &_appEuiList);
    // Queues a downlink behind the other requests; false (with a log line) when not logged in.
    // Its fate comes back as downlinkHanded and then downlinkDone, under _id.
    bool sendDownlink(quint64 _id, const API::SDownlink &_downlink);
    bool loggedIn() const { return state == eVerified; }

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = QList<API::SServerDeviceInfo>());
    void newPacketReceived(API::SApiDeviceData _devData);
    // The downlink went out on the socket.
    void downlinkHanded(quint64 _id);
    // The server confirmed it, refused it, or did not answer in time (_reason says which).
    void downlinkDone(quint64 _id, bool _accepted, QString _reason);

public slots:
    void connectSlot(QString _origin, QString _login, QString _password);
    // Closes the connection and stays away: no retry until the next connectSlot.
    void disconnectSlot();

protected slots:
    void socketConnectedSlot();
    void socketDisconnectedSlot();
    void textMessageReceivedSlot(QString msg);
    void timeoutSlot();
    void waitingServerResponseTimeoutSlot();
    void newTaskSlot();
    void socketErrorSlot(QAbstractSocket::SocketError _error);
    void reconnectSlot();
    void keepAliveSlot();
    void pongTimeoutSlot();

private:
    void handlePingReply(const QJsonObject &_obj);
    void handleAuthResponse(const QJsonObject &_obj);
    void handleVerifiedMessage(const QJsonObject &_obj);
    void handleDevicesListResponse(const QJsonObject &_obj);
    void handleSendDataResponse(const QJsonObject &_obj);
    void enqueue(const SServerTask &_task);
    void scheduleReconnect();
    void releaseWaitingMutex();
    void setStatus(COMM::EServerStatus _status);

    int state = eIdle;
    int awaitedReply = eNoRequest;
    quint64 awaitedId = 0;
    QQueue<SServerTask> taskQueue;
    QMutex queueMutex;
    QMutex taskMutex;
    QMutex waitingMutex;
    CClock *clock;
    CLogSink *log;
    SServerTimings timings;
    COMM::EServerStatus lastStatus = COMM::eDisconnected;
    CClockTimer waitTimer;
    QWebSocket socket;
    QString login;
    QString password;
    QString token;
    CClockTimer loginTimer;
    CClockTimer keepAliveTimer;
    CClockTimer pongTimer;

    // Restoring a lost connection that had been logged in.
    QUrl url;
    bool reconnectArmed = false;
    CReconnectBackoff backoff;
    CRefusedUplinkLog refusedUplinks;
    CClockTimer reconnectTimer;
    qint64 verifiedSinceMs = -1;
};
