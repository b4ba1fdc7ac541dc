#pragma once

#include <QByteArray>
#include <QJsonObject>

#include "netsimconfig.h"

// One generated "rx" push retold as ChirpStack v4 or The Things Stack v3
// publish it on MQTT.
struct SMqttPublication
{
    QByteArray topic;
    QByteArray payload;
};

// `_device` is the device of the uplink, or none when the devices file does not list it.
SMqttPublication chirpStackUplink(const QJsonObject &_rx, const SSimDevice *_device);
SMqttPublication ttsUplink(const QJsonObject &_rx, const SSimDevice *_device);
