#include "mqttuplinks.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

#include "server/apivocabulary.h"

namespace {

// Application and tenant of every simulated device on The Things Stack.
const QString TTS_TENANT = QStringLiteral("ttn");
const QUuid CHIRPSTACK_NAMESPACE = QUuid(QStringLiteral("{5c1f2e0a-3d4b-4c6e-9f10-6b2a7d8e9c01}"));

QString rfc3339(const QJsonObject &_rx)
{
    const qint64 ms = qint64(_rx.value(API_KEY_TS).toVariant().toLongLong());
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString base64(const QJsonObject &_rx)
{
    return QString::fromLatin1(QByteArray::fromHex(_rx.value(API_KEY_DATA).toString().toLatin1()).toBase64());
}

bool confirmed(const QJsonObject &_rx)
{
    return _rx.value(API_KEY_TYPE).toString() == QStringLiteral("CONF_UP");
}

qint64 number(const QJsonObject &_rx, const QString &_key)
{
    return _rx.value(_key).toVariant().toLongLong();
}

QByteArray compact(const QJsonObject &_obj)
{
    return QJsonDocument(_obj).toJson(QJsonDocument::Compact);
}

// The Things Stack leaves out every field whose value is 0, "" or false.
void insertSet(QJsonObject &_obj, const QString &_key, const QJsonValue &_value)
{
    if ((_value.isDouble() && _value.toDouble() == 0.0) || (_value.isString() && _value.toString().isEmpty())
        || (_value.isBool() && !_value.toBool()))
        return;
    _obj.insert(_key, _value);
}

} // namespace

SMqttPublication chirpStackUplink(const QJsonObject &_rx, const SSimDevice *_device)
{
    const QString devEui = _rx.value(API_KEY_DEV_EUI).toString().toLower();
    const QString appEui = _device ? _device->appEui : QString();
    const QString applicationId
        = QUuid::createUuidV5(CHIRPSTACK_NAMESPACE, appEui.toLower()).toString(QUuid::WithoutBraces);

    const QJsonObject deviceInfo { { QStringLiteral("tenantId"),
                                       QStringLiteral("52f14cd4-c6f1-4fbd-8f87-4025e1d49242") },
        { QStringLiteral("tenantName"), QStringLiteral("kelvara-netsim") },
        { QStringLiteral("applicationId"), applicationId },
        { QStringLiteral("applicationName"), QStringLiteral("app ") + appEui },
        { QStringLiteral("deviceProfileId"),
            QUuid::createUuidV5(CHIRPSTACK_NAMESPACE, appEui).toString(QUuid::WithoutBraces) },
        { QStringLiteral("deviceProfileName"), QStringLiteral("profile ") + appEui },
        { QStringLiteral("deviceName"), _device ? _device->devName : devEui }, { QStringLiteral("devEui"), devEui } };
    const QJsonObject rxInfo { { QStringLiteral("gatewayId"), _rx.value(API_KEY_GATEWAY_ID).toString().toLower() },
        { QStringLiteral("uplinkId"), double(number(_rx, API_KEY_FCNT) * 7919 % 65536) },
        { QStringLiteral("rssi"), _rx.value(API_KEY_RSSI) }, { QStringLiteral("snr"), _rx.value(API_KEY_SNR) } };
    const QJsonObject txInfo { { QStringLiteral("frequency"), double(number(_rx, API_KEY_FREQ)) },
        { QStringLiteral("modulation"),
            QJsonObject { { QStringLiteral("lora"),
                QJsonObject { { QStringLiteral("bandwidth"), 125000 }, { QStringLiteral("spreadingFactor"), 7 },
                    { QStringLiteral("codeRate"), QStringLiteral("CR_4_5") } } } } } };
    const QJsonObject event { { QStringLiteral("deduplicationId"), QUuid::createUuid().toString(QUuid::WithoutBraces) },
        { QStringLiteral("time"), rfc3339(_rx) }, { QStringLiteral("deviceInfo"), deviceInfo },
        { QStringLiteral("devAddr"), devEui.right(8) }, { QStringLiteral("adr"), true },
        { QStringLiteral("dr"), _rx.value(API_KEY_DR) }, { QStringLiteral("fCnt"), double(number(_rx, API_KEY_FCNT)) },
        { QStringLiteral("fPort"), double(number(_rx, API_KEY_PORT)) }, { QStringLiteral("confirmed"), confirmed(_rx) },
        { QStringLiteral("data"), base64(_rx) }, { QStringLiteral("rxInfo"), QJsonArray { rxInfo } },
        { QStringLiteral("txInfo"), txInfo } };
    return SMqttPublication { QStringLiteral("application/%1/device/%2/event/up").arg(applicationId, devEui).toUtf8(),
        compact(event) };
}

SMqttPublication ttsUplink(const QJsonObject &_rx, const SSimDevice *_device)
{
    const QString devEui = _rx.value(API_KEY_DEV_EUI).toString().toUpper();
    const QString appEui = _device ? _device->appEui.toUpper() : QString();
    const QString applicationId = QStringLiteral("app-") + appEui.toLower();
    const QString deviceId = QStringLiteral("eui-") + devEui.toLower();
    const QString gatewayEui = _rx.value(API_KEY_GATEWAY_ID).toString().toUpper();
    const QString time = rfc3339(_rx);

    QJsonObject ids { { QStringLiteral("device_id"), deviceId },
        { QStringLiteral("application_ids"), QJsonObject { { QStringLiteral("application_id"), applicationId } } },
        { QStringLiteral("dev_eui"), devEui } };
    insertSet(ids, QStringLiteral("join_eui"), appEui);

    QJsonObject gateway { { QStringLiteral("gateway_ids"),
        QJsonObject { { QStringLiteral("gateway_id"), QStringLiteral("eui-") + gatewayEui.toLower() },
            { QStringLiteral("eui"), gatewayEui } } } };
    insertSet(gateway, QStringLiteral("rssi"), _rx.value(API_KEY_RSSI));
    insertSet(gateway, QStringLiteral("channel_rssi"), _rx.value(API_KEY_RSSI));
    insertSet(gateway, QStringLiteral("snr"), _rx.value(API_KEY_SNR));

    QJsonObject message;
    insertSet(message, QStringLiteral("f_port"), double(number(_rx, API_KEY_PORT)));
    insertSet(message, QStringLiteral("f_cnt"), double(number(_rx, API_KEY_FCNT)));
    insertSet(message, QStringLiteral("frm_payload"), base64(_rx));
    message.insert(QStringLiteral("rx_metadata"), QJsonArray { gateway });
    message.insert(QStringLiteral("settings"),
        QJsonObject { { QStringLiteral("frequency"), QString::number(number(_rx, API_KEY_FREQ)) } });
    message.insert(QStringLiteral("received_at"), time);
    insertSet(message, QStringLiteral("confirmed"), confirmed(_rx));

    const QJsonObject event { { QStringLiteral("end_device_ids"), ids },
        { QStringLiteral("correlation_ids"),
            QJsonArray { QStringLiteral("as:up:") + QUuid::createUuid().toString(QUuid::Id128) } },
        { QStringLiteral("received_at"), time }, { QStringLiteral("uplink_message"), message } };
    return SMqttPublication {
        QStringLiteral("v3/%1@%2/devices/%3/up").arg(applicationId, TTS_TENANT, deviceId).toUtf8(), compact(event)
    };
}
