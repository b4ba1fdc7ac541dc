#include "server/apitypes.h"
#include "server/mqttmessages.h"
#include "server/mqttsettings.h"
#include "server/serverstatus.h"

#include <QDebug>
#include <QJsonValue>
#include <QVariant>

#include "app/constants.h"

namespace API {

namespace {

const QString UPLINK_TYPE_UNCONFIRMED = QStringLiteral("UNCONF_UP");
const QString UPLINK_TYPE_CONFIRMED = QStringLiteral("CONF_UP");

// Counters and time stamps come as JSON numbers or as decimal strings.
quint64 readUnsigned(const QJsonValue &value)
{
    return value.toVariant().toULongLong();
}

} // namespace

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
    devEui = obj.value(API_KEY_DEV_EUI).toString().toUpper();
    ts = readUnsigned(obj.value(API_KEY_TS));
    gatewayId = obj.value(API_KEY_GATEWAY_ID).toString().split(QLatin1Char('+')).first().toUpper();
    ack = obj.value(API_KEY_ACK).toBool(false);
    fcnt = static_cast<quint32>(readUnsigned(obj.value(API_KEY_FCNT)));
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
