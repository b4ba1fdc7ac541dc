#include "cmqttpublisher.h"

#include <QMetaObject>

#include <mosquitto.h>

#include <cstdio>

#include "mqttuplinks.h"
#include "server/apivocabulary.h"

CMqttPublisher::CMqttPublisher(const SNetSimConfig &_config, QObject *_parent)
    : QObject(_parent)
    , config(_config)
    , uplinks(_config)
    , out(stdout)
{
    mosquitto_lib_init();
    connect(&uplinks, &CUplinkSource::uplink, this, &CMqttPublisher::publishSlot);
}

CMqttPublisher::~CMqttPublisher()
{
    if (mosq) {
        // The disconnect goes out after the uplinks still queued; the loop thread ends with it.
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        mosquitto_destroy(mosq);
    }
    mosquitto_lib_cleanup();
}

bool CMqttPublisher::start()
{
    mosq = mosquitto_new("kelvara-netsim", true, this);
    if (!mosq) {
        std::fprintf(stderr, "cannot create the MQTT client\n");
        return false;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, &CMqttPublisher::onConnect);
    int result = mosquitto_connect(mosq, "127.0.0.1", config.brokerPort, 30);
    if (result == MOSQ_ERR_SUCCESS)
        result = mosquitto_loop_start(mosq);
    if (result != MOSQ_ERR_SUCCESS) {
        std::fprintf(
            stderr, "cannot connect to the broker on port %u: %s\n", config.brokerPort, mosquitto_strerror(result));
        return false;
    }
    return true;
}

void CMqttPublisher::onConnect(mosquitto *, void *_publisher, int _code)
{
    // Called on libmosquitto's thread; the uplinks start on ours.
    auto *publisher = static_cast<CMqttPublisher *>(_publisher);
    QMetaObject::invokeMethod(
        publisher,
        [publisher, _code] {
            if (_code != 0) {
                publisher->report(
                    QStringLiteral("broker refused: %1").arg(QString::fromUtf8(mosquitto_connack_string(_code))));
                return;
            }
            publisher->report(QStringLiteral("connected to broker on port %1").arg(publisher->config.brokerPort));
            publisher->uplinks.start();
        },
        Qt::QueuedConnection);
}

void CMqttPublisher::publishSlot(const QJsonObject &_rx)
{
    const QString devEui = _rx.value(API_KEY_DEV_EUI).toString();
    const SSimDevice *device = nullptr;
    for (const SSimDevice &candidate : config.devices)
        if (candidate.devEui.compare(devEui, Qt::CaseInsensitive) == 0)
            device = &candidate;
    const SMqttPublication publication
        = config.mqttFormat == EMqttFormat::eTts ? ttsUplink(_rx, device) : chirpStackUplink(_rx, device);
    const int result = mosquitto_publish(mosq, nullptr, publication.topic.constData(), publication.payload.size(),
        publication.payload.constData(), 0, false);
    if (result != MOSQ_ERR_SUCCESS)
        report(QStringLiteral("publish failed: %1").arg(QString::fromUtf8(mosquitto_strerror(result))));
}

void CMqttPublisher::report(const QString &_line)
{
    out << _line << '\n';
    out.flush();
}
