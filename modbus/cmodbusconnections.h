#pragma once

#include <QObject>
#include <QSet>

#include "modbus/cloglimiter.h"
#include "modbus/modbuslimits.h"

class CConnectionHandler;

// The client connections of every Modbus port together, so that one cap holds over all
// of them: at the cap, a new connection closes the longest idle one. Hands each
// connection the bounds and the clock it runs by.
class CModbusConnections : public QObject
{
    Q_OBJECT

public:
    explicit CModbusConnections(const SModbusLimits &_limits, MODBUS::Clock _clock = MODBUS::steadyClock());

    const SModbusLimits &getLimits() const { return limits; }
    const MODBUS::Clock &getClock() const { return clock; }
    int count() const { return connections.size(); }

    // Counts a newly accepted connection in, first closing the longest idle one at the cap.
    void admit(CConnectionHandler *_connection);

private:
    void forget(CConnectionHandler *_connection);

    SModbusLimits limits;
    MODBUS::Clock clock;
    QSet<CConnectionHandler *> connections;
    CLogLimiter capLog;
};
