#pragma once

#include <memory>

#include "modbus/modbuswrite.h"

// Carries the Modbus writes of connections running on one thread to a write target living
// on another, and each outcome back to the connections' thread: neither thread ever waits
// for the other. The target must outlive the relay.
class CWriteRelay : public CModbusWriteTarget
{
    Q_OBJECT

public:
    // _answersThread is where the connections run and their answers are delivered.
    CWriteRelay(CModbusWriteTarget *_target, QThread *_answersThread);

    void write(const SModbusWrite &_write, Done _done) override;
    // Read on the caller's thread: the target keeps its coil states under a lock of its own.
    MODBUS::EException coils(uint16_t _port, uint16_t _first, uint16_t _count, QVector<bool> *_states) const override;

private:
    CModbusWriteTarget *target;
    // Answers are posted to it; gone with the relay, after which they are dropped.
    std::shared_ptr<QObject> inbox;
};
