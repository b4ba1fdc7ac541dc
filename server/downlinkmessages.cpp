#include "server/downlinkmessages.h"

#include <QJsonArray>
#include <QJsonDocument>

#include "server/apivocabulary.h"

namespace API {

namespace {

QByteArray compactBytes(const QJsonObject &_obj)
{
    return QJsonDocument(_obj).toJson(QJsonDocument::Compact);
}

} // namespace

QString sendDataRequestMessage(const SDownlink &_downlink)
{
    const QJsonObject entry { { API_KEY_ACK, _downlink.confirmed },
        { API_KEY_DATA, QString::fromLatin1(_downlink.payload.toHex()) }, { API_KEY_DEV_EUI, _downlink.devEui },
        { API_KEY_PORT, _downlink.fPort } };
    const QJsonObject obj { { API_KEY_CMD, API_CMD_SEND_DATA_REQ }, { API_KEY_DATA_LIST, QJsonArray { entry } } };
    return QString::fromUtf8(compactBytes(obj));
}

bool readSendDataResponse(const QJsonObject &_obj)
{
    return _obj.value(API_KEY_STATUS).toBool(false);
}

SMqttDownlink chirpStackDownlink(const SDownlink &_downlink, const SHeardDevice &_device)
{
    // ChirpStack writes DevEUIs in lower case in its topics and messages.
    const QString devEui = _downlink.devEui.toLower();
    const QJsonObject obj { { QStringLiteral("devEui"), devEui }, { QStringLiteral("confirmed"), _downlink.confirmed },
        { QStringLiteral("fPort"), _downlink.fPort },
        { QStringLiteral("data"), QString::fromLatin1(_downlink.payload.toBase64()) } };
    return SMqttDownlink {
        QStringLiteral("application/%1/device/%2/command/down").arg(_device.applicationId, devEui).toUtf8(),
        compactBytes(obj)
    };
}

SMqttDownlink ttsDownlink(const SDownlink &_downlink, const SHeardDevice &_device)
{
    const QJsonObject entry { { QStringLiteral("f_port"), _downlink.fPort },
        { QStringLiteral("frm_payload"), QString::fromLatin1(_downlink.payload.toBase64()) },
        { QStringLiteral("priority"), QStringLiteral("NORMAL") },
        { QStringLiteral("confirmed"), _downlink.confirmed } };
    const QJsonObject obj { { QStringLiteral("downlinks"), QJsonArray { entry } } };
    return SMqttDownlink {
        QStringLiteral("v3/%1/devices/%2/down/push").arg(_device.applicationId, _device.deviceId).toUtf8(),
        compactBytes(obj)
    };
}

} // namespace API
