#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include "netsimconfig.h"

// Produces the "rx" pushes: the scripted steps in order, and uplinks at a fixed
// rate spread over the devices in turn.
class CUplinkSource : public QObject
{
    Q_OBJECT

public:
    explicit CUplinkSource(const SNetSimConfig &_config, QObject *_parent = nullptr);

    // Starts once; later calls do nothing.
    void start();
    qint64 sentCount() const { return sent; }

signals:
    void uplink(QJsonObject _message);

private slots:
    void scenarioStepSlot();
    void rateTickSlot();

private:
    QJsonObject buildUplink(const QString &_devEui);
    void emitUplink(const QJsonObject &_message);

    const SNetSimConfig config;
    QRandomGenerator random;
    QHash<QString, quint32> frameCounters;
    bool started = false;
    qint64 sent = 0;

    int nextStep = 0;
    QTimer scenarioTimer;

    QTimer rateTimer;
    QElapsedTimer rateClock;
    qint64 rateSent = 0;
    int nextDevice = 0;
};
