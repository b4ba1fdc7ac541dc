#pragma once

#include <QMutex>
#include <QObject>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "server/serverstatus.h"
#include "store/storerecords.h"
#include "web/webbackend.h"

class CGateway;
class CGatewayCounters;

// The console's view of the running gateway. Lives on the gateway's thread; its methods are
// called on the HTTP workers. Figures that are safe to read from any thread (counters, the
// register image, the journal) are read there; the device list is a copy made on the
// gateway's thread when devices change; changes run on the gateway's thread as queued calls.
class CGatewayBackend : public QObject, public CWebBackend
{
    Q_OBJECT

public:
    // How long a worker waits for the gateway's thread before it answers 503.
    static constexpr int GATEWAY_WAIT_MS = 10000;

    CGatewayBackend(CGateway *_gateway, CGatewayCounters *_counters, const QString &_logFile);
    // Queued calls still waiting give up: the workers can be stopped.
    void stop();

    quint64 changeCount() override { return changes; }
    quint64 logCount() override { return logLinesSeen; }
    QJsonObject status() override;
    QByteArray devices() override;
    bool device(const QString &_devEui, QJsonObject *_device) override;
    bool registers(const QString &_devEui, QJsonArray *_registers) override;
    bool uplinks(const QString &_devEui, QJsonArray *_uplinks) override;
    SWebResult history(const QString &_devEui, const SHistoryQuery &_query) override;
    SWebResult addDevice(const QJsonObject &_device) override;
    SWebResult editDevice(const QString &_devEui, const QJsonObject &_changes) override;
    SWebResult removeDevice(const QString &_devEui) override;
    QJsonArray templates() override;
    SWebResult candidates() override;
    QString registerMap(bool _markdown) override;
    QString exportDevices(bool _json) override;
    SWebResult importDevices(const QByteArray &_file) override;
    QStringList logLines(int _count) override;
    std::string metrics(bool _perDevice) override;

private:
    // A stored device as the lists show it.
    struct SDeviceRow
    {
        quint32 id = 0;
        DB::SDeviceRegMapDescription device;
        quint16 port = 0;
        QString templateName;
    };
    using Rows = std::shared_ptr<const QVector<SDeviceRow>>;

    // Runs _work on the gateway's thread and waits for it; false when the gateway did not
    // get to it in time or the console stops.
    bool onGateway(const std::function<void()> &_work);
    // The stored devices, read again on the gateway's thread after a change.
    Rows rows();
    bool findRow(const QString &_devEui, SDeviceRow *_row);
    QJsonObject deviceJson(const SDeviceRow &_row) const;
    // The same fields, written straight into _out.
    void writeDevice(const SDeviceRow &_row, qint64 _nowMs, QByteArray *_out) const;

    CGateway *gateway;
    CGatewayCounters *counters;
    QString logFile;
    qint64 startedMs;
    std::atomic<quint64> changes { 1 };
    std::atomic<quint64> logLinesSeen { 1 };
    std::atomic<bool> rowsStale { true };
    std::atomic<bool> stopping { false };
    std::atomic<int> serverStatus { COMM::eDisconnected };
    QMutex stateMutex;
    Rows cachedRows;
    // The device list as last written, for the change count and the second it was written in.
    QMutex listMutex;
    QByteArray cachedList;
    quint64 listChanges = 0;
    qint64 listSecond = -1;
    bool saving = true;
    QString savingProblem;
    // The Modbus request rate: the total at the last look and when it was.
    qint64 rateSampleMs = 0;
    quint64 rateSampleRequests = 0;
    double requestRate = 0;
    std::mutex waitMutex;
    std::condition_variable waitDone;
};
