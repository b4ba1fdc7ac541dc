#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

#include <array>
#include <atomic>
#include <deque>

#include "store/storerecords.h"

// What the gateway counts while it runs, for the web console and its metrics: every thread
// adds to it without waiting for another (atomics; one short lock for the uplink journal),
// and a reader takes a copy.
class CGatewayCounters
{
public:
    // Why an uplink went undecoded.
    enum ERefusal { eRefusedUnknownDevice, eRefusedMalformed, eRefusedUndecodable, REFUSAL_COUNT };
    enum EDownlinkResult { eDownlinkAccepted, eDownlinkRefused, eDownlinkFailed, DOWNLINK_RESULT_COUNT };
    // Upper bounds in seconds of the store's write-time histogram; a last bucket takes the rest.
    static constexpr std::array<double, 8> WRITE_BUCKETS { 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 1.0 };
    // Uplinks kept for each device's page.
    static constexpr int JOURNAL_LENGTH = 50;

    // One uplink of a served device, as its page lists it.
    struct SUplink
    {
        qint64 epochMs = 0;
        quint32 fcnt = 0;
        qint16 rssi = 0;
        double snr = 0;
        QByteArray payload;
        bool accepted = false;
        // The values written (register offset and text), or why it was refused.
        QVector<SRegisterValue> values;
        QString refusal;
    };

    void countUplink(bool _overMqtt) { (_overMqtt ? uplinksMqtt : uplinksWebSocket)++; }
    void countRefusal(ERefusal _reason) { refusals[_reason]++; }
    void countDownlink(EDownlinkResult _result) { downlinks[_result]++; }
    void countModbusRequest(quint8 _function) { modbusRequests[_function]++; }
    void countModbusException(quint8 _code) { modbusExceptions[_code]++; }
    void countStoreWrite(double _seconds);
    // A decoded or refused uplink of a served device; the oldest beyond JOURNAL_LENGTH goes.
    void noteUplink(const QString &_devEui, const SUplink &_uplink);
    void forgetDevice(const QString &_devEui);
    // The last downlink of a device: its result and what the log says of it.
    void noteDownlink(const QString &_devEui, qint64 _epochMs, const QString &_text);

    quint64 uplinks(bool _overMqtt) const { return _overMqtt ? uplinksMqtt : uplinksWebSocket; }
    quint64 refused(ERefusal _reason) const { return refusals[_reason]; }
    quint64 downlinkCount(EDownlinkResult _result) const { return downlinks[_result]; }
    quint64 modbusRequestCount(quint8 _function) const { return modbusRequests[_function]; }
    quint64 modbusExceptionCount(quint8 _code) const { return modbusExceptions[_code]; }
    // Store writes per bucket (the last past every bound) and their summed seconds.
    std::array<quint64, WRITE_BUCKETS.size() + 1> storeWriteBuckets() const;
    double storeWriteSeconds() const;
    // The device's last uplinks, oldest first.
    QVector<SUplink> journal(const QString &_devEui) const;
    // Radio figures of the device's last uplink; false when none was heard since start.
    bool lastRadio(const QString &_devEui, qint16 *_rssi, double *_snr) const;
    // Time and text of the device's last downlink; false when none since start.
    bool lastDownlink(const QString &_devEui, qint64 *_epochMs, QString *_text) const;
    // Uplinks of served devices whose time lies within _windowMs before _nowEpochMs.
    int uplinksWithin(qint64 _nowEpochMs, qint64 _windowMs) const;

private:
    std::atomic<quint64> uplinksWebSocket { 0 };
    std::atomic<quint64> uplinksMqtt { 0 };
    std::array<std::atomic<quint64>, REFUSAL_COUNT> refusals {};
    std::array<std::atomic<quint64>, DOWNLINK_RESULT_COUNT> downlinks {};
    std::array<std::atomic<quint64>, 256> modbusRequests {};
    std::array<std::atomic<quint64>, 256> modbusExceptions {};
    std::array<std::atomic<quint64>, WRITE_BUCKETS.size() + 1> writeBuckets {};
    // Microseconds, so that an atomic integer holds the sum.
    std::atomic<quint64> writeMicros { 0 };

    mutable QMutex journalMutex;
    QHash<QString, std::deque<SUplink>> journals;
    QHash<QString, QPair<qint64, QString>> downlinkNotes;
    // Times of the last hour's uplinks, oldest first.
    std::deque<qint64> recentUplinks;
};
