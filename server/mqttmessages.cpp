#include "server/mqttmessages.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>
#include <QRegularExpression>
#include <QVariant>

#include "app/ceui.h"
#include "server/apivocabulary.h"

namespace API {

namespace {

const QString UPLINK_TYPE_UNCONFIRMED = QStringLiteral("UNCONF_UP");
const QString UPLINK_TYPE_CONFIRMED = QStringLiteral("CONF_UP");

// The values both servers share once their own field names are read.
struct SUplinkFields
{
    QString devEui;
    bool confirmed = false;
    quint32 fcnt = 0;
    quint16 port = 0;
    QString payloadBase64;
    QString time;
    QString gatewayId;
    double rssi = 0.0;
    double snr = 0.0;
    quint64 freq = 0;
    int dr = 0;
};

struct SRxCandidate
{
    QString gatewayId;
    double rssi = 0.0;
    double snr = 0.0;
};

// The receiving gateway with the best RSSI; the first of equals.
void takeBestGateway(const QList<SRxCandidate> &_candidates, SUplinkFields &_fields)
{
    for (int i = 0; i < _candidates.size(); ++i) {
        const SRxCandidate &candidate = _candidates.at(i);
        if (i == 0 || candidate.rssi > _fields.rssi) {
            _fields.gatewayId = candidate.gatewayId;
            _fields.rssi = candidate.rssi;
            _fields.snr = candidate.snr;
        }
    }
}

// Counters and frequencies come as JSON numbers or, from The Things Stack, as decimal strings.
quint64 readUnsigned(const QJsonValue &_value)
{
    return _value.toVariant().toULongLong();
}

bool parseObject(const QByteArray &_payload, QJsonObject &_obj, QString &_error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(_payload, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        _error = QStringLiteral("not JSON (%1 at byte %2)").arg(parseError.errorString()).arg(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        _error = QStringLiteral("JSON is not an object");
        return false;
    }
    _obj = doc.object();
    return true;
}

// RFC 3339 needs a date, a time and an offset; without an offset the time would be read as local.
bool readTime(const QString &_text, quint64 &_ms)
{
    if (!_text.contains(QLatin1Char('T')))
        return false;
    const QDateTime time = QDateTime::fromString(_text, Qt::ISODateWithMs);
    if (!time.isValid() || time.timeSpec() == Qt::LocalTime || time.toMSecsSinceEpoch() < 0)
        return false;
    _ms = static_cast<quint64>(time.toMSecsSinceEpoch());
    return true;
}

// The common checks, then the record built by the same reading as a WebSocket
// "rx" push, so DevEUI and gateway spellings have one definition.
SMqttUplink finish(const SUplinkFields &_fields, const SHeardDevice &_device, quint64 _receivedMs,
    const QJsonValue &_decoded)
{
    SMqttUplink uplink;
    if (_fields.devEui.isEmpty()) {
        uplink.error = QStringLiteral("no DevEUI");
        return uplink;
    }
    if (!CEui::isWellFormed(_fields.devEui)) {
        uplink.error = QStringLiteral("DevEUI [%1] is not 16 hexadecimal digits").arg(_fields.devEui);
        return uplink;
    }
    const QByteArray::FromBase64Result payload = QByteArray::fromBase64Encoding(
        _fields.payloadBase64.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!payload) {
        uplink.error = QStringLiteral("payload is not base64");
        return uplink;
    }
    quint64 ts = _receivedMs;
    readTime(_fields.time, ts);

    QJsonObject rx;
    rx.insert(API_KEY_TYPE, _fields.confirmed ? UPLINK_TYPE_CONFIRMED : UPLINK_TYPE_UNCONFIRMED);
    rx.insert(API_KEY_DEV_EUI, _fields.devEui);
    rx.insert(API_KEY_TS, QString::number(ts));
    rx.insert(API_KEY_GATEWAY_ID, _fields.gatewayId);
    rx.insert(API_KEY_FCNT, QString::number(_fields.fcnt));
    rx.insert(API_KEY_PORT, _fields.port);
    rx.insert(API_KEY_DATA, QString::fromLatin1(payload.decoded.toHex()));
    rx.insert(API_KEY_FREQ, QString::number(_fields.freq));
    rx.insert(API_KEY_DR, _fields.dr);
    // The record holds 16 bits; rounding a larger number would be undefined.
    rx.insert(API_KEY_RSSI, qRound(qBound(-32768.0, _fields.rssi, 32767.0)));
    rx.insert(API_KEY_SNR, _fields.snr);
    uplink.data = SApiDeviceData(rx);
    // Only an object is a decoded payload; anything else is as good as none.
    uplink.data.hasDecoded = _decoded.isObject();
    uplink.data.decoded = _decoded.toObject();
    uplink.device = _device;
    uplink.device.devEui = uplink.data.devEui;
    uplink.valid = true;
    return uplink;
}

QStringList topicLevels(const QByteArray &_topic)
{
    return QString::fromUtf8(_topic).split(QLatin1Char('/'));
}

} // namespace

SMqttUplink parseChirpStackUplink(const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs)
{
    QJsonObject obj;
    SMqttUplink failed;
    if (!parseObject(_payload, obj, failed.error))
        return failed;

    const QJsonObject info = obj.value(QStringLiteral("deviceInfo")).toObject();
    SUplinkFields fields;
    fields.devEui = info.value(QStringLiteral("devEui")).toString();
    fields.confirmed = obj.value(QStringLiteral("confirmed")).toBool(false);
    fields.fcnt = static_cast<quint32>(readUnsigned(obj.value(QStringLiteral("fCnt"))));
    fields.port = static_cast<quint16>(readUnsigned(obj.value(QStringLiteral("fPort"))));
    fields.payloadBase64 = obj.value(QStringLiteral("data")).toString();
    fields.time = obj.value(QStringLiteral("time")).toString();
    fields.freq = readUnsigned(obj.value(QStringLiteral("txInfo")).toObject().value(QStringLiteral("frequency")));
    fields.dr = obj.value(QStringLiteral("dr")).toInt();
    QList<SRxCandidate> candidates;
    const QJsonArray rxInfo = obj.value(QStringLiteral("rxInfo")).toArray();
    for (const QJsonValue &value : rxInfo) {
        const QJsonObject rx = value.toObject();
        candidates << SRxCandidate { rx.value(QStringLiteral("gatewayId")).toString(),
            rx.value(QStringLiteral("rssi")).toDouble(), rx.value(QStringLiteral("snr")).toDouble() };
    }
    takeBestGateway(candidates, fields);

    SHeardDevice device;
    device.name = info.value(QStringLiteral("deviceName")).toString();
    device.profileName = info.value(QStringLiteral("deviceProfileName")).toString();
    device.applicationId = info.value(QStringLiteral("applicationId")).toString();
    // application/{applicationId}/device/{devEui}/event/up
    const QStringList levels = topicLevels(_topic);
    if (device.applicationId.isEmpty() && levels.size() == 6 && levels.at(0) == QStringLiteral("application"))
        device.applicationId = levels.at(1);
    return finish(fields, device, _receivedMs, obj.value(QStringLiteral("object")));
}

SMqttUplink parseTtsUplink(const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs)
{
    QJsonObject obj;
    SMqttUplink failed;
    if (!parseObject(_payload, obj, failed.error))
        return failed;

    const QJsonObject ids = obj.value(QStringLiteral("end_device_ids")).toObject();
    const QJsonObject message = obj.value(QStringLiteral("uplink_message")).toObject();
    SUplinkFields fields;
    fields.devEui = ids.value(QStringLiteral("dev_eui")).toString();
    fields.confirmed = message.value(QStringLiteral("confirmed")).toBool(false);
    fields.fcnt = static_cast<quint32>(readUnsigned(message.value(QStringLiteral("f_cnt"))));
    fields.port = static_cast<quint16>(readUnsigned(message.value(QStringLiteral("f_port"))));
    fields.payloadBase64 = message.value(QStringLiteral("frm_payload")).toString();
    fields.time = obj.value(QStringLiteral("received_at")).toString();
    fields.freq = readUnsigned(message.value(QStringLiteral("settings")).toObject().value(QStringLiteral("frequency")));
    QList<SRxCandidate> candidates;
    const QJsonArray rxMetadata = message.value(QStringLiteral("rx_metadata")).toArray();
    for (const QJsonValue &value : rxMetadata) {
        const QJsonObject rx = value.toObject();
        const QJsonObject gatewayIds = rx.value(QStringLiteral("gateway_ids")).toObject();
        QString gatewayId = gatewayIds.value(QStringLiteral("gateway_id")).toString();
        if (gatewayId.isEmpty())
            gatewayId = gatewayIds.value(QStringLiteral("eui")).toString();
        candidates << SRxCandidate { gatewayId, rx.value(QStringLiteral("rssi")).toDouble(),
            rx.value(QStringLiteral("snr")).toDouble() };
    }
    takeBestGateway(candidates, fields);

    SHeardDevice device;
    device.deviceId = ids.value(QStringLiteral("device_id")).toString();
    device.name = device.deviceId;
    device.joinEui = CEui(ids.value(QStringLiteral("join_eui")).toString()).text();
    // v3/{application id}[@{tenant id}]/devices/{device id}/up: only the topic carries the tenant.
    const QStringList levels = topicLevels(_topic);
    if (levels.size() == 5 && levels.at(0) == QStringLiteral("v3") && levels.at(2) == QStringLiteral("devices"))
        device.applicationId = levels.at(1);
    else
        device.applicationId = ids.value(QStringLiteral("application_ids"))
                                   .toObject()
                                   .value(QStringLiteral("application_id"))
                                   .toString();
    return finish(fields, device, _receivedMs, message.value(QStringLiteral("decoded_payload")));
}

SMqttUplink parseMqttUplink(
    EServerKind _kind, const QByteArray &_topic, const QByteArray &_payload, quint64 _receivedMs)
{
    if (_kind == EServerKind::eTts)
        return parseTtsUplink(_topic, _payload, _receivedMs);
    return parseChirpStackUplink(_topic, _payload, _receivedMs);
}

} // namespace API
