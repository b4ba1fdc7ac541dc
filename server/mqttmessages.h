#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include "server/apitypes.h"
#include "server/mqttsettings.h"

// The uplink messages ChirpStack v4 and The Things Stack v3 publish on MQTT,
// read into the records the rest of the gateway uses. Pure functions over the
// topic and payload bytes.
namespace API {

// What the gateway learns about a device from its uplinks: what the add-device
// dialog lists, and what a downlink to the device will need.
struct SHeardDevice
{
    QString devEui; // upper case
    QString name;
    QString joinEui; // The Things Stack only
    QString profileName; // ChirpStack only
    // ChirpStack: applicationId; The Things Stack: application id with "@tenant" when the topic has one.
    QString applicationId;
    QString deviceId; // The Things Stack only
};

// One MQTT message read; when `valid` is false, `error` says why it is dropped.
struct SMqttUplink
{
    bool valid = false;
    QString error;
    SApiDeviceData data;
    SHeardDevice device;
};

// `_receivedMs` stands in for a message time that is absent or not RFC 3339.
SMqttUplink parseChirpStackUplink(const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs);
SMqttUplink parseTtsUplink(const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs);
SMqttUplink parseMqttUplink(
    EServerKind _kind, const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs);

} // namespace API

Q_DECLARE_METATYPE(API::SHeardDevice)
