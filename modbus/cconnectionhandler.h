#pragma once

#include <QByteArray>
#include <QMap>
#include <QTcpSocket>
#include <QTimer>

#include "modbus/clogthrottle.h"
#include "modbus/crequestassembler.h"
#include "modbus/modbusframe.h"
#include "modbus/modbuslimits.h"

class CDataBaseHandler;

// One Modbus TCP client connection: reassembles request frames from the stream and
// answers register reads of its port from the register store. Owns itself and is
// deleted when the peer goes, or closed when idle too long. Reads no further requests
// while too many answers wait for the peer.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    // Answers from _store; without one every read gets exception 04.
    CConnectionHandler(uint16_t _port, CDataBaseHandler *_store, const SModbusLimits &limits = SModbusLimits(),
                       MODBUS::Clock clock = MODBUS::steadyClock());

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

    // Clock time the peer last sent something or took an answer.
    qint64 getLastActivity() const { return lastActivity; }
    // The peer's address and port, for log lines.
    QString getPeerText() const;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();

private:
    // Answers the frames held back first, then what the peer sent since.
    void answerRequests();
    void bytesWrittenSlot();
    void idleTimeoutSlot();
    // The answer to one complete request frame, in `answer`.
    void answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header);

    uint16_t port;
    CDataBaseHandler *store;
    SModbusLimits limits;
    MODBUS::Clock clock;
    qint64 lastActivity;
    // Fires once per idle time-out and looks at lastActivity, so busy clients cost no timer restarts.
    QTimer idleTimer;
    // Every line this client causes goes through here.
    CLogThrottle clientLog;
    CRequestAssembler requests;
    // Complete frames wait in `requests` until the unsent answers drain.
    bool holding = false;
    // Reused for every poll: answering allocates nothing.
    uint16_t words[MODBUS::MAX_READ_QUANTITY] = {};
    QByteArray answer;
};
