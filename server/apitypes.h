#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

namespace API {

// One entry of the network server's device list.
struct SServerDeviceInfo {
    QString devEui;
    QString appEui;
    QString devName;
};

// One uplink pushed by the network server. An empty devEui marks a record
// that holds no uplink.
struct SApiDeviceData {
    SApiDeviceData() = default;
    // Reads an "rx" push; anything that is not an uplink with a payload
    // leaves every field at its initial value. An uplink with a bad payload text,
    // frame counter or time stamp keeps only its DevEUI and says why in refusal.
    explicit SApiDeviceData(const QJsonObject &obj);

    QString devEui;
    quint64 ts = 0;
    QString gatewayId;
    bool ack = false;
    quint32 fcnt = 0;
    quint16 port = 0;
    QByteArray data;
    quint32 freq = 0;
    qint16 dr = 0;
    qint16 rssi = 0;
    double snr = 0.0;
    // Why the uplink was refused; empty for an accepted one.
    QString refusal;
    // The object the network server's codec decoded (ChirpStack's "object", The Things
    // Stack's "decoded_payload"), when it sent one.
    bool hasDecoded = false;
    QJsonObject decoded;
};

// Payload text as the server sends it: pairs of hexadecimal digits and nothing else.
bool isHexBytes(const QString &_text);

} // namespace API

Q_DECLARE_METATYPE(API::SServerDeviceInfo)
Q_DECLARE_METATYPE(QList<API::SServerDeviceInfo>)
Q_DECLARE_METATYPE(API::SApiDeviceData)

// Registers the link's records and status under the names queued connections look
// them up by ("API::SApiDeviceData", "QList<API::SServerDeviceInfo>", "COMM::EServerStatus").
void registerServerMetaTypes();
