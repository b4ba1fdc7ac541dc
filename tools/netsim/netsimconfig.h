#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One end device the simulated server knows.
struct SSimDevice
{
    QString devEui;
    QString devName;
    QString appEui;
    QList<QByteArray> payloads; // taken in turn; none: a generated payload for each uplink
    int port = 2;
};

// One scripted uplink: sent `delayMs` after the previous one (the first after log-in);
// every key of `fields` overrides the generated uplink.
struct SScenarioStep
{
    int delayMs = 0;
    QJsonObject fields;
};

enum class EDevicesReply { eAnswer, eRefuse, eIgnore };

// Where the uplinks go: to WebSocket clients, or to an MQTT broker in a server's format.
enum class EMqttFormat { eNone, eChirpStack, eTts };

struct SNetSimConfig
{
    quint16 port = 0;
    QString login = QStringLiteral("admin");
    QString password = QStringLiteral("admin");
    QList<SSimDevice> devices;
    QList<SScenarioStep> scenario;
    double rate = 0.0;
    int rateTimeS = -1; // < 0: for the whole run
    int payloadSize = 8;
    quint32 seed = 1;
    int durationS = 60;
    int pingDelayMs = 0;
    EDevicesReply devicesReply = EDevicesReply::eAnswer;
    int devicesDelayMs = 0;
    // send_data_req is answered with status true, or false when refusing.
    bool refuseDownlinks = false;
    QString gatewayId = QStringLiteral("00800000a0001234");
    EMqttFormat mqttFormat = EMqttFormat::eNone;
    quint16 brokerPort = 1883;
};

// Both return false and say why in `_error` when the file cannot be used.
bool loadDevicesFile(const QString &_path, QList<SSimDevice> &_devices, QString &_error);
bool loadScenarioFile(const QString &_path, QList<SScenarioStep> &_steps, QString &_error);
