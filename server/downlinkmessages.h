#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "server/mqttmessages.h"

// The downlink messages of each kind of network server, as pure functions.
namespace API {

// One downlink to send: the device, its LoRaWAN port, the payload and whether the
// device must confirm it.
struct SDownlink
{
    QString devEui; // upper case
    int fPort = 0;
    QByteArray payload;
    bool confirmed = false;
};

// WebSocket: {"cmd":"send_data_req","data_list":[{"ack":..,"data":"<hex>","devEui":..,"port":..}]}.
QString sendDataRequestMessage(const SDownlink &_downlink);
// The "status" of a send_data_resp; false when absent or not a boolean.
bool readSendDataResponse(const QJsonObject &_obj);

// An MQTT publication: where and what.
struct SMqttDownlink
{
    QByteArray topic;
    QByteArray payload;
};

// ChirpStack v4: application/{applicationId}/device/{devEui}/command/down.
SMqttDownlink chirpStackDownlink(const SDownlink &_downlink, const SHeardDevice &_device);
// The Things Stack v3: v3/{application id}/devices/{device id}/down/push.
SMqttDownlink ttsDownlink(const SDownlink &_downlink, const SHeardDevice &_device);

} // namespace API
