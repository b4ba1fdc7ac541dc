#include "cuplinksource.h"

#include <QDateTime>

#include "server/apivocabulary.h"

namespace {

const QString UPLINK_TYPE = QStringLiteral("UNCONF_UP");
const quint32 CHANNELS[] = { 868100000u, 868300000u, 868500000u };
const int DATA_RATE = 5;

} // namespace

CUplinkSource::CUplinkSource(const SNetSimConfig &_config, QObject *_parent)
    : QObject(_parent)
    , config(_config)
    , random(_config.seed)
{
    scenarioTimer.setSingleShot(true);
    connect(&scenarioTimer, &QTimer::timeout, this, &CUplinkSource::scenarioStepSlot);
    connect(&rateTimer, &QTimer::timeout, this, &CUplinkSource::rateTickSlot);
}

void CUplinkSource::start()
{
    if (started)
        return;
    started = true;
    if (!config.scenario.isEmpty())
        scenarioTimer.start(config.scenario.first().delayMs);
    if (config.rate > 0.0 && !config.devices.isEmpty()) {
        rateClock.start();
        rateTimer.start(qBound(1, qRound(1000.0 / config.rate), 100));
    }
}

void CUplinkSource::scenarioStepSlot()
{
    const SScenarioStep &step = config.scenario.at(nextStep);
    QJsonObject message = buildUplink(step.fields.value(API_KEY_DEV_EUI).toString());
    for (auto it = step.fields.constBegin(); it != step.fields.constEnd(); ++it)
        message.insert(it.key(), it.value());
    emitUplink(message);
    if (++nextStep < config.scenario.size())
        scenarioTimer.start(config.scenario.at(nextStep).delayMs);
}

void CUplinkSource::rateTickSlot()
{
    const qint64 elapsedMs = rateClock.elapsed();
    if (config.rateTimeS >= 0 && elapsedMs >= qint64(config.rateTimeS) * 1000) {
        rateTimer.stop();
        return;
    }
    // Catch up with the clock, so the rate holds even above one uplink per tick.
    const qint64 due = qint64(elapsedMs * config.rate / 1000.0);
    for (; rateSent < due; ++rateSent) {
        const SSimDevice &device = config.devices.at(nextDevice);
        nextDevice = (nextDevice + 1) % config.devices.size();
        emitUplink(buildUplink(device.devEui));
    }
}

QJsonObject CUplinkSource::buildUplink(const QString &_devEui)
{
    const quint32 fcnt = ++frameCounters[_devEui.toUpper()];
    QByteArray payload;
    int port = 2;
    for (const SSimDevice &device : config.devices) {
        if (device.devEui.compare(_devEui, Qt::CaseInsensitive) == 0) {
            if (!device.payloads.isEmpty())
                payload = device.payloads.at(int((fcnt - 1) % quint32(device.payloads.size())));
            port = device.port;
            break;
        }
    }
    if (payload.isEmpty()) {
        payload.resize(config.payloadSize);
        for (char &byte : payload)
            byte = static_cast<char>(random.bounded(256));
    }

    QJsonObject message;
    message.insert(API_KEY_CMD, API_CMD_RX);
    message.insert(API_KEY_TYPE, UPLINK_TYPE);
    message.insert(API_KEY_DEV_EUI, _devEui);
    message.insert(API_KEY_TS, double(QDateTime::currentMSecsSinceEpoch()));
    message.insert(API_KEY_GATEWAY_ID, config.gatewayId);
    message.insert(API_KEY_ACK, false);
    message.insert(API_KEY_FCNT, double(fcnt));
    message.insert(API_KEY_PORT, port);
    message.insert(API_KEY_DATA, QString::fromLatin1(payload.toHex()));
    message.insert(API_KEY_FREQ, double(CHANNELS[fcnt % 3]));
    message.insert(API_KEY_DR, DATA_RATE);
    message.insert(API_KEY_RSSI, -60 - int(random.bounded(60)));
    message.insert(API_KEY_SNR, (int(random.bounded(200)) - 100) / 10.0);
    return message;
}

void CUplinkSource::emitUplink(const QJsonObject &_message)
{
    ++sent;
    emit uplink(_message);
}
