#include "server/apitypes.h"
#include "app/ceui.h"
#include "server/mqttmessages.h"
#include "server/mqttsettings.h"
#include "server/serverstatus.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QVariant>

#include <cmath>
#include <limits>

#include "server/apivocabulary.h"

namespace API {

namespace {

const QString UPLINK_TYPE_UNCONFIRMED = QStringLiteral("UNCONF_UP");
const QString UPLINK_TYPE_CONFIRMED = QStringLiteral("CONF_UP");

// Counters and time stamps come as JSON numbers or as decimal strings.
quint64 readUnsigned(const QJsonValue &value)
{
    return value.toVariant().toULongLong();
}

const quint64 MAX_FCNT = std::numeric_limits<quint32>::max();
// Milliseconds since 1970 as the clock's signed 64-bit count holds them.
const quint64 MAX_TS = quint64(std::numeric_limits<qint64>::max());
// Refusals quote the value, cut short: the log takes lines, not payloads.
const int MAX_QUOTED_CHARS = 64;

// A whole number from 0 to _max, sent as a JSON number or a decimal string; an absent
// key reads 0. Fractions, signs, text and numbers past _max are refused, not wrapped.
bool readCount(const QJsonValue &_value, quint64 _max, quint64 &_count)
{
    _count = 0;
    if (_value.isUndefined())
        return true;
    if (_value.isDouble()) {
        const double number = _value.toDouble();
        if (!(number >= 0.0) || number >= 18446744073709551616.0 || std::floor(number) != number)
            return false;
        _count = quint64(number);
        return _count <= _max;
    }
    if (!_value.isString())
        return false;
    const QString text = _value.toString();
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    _count = text.toULongLong(&ok);
    return ok && _count <= _max;
}

QString quoted(const QJsonValue &_value)
{
    QString text;
    if (_value.isString())
        text = _value.toString();
    else if (_value.isDouble())
        text = QString::number(_value.toDouble(), 'g', 17);
    else
        text = QString::fromUtf8(QJsonDocument(QJsonArray { _value }).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    return text.size() > MAX_QUOTED_CHARS ? text.left(MAX_QUOTED_CHARS) + QStringLiteral("...") : text;
}

// Why an uplink's payload text, frame counter or time stamp cannot be taken; empty when all can.
QString refusalOf(const QJsonObject &_obj, quint64 &_fcnt, quint64 &_ts)
{
    const QJsonValue data = _obj.value(API_KEY_DATA);
    if (!data.isString() || !isHexBytes(data.toString()))
        return QStringLiteral("data [%1] is not an even number of hex digits").arg(quoted(data));
    const QJsonValue fcnt = _obj.value(API_KEY_FCNT);
    if (!readCount(fcnt, MAX_FCNT, _fcnt))
        return QStringLiteral("fcnt [%1] is not a whole number from 0 to %2").arg(quoted(fcnt)).arg(MAX_FCNT);
    const QJsonValue ts = _obj.value(API_KEY_TS);
    if (!readCount(ts, MAX_TS, _ts))
        return QStringLiteral("ts [%1] is not a whole number of milliseconds from 0 to %2").arg(quoted(ts)).arg(MAX_TS);
    return QString();
}

} // namespace

bool isHexBytes(const QString &_text)
{
    if (_text.size() % 2 != 0)
        return false;
    for (const QChar c : _text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
                || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

SApiDeviceData::SApiDeviceData(const QJsonObject &obj)
{
    const QString type = obj.value(API_KEY_TYPE).toString();
    if (!type.contains(UPLINK_TYPE_UNCONFIRMED) && !type.contains(UPLINK_TYPE_CONFIRMED)) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] Not UPLINK message");
        return;
    }
    if (!obj.contains(API_KEY_DATA)) {
        qDebug().noquote() << QStringLiteral("[SApiDeviceData] DATA is not exist");
        return;
    }
    devEui = CEui(obj.value(API_KEY_DEV_EUI).toString()).text();
    quint64 counter = 0;
    quint64 time = 0;
    refusal = refusalOf(obj, counter, time);
    if (!refusal.isEmpty())
        return;
    ts = time;
    gatewayId = obj.value(API_KEY_GATEWAY_ID).toString().split(QLatin1Char('+')).first().toUpper();
    ack = obj.value(API_KEY_ACK).toBool(false);
    fcnt = static_cast<quint32>(counter);
    port = static_cast<quint16>(obj.value(API_KEY_PORT).toInt());
    data = QByteArray::fromHex(obj.value(API_KEY_DATA).toString().toLatin1());
    freq = static_cast<quint32>(readUnsigned(obj.value(API_KEY_FREQ)));
    dr = static_cast<qint16>(obj.value(API_KEY_DR).toInt());
    rssi = static_cast<qint16>(obj.value(API_KEY_RSSI).toInt());
    snr = obj.value(API_KEY_SNR).toDouble(0.0);
}

} // namespace API

void registerServerMetaTypes()
{
    qRegisterMetaType<COMM::EServerStatus>("COMM::EServerStatus");
    qRegisterMetaType<QList<API::SServerDeviceInfo>>("QList<API::SServerDeviceInfo>");
    qRegisterMetaType<API::SApiDeviceData>("API::SApiDeviceData");
    qRegisterMetaType<API::SHeardDevice>("API::SHeardDevice");
    qRegisterMetaType<SMqttSettings>("SMqttSettings");
}
