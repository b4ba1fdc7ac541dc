#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include "app/cclock.h"
#include "server/apitypes.h"
#include "server/cloglimiter.h"
#include "server/creconnectbackoff.h"
#include "server/mqttmessages.h"
#include "server/mqttsettings.h"
#include "server/serverstatus.h"

class CLogSink;
struct mosquitto;
struct mosquitto_message;

// The gateway's client of a ChirpStack or The Things Stack MQTT broker:
// subscribes to the uplink topic and hands on each uplink as the WebSocket
// link does. libmosquitto runs on the Qt event loop through its socket.
class CMqttLink : public QObject
{
    Q_OBJECT

public:
    static constexpr int KEEP_ALIVE_S = 30;
    static constexpr int MAX_MESSAGE_SIZE = 1024 * 1024;
    // libmosquitto sends its keep-alive pings from this tick.
    static constexpr int MISC_INTERVAL_MS = 1000;
    // A connection that stayed up this long starts the back-off afresh.
    static constexpr qint64 STABLE_CONNECTION_MS = 60000;

    // Retries and the stable-connection rule run on _clock; lines go to _log (nowhere when none).
    explicit CMqttLink(CClock *_clock = CClock::system(), int _firstReconnectDelayMs = CReconnectBackoff::FIRST_DELAY_MS,
                       CLogSink *_log = nullptr, QObject *_parent = nullptr);
    ~CMqttLink() override;

    bool connected() const { return isConnected; }
    // Publishes with QoS 1; its message id in *_mid, or false with the reason in *_error when
    // the broker cannot take it now. published(mid) follows when the broker has it.
    bool publish(const QByteArray &_topic, const QByteArray &_payload, int *_mid, QString *_error);

signals:
    void changeServerStatus(COMM::EServerStatus _status);
    void newPacketReceived(API::SApiDeviceData _devData);
    // Each valid uplink's device, for the list of devices heard since start.
    void deviceHeard(API::SHeardDevice _device);
    // The broker acknowledged the publication with this message id.
    void published(int _mid);

public slots:
    // (Re)connects with these settings, dropping any earlier connection.
    void connectSlot(SMqttSettings _settings);
    // Says goodbye to the broker and stays away: no retry until the next connectSlot.
    void disconnectSlot();

private slots:
    void readyReadSlot();
    void readyWriteSlot();
    void miscSlot();
    void reconnectSlot();

private:
    // What libmosquitto's callbacks report; handled once its call has returned.
    struct SEvent
    {
        enum EType { eConnack, eDisconnect, eMessage, ePublished } type;
        int code = 0;
        QByteArray topic;
        QByteArray payload;
        int size = 0;
    };

    static void onConnect(mosquitto *_mosq, void *_link, int _code);
    static void onDisconnect(mosquitto *_mosq, void *_link, int _code);
    static void onMessage(mosquitto *_mosq, void *_link, const mosquitto_message *_message);
    static void onPublish(mosquitto *_mosq, void *_link, int _mid);
    static void onLog(mosquitto *_mosq, void *_link, int _level, const char *_text);

    // Ends the client and any pending retry; its queued events are dropped.
    void dropClient();
    bool configureClient();
    void startAttempt();
    void afterCall(int _result);
    void handleConnack(int _code);
    void handleDisconnect(int _code);
    void handleMessage(const SEvent &_event);
    void dropMessage(const QByteArray &_topic, const QString &_reason);
    void scheduleReconnect();
    void watchSocket();
    void unwatchSocket();

    mosquitto *mosq = nullptr;
    SMqttSettings settings;
    QList<SEvent> events;
    // Counts connectSlot calls, so events of a replaced client are not handled.
    quint64 generation = 0;
    bool authRefused = false;
    bool isConnected = false;

    int watchedSocket = -1;
    QPointer<QSocketNotifier> readNotifier;
    QPointer<QSocketNotifier> writeNotifier;
    QTimer miscTimer;

    CClock *clock;
    CLogSink *log;
    CReconnectBackoff backoff;
    CClockTimer reconnectTimer;
    // On the clock; -1 while not connected.
    qint64 connectedSinceMs = -1;
    CLogLimiter dropLimiter;
};
