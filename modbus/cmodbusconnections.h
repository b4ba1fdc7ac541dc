#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QVector>

#include <atomic>

#include "modbus/clogthrottle.h"
#include "modbus/modbuslimits.h"
#include "modbus/modbuswrite.h"

class CConnectionHandler;
class CGatewayCounters;
class CDeviceIdentities;

// The client connections of every Modbus port together, so that one cap holds over all
// of them: at the cap, or when open files run short, a new connection closes the longest
// idle one. Hands each connection the bounds and the clock it runs by.
class CModbusConnections : public QObject
{
    Q_OBJECT

public:
    // Idle times and log intervals run on _clock; lines of every connection go to _log (nowhere when none).
    explicit CModbusConnections(const SModbusLimits &_limits, CClock *_clock = CClock::system(), CLogSink *_log = nullptr);

    const SModbusLimits &getLimits() const { return limits; }
    CClock *getClock() const { return clock; }
    CLogSink *getLog() const { return log; }
    int count() const { return connections.size(); }
    // Who carries out the writes of new connections; without one every write gets exception 01.
    void setWriteTarget(CModbusWriteTarget *_target) { writeTarget = _target; }
    CModbusWriteTarget *getWriteTarget() const { return writeTarget; }
    // Where new connections count their requests and exceptions; none counts nothing.
    void setCounters(CGatewayCounters *_counters) { counters = _counters; }
    CGatewayCounters *getCounters() const { return counters; }
    // Open client connections, readable from any thread.
    int openCount() const { return open; }
    // Who each port's devices are, for new connections; outlives them.
    void setIdentities(const CDeviceIdentities *_identities) { identities = _identities; }
    const CDeviceIdentities *getIdentities() const { return identities; }

    // Counts a newly accepted connection in, first closing the longest idle one at the cap.
    void admit(CConnectionHandler *_connection);
    // Closes every connection; each object goes once its event loop is back.
    void closeAll();
    // Frees the descriptor of the longest idle connection; its peer, or empty when there is none.
    QString closeLongestIdle();
    // A port could not accept a connection; logged at most once a minute over all ports.
    void reportAcceptError(uint16_t _port, QAbstractSocket::SocketError _error);

private:
    void forget(CConnectionHandler *_connection);

    SModbusLimits limits;
    CClock *clock;
    CLogSink *log;
    // In order of acceptance: of connections idle equally long, the oldest goes first.
    QVector<CConnectionHandler *> connections;
    CLogThrottle capLog;
    CLogThrottle acceptLog;
    QPointer<CModbusWriteTarget> writeTarget;
    CGatewayCounters *counters = nullptr;
    std::atomic<int> open { 0 };
    const CDeviceIdentities *identities = nullptr;
};
