#pragma once

#include <QJsonObject>
#include <QObject>
#include <QTextStream>

#include "cuplinksource.h"
#include "netsimconfig.h"

struct mosquitto;

// Plays the integration of a ChirpStack or The Things Stack server: publishes
// the uplinks to a broker on 127.0.0.1 once connected.
class CMqttPublisher : public QObject
{
    Q_OBJECT

public:
    explicit CMqttPublisher(const SNetSimConfig &_config, QObject *_parent = nullptr);
    ~CMqttPublisher() override;

    // False (with the reason on stderr) when the broker cannot be reached.
    bool start();
    qint64 sentUplinks() const { return uplinks.sentCount(); }

private slots:
    void publishSlot(const QJsonObject &_rx);

private:
    static void onConnect(mosquitto *_mosq, void *_publisher, int _code);
    void report(const QString &_line);

    const SNetSimConfig config;
    mosquitto *mosq = nullptr;
    CUplinkSource uplinks;
    QTextStream out;
};
