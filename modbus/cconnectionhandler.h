#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpSocket>

#include "app/cclock.h"
#include "modbus/clogthrottle.h"
#include "modbus/crequestassembler.h"
#include "modbus/modbusframe.h"
#include "modbus/modbuslimits.h"
#include "modbus/modbuswrite.h"

class CLogSink;
class CRegisterReader;
class CGatewayCounters;
class CDeviceIdentities;

// One Modbus TCP client connection: reassembles request frames from the stream,
// answers register reads of its port from the register store and hands writes on to
// the write target, whose answers may come later: answers leave in request order. Owns itself and is
// deleted when the peer goes, or closed when idle too long. Reads no further requests
// while too many answers wait for the peer.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    // Answers from _store; without one every read gets exception 04.
    // Idle time runs on _clock; lines go to _log (nowhere when none).
    CConnectionHandler(uint16_t _port, CRegisterReader *_store, const SModbusLimits &limits = SModbusLimits(),
                       CClock *_clock = CClock::system(), CLogSink *_log = nullptr);

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

    // Clock time the peer last sent something or took an answer.
    qint64 getLastActivity() const { return lastActivity; }
    // The peer's address and port, for log lines.
    QString getPeerText() const;
    void setWriteTarget(CModbusWriteTarget *_target) { writeTarget = _target; }
    void setCounters(CGatewayCounters *_counters) { counters = _counters; }
    // Who the port's devices are, for function 43/14; without it the gateway names itself.
    void setIdentities(const CDeviceIdentities *_identities) { identities = _identities; }

    // Writes waiting for their answer at most; further requests wait unread.
    static constexpr int MAX_WAITING_WRITES = 16;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();

private:
    // Answers the frames held back first, then what the peer sent since.
    void answerRequests();
    void bytesWrittenSlot();
    void idleTimeoutSlot();
    // The answer to one complete register read, in `answer`.
    void answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header);
    // Queues the answer to a write or coil read; a write's answer is filled in when it is done.
    void answerWrite(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, const QByteArray &_frame);
    void writeDone(quint64 _id, const QByteArray &_answer);
    // Writes every answer at the front of the queue that is known.
    void flushAnswers();
    // Straight to the kernel when nothing waits before it: Qt's buffered write switches the
    // socket's write watch on and off for every answer, which with hundreds of sockets open
    // costs more than the answer. What the kernel does not take goes through Qt's buffer.
    bool sendAnswer(const QByteArray &_bytes);

    uint16_t port;
    CRegisterReader *store;
    SModbusLimits limits;
    CClock *clock;
    CLogSink *log;
    qint64 lastActivity;
    // Fires once per idle time-out and looks at lastActivity, so busy clients cost no timer restarts.
    CClockTimer idleTimer;
    // Every line this client causes goes through here.
    CLogThrottle clientLog;
    CRequestAssembler requests;
    // Complete frames wait in `requests` until the unsent answers drain.
    bool holding = false;

    QPointer<CModbusWriteTarget> writeTarget;
    CGatewayCounters *counters = nullptr;
    const CDeviceIdentities *identities = nullptr;
    // Answers in request order; a write's stays empty until it is done.
    struct SAnswer
    {
        quint64 id = 0;
        bool known = false;
        QByteArray bytes;
    };
    QList<SAnswer> answers;
    int waitingWrites = 0;
    // Set while the assembler runs: a write answered on the spot must not feed it again.
    bool feeding = false;
    quint64 nextAnswerId = 1;
    // Reused for every poll: answering a read allocates nothing.
    uint16_t words[MODBUS::MAX_READ_QUANTITY] = {};
    QByteArray answer;
};
